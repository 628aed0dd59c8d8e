// The in-process desktop's windows (in memory, over the window core), the
// GUI thread's wait, focus, hotkeys and keys, and the controls tests drive
// them with.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/core/window_core.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/input.h"
#include "platform/posix/keys.h"
#include "platform/window.h"

namespace platform {

namespace {

struct Native : core::TNative {
  headless::WindowInfo info;
};

// The desktop's own state beside the window core; guarded by the core's lock.
// Lives for the whole process: worker threads may still post while static
// objects are being destroyed.
struct Desktop {
  WindowHandle focus = 0;
  unsigned heldModifiers = 0;
  std::function<bool()> idle;
  std::atomic<uint32_t> waitLimit{5000};
  std::function<void(const std::string&)> stallHandler;
  std::vector<WindowHandle> foreground;
  std::vector<headless::HotKeyEntry> hotkeys;
  std::vector<std::pair<unsigned, unsigned>> taken;
  std::vector<headless::KeyStroke> strokes;
  std::function<void(const headless::KeyStroke&)> strokeHook;
  Point cursor;
  std::atomic<uint32_t> doubleClick{500};
};

Desktop& D() {
  static Desktop* d = new Desktop;
  return *d;
}

using Guard = std::lock_guard<std::recursive_mutex>;

// The window's state, with the core's kind and parent; nullptr for an unknown window.
headless::WindowInfo* InfoOf(WindowHandle h) {
  core::TWindow* w = core::Find(h);
  if (!w) return nullptr;
  auto& info = static_cast<Native*>(w->native.get())->info;
  info.kind = w->kind;
  info.parent = w->parent;
  return &info;
}

bool Usable(WindowHandle h) {
  if (!core::Find(h)) return false;
  for (headless::WindowInfo* w = InfoOf(h); w; w = InfoOf(w->parent))
    if (!w->visible || !w->enabled) return false;
  return true;
}

WindowHandle RootOf(WindowHandle h) {
  for (core::TWindow* w = core::Find(h); w && w->parent && core::Find(w->parent); w = core::Find(h)) h = w->parent;
  return h;
}

void Deliver(WindowHandle h, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  Message m{msg, wParam, lParam, 0};
  core::Deliver(h, m);
}

}  // namespace

WindowHandle NewWindow(WindowKind kind, WindowHandle parent, WindowProc proc) {
  return core::AddWindow(kind, parent, std::move(proc), std::make_unique<Native>());
}

void FreeWindow(WindowHandle window) {
  Guard hold(core::Lock());
  core::RemoveWindow(window, [](WindowHandle h, core::TWindow&) {
    auto& hk = D().hotkeys;
    hk.erase(std::remove_if(hk.begin(), hk.end(), [&](const headless::HotKeyEntry& e) { return e.window == h; }),
             hk.end());
    if (D().focus == h) D().focus = 0;
  });
}

void SetWindowParent(WindowHandle window, WindowHandle parent) {
  Guard hold(core::Lock());
  if (core::TWindow* w = core::Find(window)) w->parent = parent;
}

bool DesktopAvailable() { return true; }

namespace {
// Changes or reads one window's state under the core's lock; nothing for an unknown window.
template <typename Change>
void Update(WindowHandle h, Change change) {
  Guard hold(core::Lock());
  if (headless::WindowInfo* i = InfoOf(h)) change(*i);
}
template <typename T, typename Get>
T Read(WindowHandle h, T fallback, Get get) {
  Guard hold(core::Lock());
  headless::WindowInfo* i = InfoOf(h);
  return i ? get(*i) : fallback;
}
using Info = headless::WindowInfo;
}  // namespace

void SetWindowCaption(WindowHandle window, const std::string& utf8) {
  Update(window, [&](Info& i) { i.caption = utf8; });
}
std::string WindowCaption(WindowHandle window) {
  return Read(window, std::string(), [](Info& i) { return i.caption; });
}
void SetWindowBounds(WindowHandle window, const Rect& bounds) {
  Update(window, [&](Info& i) { i.bounds = bounds; });
}
Rect WindowBounds(WindowHandle window) {
  return Read(window, Rect{}, [](Info& i) { return i.bounds; });
}
void SetClientSize(WindowHandle window, int width, int height) {
  Update(window, [&](Info& i) {
    i.clientWidth = width;
    i.clientHeight = height;
  });
}
void CenterOnScreen(WindowHandle window) {
  Update(window, [](Info& i) { i.centered = true; });
}
void SetWindowVisible(WindowHandle window, bool visible) {
  Update(window, [&](Info& i) { i.visible = visible; });
}
bool WindowVisible(WindowHandle window) {
  return Read(window, false, [](Info& i) { return i.visible; });
}
void SetWindowEnabled(WindowHandle window, bool enabled) {
  Update(window, [&](Info& i) { i.enabled = enabled; });
}
bool WindowEnabled(WindowHandle window) {
  return Read(window, false, [](Info& i) { return i.enabled; });
}
void SetWindowFont(WindowHandle window, const FontSpec& font) {
  Update(window, [&](Info& i) { i.font = font; });
}
void SetFormFrame(WindowHandle form, bool toolWindow, bool borderIcons) {
  Update(form, [&](Info& i) {
    i.toolWindow = toolWindow;
    i.borderIcons = borderIcons;
  });
}
void SetButtonDefault(WindowHandle button, bool isDefault) {
  Update(button, [&](Info& i) { i.isDefault = isDefault; });
}
void SetChecked(WindowHandle checkBox, bool checked) {
  Update(checkBox, [&](Info& i) { i.checked = checked; });
}
bool Checked(WindowHandle checkBox) {
  return Read(checkBox, false, [](Info& i) { return i.checked; });
}
void SetPasswordChar(WindowHandle edit, char ch) {
  Update(edit, [&](Info& i) { i.passwordChar = ch; });
}
void SetReadOnly(WindowHandle edit, bool readOnly) {
  Update(edit, [&](Info& i) { i.readOnly = readOnly; });
}
void SetTabSequence(WindowHandle form, const std::vector<WindowHandle>& order) {
  Update(form, [&](Info& i) { i.tabSequence = order; });
}

Point MeasureText(WindowHandle window, const std::string& utf8) {
  FontSpec font = Read(window, FontSpec{}, [](Info& i) { return i.font; });
  // A plain model of a proportional font: narrow ASCII, full-width everything else.
  int height = font.height < 0 ? -font.height : font.height;
  int widest = 0, width = 0, lines = 1;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
      ++lines;
      width = 0;
      continue;
    }
    if ((c & 0xC0) == 0x80) continue;  // continuation byte of a UTF-8 sequence
    width += c < 0x80 ? (height + 1) / 2 : height;
    widest = std::max(widest, width);
  }
  return {widest, lines * height};
}

