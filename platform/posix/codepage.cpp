// Code-page conversion through iconv. Which code page the program runs in
// is the desktop backend's to say (AnsiCodePage).
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <string>

namespace platform {

namespace {
std::string IconvName(unsigned cp) {
  switch (cp) {
    case 65001:
      return "UTF-8";
    case 20127:
      return "ASCII";
    case 28591:
      return "ISO-8859-1";
    default:
      return "CP" + std::to_string(cp);
  }
}

// Convert with iconv, putting `replacement` in place of anything that does not map.
template <typename Out>
Out Convert(const char* from, const char* to, const char* data, size_t size, size_t unitIn, const Out& replacement) {
  Out out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return replacement;
  std::string buffer(size * 4 + 16, '\0');
  char* in = const_cast<char*>(data);
  size_t inLeft = size;
  while (inLeft > 0) {
    char* o = buffer.data();
    size_t oLeft = buffer.size();
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(reinterpret_cast<const typename Out::value_type*>(buffer.data()),
               (buffer.size() - oLeft) / sizeof(typename Out::value_type));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Unmappable or broken input: emit the replacement and skip one unit.
      out += replacement;
      size_t skip = std::min(unitIn, inLeft);
      in += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}
}  // namespace

bool IsDBCSLeadByte(unsigned cp, unsigned char b) {
  switch (cp) {
    case 932:
      return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950:
      return b >= 0x81 && b <= 0xFE;
    default:
      return false;
  }
}

std::u16string ToUtf16(unsigned cp, std::string_view text) {
  if (text.empty()) return {};
  return Convert<std::u16string>(IconvName(cp).c_str(), "UTF-16LE", text.data(), text.size(), 1, u"\xFFFD");
}

std::string FromUtf16(unsigned cp, std::u16string_view text) {
  if (text.empty()) return {};
  return Convert<std::string>("UTF-16LE", IconvName(cp).c_str(), reinterpret_cast<const char*>(text.data()),
                              text.size() * 2, 2, std::string("?"));
}

}  // namespace platform
