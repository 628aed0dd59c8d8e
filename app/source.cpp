#include "app/source.h"

#include "runtime/codepage.h"
#include "runtime/text.h"

namespace ts {

namespace {
bool Continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

size_t Characters(const std::string& utf8) {
  size_t n = 0;
  for (unsigned char b : utf8)
    if (!Continuation(b)) ++n;
  return n;
}

bool ValidUtf8(const std::string& text) { return Utf16ToUtf8(Utf8ToUtf16(text)) == text; }
}  // namespace

std::string FirstCharacters(const std::string& utf8, size_t count) {
  size_t seen = 0;
  for (size_t at = 0; at < utf8.size(); ++at) {
    if (Continuation(static_cast<unsigned char>(utf8[at]))) continue;
    if (seen++ == count) return utf8.substr(0, at);
  }
  return utf8;
}

std::string CleanTitle(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    out += b < 0x20 || b == 0x7F ? ' ' : c;
  }
  out = Trim(out);
  if (!ValidUtf8(out)) out = Utf16ToUtf8(Utf8ToUtf16(out));  // broken bytes become U+FFFD
  return FirstCharacters(out, kMaxTitleCharacters);
}

std::string NoteTitle(const std::string& windowTitle, const std::string& program) {
  std::string title = CleanTitle(windowTitle);
  // A program's name is short; one that is not must not crowd out the title.
  const std::string name = FirstCharacters(CleanTitle(program), 64);
  if (name.empty()) return title;
  std::string suffix = "(" + name + ")";
  if (title.empty()) return suffix;
  const size_t room = kMaxTitleCharacters - Characters(suffix) - 1;
  return Trim(FirstCharacters(title, room)) + " " + suffix;
}

bool UsableSourceUrl(const std::string& url) {
  const std::string lower = LowerCase(url.substr(0, 8));
  size_t scheme = 0;
  for (const char* known : {"https:", "http:", "file:"}) {
    const std::string k = known;
    if (lower.compare(0, k.size(), k) == 0) {
      scheme = k.size();
      break;
    }
  }
  if (scheme == 0 || url.size() <= scheme) return false;
  for (char c : url) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F) return false;
  }
  return ValidUtf8(url) && Characters(url) <= kMaxSourceUrlCharacters;
}

std::string WithSourceLine(const std::string& text, const std::string& url) {
  const bool bareLf = text.find('\n') != std::string::npos && text.find("\r\n") == std::string::npos;
  const std::string lineBreak = bareLf ? "\n" : "\r\n";
  std::string out = text;
  if (out.empty() || out.back() != '\n') out += lineBreak;
  out += lineBreak;
  out += url;
  return out;
}

}  // namespace ts
