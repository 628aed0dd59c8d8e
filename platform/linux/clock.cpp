// The Linux desktop sees the real clock and time zone of the system.
#include "platform/clock.h"
#include "platform/posix/time.h"

namespace platform {

uint32_t GetTickCount() { return posix::MonotonicTickCount(); }
void Sleep(uint32_t milliseconds) { posix::SleepFor(milliseconds); }
LocalTime GetLocalTime() { return posix::LocalTimeNow(); }
std::optional<int> LocalUtcOffsetMinutes() { return posix::UtcOffsetMinutes(); }

}  // namespace platform
