// Real windows: our own window class for forms and hidden windows, the
// system's BUTTON, EDIT and STATIC controls subclassed so that their keys and
// clicks reach the toolkit. Captions go through the wide-character functions.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/accessible.h"
#include "platform/win32/dpi.h"
#include "platform/window.h"

namespace platform {

namespace {

struct State {
  WindowProc proc;
  WNDPROC original = nullptr;  // set for subclassed system controls
  WindowKind kind = WindowKind::Hidden;
  HFONT font = nullptr;
  bool isDefault = false;
  std::wstring accessibleName;  // empty: the system's own
};

const wchar_t kClassName[] = L"TextSnapWindow";
int g_nextId = 100;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

HWND H(WindowHandle h) { return reinterpret_cast<HWND>(h); }
WindowHandle Of(HWND h) { return reinterpret_cast<WindowHandle>(h); }
State* StateOf(HWND h) { return h ? reinterpret_cast<State*>(::GetWindowLongPtrW(h, GWLP_USERDATA)) : nullptr; }

bool Deliver(State* s, Message& m) {
  if (!s || !s->proc) return false;
  WindowProc proc = s->proc;  // the window may be freed while its procedure runs
  try {
    return proc(m);
  } catch (...) {
    // Nothing may unwind through the system's frames.
    return true;
  }
}

LRESULT CallDefault(State* s, HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (s && s->original) return ::CallWindowProcW(s->original, h, msg, w, l);
  return ::DefWindowProcW(h, msg, w, l);
}

BOOL CALLBACK FindDefault(HWND child, LPARAM out) {
  State* s = StateOf(child);
  if (s && s->isDefault && ::IsWindowVisible(child) && ::IsWindowEnabled(child)) {
    *reinterpret_cast<HWND*>(out) = child;
    return FALSE;
  }
  return TRUE;
}

LRESULT CALLBACK Procedure(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    ::SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  State* s = StateOf(h);
  if (msg == WM_NCDESTROY) {
    LRESULT r = CallDefault(s, h, msg, w, l);
    ::SetWindowLongPtrW(h, GWLP_USERDATA, 0);
    if (s && s->font) ::DeleteObject(s->font);
    delete s;
    return r;
  }
  if (msg == WM_GETOBJECT && s && !s->accessibleName.empty()) {
    if (LRESULT answer = win32::AnswerWithName(h, w, l, s->accessibleName)) return answer;
  }
  if (s && !s->original) {
    if (msg == WM_DPICHANGED) {
      // The toolkit gets the suggested place in its own terms.
      const auto* r = reinterpret_cast<const RECT*>(l);
      Rect suggested{};
      if (r) suggested = {r->left, r->top, r->right - r->left, r->bottom - r->top};
      Message m{wm::DpiChanged, static_cast<std::uintptr_t>(w), r ? reinterpret_cast<std::intptr_t>(&suggested) : 0, 0};
      if (Deliver(s, m)) return static_cast<LRESULT>(m.result);
      if (r)
        ::SetWindowPos(h, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    if (msg == WM_COMMAND && l != 0 && HIWORD(w) == BN_CLICKED) {
      Message m{wm::ControlClick, 0, 0, 0};
      Deliver(StateOf(reinterpret_cast<HWND>(l)), m);
      return 0;
    }
    if (msg == DM_GETDEFID) {
      HWND def = nullptr;
      ::EnumChildWindows(h, FindDefault, reinterpret_cast<LPARAM>(&def));
      return def ? MAKELRESULT(::GetDlgCtrlID(def), DC_HASDEFID) : 0;
    }
  }
  Message m{msg, static_cast<std::uintptr_t>(w), static_cast<std::intptr_t>(l), 0};
  if (Deliver(s, m)) return static_cast<LRESULT>(m.result);
  return CallDefault(s, h, msg, w, l);
}

void RegisterOnce() {
  static bool done = false;
  if (done) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Procedure;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  ::RegisterClassExW(&wc);
  done = true;
}

// Controls wait here until they get a parent of their own.
HWND Parking() {
  static HWND parking = nullptr;
  if (!parking) {
    RegisterOnce();
    parking = ::CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, ::GetModuleHandleW(nullptr),
                                new State);
  }
  return parking;
}

}  // namespace

// The interactive desktop is always there for a program started on it.
bool DesktopAvailable() { return true; }

WindowHandle NewWindow(WindowKind kind, WindowHandle parent, WindowProc proc) {
  RegisterOnce();
  auto* state = new State;
  state->proc = std::move(proc);
  state->kind = kind;
  HINSTANCE inst = ::GetModuleHandleW(nullptr);
  if (kind == WindowKind::Form || kind == WindowKind::Hidden) {
    DWORD style = kind == WindowKind::Form ? (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX) : WS_POPUP;
    DWORD exStyle = kind == WindowKind::Form ? WS_EX_CONTROLPARENT : 0;
    HWND h = ::CreateWindowExW(exStyle, kClassName, L"", style, CW_USEDEFAULT, CW_USEDEFAULT, 320, 240, nullptr,
                               nullptr, inst, state);
    if (!h) delete state;
    return Of(h);
  }
  const wchar_t* cls = L"BUTTON";
  DWORD style = WS_CHILD | WS_TABSTOP;
  DWORD exStyle = 0;
  switch (kind) {
    case WindowKind::Button:
      style |= BS_PUSHBUTTON;
      break;
    case WindowKind::CheckBox:
      style |= BS_AUTOCHECKBOX;
      break;
    case WindowKind::Edit:
      cls = L"EDIT";
      style |= ES_AUTOHSCROLL;
      exStyle = WS_EX_CLIENTEDGE;
      break;
    case WindowKind::Memo:
      cls = L"EDIT";
      style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL;
      exStyle = WS_EX_CLIENTEDGE;
      break;
    case WindowKind::Label:
      cls = L"STATIC";
      style = WS_CHILD | SS_LEFT | SS_NOPREFIX;
      break;
    default:
      break;
  }
  HWND owner = parent ? H(parent) : Parking();
  HWND h = ::CreateWindowExW(exStyle, cls, L"", style, 0, 0, 0, 0, owner,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextId++)), inst, nullptr);
  if (!h) {
    delete state;
    return 0;
  }
  ::SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  state->original =
      reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Procedure)));
  return Of(h);
}

