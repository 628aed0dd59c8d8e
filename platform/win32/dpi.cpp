// The dpi functions of newer Windows versions are looked up at run time: the
// program runs on Windows 7 too, where the system's one dpi holds for every
// monitor and the system metrics are already at that dpi.
#include "platform/win32/dpi.h"

#include "platform/window.h"

namespace platform::win32 {

namespace {

template <typename F>
F Find(const wchar_t* module, const char* name) {
  HMODULE m = ::GetModuleHandleW(module);
  if (!m) m = ::LoadLibraryW(module);
    // The usual way to reach an optional entry point: its type is known here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
  return m ? reinterpret_cast<F>(::GetProcAddress(m, name)) : nullptr;
#pragma GCC diagnostic pop
}

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetDpiForSystemFn = UINT(WINAPI*)();
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);

struct Api {
  GetDpiForWindowFn forWindow = Find<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
  GetDpiForSystemFn forSystem = Find<GetDpiForSystemFn>(L"user32.dll", "GetDpiForSystem");
  GetDpiForMonitorFn forMonitor = Find<GetDpiForMonitorFn>(L"shcore.dll", "GetDpiForMonitor");
  AdjustWindowRectExForDpiFn adjust = Find<AdjustWindowRectExForDpiFn>(L"user32.dll", "AdjustWindowRectExForDpi");
  GetSystemMetricsForDpiFn metric = Find<GetSystemMetricsForDpiFn>(L"user32.dll", "GetSystemMetricsForDpi");
};

const Api& A() {
  static const Api api;
  return api;
}

}  // namespace

UINT SystemDpi() {
  if (A().forSystem) return A().forSystem();
  HDC screen = ::GetDC(nullptr);
  int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : kBaseDpi;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

UINT DpiOfMonitor(HMONITOR monitor) {
  UINT x = 0, y = 0;
  constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI
  if (monitor && A().forMonitor && SUCCEEDED(A().forMonitor(monitor, kEffectiveDpi, &x, &y)) && y > 0) return y;
  return SystemDpi();
}

UINT DpiOfWindow(HWND window) {
  if (window && A().forWindow) {
    if (UINT dpi = A().forWindow(window)) return dpi;
  }
  if (window) return DpiOfMonitor(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST));
  return SystemDpi();
}

void AdjustForDpi(RECT* rect, DWORD style, DWORD exStyle, UINT dpi) {
  if (A().adjust && A().adjust(rect, style, FALSE, exStyle, dpi)) return;
  ::AdjustWindowRectEx(rect, style, FALSE, exStyle);
}

int MetricForDpi(int index, UINT dpi) {
  if (A().metric) return A().metric(index, dpi);
  // The metrics are the system dpi's; a monitor of another dpi scales them.
  return ::MulDiv(::GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

}  // namespace platform::win32

namespace platform {

int WindowDpi(WindowHandle window) { return static_cast<int>(win32::DpiOfWindow(reinterpret_cast<HWND>(window))); }

}  // namespace platform
