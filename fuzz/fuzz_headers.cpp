// Header lists and records: reading names and unfolded values, PutValue with
// folding, and a received head parsed into the response and request records
// (then written back out as a request would be).
// Input: byte 0 picks the code page and fold length, then
// name "\n" value "\n" head lines (CR LF or LF separated).
#include "fuzz/fuzz_common.h"
#include "http/headers.h"
#include "runtime/exception.h"
#include "runtime/text.h"

using namespace ts;

namespace {

// What folding and unfolding may change: blanks, commas, control bytes and line
// ends. Everything else of a value must come back in order.
std::string Essence(std::string_view text) {
  std::string out;
  for (char c : text)
    if (static_cast<unsigned char>(c) > 0x20 && c != ',') out += c;
  return out;
}

bool UsableName(const std::string& name) {
  if (name.empty()) return false;
  // A name is a token: no blanks, control bytes, commas or ":".
  for (char c : name)
    if (static_cast<unsigned char>(c) <= 0x20 || c == ':' || c == ',' || c == 0x7f) return false;
  // Names are compared on the upper-cased line; a name that upper-cases into
  // another (double-byte text) is not what this check is about.
  return name.find_first_of(
             "\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8a\x8b\x8c\x8d\x8e\x8f\x90\x91\x92\x93\x94\x95"
             "\x96\x97\x98\x99\x9a\x9b\x9c\x9d\x9e\x9f\xe0\xe1\xe2\xe3\xe4\xe5\xe6\xe7\xe8\xe9\xea\xeb"
             "\xec\xed\xee\xef\xf0\xf1\xf2\xf3\xf4\xf5\xf6\xf7\xf8\xf9\xfa\xfb\xfc") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::FixClock();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::PickCodePage(data, size);
  const int foldLength = (data[0] >> 1) % 90;
  std::vector<std::string> p = fuzz::Split(data + 1, size - 1, 3);
  p.resize(3);
  const std::string& name = p[0];
  const std::string& value = p[1];
  const std::string& head = p[2];

  // The head as lines, then every line read and a value put into it.
  TNetHeaderList list(foldLength);
  list.SetText(head);
  for (int i = 0; i < list.Count(); ++i) {
    list.NameOfLine(i);
    list.ValueOfLine(i);
  }
  list.FoldLines = (data[0] & 2) == 0;
  if (UsableName(name) && value.find_first_of("\r\n") == std::string::npos) {
    const int before = list.Count();
    list.PutValue(name, value);
    if (!Trim(value).empty()) {
      int at = list.FindName(name);
      FUZZ_CHECK(at >= 0, "a header put is found again");
      // Only the first header of that name is replaced; it is the one read back.
      // (Without folding the old continuation lines stay, as the list is told.)
      if (list.FoldLines) FUZZ_CHECK(Essence(list.ValueOfLine(at)) == Essence(value), "folding keeps the value's text");
      if (list.FoldLines)
        for (int i = at + 1; i < list.Count() && list.Strings(i).rfind(" ", 0) == 0; ++i)
          FUZZ_CHECK(!list.Strings(i).empty(), "continuation lines are not empty");
    }
    list.PutValue(name, "");
    FUZZ_CHECK(list.Count() <= before + 1, "removing takes the header back out");
  }

  // The head as a server would send it: the response record reads it.
  TNetResponseHeaderInfo response;
  response.RawHeaders().SetText(head);
  try {
    response.ParseHeaders();
  } catch (const EConvertError&) {
    // A Content-Range that is not a number ends the exchange with this error.
  }
  FUZZ_CHECK(response.HasContentLength() == (response.ContentLength() >= 0), "length flag follows the length");

  // The same lines as a received request, then written back out.
  TNetRequestHeaderInfo request;
  request.RawHeaders().SetText(head);
  request.ParseHeaders();
  request.WriteHeaders();
  TNetHeaderList folded(foldLength);
  folded.FoldText(head);
  return 0;
}
