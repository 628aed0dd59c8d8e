// Windows and messages: the handle + window-procedure model the ui layer is
// built on. A window is created with a kind and a procedure; messages sent to
// it reach the procedure at once, posted ones wait in the GUI thread's queue
// until the loop pumps them. Captions and texts are UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

using WindowHandle = std::uintptr_t;  // 0 means none
using IconHandle = std::uintptr_t;    // 0 means none

// Message numbers: the operating system's own, plus two of the toolkit.
namespace wm {
constexpr uint32_t Null = 0x0000;
constexpr uint32_t Close = 0x0010;
constexpr uint32_t QueryEndSession = 0x0011;
// Ends the message loop; it belongs to the thread, not to a window.
constexpr uint32_t Quit = 0x0012;
// Broadcast to top-level windows: a system setting or the displays changed
// (a monitor's scale, for one).
constexpr uint32_t SettingChange = 0x001A;
constexpr uint32_t DisplayChange = 0x007E;
constexpr uint32_t KeyDown = 0x0100;
constexpr uint32_t SysKeyDown = 0x0104;
constexpr uint32_t HotKey = 0x0312;
constexpr uint32_t Timer = 0x0113;  // wParam: the timer's id
constexpr uint32_t MouseMove = 0x0200;
constexpr uint32_t LButtonDown = 0x0201;
constexpr uint32_t LButtonUp = 0x0202;
constexpr uint32_t LButtonDblClk = 0x0203;
constexpr uint32_t RButtonDown = 0x0204;
constexpr uint32_t RButtonUp = 0x0205;
constexpr uint32_t MButtonDown = 0x0207;
constexpr uint32_t MButtonUp = 0x0208;
// The window's dpi changed (it moved to another monitor, or the monitor's
// scale changed). wParam: the new dpi; lParam: the outer rectangle the system
// suggests, a const Rect* in screen pixels (left, top, width, height).
constexpr uint32_t DpiChanged = 0x02E0;
constexpr uint32_t User = 0x0400;
// A button or check box was clicked (by mouse, keyboard or the default-button
// rule); a check box has already changed its state when this arrives.
constexpr uint32_t ControlClick = 0xBD11;
// Work handed over from another thread is waiting (see ui/thread.h).
constexpr uint32_t Notice = 0xBD80;
}  // namespace wm

struct Message {
  uint32_t msg = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  std::intptr_t result = 0;
};

// Returns true when it handled the message (then `result` is the answer);
// false leaves it to the window's default processing.
using WindowProc = std::function<bool(Message& message)>;

enum class WindowKind {
  Form,    // top-level window with a caption
  Hidden,  // a window that is never shown; receives messages only
  Button,
  CheckBox,
  Edit,  // single line
  Memo,  // multi-line edit
  Label,
};

struct FontSpec {
  std::string name;  // UTF-8
  int height = -12;  // negative: character height, positive: cell height, in the window's own pixels
  int charset = 1;   // 1 default, 128 Shift-JIS
  bool bold = false;
};

struct Rect {
  int left = 0, top = 0, width = 0, height = 0;
};

struct Point {
  int x = 0, y = 0;
};

// True when windows can be shown (a display is there and the toolkit started).
bool DesktopAvailable();

// Creation and destruction. A window without a parent is top-level (controls
// without a parent are parked until one is given).
WindowHandle NewWindow(WindowKind kind, WindowHandle parent, WindowProc proc);
void FreeWindow(WindowHandle window);
bool WindowExists(WindowHandle window);
void SetWindowParent(WindowHandle window, WindowHandle parent);

// Appearance and state.
void SetWindowCaption(WindowHandle window, const std::string& utf8);
std::string WindowCaption(WindowHandle window);
void SetWindowBounds(WindowHandle window, const Rect& bounds);  // outer rectangle; parent's client coordinates
Rect WindowBounds(WindowHandle window);
void SetClientSize(WindowHandle window, int width, int height);  // top-level windows
void CenterOnScreen(WindowHandle window);
void SetWindowVisible(WindowHandle window, bool visible);
bool WindowVisible(WindowHandle window);
void SetWindowEnabled(WindowHandle window, bool enabled);
bool WindowEnabled(WindowHandle window);
void SetWindowFont(WindowHandle window, const FontSpec& font);

// Form frame: a tool window has a small caption bar; without border icons it
// has no system menu and no close box.
void SetFormFrame(WindowHandle form, bool toolWindow, bool borderIcons);

// Control specifics.
void SetButtonDefault(WindowHandle button, bool isDefault);  // Enter in its form clicks it
void SetChecked(WindowHandle checkBox, bool checked);
bool Checked(WindowHandle checkBox);
void SetPasswordChar(WindowHandle edit, char ch);  // 0: text shown as it is
void SetReadOnly(WindowHandle edit, bool readOnly);

// The extent of a text in the window's current font, in the window's own
// pixels; CR, LF and CR LF each start a new line.
Point MeasureText(WindowHandle window, const std::string& utf8);

// Dots per inch of the monitor the window is on (96 is 100 %). Bounds, sizes
// and font heights given to the functions here are in the window's own
// pixels: the ui layer describes its windows at 96 dpi and scales them by
// WindowDpi / 96 (see wm::DpiChanged). A backend whose desktop scales for the
// program answers 96.
constexpr int kBaseDpi = 96;
int WindowDpi(WindowHandle window);

// The name an assistive technology (a screen reader) gives the control, where
// the control's caption or the label before it does not say enough.
void SetAccessibleName(WindowHandle window, const std::string& utf8);

// Keyboard focus and its order: `order` holds the form's controls, labels
// included, in the order they are read; Tab moves through it, skipping
// labels and disabled and hidden controls. A label names the control that
// follows it for assistive technologies. A form shows which control has the
// focus from the moment it is shown.
void SetTabSequence(WindowHandle form, const std::vector<WindowHandle>& order);
void FocusWindow(WindowHandle window);
WindowHandle FocusedWindow();
// Whether the key is held at this moment (16 Shift, 17 Ctrl, 18 Alt).
bool KeyIsDown(unsigned virtualKey);

// Messages. Send runs the procedure now and returns its result (0 for an
// unknown window); Post may be called from any thread.
std::intptr_t SendToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
bool PostToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);

// The GUI thread's message pump: one turn dispatches a waiting message, or
// with wait blocks until one arrives. A quit message (wm::Quit, posted by
// anyone) is not dispatched: the turn reports it, and the loop ends.
enum class Pumped { Nothing, Message, Quit };
Pumped PumpMessage(bool wait);

// Timers: wm::Timer with `id` reaches the window every `milliseconds` (the
// first time one interval after the call) until the timer is killed. Setting
// an id again restarts it with the new interval. Timer messages come only when
// the queue holds nothing else, and never pile up.
bool SetWindowTimer(WindowHandle window, std::uintptr_t id, uint32_t milliseconds);
void KillWindowTimer(WindowHandle window, std::uintptr_t id);

// Brings a top-level window to the front.
bool BringToForeground(WindowHandle window);

}  // namespace platform
