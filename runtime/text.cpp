#include "runtime/text.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "runtime/codepage.h"
#include "runtime/exception.h"

namespace ts {

std::string TrimLeft(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(0, e));
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(b, e - b));
}

static char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = Upper(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = Lower(c);
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(Upper(a[i]));
    auto y = static_cast<unsigned char>(Upper(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool SameText(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareText(a, b) == 0; }

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && SameText(prefix, s.substr(0, prefix.size()));
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool TryStrToInt64(std::string_view s, int64_t& value) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i == s.size()) return false;
  size_t hexStart = std::string_view::npos;
  if (s[i] == '$' || s[i] == 'x' || s[i] == 'X')
    hexStart = i + 1;
  else if (s[i] == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X'))
    hexStart = i + 2;
  if (hexStart != std::string_view::npos) {
    size_t digits = s.size() - hexStart;
    if (digits == 0 || digits > 16) return false;
    uint64_t v = 0;
    for (size_t k = hexStart; k < s.size(); ++k) {
      int d = HexDigit(s[k]);
      if (d < 0) return false;
      v = v * 16 + static_cast<uint64_t>(d);
    }
    value = static_cast<int64_t>(v);
    return true;
  }
  bool negative = false;
  if (s[i] == '+' || s[i] == '-') {
    negative = s[i] == '-';
    ++i;
  }
  if (i == s.size()) return false;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    auto d = static_cast<uint64_t>(s[i] - '0');
    if (v > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1 - d) / 10) return false;
    v = v * 10 + d;
  }
  if (!negative && v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

bool TryStrToInt(std::string_view s, int32_t& value) {
  // Hexadecimal takes at most 8 digits and may set the sign bit; decimal must fit.
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool hex = i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X' ||
                              (s[i] == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')));
  int64_t v;
  if (!TryStrToInt64(s, v)) return false;
  if (hex) {
    size_t prefix = (s[i] == '0') ? 2 : 1;
    if (s.size() - i - prefix > 8) return false;
    value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
  }
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(v);
  return true;
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  int32_t v;
  return TryStrToInt(s, v) ? v : def;
}

int32_t StrToInt(std::string_view s) {
  int32_t v;
  if (!TryStrToInt(s, v)) throw EConvertError(Format("'%s' は有効な整数値ではありません", {std::string(s)}));
  return v;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string IntToHex(uint64_t value, int digits) {
  static const char* hex = "0123456789ABCDEF";
  std::string r;
  do {
    r.insert(r.begin(), hex[value & 15]);
    value >>= 4;
  } while (value);
  while (static_cast<int>(r.size()) < digits) r.insert(r.begin(), '0');
  return r;
}

size_t Pos(std::string_view needle, std::string_view hay) {
  if (needle.empty()) return 0;
  size_t p = hay.find(needle);
  return p == std::string_view::npos ? 0 : p + 1;
}

size_t AnsiPos(std::string_view needle, std::string_view hay) {
  if (needle.empty() || needle.size() > hay.size()) return 0;
  // Header and date parsing call this for every token, so the common case is
  // kept cheap: the full comparison only where the first byte matches, and the
  // code page asked only about bytes that can lead a double-byte character.
  const char first = needle.front();
  const size_t last = hay.size() - needle.size();
  size_t i = 0;
  while (i <= last) {
    const unsigned char c = static_cast<unsigned char>(hay[i]);
    if (hay[i] == first && hay.compare(i, needle.size(), needle) == 0) return i + 1;
    // Step over a whole character: a lead byte takes its trail byte with it.
    i += (c >= 0x80 && IsLeadByte(c) && i + 1 < hay.size()) ? 2 : 1;
  }
  return 0;
}

std::string ExtractFilePath(std::string_view path) {
  size_t cut = 0;  // just past the last separator seen
  size_t i = 0;
  while (i < path.size()) {
    auto b = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(b) && i + 1 < path.size()) {
      i += 2;
      continue;
    }
    ++i;
    if (b == '\\' || b == '/') cut = i;
  }
  return std::string(path.substr(0, cut));
}

namespace {
[[noreturn]] void BadFormat(std::string_view format) {
  throw EConvertError(Format("書式 '%s' が無効か、または引数と互換性がありません", {std::string(format)}));
}
}  // namespace

std::string Format(std::string_view format, std::initializer_list<FormatValue> args) {
  std::string out;
  auto arg = args.begin();
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i < format.size() && format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    bool left = false;
    if (i < format.size() && format[i] == '-') {
      left = true;
      ++i;
    }
    int width = -1, precision = -1;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
      width = (width < 0 ? 0 : width) * 10 + (format[i] - '0');
      ++i;
    }
    if (i < format.size() && format[i] == '.') {
      ++i;
      precision = 0;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9')
        precision = precision * 10 + (format[i++] - '0');
    }
    if (i >= format.size()) BadFormat(format);
    char conv = static_cast<char>(Lower(format[i++]));
    if (arg == args.end()) BadFormat(format);
    const FormatArg& v = (arg++)->v;
    std::string piece;
    switch (conv) {
      case 'd':
      case 'u':
      case 'x': {
        const int64_t* n = std::get_if<int64_t>(&v);
        if (!n) BadFormat(format);
        bool negative = conv == 'd' && *n < 0;
        uint64_t mag = conv == 'd' ? (negative ? 0 - static_cast<uint64_t>(*n) : static_cast<uint64_t>(*n))
                                   : static_cast<uint64_t>(*n) & (*n < 0 && *n >= INT32_MIN ? 0xFFFFFFFFull : ~0ull);
        std::string digits = conv == 'x' ? IntToHex(mag, 0) : std::to_string(mag);
        if (precision > 0)
          while (static_cast<int>(digits.size()) < precision) digits.insert(digits.begin(), '0');
        piece = (negative ? "-" : "") + digits;
        break;
      }
      case 'f':
      case 'e':
      case 'g': {
        double d;
        if (const double* pd = std::get_if<double>(&v))
          d = *pd;
        else if (const int64_t* pn = std::get_if<int64_t>(&v))
          d = static_cast<double>(*pn);
        else
          BadFormat(format);
        const int prec = precision < 0 ? (conv == 'g' ? 15 : 2) : precision;
        char buf[512];
        if (conv == 'f')
          std::snprintf(buf, sizeof buf, "%.*f", prec, d);
        else if (conv == 'e')
          std::snprintf(buf, sizeof buf, "%.*e", prec, d);
        else
          std::snprintf(buf, sizeof buf, "%.*g", prec, d);
        piece = buf;
        break;
      }
      case 's': {
        const std::string* s = std::get_if<std::string>(&v);
        if (!s) BadFormat(format);
        piece = precision >= 0 ? s->substr(0, static_cast<size_t>(precision)) : *s;
        break;
      }
      default:
        BadFormat(format);
    }
    if (width > 0 && static_cast<int>(piece.size()) < width) {
      std::string pad(static_cast<size_t>(width) - piece.size(), ' ');
      if (left) {
        piece += pad;
      } else {
        piece.insert(0, pad);
      }
    }
    out += piece;
  }
  return out;
}

}  // namespace ts
