// What a snap takes from the clipboard before it leaves: the secret guard over
// any text, and the note's title and source address made from whatever a
// window and a copying program say. Input: the text; its first line is also
// the window title and the address.
#include <string>

#include "app/secrets.h"
#include "app/source.h"
#include "fuzz/fuzz_common.h"
#include "runtime/codepage.h"

using namespace ts;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto found = FindSecret(text)) {
    FUZZ_CHECK(found->at < text.size() && found->length > 0 && found->length <= text.size() - found->at,
               "the secret lies inside the text");
    // What the guard points at is a secret of the same kind on its own.
    auto alone = FindSecret(text.substr(found->at, found->length));
    FUZZ_CHECK(alone && alone->kind == found->kind && alone->at == 0, "the secret found alone");
  }
  const std::string line = fuzz::Split(data, size, 2)[0];
  const std::string title = NoteTitle(line, line.substr(0, line.size() / 2));
  FUZZ_CHECK(Utf16ToUtf8(Utf8ToUtf16(title)) == title, "a title is UTF-8");
  size_t characters = 0;
  for (unsigned char b : title) characters += (b & 0xC0) != 0x80;
  FUZZ_CHECK(characters <= kMaxTitleCharacters, "a title of at most 200 characters");
  for (unsigned char b : title) FUZZ_CHECK(b >= 0x20 && b != 0x7F, "no controls in a title");
  if (UsableSourceUrl(line)) {
    const std::string body = WithSourceLine(text, line);
    FUZZ_CHECK(body.size() > line.size() && body.compare(body.size() - line.size(), line.size(), line) == 0,
               "the address is the body's last line");
  }
  return 0;
}
