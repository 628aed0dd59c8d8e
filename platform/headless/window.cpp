// The in-process desktop's windows, message queue, focus, hotkeys and keys.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/input.h"
#include "platform/posix/keys.h"
#include "platform/window.h"

namespace platform {

namespace {

struct Window {
  headless::WindowInfo info;
  WindowProc proc;
};

struct Posted {
  WindowHandle window;
  Message message;
};

// A timer runs on the clock GetTickCount answers, so a test that sets the
// clock drives it; `due` is the tick of its next message.
struct Timer {
  WindowHandle window;
  std::uintptr_t id;
  uint32_t interval;
  uint32_t due;
};

// Lives for the whole process: worker threads may still post while static
// objects are being destroyed.
struct Desktop {
  std::recursive_mutex lock;
  std::condition_variable_any arrived;
  std::map<WindowHandle, Window> windows;
  std::vector<WindowHandle> order;
  WindowHandle next = 0x1000;
  std::deque<Posted> queue;
  std::vector<Timer> timers;
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

Window* Find(WindowHandle h) {
  auto it = D().windows.find(h);
  return it == D().windows.end() ? nullptr : &it->second;
}

bool Usable(WindowHandle h) {
  for (Window* w = Find(h); w; w = Find(w->info.parent))
    if (!w->info.visible || !w->info.enabled) return false;
  return Find(h) != nullptr;
}

WindowHandle RootOf(WindowHandle h) {
  Window* w = Find(h);
  while (w && w->info.parent && Find(w->info.parent)) {
    h = w->info.parent;
    w = Find(h);
  }
  return h;
}

bool Dispatch(WindowHandle h, Message& m) {
  WindowProc proc;
  {
    std::lock_guard<std::recursive_mutex> hold(D().lock);
    Window* w = Find(h);
    if (!w || !w->proc) return false;
    proc = w->proc;  // the window may be freed while its procedure runs
  }
  return proc(m);
}

void Deliver(WindowHandle h, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  Message m{msg, wParam, lParam, 0};
  Dispatch(h, m);
}

}  // namespace

WindowHandle NewWindow(WindowKind kind, WindowHandle parent, WindowProc proc) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  WindowHandle h = D().next++;
  Window w;
  w.info.kind = kind;
  w.info.parent = parent;
  w.proc = std::move(proc);
  D().windows.emplace(h, std::move(w));
  D().order.push_back(h);
  return h;
}

void FreeWindow(WindowHandle window) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  if (!Find(window)) return;
  std::vector<WindowHandle> children;
  for (auto& [h, w] : D().windows)
    if (w.info.parent == window) children.push_back(h);
  for (WindowHandle c : children) FreeWindow(c);
  D().windows.erase(window);
  D().order.erase(std::remove(D().order.begin(), D().order.end(), window), D().order.end());
  auto& hk = D().hotkeys;
  hk.erase(std::remove_if(hk.begin(), hk.end(), [&](const headless::HotKeyEntry& e) { return e.window == window; }),
           hk.end());
  if (D().focus == window) D().focus = 0;
  auto& t = D().timers;
  t.erase(std::remove_if(t.begin(), t.end(), [&](const Timer& x) { return x.window == window; }), t.end());
}

bool WindowExists(WindowHandle window) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  return Find(window) != nullptr;
}

void SetWindowParent(WindowHandle window, WindowHandle parent) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  if (Window* w = Find(window)) w->info.parent = parent;
}

namespace {
// Changes or reads one window's state under the desktop's lock; nothing for an unknown window.
template <typename Change>
void Update(WindowHandle h, Change change) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  if (Window* w = Find(h)) change(w->info);
}
template <typename T, typename Get>
T Read(WindowHandle h, T fallback, Get get) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  Window* w = Find(h);
  return w ? get(w->info) : fallback;
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
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  if (Find(window)) D().focus = window;
}
WindowHandle FocusedWindow() {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  return D().focus;
}
bool KeyIsDown(unsigned virtualKey) {
  unsigned m = D().heldModifiers;
  return (virtualKey == 18 && (m & 1)) || (virtualKey == 17 && (m & 2)) || (virtualKey == 16 && (m & 4));
}

std::intptr_t SendToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  Message m{msg, wParam, lParam, 0};
  Dispatch(window, m);
  return m.result;
}

bool PostToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard<std::recursive_mutex> hold(D().lock);
    if (!Find(window)) return false;
    D().queue.push_back({window, Message{msg, wParam, lParam, 0}});
  }
  D().arrived.notify_all();
  return true;
}

