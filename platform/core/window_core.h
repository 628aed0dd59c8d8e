// The window core of the desktops that keep their own window table (the
// in-process one and the Linux one): the handle table, the posted-message
// queue, the timers and the recursive free, written once. A backend adds
// what is native to it (its widgets or its in-memory controls, and how the
// GUI thread waits) and implements the rest of platform/window.h over this.
//
// One recursive lock guards the table, the queue and the timers; a backend
// takes the same lock for its own state, so there is one lock order. No
// window procedure runs under it: a procedure may free its own window, post,
// send, or run a nested loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/window.h"

namespace platform::core {

// What a backend keeps for a window beside the core's record; destroyed with
// the window (children before their parent).
struct TNative {
  virtual ~TNative() = default;
};

struct TWindow {
  WindowKind kind = WindowKind::Hidden;
  WindowHandle parent = 0;
  WindowProc proc;
  std::unique_ptr<TNative> native;
};

std::recursive_mutex& Lock();

// --- the handle table (call with the lock held) -------------------------------
TWindow* Find(WindowHandle window);  // nullptr for an unknown or freed window
template <typename Native>
Native* NativeOf(WindowHandle window) {
  TWindow* w = Find(window);
  return w ? static_cast<Native*>(w->native.get()) : nullptr;
}
// Every window alive, oldest first.
std::vector<WindowHandle> Windows();

// A new window; handles are never given out twice in a process.
WindowHandle AddWindow(WindowKind kind, WindowHandle parent, WindowProc proc, std::unique_ptr<TNative> native);
// Frees the window and, first, every window below it. `beforeEach` sees each
// one before it goes (to take its native parts down in order); its timers and
// the messages posted to it end with it. Nothing for an unknown window.
void RemoveWindow(WindowHandle window, const std::function<void(WindowHandle, TWindow&)>& beforeEach = nullptr);

// Runs the window's procedure now, on the calling thread, outside the lock;
// false when the window is unknown or did not handle it.
bool Deliver(WindowHandle window, Message& message);

// --- the posted queue and the timers --------------------------------------------
struct TPosted {
  WindowHandle window = 0;
  Message message;
};

// Called (on the posting thread, outside the lock) after each post, to end
// the GUI thread's wait.
void SetWaker(std::function<void()> waker);
// Queues the quit message; it belongs to the loop, not to a window.
void PostQuit();
// While held (counted), neither posted nor timer messages are handed out,
// even to nested loops.
void HoldPosted(bool hold);

constexpr uint32_t kNoTimer = UINT32_MAX;
// The next message for the GUI thread: the oldest posted one; when none is
// queued, a timer message that is due (then its next one is scheduled one
// interval from now, so a timer that fell due meanwhile comes once, never
// piled up). Nothing while held. `untilTimer` gets the milliseconds until a
// timer falls due when nothing was handed out (kNoTimer: no timer runs).
std::optional<TPosted> TakeNext(uint32_t* untilTimer = nullptr);
// Whether TakeNext would hand out a message now, without taking it; the same
// `untilTimer` when it would not.
bool Ready(uint32_t* untilTimer = nullptr);
// Hands a taken message to its window; a quit message is reported instead.
Pumped Dispatch(const TPosted& next);
// Whether a posted message waits (held or not).
bool HasPosted();
size_t PendingCount();
// Waits (the lock held by `hold`) up to `milliseconds` for a post; true when one waits.
bool WaitForPost(std::unique_lock<std::recursive_mutex>& hold, uint32_t milliseconds);

// Forgets every queued message and every timer (windows stay).
void ResetQueue();

}  // namespace platform::core
