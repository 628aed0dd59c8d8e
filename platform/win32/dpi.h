// Dpi of windows and monitors on real Windows, with what each Windows version
// offers: per-monitor values from Windows 10 (1607) on, the monitor's from
// 8.1, the system's before. Shared by the files of this backend only.
#pragma once

#include <windows.h>

namespace platform::win32 {

UINT SystemDpi();
UINT DpiOfMonitor(HMONITOR monitor);
UINT DpiOfWindow(HWND window);
// The outer rectangle for a client rectangle of a window drawn at `dpi`.
void AdjustForDpi(RECT* rect, DWORD style, DWORD exStyle, UINT dpi);
// A system metric (SM_CXSMICON ...) as it is at `dpi`.
int MetricForDpi(int index, UINT dpi);

}  // namespace platform::win32
