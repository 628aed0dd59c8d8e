#include <windows.h>

#include <string>

#include "platform/codepage.h"
#include "platform/foreground.h"

namespace platform {

namespace {
std::string Utf8(const wchar_t* text, size_t length) {
  return FromUtf16(65001, std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// The file name of the program that runs `process`, without its folder.
std::string ProgramOf(DWORD process) {
  // Limited rights are enough for the image name, also of an elevated program.
  HANDLE handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
  if (!handle) return {};
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  const bool named = ::QueryFullProcessImageNameW(handle, 0, path.data(), &size) != 0;
  ::CloseHandle(handle);
  if (!named) return {};
  path.resize(size);
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  return Utf8(name.data(), name.size());
}
}  // namespace

ForegroundWindow ForegroundWindowInfo() {
  ForegroundWindow out;
  HWND window = ::GetForegroundWindow();
  if (!window) return out;
  // Another program's window: its caption is read without a message to it,
  // so a program that hangs cannot hold the snap.
  const int length = ::GetWindowTextLengthW(window);
  if (length > 0) {
    std::wstring title(static_cast<size_t>(length) + 1, L'\0');
    const int got = ::GetWindowTextW(window, title.data(), length + 1);
    out.title = Utf8(title.data(), static_cast<size_t>(got > 0 ? got : 0));
  }
  DWORD process = 0;
  if (::GetWindowThreadProcessId(window, &process) && process) out.program = ProgramOf(process);
  return out;
}

}  // namespace platform