void FocusWindow(WindowHandle window) {
  Guard hold(core::Lock());
  if (core::Find(window)) D().focus = window;
}
WindowHandle FocusedWindow() {
  Guard hold(core::Lock());
  return D().focus;
}
bool KeyIsDown(unsigned virtualKey) {
  unsigned m = D().heldModifiers;
  return (virtualKey == 18 && (m & 1)) || (virtualKey == 17 && (m & 2)) || (virtualKey == 16 && (m & 4));
}

namespace {
// A loop waits for a message that cannot come: a test would hang. The stall
// handler (by default: say so and abort, which fails the test) hears of it,
// and the loop is then ended as by a quit message.
Pumped Stalled(std::unique_lock<std::recursive_mutex>& hold, const std::string& what) {
  auto handler = D().stallHandler;
  hold.unlock();
  if (handler) {
    handler(what);
  } else {
    std::fprintf(stderr, "headless desktop: %s\n", what.c_str());
    std::abort();
  }
  return Pumped::Quit;
}
}  // namespace

Pumped PumpMessage(bool wait) {
  uint32_t untilTimer = core::kNoTimer;
  if (auto next = core::TakeNext(&untilTimer)) return core::Dispatch(*next);
  if (!wait) return Pumped::Nothing;
  std::unique_lock<std::recursive_mutex> hold(core::Lock());
  auto idle = D().idle;
  if (idle) {
    hold.unlock();
    if (!idle()) {
      hold.lock();
      return Stalled(hold, "a message loop waits for a message that will never come");
    }
  } else {
    // A timer on the real clock ends the wait when it is due.
    const bool timing = untilTimer != core::kNoTimer && !headless::ClockIsFake();
    const uint32_t limit = timing ? std::min<uint32_t>(D().waitLimit.load(), untilTimer) : D().waitLimit.load();
    if (!core::WaitForPost(hold, limit) && !timing) return Stalled(hold, "a message loop waited and nothing arrived");
    hold.unlock();
  }
  if (auto next = core::TakeNext()) return core::Dispatch(*next);
  if (idle) return Pumped::Nothing;  // the idle handler drove the desktop: ask it again
  hold.lock();
  return Stalled(hold, "a message loop waited and nothing arrived");
}

