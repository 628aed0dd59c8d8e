// URL splitting, joining, relative path merging, the token helpers and HTTP
// date parsing. Input: URL "\n" base path "\n" relative path "\n" date text.
#include <cmath>

#include "fuzz/fuzz_common.h"
#include "http/exceptions.h"
#include "http/httpdate.h"
#include "http/uri.h"

using namespace ts;

namespace {
// A double-byte character of the host or port could swallow the "/" that
// joining puts after it; such names are not what the round trip checks.
bool Ascii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::FixClock();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PickCodePage(data, size);
  std::vector<std::string> p = fuzz::Split(data, size, 4);
  p.resize(4);

  TNetURI uri(p[0]);
  try {
    // A joined URL, parsed again, gives the same host and port back.
    std::string full = uri.GetFullURI(false, false);
    if (Ascii(uri.Host) && Ascii(uri.Port) && uri.Host.find_first_of(":/@\\?=#") == std::string::npos &&
        uri.Port.find_first_of("/\\?=#@") == std::string::npos) {
      TNetURI again(full);
      FUZZ_CHECK(again.Host == uri.Host, "host survives a round trip");
      FUZZ_CHECK(again.Port == uri.Port, "port survives a round trip");
    }
    uri.URI();
  } catch (const ENetURIException&) {
    FUZZ_CHECK(uri.Protocol.empty() || uri.Host.empty(), "only an empty protocol or host refuses to join");
  }
  if (!uri.Protocol.empty()) FUZZ_CHECK(!uri.Path.empty() && uri.Path[0] == '/', "absolute path starts with /");

  std::string merged = MergePath(p[1], p[2]);
  if (!p[2].empty() && p[2][0] == '/')
    FUZZ_CHECK(merged == p[2], "an absolute path stays as it is");
  else
    FUZZ_CHECK(merged.find("//") == std::string::npos, "runs of / collapse");

  std::string input = p[1];
  std::string delimiter = p[2].substr(0, 3);
  std::string token = CutToken(input, delimiter.empty() ? " " : delimiter, size & 2, size & 4);
  FUZZ_CHECK(token.size() <= p[1].size(), "a token is part of its input");
  size_t last = FindLast(p[2].substr(0, 4), p[1], static_cast<long>(size % 64) - 1);
  FUZZ_CHECK(last <= p[1].size(), "FindLast stays inside the text");

  TDateTime when = HttpDateToLocal(p[3]);
  FUZZ_CHECK(std::isfinite(when), "a date is a finite number");
  if (when != 0) {
    // Year 1 to 9999 and a zone of at most +-99:99 keep the value in this range.
    FUZZ_CHECK(when > -693600 && when < 2958470, "a parsed date lies inside the calendar");
    FormatGmtDate(when);
    FormatLocalDate(when);
  }
  (void)TNetURI::EncodeParamValue(p[3]);
  return 0;
}
