// Time services: tick count, sleep, local time and the local offset from UTC.
#pragma once

#include <cstdint>
#include <optional>

namespace platform {

struct LocalTime {
  int year = 0, month = 0, day = 0;  // month 1-12, day 1-31
  int dayOfWeek = 0;                 // 0 = Sunday
  int hour = 0, minute = 0, second = 0, milliseconds = 0;
};

uint32_t GetTickCount();            // milliseconds since start, wrapping at 2^32
void Sleep(uint32_t milliseconds);  // blocks without dispatching messages
LocalTime GetLocalTime();
// Minutes to add to UTC to get local time now (east of Greenwich is positive);
// nothing when the system reports an invalid or unknown time-zone state.
std::optional<int> LocalUtcOffsetMinutes();

}  // namespace platform
