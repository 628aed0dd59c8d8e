// Text helpers over byte strings in the system code page.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace ts {

// Trim removes bytes up to and including 0x20 from both ends (one end for the Left/Right forms).
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// ASCII case mapping and comparison; bytes from 0x80 up are left alone.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
int CompareText(std::string_view a, std::string_view b);  // <0, 0, >0, letters folded
bool SameText(std::string_view a, std::string_view b);
bool StartsText(std::string_view prefix, std::string_view s);

// Integer conversion: optional leading blanks, then a signed decimal or a hexadecimal
// number after "$", "x", "X", "0x" or "0X" (at most 8 hex digits, no sign). The whole
// text must convert; decimal values must fit in 32 bits signed.
bool TryStrToInt(std::string_view s, int32_t& value);
int32_t StrToIntDef(std::string_view s, int32_t def);
int32_t StrToInt(std::string_view s);  // raises EConvertError
bool TryStrToInt64(std::string_view s, int64_t& value);
std::string IntToStr(int64_t value);
std::string IntToHex(uint64_t value, int digits);

// 1-based position of `needle` in `hay`, 0 when absent (plain byte search).
size_t Pos(std::string_view needle, std::string_view hay);
// The same, but a match may only start on a character boundary of the system
// code page (never inside a double-byte character).
size_t AnsiPos(std::string_view needle, std::string_view hay);

// The folder part of a path in the system code page, up to and including its
// last backslash or "/"; empty when it has none. A double-byte character is stepped
// over whole, so its trail byte (0x5C in "表" of code page 932) never counts
// as a separator.
std::string ExtractFilePath(std::string_view path);

// Printf-like formatting with the conversions the system's messages use:
// %s %d %u %x %f %e %g %%, with optional "-", width and ".precision"
// ("%.2d" pads with zeros, "%f" defaults to two decimals).
using FormatArg = std::variant<int64_t, double, std::string>;
struct FormatValue {
  FormatArg v;
  FormatValue(int x) : v(static_cast<int64_t>(x)) {}
  FormatValue(unsigned x) : v(static_cast<int64_t>(x)) {}
  FormatValue(long x) : v(static_cast<int64_t>(x)) {}
  FormatValue(long long x) : v(static_cast<int64_t>(x)) {}
  FormatValue(unsigned long x) : v(static_cast<int64_t>(x)) {}
  FormatValue(unsigned long long x) : v(static_cast<int64_t>(x)) {}
  FormatValue(double x) : v(x) {}
  FormatValue(const char* x) : v(std::string(x)) {}
  FormatValue(std::string x) : v(std::move(x)) {}
  FormatValue(std::string_view x) : v(std::string(x)) {}
};
std::string Format(std::string_view format, std::initializer_list<FormatValue> args);

}  // namespace ts
