// The settings file as the user (or anything else) may have left it: read
// through the INI reader from a real file, the integer conversion checked
// against an independent reading of its rules, and the password decoding.
// Input: the whole file; its first line is also fed to the converters.
#include <unistd.h>

#include <fstream>

#include "app/settings.h"
#include "fuzz/fuzz_common.h"
#include "platform/profile.h"
#include "runtime/text.h"

using namespace ts;

namespace {

std::string g_path;

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Leading blanks, then a signed decimal that fits 32 bits, or 1 to 8
// hexadecimal digits after "$", "x", "X", "0x" or "0X".
bool ReferenceToInt(std::string_view s, int32_t& out) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  s.remove_prefix(i);
  size_t prefix = 0;
  if (!s.empty() && (s[0] == '$' || s[0] == 'x' || s[0] == 'X'))
    prefix = 1;
  else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
    prefix = 2;
  if (prefix) {
    std::string_view digits = s.substr(prefix);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
      if (Hex(c) < 0) return false;
      v = v * 16 + static_cast<uint32_t>(Hex(c));
    }
    out = static_cast<int32_t>(v);
    return true;
  }
  bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  if (s.empty()) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_path = "/tmp/ts_fuzz_settings_" + std::to_string(getpid()) + ".ini";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(g_path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  TSettings s = LoadSettings(g_path);
  FUZZ_CHECK(s.url.size() < platform::kProfileBufferSize, "a value comes back within the buffer");
  FUZZ_CHECK(s.id.size() < platform::kProfileBufferSize, "a value comes back within the buffer");

  std::string first = fuzz::Split(data, size, 2)[0];
  int32_t mine = 0, reference = 0;
  bool ok = TryStrToInt(first, mine);
  FUZZ_CHECK(ok == ReferenceToInt(first, reference), "integer conversion accepts what its rules accept");
  if (ok) FUZZ_CHECK(mine == reference, "integer conversion gives the value its rules give");

  std::string decoded = PercentDecode(first);
  FUZZ_CHECK(PercentDecode(PercentEncode(first)) == first, "decoding undoes encoding");
  FUZZ_CHECK(ScrambleText(ScrambleText(first, kPasswordKey), kPasswordKey) == first, "scrambling is its own inverse");
  if (decoded == first && first.find_first_of("%+") != std::string::npos) {
    // Left undecoded: there must be an escape that is not "%" and two hexadecimal digits.
    bool malformed = false;
    for (size_t i = 0; i < first.size() && !malformed; ++i)
      if (first[i] == '%') {
        if (i + 2 >= first.size() || Hex(first[i + 1]) < 0 || Hex(first[i + 2]) < 0)
          malformed = true;
        else
          i += 2;
      }
    bool unchangedAnyway = first.find('+') == std::string::npos;
    FUZZ_CHECK(malformed || unchangedAnyway || decoded != first, "a well-formed value is decoded");
  }
  return 0;
}
