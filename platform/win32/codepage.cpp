#include "platform/codepage.h"

#include <windows.h>

namespace platform {

unsigned AnsiCodePage() { return ::GetACP(); }

bool IsDBCSLeadByte(unsigned codePage, unsigned char b) { return ::IsDBCSLeadByteEx(codePage, b) != 0; }

std::u16string ToUtf16(unsigned codePage, std::string_view text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(out.data()),
                        n);
  return out;
}

std::string FromUtf16(unsigned codePage, std::u16string_view text) {
  if (text.empty()) return {};
  auto w = reinterpret_cast<const wchar_t*>(text.data());
  int n = ::WideCharToMultiByte(codePage, 0, w, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(codePage, 0, w, static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace platform
