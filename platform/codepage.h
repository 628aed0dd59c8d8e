// The system code page and conversions through the operating system's converter.
#pragma once

#include <string>
#include <string_view>

namespace platform {

unsigned AnsiCodePage();
bool IsDBCSLeadByte(unsigned codePage, unsigned char b);
std::u16string ToUtf16(unsigned codePage, std::string_view text);
std::string FromUtf16(unsigned codePage, std::u16string_view text);  // unmappable -> '?'

}  // namespace platform