bool BringToForeground(WindowHandle window) {
  Guard hold(core::Lock());
  D().foreground.push_back(window);
  return core::Find(window) != nullptr;
}

bool RegisterGlobalHotKey(WindowHandle window, int id, unsigned modifiers, unsigned virtualKey) {
  Guard hold(core::Lock());
  if (!core::Find(window)) return false;
  for (auto& t : D().taken)
    if (t.first == modifiers && t.second == virtualKey) return false;
  for (auto& e : D().hotkeys)
    if ((e.window == window && e.id == id) || (e.modifiers == modifiers && e.virtualKey == virtualKey)) return false;
  D().hotkeys.push_back({window, id, modifiers, virtualKey});
  return true;
}

bool UnregisterGlobalHotKey(WindowHandle window, int id) {
  Guard hold(core::Lock());
  auto& hk = D().hotkeys;
  auto it = std::find_if(hk.begin(), hk.end(), [&](auto& e) { return e.window == window && e.id == id; });
  if (it == hk.end()) return false;
  hk.erase(it);
  return true;
}

void SendKeyEvent(uint8_t virtualKey, uint8_t scanCode, uint32_t flags, std::uintptr_t extraInfo) {
  headless::KeyStroke k{virtualKey, scanCode, flags, extraInfo};
  std::function<void(const headless::KeyStroke&)> hook;
  {
    Guard hold(core::Lock());
    D().strokes.push_back(k);
    hook = D().strokeHook;
  }
  if (hook) hook(k);
}

unsigned MapKeyCode(unsigned code, unsigned mapType) { return mapType == 0 ? posix::PcScanCode(code) : 0; }

Point CursorPos() {
  Guard hold(core::Lock());
  return D().cursor;
}
uint32_t DoubleClickTime() { return D().doubleClick; }

