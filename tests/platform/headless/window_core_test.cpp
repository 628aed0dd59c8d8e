// The window core under the in-process desktop, whose clock a test can set:
// when timer messages come, that they die with their window, and that held
// messages wait. The Linux desktop runs on the same core.
#include <gtest/gtest.h>

#include <vector>

#include "platform/core/window_core.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "platform/window.h"

namespace hl = platform::headless;
using namespace platform;

namespace {

struct Seen {
  uint32_t msg;
  std::uintptr_t wParam;
  bool operator==(const Seen& o) const { return msg == o.msg && wParam == o.wParam; }
};
std::ostream& operator<<(std::ostream& out, const Seen& s) { return out << "{" << s.msg << ", " << s.wParam << "}"; }

class WindowCore : public ::testing::Test {
protected:
  void SetUp() override {
    hl::ResetDesktop();
    hl::SetTickCount(1000);
  }
  void TearDown() override {
    for (WindowHandle w : windows_) FreeWindow(w);
    hl::UseRealClock();
    hl::ResetDesktop();
  }
  // A window that records what reaches it.
  WindowHandle Window(WindowHandle parent = 0) {
    WindowHandle w = NewWindow(WindowKind::Hidden, parent, [this](Message& m) {
      seen_.push_back({m.msg, m.wParam});
      return true;
    });
    windows_.push_back(w);
    return w;
  }
  // Everything the pump hands out now, without waiting; each must reach a
  // window (nothing is handed out for a window that is gone).
  std::vector<Seen> Drain() {
    seen_.clear();
    size_t pumped = 0;
    while (PumpMessage(false) == Pumped::Message) ++pumped;
    EXPECT_EQ(pumped, seen_.size()) << "messages handed out to no window";
    return seen_;
  }

  std::vector<Seen> seen_;
  std::vector<WindowHandle> windows_;
};

Seen TimerOf(std::uintptr_t id) { return {wm::Timer, id}; }
Seen UserOf(std::uintptr_t n) { return {wm::User, n}; }

TEST_F(WindowCore, TimersComeWhenTheQueueIsEmptyOnceEachAndNeverPileUp) {
  WindowHandle w = Window();
  ASSERT_TRUE(SetWindowTimer(w, 7, 100));
  EXPECT_TRUE(Drain().empty()) << "the first one comes one interval after the call";
  hl::AdvanceClock(99);
  EXPECT_TRUE(Drain().empty());
  hl::AdvanceClock(1);
  EXPECT_EQ(Drain(), std::vector<Seen>{TimerOf(7)});

  // Due five times over while three messages wait: the three first, then the
  // timer once.
  for (std::uintptr_t n = 1; n <= 3; ++n) ASSERT_TRUE(PostToWindow(w, wm::User, n, 0));
  hl::AdvanceClock(550);
  EXPECT_EQ(Drain(), (std::vector<Seen>{UserOf(1), UserOf(2), UserOf(3), TimerOf(7)}));
  // The next one an interval after that delivery, not after the missed ones.
  hl::AdvanceClock(99);
  EXPECT_TRUE(Drain().empty());
  hl::AdvanceClock(1);
  EXPECT_EQ(Drain(), std::vector<Seen>{TimerOf(7)});

  // Setting an id again restarts it with the new interval; two ids, the
  // earlier due first; a killed one comes no more.
  ASSERT_TRUE(SetWindowTimer(w, 7, 300));
  ASSERT_TRUE(SetWindowTimer(w, 8, 50));
  hl::AdvanceClock(100);
  EXPECT_EQ(Drain(), std::vector<Seen>{TimerOf(8)});
  hl::AdvanceClock(200);
  EXPECT_EQ(Drain(), (std::vector<Seen>{TimerOf(8), TimerOf(7)})) << "8 fell due at 150, 7 at 300";
  KillWindowTimer(w, 8);
  hl::AdvanceClock(1000);
  EXPECT_EQ(Drain(), std::vector<Seen>{TimerOf(7)});
  KillWindowTimer(w, 7);
  hl::AdvanceClock(1000);
  EXPECT_TRUE(Drain().empty());
}

TEST_F(WindowCore, AFreedWindowTakesItsChildrenAndAllTheirTimersAlong) {
  WindowHandle parent = Window();
  WindowHandle child = Window(parent);
  WindowHandle grandchild = Window(child);
  WindowHandle other = Window();
  for (WindowHandle w : {parent, child, grandchild, other}) ASSERT_TRUE(SetWindowTimer(w, 1, 10));
  ASSERT_TRUE(PostToWindow(grandchild, wm::User, 5, 0));

  FreeWindow(parent);
  EXPECT_FALSE(WindowExists(parent));
  EXPECT_FALSE(WindowExists(child));
  EXPECT_FALSE(WindowExists(grandchild));
  EXPECT_TRUE(WindowExists(other));
  hl::AdvanceClock(1000);
  EXPECT_EQ(Drain(), std::vector<Seen>{TimerOf(1)})
      << "only the living window's timer; the posted message went with its window";
  EXPECT_FALSE(SetWindowTimer(child, 1, 10)) << "a freed window takes no timer";
  EXPECT_FALSE(PostToWindow(child, wm::User, 0, 0));

  // Handles are never given out again: a timer set for a freed window's
  // handle could not reach a newer window.
  WindowHandle newer = Window();
  EXPECT_NE(newer, parent);
  EXPECT_NE(newer, child);
  EXPECT_NE(newer, grandchild);

  // A window freed by its own procedure while a timer message runs.
  KillWindowTimer(other, 1);
  WindowHandle self = NewWindow(WindowKind::Hidden, 0, [&](Message& m) {
    seen_.push_back({m.msg, m.wParam});
    if (m.msg == wm::Timer) FreeWindow(self);
    return true;
  });
  ASSERT_TRUE(SetWindowTimer(self, 3, 10));
  hl::AdvanceClock(10);
  EXPECT_EQ(Drain(), std::vector<Seen>{TimerOf(3)});
  EXPECT_FALSE(WindowExists(self));
  hl::AdvanceClock(1000);
  EXPECT_TRUE(Drain().empty()) << "its timer went with it";
}

TEST_F(WindowCore, HeldMessagesAndTimersWaitForTheRelease) {
  WindowHandle w = Window();
  ASSERT_TRUE(SetWindowTimer(w, 2, 10));
  core::HoldPosted(true);
  core::HoldPosted(true);  // a nested hold (a wait inside a wait)
  ASSERT_TRUE(PostToWindow(w, wm::User, 1, 0));
  hl::AdvanceClock(100);
  EXPECT_TRUE(Drain().empty());
  EXPECT_EQ(hl::PendingMessages(), 1u);
  core::HoldPosted(false);
  EXPECT_TRUE(Drain().empty()) << "the outer hold still holds";
  core::HoldPosted(false);
  EXPECT_EQ(Drain(), (std::vector<Seen>{UserOf(1), TimerOf(2)}));
}

TEST_F(WindowCore, AWaitingLoopWakesForATimerOnTheRealClock) {
  hl::UseRealClock();
  hl::SetWaitLimit(60000);  // far longer than the timer: only the timer can end the wait
  WindowHandle w = Window();
  ASSERT_TRUE(SetWindowTimer(w, 4, 20));
  seen_.clear();
  EXPECT_EQ(PumpMessage(true), Pumped::Message);
  EXPECT_EQ(seen_, std::vector<Seen>{TimerOf(4)});
}

}  // namespace