namespace {
// The timer message that is due now, if any (its next one is scheduled), else
// the milliseconds until the next one is due (or none).
std::optional<Posted> DueTimer(uint32_t* untilNext) {
  const uint32_t now = GetTickCount();
  Timer* earliest = nullptr;
  for (Timer& t : D().timers)
    if (!earliest || static_cast<int32_t>(t.due - earliest->due) < 0) earliest = &t;
  if (!earliest) return std::nullopt;
  const auto left = static_cast<int32_t>(earliest->due - now);
  if (left > 0) {
    if (untilNext) *untilNext = static_cast<uint32_t>(left);
    return std::nullopt;
  }
  earliest->due = now + earliest->interval;
  return Posted{earliest->window, Message{wm::Timer, earliest->id, 0, 0}};
}
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

bool SetWindowTimer(WindowHandle window, std::uintptr_t id, uint32_t milliseconds) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  if (!Find(window)) return false;
  KillWindowTimer(window, id);
  const uint32_t interval = std::max<uint32_t>(milliseconds, 1);
  D().timers.push_back({window, id, interval, GetTickCount() + interval});
  return true;
}

void KillWindowTimer(WindowHandle window, std::uintptr_t id) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  auto& t = D().timers;
  t.erase(std::remove_if(t.begin(), t.end(), [&](const Timer& x) { return x.window == window && x.id == id; }),
          t.end());
}

Pumped PumpMessage(bool wait) {
  std::unique_lock<std::recursive_mutex> hold(D().lock);
  if (D().queue.empty()) {
    uint32_t untilNext = 0;
    if (auto timer = DueTimer(&untilNext)) {
      hold.unlock();
      Dispatch(timer->window, timer->message);
      return Pumped::Message;
    }
    if (!wait) return Pumped::Nothing;
    if (auto idle = D().idle) {
      hold.unlock();
      bool more = idle();
      hold.lock();
      if (!more) return Stalled(hold, "a message loop waits for a message that will never come");
      if (D().queue.empty()) {
        if (auto timer = DueTimer(nullptr)) {
          hold.unlock();
          Dispatch(timer->window, timer->message);
          return Pumped::Message;
        }
        return Pumped::Nothing;
      }
    } else {
      // A timer on the real clock ends the wait when it is due.
      const bool timing = !D().timers.empty() && !headless::ClockIsFake();
      const uint32_t limit = timing ? std::min<uint32_t>(D().waitLimit.load(), untilNext) : D().waitLimit.load();
      if (!D().arrived.wait_for(hold, std::chrono::milliseconds(limit), [] { return !D().queue.empty(); })) {
        if (timing)
          if (auto timer = DueTimer(nullptr)) {
            hold.unlock();
            Dispatch(timer->window, timer->message);
            return Pumped::Message;
          }
        return Stalled(hold, "a message loop waited and nothing arrived");
      }
    }
  }
  Posted p = D().queue.front();
  D().queue.pop_front();
  hold.unlock();
  if (p.message.msg == wm::Quit) return Pumped::Quit;
  Dispatch(p.window, p.message);
  return Pumped::Message;
}

bool BringToForeground(WindowHandle window) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  D().foreground.push_back(window);
  return Find(window) != nullptr;
}

bool RegisterGlobalHotKey(WindowHandle window, int id, unsigned modifiers, unsigned virtualKey) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  if (!Find(window)) return false;
  for (auto& t : D().taken)
    if (t.first == modifiers && t.second == virtualKey) return false;
  for (auto& e : D().hotkeys)
    if ((e.window == window && e.id == id) || (e.modifiers == modifiers && e.virtualKey == virtualKey)) return false;
  D().hotkeys.push_back({window, id, modifiers, virtualKey});
  return true;
}

bool UnregisterGlobalHotKey(WindowHandle window, int id) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
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
    std::lock_guard<std::recursive_mutex> hold(D().lock);
    D().strokes.push_back(k);
    hook = D().strokeHook;
  }
  if (hook) hook(k);
}

unsigned MapKeyCode(unsigned code, unsigned mapType) { return mapType == 0 ? posix::PcScanCode(code) : 0; }

Point CursorPos() {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  return D().cursor;
}
uint32_t DoubleClickTime() { return D().doubleClick; }

