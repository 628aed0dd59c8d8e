#include <time.h>

#include "platform/posix/time.h"

namespace platform {

namespace posix {

uint32_t MonotonicTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepFor(uint32_t milliseconds) {
  timespec req{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0) {
  }
}

LocalTime LocalTimeNow() {
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

std::optional<int> UtcOffsetMinutes() {
  time_t now = time(nullptr);
  tm t{};
  // Without a readable zone the C library reports a failure; say so rather
  // than read a record it never filled.
  if (now == static_cast<time_t>(-1) || !localtime_r(&now, &t)) return std::nullopt;
  return static_cast<int>(t.tm_gmtoff / 60);
}

}  // namespace posix

}  // namespace platform
