#include "platform/instance.h"

#include <windows.h>

namespace platform {

namespace {
std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

struct Search {
  std::wstring name;
  HWND found = nullptr;
};

BOOL CALLBACK Visit(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  if (::GetPropW(window, search->name.c_str()) == nullptr) return TRUE;
  search->found = window;
  return FALSE;
}
}  // namespace

bool ClaimSessionName(const std::string& name) {
  // "Local\" is the namespace of the log-on session: another user, or the
  // same user in another session, runs a program of their own.
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, (L"Local\\" + Wide(name)).c_str());
  if (!mutex) return false;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return false;
  }
  // The handle stays open for the life of the process; the system closes it.
  return true;
}

void MarkWindow(WindowHandle window, const std::string& name) {
  ::SetPropW(reinterpret_cast<HWND>(window), Wide(name).c_str(), reinterpret_cast<HANDLE>(1));
}

WindowHandle FindMarkedWindow(const std::string& name) {
  Search search{Wide(name)};
  ::EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
  return reinterpret_cast<WindowHandle>(search.found);
}

}  // namespace platform
