#include "platform/clock.h"

#include <windows.h>

namespace platform {

uint32_t GetTickCount() { return ::GetTickCount(); }

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

LocalTime GetLocalTime() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  LocalTime r;
  r.year = st.wYear;
  r.month = st.wMonth;
  r.day = st.wDay;
  r.dayOfWeek = st.wDayOfWeek;
  r.hour = st.wHour;
  r.minute = st.wMinute;
  r.second = st.wSecond;
  r.milliseconds = st.wMilliseconds;
  return r;
}

std::optional<int> LocalUtcOffsetMinutes() {
  TIME_ZONE_INFORMATION tz;
  DWORD kind = ::GetTimeZoneInformation(&tz);
  // The record is not filled in then.
  if (kind == TIME_ZONE_ID_INVALID) return std::nullopt;
  long bias = tz.Bias;
  if (kind == TIME_ZONE_ID_DAYLIGHT)
    bias += tz.DaylightBias;
  else if (kind == TIME_ZONE_ID_STANDARD)
    bias += tz.StandardBias;
  return static_cast<int>(-bias);
}

}  // namespace platform
