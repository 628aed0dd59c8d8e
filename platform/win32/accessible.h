// Accessible names for controls whose caption or label does not say enough.
// Shared by the files of this backend only.
#pragma once

#include <windows.h>

#include <string>

namespace platform::win32 {

// Answers WM_GETOBJECT for the client object of `window`: the system's own
// object for the control with `name` in place of the one it would give.
// Returns 0 (not answered) for any other object or when that fails.
LRESULT AnswerWithName(HWND window, WPARAM wParam, LPARAM lParam, const std::wstring& name);

}  // namespace platform::win32
