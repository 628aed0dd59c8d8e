// The in-process desktop's clock: the real one, or a settable one a test
// drives (ticks, local time and sleeps), and a time zone a test can break.
#include <mutex>

#include "platform/clock.h"
#include "platform/headless/control.h"
#include "platform/posix/time.h"

namespace platform {

namespace {
std::mutex g_lock;
bool g_fake = false;
bool g_zoneUnknown = false;
uint32_t g_tick = 0;
LocalTime g_local;
std::vector<uint32_t> g_sleeps;

void Advance(uint32_t ms) {
  g_tick += ms;
  // Carry the milliseconds into the fake local time, ignoring date roll-over past midnight.
  long total = g_local.milliseconds + static_cast<long>(ms);
  g_local.milliseconds = static_cast<int>(total % 1000);
  long secs = g_local.second + total / 1000;
  g_local.second = static_cast<int>(secs % 60);
  long mins = g_local.minute + secs / 60;
  g_local.minute = static_cast<int>(mins % 60);
  g_local.hour = static_cast<int>((g_local.hour + mins / 60) % 24);
}
}  // namespace

uint32_t GetTickCount() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_fake) return g_tick;
  }
  return posix::MonotonicTickCount();
}

void Sleep(uint32_t milliseconds) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_fake) {
      g_sleeps.push_back(milliseconds);
      Advance(milliseconds);
      return;
    }
  }
  posix::SleepFor(milliseconds);
}

LocalTime GetLocalTime() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_fake) return g_local;
  }
  return posix::LocalTimeNow();
}

std::optional<int> LocalUtcOffsetMinutes() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_zoneUnknown) return std::nullopt;
  }
  return posix::UtcOffsetMinutes();
}

namespace headless {
void SetTickCount(uint32_t tick) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_fake) g_local = LocalTime{2026, 1, 1, 4, 0, 0, 0, 0};
  g_fake = true;
  g_tick = tick;
}
void SetLocalTime(const LocalTime& time) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_fake = true;
  g_local = time;
}
void AdvanceClock(uint32_t milliseconds) {
  std::lock_guard<std::mutex> hold(g_lock);
  Advance(milliseconds);
}
void UseRealClock() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_fake = false;
  g_zoneUnknown = false;
  g_sleeps.clear();
}
bool ClockIsFake() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_fake;
}
const std::vector<uint32_t>& Sleeps() { return g_sleeps; }
void SetTimeZoneUnknown(bool unknown) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_zoneUnknown = unknown;
}
}  // namespace headless

}  // namespace platform
