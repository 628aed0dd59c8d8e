#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/shell.h"
#include "platform/win32/dpi.h"

namespace platform {

namespace {
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}
HWND H(WindowHandle h) { return reinterpret_cast<HWND>(h); }

template <size_t N, size_t M>
void CopyZ(char (&dest)[N], const char (&src)[M]) {
  constexpr size_t n = N < M ? N : M;
  std::memcpy(dest, src, n);
  dest[N - 1] = '\0';
}
}  // namespace

int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption, unsigned style) {
  return ::MessageBoxW(H(owner), Wide(text).c_str(), Wide(caption).c_str(), style);
}

namespace {
HMENU BuildMenu(const std::vector<MenuEntry>& entries) {
  HMENU menu = ::CreatePopupMenu();
  for (const MenuEntry& e : entries) {
    if (e.caption == "-") {
      ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    UINT flags = MF_STRING | (e.enabled ? 0 : MF_GRAYED) | (e.checked ? MF_CHECKED : 0);
    if (!e.submenu.empty()) {
      // The parent menu owns the submenu and destroys it with itself.
      ::AppendMenuW(menu, flags | MF_POPUP, reinterpret_cast<UINT_PTR>(BuildMenu(e.submenu)), Wide(e.caption).c_str());
      continue;
    }
    ::AppendMenuW(menu, flags, static_cast<UINT_PTR>(e.command), Wide(e.caption).c_str());
  }
  return menu;
}
}  // namespace

int TrackPopup(WindowHandle owner, const std::vector<MenuEntry>& entries, int x, int y) {
  HMENU menu = BuildMenu(entries);
  // A menu closes on a click elsewhere only while its owner is in front.
  ::SetForegroundWindow(H(owner));
  int chosen = static_cast<int>(
      ::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, x, y, 0, H(owner), nullptr));
  ::DestroyMenu(menu);
  return chosen;
}

std::intptr_t ShellOpen(WindowHandle owner, const char* verb, const std::string& file, const char* parameters,
                        const char* directory, int showCommand) {
  return reinterpret_cast<std::intptr_t>(
      ::ShellExecuteA(H(owner), verb, file.c_str(), parameters, directory, showCommand));
}

uint32_t NotifyIconSizeV1() { return NOTIFYICONDATAA_V1_SIZE; }
uint32_t NotifyIconSizeV5() { return NOTIFYICONDATAA_V2_SIZE; }

bool ShellNotifyIcon(uint32_t command, const NotifyIconData& d, uint32_t* lastError) {
  NOTIFYICONDATAA nid;
  std::memset(&nid, 0, sizeof nid);
  nid.cbSize = d.cbSize;
  nid.hWnd = H(d.hWnd);
  nid.uID = d.uID;
  nid.uFlags = d.uFlags;
  nid.uCallbackMessage = d.uCallbackMessage;
  nid.hIcon = reinterpret_cast<HICON>(d.hIcon);
  CopyZ(nid.szTip, d.szTip);
  nid.dwState = d.dwState;
  nid.dwStateMask = d.dwStateMask;
  CopyZ(nid.szInfo, d.szInfo);
  nid.uTimeout = d.uTimeout;
  if (command == NIM_SETVERSION) nid.uVersion = d.uVersion;  // the same place as uTimeout
  CopyZ(nid.szInfoTitle, d.szInfoTitle);
  nid.dwInfoFlags = d.dwInfoFlags;
  ::SetLastError(0);
  bool ok = ::Shell_NotifyIconA(command, &nid) != 0;
  if (lastError) *lastError = ok ? 0 : ::GetLastError();
  return ok;
}

uint16_t Shell32MajorVersion() {
  char dir[261] = {};
  UINT n = ::GetSystemDirectoryA(dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return 0;
  std::string path(dir, n);
  if (path.back() != '\\') path += '\\';
  path += "shell32.dll";
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return 0;
  std::vector<char> data(size);
  if (!::GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return 0;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &len) || !info) return 0;
  return HIWORD(info->dwFileVersionMS);
}

OsVersion PlatformVersion() {
  OSVERSIONINFOA v;
  std::memset(&v, 0, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!::GetVersionExA(&v)) return {};
#pragma GCC diagnostic pop
  return {v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber};
}

IconHandle ApplicationIcon(int pixels) {
  // One icon per size, kept for the life of the program (the shell may show
  // any of them at any time).
  static std::mutex lock;
  static std::map<int, HICON> icons;
  std::lock_guard<std::mutex> hold(lock);
  if (pixels <= 0) pixels = ::GetSystemMetrics(SM_CXICON);
  HICON& icon = icons[pixels];
  if (!icon) {
    // LoadImage picks the image of the resource that has this size (and
    // scales only when none has); the shared system icon comes at any size.
    HINSTANCE inst = ::GetModuleHandleW(nullptr);
    for (LPCWSTR name : {static_cast<LPCWSTR>(MAKEINTRESOURCEW(1)), static_cast<LPCWSTR>(L"MAINICON")}) {
      icon = static_cast<HICON>(::LoadImageW(inst, name, IMAGE_ICON, pixels, pixels, LR_DEFAULTCOLOR));
      if (icon) break;
    }
    if (!icon)
      icon = static_cast<HICON>(
          ::LoadImageW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION), IMAGE_ICON, pixels, pixels, LR_SHARED));
  }
  return reinterpret_cast<IconHandle>(icon);
}

int NotifyIconPixels() {
  // The notification area sits on the taskbar of the primary monitor.
  HWND taskbar = ::FindWindowW(L"Shell_TrayWnd", nullptr);
  HMONITOR monitor = ::MonitorFromWindow(taskbar, MONITOR_DEFAULTTOPRIMARY);
  return win32::MetricForDpi(SM_CXSMICON, win32::DpiOfMonitor(monitor));
}

IconHandle StockIcon(int which) {
  LPCWSTR ids[] = {reinterpret_cast<LPCWSTR>(IDI_APPLICATION), reinterpret_cast<LPCWSTR>(IDI_INFORMATION),
                   reinterpret_cast<LPCWSTR>(IDI_WARNING), reinterpret_cast<LPCWSTR>(IDI_ERROR)};
  if (which < 0 || which > 3) return 0;
  return reinterpret_cast<IconHandle>(::LoadIconW(nullptr, ids[which]));
}

IconHandle CopyIconHandle(IconHandle icon) {
  return icon ? reinterpret_cast<IconHandle>(::CopyIcon(reinterpret_cast<HICON>(icon))) : 0;
}

void FreeIconHandle(IconHandle icon) {
  if (icon) ::DestroyIcon(reinterpret_cast<HICON>(icon));
}

}  // namespace platform