namespace headless {

namespace detail {
void ResetWindows() {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  D().queue.clear();
  D().timers.clear();
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
}

std::optional<WindowInfo> Inspect(WindowHandle window) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  Window* w = Find(window);
  if (!w) return std::nullopt;
  return w->info;
}

std::vector<WindowHandle> AllWindows() {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  return D().order;
}

bool ClickControl(WindowHandle control) {
  {
    std::lock_guard<std::recursive_mutex> hold(D().lock);
    if (!Usable(control)) return false;
    Window* w = Find(control);
    if (w->info.kind == WindowKind::CheckBox) w->info.checked = !w->info.checked;
    D().focus = control;
  }
  Deliver(control, wm::ControlClick, 0, 0);
  return true;
}

namespace {
WindowHandle DefaultButtonOf(WindowHandle root) {
  for (WindowHandle h : D().order) {
    Window* w = Find(h);
    if (w && w->info.kind == WindowKind::Button && w->info.isDefault && RootOf(h) == root && Usable(h)) return h;
  }
  return 0;
}
}  // namespace

void PressKey(unsigned virtualKey, unsigned modifiers) {
  std::unique_lock<std::recursive_mutex> hold(D().lock);
  WindowHandle target = D().focus;
  Window* w = Find(target);
  if (!w) return;
  WindowHandle root = RootOf(target);
  if (virtualKey == 9 && (modifiers & 1) == 0) {  // Tab: next usable control of the form
    Window* form = Find(root);
    const auto& seq = form->info.tabSequence;
    if (seq.empty()) return;
    auto at = std::find(seq.begin(), seq.end(), target);
    size_t start = at == seq.end() ? seq.size() - 1 : static_cast<size_t>(at - seq.begin());
    for (size_t i = 1; i <= seq.size(); ++i) {
      size_t k = (modifiers & 4) ? (start + seq.size() * 2 - i) % seq.size() : (start + i) % seq.size();
      if (Usable(seq[k]) && Find(seq[k])->info.kind != WindowKind::Label) {
        D().focus = seq[k];
        return;
      }
    }
    return;
  }
  if (virtualKey == 13 && (modifiers & 1) == 0 && w->info.kind != WindowKind::Memo) {
    // A focused button takes Enter itself; otherwise the form's default button does.
    WindowHandle button = w->info.kind == WindowKind::Button ? target : DefaultButtonOf(root);
    hold.unlock();
    if (button) Deliver(button, wm::ControlClick, 0, 0);
    return;
  }
  D().heldModifiers = modifiers;
  hold.unlock();
  bool system = (modifiers & 1) || virtualKey == 121 || virtualKey == 18;
  Deliver(target, system ? wm::SysKeyDown : wm::KeyDown, virtualKey, 1);
  {
    std::lock_guard<std::recursive_mutex> again(D().lock);
    D().heldModifiers = 0;
  }
  // Space clicks a focused button or check box when it is released.
  if (virtualKey == 32 && modifiers == 0) {
    Window* still = Find(target);
    if (still && (still->info.kind == WindowKind::Button || still->info.kind == WindowKind::CheckBox))
      ClickControl(target);
  }
}

void TypeText(WindowHandle edit, const std::string& utf8) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  Window* w = Find(edit);
  if (w && !w->info.readOnly) w->info.caption = utf8;
}

void SetIdleHandler(std::function<bool()> handler) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  D().idle = std::move(handler);
}
void SetWaitLimit(uint32_t milliseconds) { D().waitLimit = milliseconds; }
void SetStallHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  D().stallHandler = std::move(handler);
}
void PostQuit() {
  {
    std::lock_guard<std::recursive_mutex> hold(D().lock);
    D().queue.push_back({0, Message{wm::Quit, 0, 0, 0}});
  }
  D().arrived.notify_all();
}

bool PumpUntil(const std::function<bool()>& done, uint32_t milliseconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::unique_lock<std::recursive_mutex> hold(D().lock);
    if (D().queue.empty()) D().arrived.wait_until(hold, end, [] { return !D().queue.empty(); });
    hold.unlock();
    while (PumpMessage(false) == Pumped::Message) {
    }
  }
  return true;
}

size_t PendingMessages() {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  return D().queue.size();
}
std::vector<WindowHandle> ForegroundCalls() {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  return D().foreground;
}

std::vector<HotKeyEntry> HotKeys() {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  return D().hotkeys;
}

bool PressHotKey(unsigned modifiers, unsigned virtualKey) {
  WindowHandle target = 0;
  int id = 0;
  {
    std::lock_guard<std::recursive_mutex> hold(D().lock);
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
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  auto& t = D().taken;
  t.erase(std::remove(t.begin(), t.end(), std::make_pair(modifiers, virtualKey)), t.end());
  if (taken) t.emplace_back(modifiers, virtualKey);
}

const std::vector<KeyStroke>& KeyStrokes() { return D().strokes; }
void SetKeyStrokeHook(std::function<void(const KeyStroke&)> hook) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  D().strokeHook = std::move(hook);
}
void SetCursorPos(int x, int y) {
  std::lock_guard<std::recursive_mutex> hold(D().lock);
  D().cursor = {x, y};
}
void SetDoubleClickTime(uint32_t milliseconds) { D().doubleClick = milliseconds; }

}  // namespace headless
}  // namespace platform