void FreeWindow(WindowHandle window) {
  if (window && ::IsWindow(H(window))) ::DestroyWindow(H(window));
}

bool WindowExists(WindowHandle window) { return window && ::IsWindow(H(window)); }

void SetWindowParent(WindowHandle window, WindowHandle parent) {
  State* s = StateOf(H(window));
  if (!s || s->kind == WindowKind::Form || s->kind == WindowKind::Hidden) return;
  ::SetParent(H(window), parent ? H(parent) : Parking());
}

void SetWindowCaption(WindowHandle window, const std::string& utf8) { ::SetWindowTextW(H(window), Wide(utf8).c_str()); }

std::string WindowCaption(WindowHandle window) {
  int n = ::GetWindowTextLengthW(H(window));
  std::wstring w(static_cast<size_t>(n) + 1, L'\0');
  n = ::GetWindowTextW(H(window), w.data(), n + 1);
  w.resize(static_cast<size_t>(n));
  return Utf8(w);
}

void SetWindowBounds(WindowHandle window, const Rect& b) {
  ::MoveWindow(H(window), b.left, b.top, b.width, b.height, TRUE);
}

Rect WindowBounds(WindowHandle window) {
  RECT r{};
  ::GetWindowRect(H(window), &r);
  HWND parent = (::GetWindowLongPtrW(H(window), GWL_STYLE) & WS_CHILD) ? ::GetParent(H(window)) : nullptr;
  if (parent) ::MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

void SetClientSize(WindowHandle window, int width, int height) {
  RECT r{0, 0, width, height};
  DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(H(window), GWL_STYLE));
  DWORD exStyle = static_cast<DWORD>(::GetWindowLongPtrW(H(window), GWL_EXSTYLE));
  // The frame as it is drawn at the window's dpi.
  win32::AdjustForDpi(&r, style, exStyle, win32::DpiOfWindow(H(window)));
  ::SetWindowPos(H(window), nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CenterOnScreen(WindowHandle window) {
  RECT work{}, r{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  ::GetWindowRect(H(window), &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  ::SetWindowPos(H(window), nullptr, work.left + (work.right - work.left - w) / 2,
                 work.top + (work.bottom - work.top - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetWindowVisible(WindowHandle window, bool visible) {
  State* s = StateOf(H(window));
  if (s && s->kind == WindowKind::Hidden) return;
  bool top = s && s->kind == WindowKind::Form;
  ::ShowWindow(H(window), visible ? (top ? SW_SHOWNORMAL : SW_SHOWNA) : SW_HIDE);
  // The system hides focus rectangles until a key is pressed in a window
  // opened with the mouse (the tray menu): a form shows them from the start.
  if (visible && top)
    ::SendMessageW(H(window), WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
}

bool WindowVisible(WindowHandle window) { return (::GetWindowLongPtrW(H(window), GWL_STYLE) & WS_VISIBLE) != 0; }

void SetWindowEnabled(WindowHandle window, bool enabled) { ::EnableWindow(H(window), enabled ? TRUE : FALSE); }
bool WindowEnabled(WindowHandle window) { return ::IsWindowEnabled(H(window)) != 0; }

void SetWindowFont(WindowHandle window, const FontSpec& font) {
  State* s = StateOf(H(window));
  if (!s) return;
  HFONT f = ::CreateFontW(font.height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                          static_cast<BYTE>(font.charset), OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, Wide(font.name).c_str());
  ::SendMessageW(H(window), WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
  if (s->font) ::DeleteObject(s->font);
  s->font = f;
}

void SetFormFrame(WindowHandle form, bool toolWindow, bool borderIcons) {
  HWND h = H(form);
  LONG_PTR style = ::GetWindowLongPtrW(h, GWL_STYLE);
  LONG_PTR exStyle = ::GetWindowLongPtrW(h, GWL_EXSTYLE);
  style = borderIcons ? (style | WS_SYSMENU) : (style & ~(WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  if (toolWindow) style &= ~WS_MINIMIZEBOX;
  exStyle = toolWindow ? (exStyle | WS_EX_TOOLWINDOW) : (exStyle & ~WS_EX_TOOLWINDOW);
  ::SetWindowLongPtrW(h, GWL_STYLE, style);
  ::SetWindowLongPtrW(h, GWL_EXSTYLE, exStyle);
  ::SetWindowPos(h, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

void SetButtonDefault(WindowHandle button, bool isDefault) {
  if (State* s = StateOf(H(button))) s->isDefault = isDefault;
  ::SendMessageW(H(button), BM_SETSTYLE, isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

void SetChecked(WindowHandle checkBox, bool checked) {
  ::SendMessageW(H(checkBox), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}
bool Checked(WindowHandle checkBox) { return ::SendMessageW(H(checkBox), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void SetPasswordChar(WindowHandle edit, char ch) {
  ::SendMessageW(H(edit), EM_SETPASSWORDCHAR, static_cast<WPARAM>(static_cast<unsigned char>(ch)), 0);
  ::InvalidateRect(H(edit), nullptr, TRUE);
}

void SetReadOnly(WindowHandle edit, bool readOnly) {
  ::SendMessageW(H(edit), EM_SETREADONLY, readOnly ? TRUE : FALSE, 0);
}

void SetTabSequence(WindowHandle /*form*/, const std::vector<WindowHandle>& order) {
  // Dialog navigation follows the z-order of the children, and so does the
  // system's accessible object of an edit, which is named by the label
  // before it (labels are no tab stops: navigation passes over them).
  HWND after = HWND_TOP;
  for (WindowHandle w : order) {
    ::SetWindowPos(H(w), after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    after = H(w);
  }
}

Point MeasureText(WindowHandle window, const std::string& utf8) {
  HWND h = H(window);
  State* s = StateOf(h);
  HDC dc = ::GetDC(h);
  HGDIOBJ old = s && s->font ? ::SelectObject(dc, s->font) : nullptr;
  RECT r{0, 0, 0, 0};
  std::wstring text = Wide(utf8);
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_NOPREFIX | DT_LEFT);
  if (old) ::SelectObject(dc, old);
  ::ReleaseDC(h, dc);
  return {r.right - r.left, r.bottom - r.top};
}

void SetAccessibleName(WindowHandle window, const std::string& utf8) {
  if (State* s = StateOf(H(window))) s->accessibleName = Wide(utf8);
  // Screen readers that hold the control's object ask for its name again.
  ::NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, H(window), OBJID_CLIENT, CHILDID_SELF);
}

void FocusWindow(WindowHandle window) { ::SetFocus(H(window)); }
WindowHandle FocusedWindow() { return Of(::GetFocus()); }
bool KeyIsDown(unsigned virtualKey) { return (::GetKeyState(static_cast<int>(virtualKey)) & 0x8000) != 0; }

std::intptr_t SendToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  return static_cast<std::intptr_t>(
      ::SendMessageW(H(window), msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
}

bool PostToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (!::IsWindow(H(window))) return false;
  return ::PostMessageW(H(window), msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != 0;
}

Pumped PumpMessage(bool wait) {
  MSG msg;
  if (wait) {
    BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) return Pumped::Quit;
    if (got < 0) return Pumped::Nothing;
  } else if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    return Pumped::Nothing;
  } else if (msg.message == WM_QUIT) {
    return Pumped::Quit;
  }
  // Dialog navigation takes Tab and Enter; Escape goes on to the control
  // (no form of ours closes on it).
  bool escape = msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE;
  if (msg.hwnd && !escape) {
    HWND root = ::GetAncestor(msg.hwnd, GA_ROOT);
    State* s = StateOf(root);
    if (s && s->kind == WindowKind::Form && ::IsDialogMessageW(root, &msg)) return Pumped::Message;
  }
  ::TranslateMessage(&msg);
  ::DispatchMessageW(&msg);
  return Pumped::Message;
}

bool BringToForeground(WindowHandle window) { return ::SetForegroundWindow(H(window)) != 0; }

bool SetWindowTimer(WindowHandle window, std::uintptr_t id, uint32_t milliseconds) {
  // The system posts WM_TIMER to the window's procedure (no callback function).
  return ::SetTimer(H(window), static_cast<UINT_PTR>(id), milliseconds ? milliseconds : 1, nullptr) != 0;
}

void KillWindowTimer(WindowHandle window, std::uintptr_t id) { ::KillTimer(H(window), static_cast<UINT_PTR>(id)); }

}  // namespace platform