namespace headless {

namespace detail {
void ResetWindows() {
  core::ResetQueue();
  Guard hold(core::Lock());
  D().focus = 0;
  D().heldModifiers = 0;
  D().idle = nullptr;
  D().waitLimit = 5000;
  D().stallHandler = nullptr;
  D().foreground.clear();
  D().hotkeys.clear();
  D().taken.clear();
  D().strokes.clear();
  D().strokeHook = nullptr;
  D().cursor = {};
  D().doubleClick = 500;
}
}  // namespace detail

void ResetDesktop() {
  detail::ResetWindows();
  detail::ResetClipboard();
  detail::ResetShell();
  detail::ResetFiles();
  detail::ResetInstances();
  detail::ResetDpi();
  detail::ResetForeground();
  detail::ResetSecrets();
}

std::optional<WindowInfo> Inspect(WindowHandle window) {
  Guard hold(core::Lock());
  WindowInfo* info = InfoOf(window);
  if (!info) return std::nullopt;
  return *info;
}

std::vector<WindowHandle> AllWindows() { return core::Windows(); }

bool ClickControl(WindowHandle control) {
  {
    Guard hold(core::Lock());
    if (!Usable(control)) return false;
    WindowInfo* w = InfoOf(control);
    if (w->kind == WindowKind::CheckBox) w->checked = !w->checked;
    D().focus = control;
  }
  Deliver(control, wm::ControlClick, 0, 0);
  return true;
}

namespace {
WindowHandle DefaultButtonOf(WindowHandle root) {
  for (WindowHandle h : core::Windows()) {
    WindowInfo* w = InfoOf(h);
    if (w && w->kind == WindowKind::Button && w->isDefault && RootOf(h) == root && Usable(h)) return h;
  }
  return 0;
}
}  // namespace

void PressKey(unsigned virtualKey, unsigned modifiers) {
  std::unique_lock<std::recursive_mutex> hold(core::Lock());
  WindowHandle target = D().focus;
  WindowInfo* w = InfoOf(target);
  if (!w) return;
  WindowHandle root = RootOf(target);
  if (virtualKey == 9 && (modifiers & 1) == 0) {  // Tab: next usable control of the form
    WindowInfo* form = InfoOf(root);
    const auto& seq = form->tabSequence;
    if (seq.empty()) return;
    auto at = std::find(seq.begin(), seq.end(), target);
    size_t start = at == seq.end() ? seq.size() - 1 : static_cast<size_t>(at - seq.begin());
    for (size_t i = 1; i <= seq.size(); ++i) {
      size_t k = (modifiers & 4) ? (start + seq.size() * 2 - i) % seq.size() : (start + i) % seq.size();
      if (Usable(seq[k]) && InfoOf(seq[k])->kind != WindowKind::Label) {
        D().focus = seq[k];
        return;
      }
    }
    return;
  }
  if (virtualKey == 13 && (modifiers & 1) == 0 && w->kind != WindowKind::Memo) {
    // A focused button takes Enter itself; otherwise the form's default button does.
    WindowHandle button = w->kind == WindowKind::Button ? target : DefaultButtonOf(root);
    hold.unlock();
    if (button) Deliver(button, wm::ControlClick, 0, 0);
    return;
  }
  D().heldModifiers = modifiers;
  hold.unlock();
  bool system = (modifiers & 1) || virtualKey == 121 || virtualKey == 18;
  Deliver(target, system ? wm::SysKeyDown : wm::KeyDown, virtualKey, 1);
  {
    Guard again(core::Lock());
    D().heldModifiers = 0;
  }
  // Space clicks a focused button or check box when it is released.
  if (virtualKey == 32 && modifiers == 0) {
    WindowInfo* still = InfoOf(target);
    if (still && (still->kind == WindowKind::Button || still->kind == WindowKind::CheckBox)) ClickControl(target);
  }
}

void TypeText(WindowHandle edit, const std::string& utf8) {
  Guard hold(core::Lock());
  WindowInfo* w = InfoOf(edit);
  if (w && !w->readOnly) w->caption = utf8;
}

void SetIdleHandler(std::function<bool()> handler) {
  Guard hold(core::Lock());
  D().idle = std::move(handler);
}
void SetWaitLimit(uint32_t milliseconds) { D().waitLimit = milliseconds; }
void SetStallHandler(std::function<void(const std::string&)> handler) {
  Guard hold(core::Lock());
  D().stallHandler = std::move(handler);
}
void PostQuit() { core::PostQuit(); }

bool PumpUntil(const std::function<bool()>& done, uint32_t milliseconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return false;
    {
      std::unique_lock<std::recursive_mutex> hold(core::Lock());
      core::WaitForPost(hold, static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count()));
    }
    while (PumpMessage(false) == Pumped::Message) {
    }
  }
  return true;
}

size_t PendingMessages() { return core::PendingCount(); }
std::vector<WindowHandle> ForegroundCalls() {
  Guard hold(core::Lock());
  return D().foreground;
}

std::vector<HotKeyEntry> HotKeys() {
  Guard hold(core::Lock());
  return D().hotkeys;
}

bool PressHotKey(unsigned modifiers, unsigned virtualKey) {
  WindowHandle target = 0;
  int id = 0;
  {
    Guard hold(core::Lock());
    for (auto& e : D().hotkeys)
      if (e.modifiers == modifiers && e.virtualKey == virtualKey) {
        target = e.window;
        id = e.id;
      }
  }
  if (!target) return false;
  // The system reports the modifiers in the low word and the key in the high word.
  return PostToWindow(target, wm::HotKey, static_cast<std::uintptr_t>(id),
                      static_cast<std::intptr_t>(modifiers | (virtualKey << 16)));
}

void SetHotKeyTaken(unsigned modifiers, unsigned virtualKey, bool taken) {
  Guard hold(core::Lock());
  auto& t = D().taken;
  t.erase(std::remove(t.begin(), t.end(), std::make_pair(modifiers, virtualKey)), t.end());
  if (taken) t.emplace_back(modifiers, virtualKey);
}

const std::vector<KeyStroke>& KeyStrokes() { return D().strokes; }
void SetKeyStrokeHook(std::function<void(const KeyStroke&)> hook) {
  Guard hold(core::Lock());
  D().strokeHook = std::move(hook);
}
void SetCursorPos(int x, int y) {
  Guard hold(core::Lock());
  D().cursor = {x, y};
}
void SetDoubleClickTime(uint32_t milliseconds) { D().doubleClick = milliseconds; }

}  // namespace headless
}  // namespace platform
