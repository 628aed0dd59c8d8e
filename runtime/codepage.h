// Conversions between the system code page, UTF-8 and UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace ts {

unsigned SystemCodePage();
// True when `b` starts a double-byte character in the system code page.
bool IsLeadByte(unsigned char b);

std::string SystemToUtf8(std::string_view text);
std::string Utf8ToSystem(std::string_view text);
std::u16string SystemToUtf16(std::string_view text);
std::string Utf16ToSystem(std::u16string_view text);

// Malformed input becomes U+FFFD rather than being dropped.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace ts
