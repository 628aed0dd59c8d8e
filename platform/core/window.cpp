// The window core: handle table, posted queue, timers, recursive free. It
// implements the parts of platform/window.h that nothing native touches.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>

#include "platform/clock.h"
#include "platform/core/window_core.h"
#include "platform/window.h"

namespace platform {

namespace core {

namespace {

// A timer runs on the clock GetTickCount answers (a test's settable clock on
// the in-process desktop); `due` is the tick of its next message.
struct TTimer {
  WindowHandle window;
  std::uintptr_t id;
  uint32_t interval;
  uint32_t due;
};

// Lives for the whole process: worker threads may still post while static
// objects are being destroyed.
struct TCore {
  std::recursive_mutex lock;
  std::condition_variable_any posted;
  std::map<WindowHandle, TWindow> windows;  // handles only grow: oldest first
  WindowHandle next = 0x1000;
  std::deque<TPosted> queue;
  std::vector<TTimer> timers;
  int held = 0;
  std::function<void()> waker;
};

TCore& C() {
  static TCore* c = new TCore;
  return *c;
}

void Woken() {
  C().posted.notify_all();
  std::function<void()> waker;
  {
    std::lock_guard<std::recursive_mutex> hold(C().lock);
    waker = C().waker;
  }
  if (waker) waker();
}

// What waits for a window that is going: nothing is handed out for it later.
void DropWaiting(WindowHandle window) {
  auto& t = C().timers;
  t.erase(std::remove_if(t.begin(), t.end(), [&](const TTimer& x) { return x.window == window; }), t.end());
  auto& q = C().queue;
  q.erase(std::remove_if(q.begin(), q.end(), [&](const TPosted& p) { return p.window == window; }), q.end());
}

}  // namespace

std::recursive_mutex& Lock() { return C().lock; }

TWindow* Find(WindowHandle window) {
  auto it = C().windows.find(window);
  return it == C().windows.end() ? nullptr : &it->second;
}

std::vector<WindowHandle> Windows() {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  std::vector<WindowHandle> all;
  all.reserve(C().windows.size());
  for (auto& entry : C().windows) all.push_back(entry.first);
  return all;
}

WindowHandle AddWindow(WindowKind kind, WindowHandle parent, WindowProc proc, std::unique_ptr<TNative> native) {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  WindowHandle h = C().next++;
  C().windows.emplace(h, TWindow{kind, parent, std::move(proc), std::move(native)});
  return h;
}

void RemoveWindow(WindowHandle window, const std::function<void(WindowHandle, TWindow&)>& beforeEach) {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  if (!Find(window)) return;
  std::vector<WindowHandle> children;
  for (auto& [h, w] : C().windows)
    if (w.parent == window) children.push_back(h);
  for (WindowHandle c : children) RemoveWindow(c, beforeEach);
  TWindow* w = Find(window);
  if (!w) return;  // a child's teardown freed it already
  if (beforeEach) beforeEach(window, *w);
  DropWaiting(window);
  C().windows.erase(window);
}

bool Deliver(WindowHandle window, Message& message) {
  WindowProc proc;
  {
    std::lock_guard<std::recursive_mutex> hold(C().lock);
    TWindow* w = Find(window);
    if (!w || !w->proc) return false;
    proc = w->proc;  // the window may be freed while its procedure runs
  }
  return proc(message);
}

void SetWaker(std::function<void()> waker) {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  C().waker = std::move(waker);
}

void PostQuit() {
  {
    std::lock_guard<std::recursive_mutex> hold(C().lock);
    C().queue.push_back({0, Message{wm::Quit, 0, 0, 0}});
  }
  Woken();
}

void HoldPosted(bool hold) {
  std::lock_guard<std::recursive_mutex> guard(C().lock);
  C().held += hold ? 1 : -1;
  if (C().held < 0) C().held = 0;
}

namespace {
// The timer that is due now (nullptr when none is), else the milliseconds
// until the earliest one falls due.
TTimer* DueTimer(uint32_t now, uint32_t* untilTimer) {
  TTimer* earliest = nullptr;
  for (TTimer& t : C().timers)
    if (!earliest || static_cast<int32_t>(t.due - earliest->due) < 0) earliest = &t;
  if (!earliest) return nullptr;
  const auto left = static_cast<int32_t>(earliest->due - now);
  if (left <= 0) return earliest;
  if (untilTimer) *untilTimer = static_cast<uint32_t>(left);
  return nullptr;
}
}  // namespace

bool Ready(uint32_t* untilTimer) {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  if (untilTimer) *untilTimer = kNoTimer;
  if (C().held) return false;
  return !C().queue.empty() || DueTimer(GetTickCount(), untilTimer) != nullptr;
}

std::optional<TPosted> TakeNext(uint32_t* untilTimer) {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  if (untilTimer) *untilTimer = kNoTimer;
  if (C().held) return std::nullopt;
  if (!C().queue.empty()) {
    TPosted p = C().queue.front();
    C().queue.pop_front();
    return p;
  }
  const uint32_t now = GetTickCount();
  TTimer* due = DueTimer(now, untilTimer);
  if (!due) return std::nullopt;
  due->due = now + due->interval;
  return TPosted{due->window, Message{wm::Timer, due->id, 0, 0}};
}

Pumped Dispatch(const TPosted& next) {
  if (next.message.msg == wm::Quit) return Pumped::Quit;
  Message m = next.message;
  Deliver(next.window, m);
  return Pumped::Message;
}

bool HasPosted() {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  return !C().queue.empty();
}

size_t PendingCount() {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  return C().queue.size();
}

bool WaitForPost(std::unique_lock<std::recursive_mutex>& hold, uint32_t milliseconds) {
  return C().posted.wait_for(hold, std::chrono::milliseconds(milliseconds), [] { return !C().queue.empty(); });
}

void ResetQueue() {
  std::lock_guard<std::recursive_mutex> hold(C().lock);
  C().queue.clear();
  C().timers.clear();
  C().held = 0;
}

}  // namespace core

bool WindowExists(WindowHandle window) {
  std::lock_guard<std::recursive_mutex> hold(core::Lock());
  return core::Find(window) != nullptr;
}

std::intptr_t SendToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  Message m{msg, wParam, lParam, 0};
  core::Deliver(window, m);
  return m.result;
}

bool PostToWindow(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard<std::recursive_mutex> hold(core::Lock());
    if (!core::Find(window)) return false;
    core::C().queue.push_back({window, Message{msg, wParam, lParam, 0}});
  }
  core::Woken();
  return true;
}

// Timers belong to the GUI thread (set and killed there), so a loop's wait
// always knows the next one.
bool SetWindowTimer(WindowHandle window, std::uintptr_t id, uint32_t milliseconds) {
  std::lock_guard<std::recursive_mutex> hold(core::Lock());
  if (!core::Find(window)) return false;
  KillWindowTimer(window, id);
  const uint32_t interval = std::max<uint32_t>(milliseconds, 1);
  core::C().timers.push_back({window, id, interval, GetTickCount() + interval});
  return true;
}

void KillWindowTimer(WindowHandle window, std::uintptr_t id) {
  std::lock_guard<std::recursive_mutex> hold(core::Lock());
  auto& t = core::C().timers;
  t.erase(std::remove_if(t.begin(), t.end(), [&](const core::TTimer& x) { return x.window == window && x.id == id; }),
          t.end());
}

}  // namespace platform
