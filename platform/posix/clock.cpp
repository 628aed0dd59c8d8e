#include <time.h>

#include <mutex>

#include "platform/clock.h"
#include "platform/headless/control.h"

namespace platform {

namespace {
std::mutex g_lock;
bool g_fake = false;
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
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
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
  timespec req{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0) {
  }
}

LocalTime GetLocalTime() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_fake) return g_local;
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  localtime_r(&ts.tv_sec, &t);
  LocalTime r;
  r.year = t.tm_year + 1900;
  r.month = t.tm_mon + 1;
  r.day = t.tm_mday;
  r.dayOfWeek = t.tm_wday;
  r.hour = t.tm_hour;
  r.minute = t.tm_min;
  r.second = t.tm_sec;
  r.milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
  return r;
}

int LocalUtcOffsetMinutes() {
  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  return static_cast<int>(t.tm_gmtoff / 60);
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
  g_sleeps.clear();
}
bool ClockIsFake() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_fake;
}
const std::vector<uint32_t>& Sleeps() { return g_sleeps; }
}  // namespace headless

}  // namespace platform
