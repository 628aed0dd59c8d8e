// The Linux clock and time zone, for the desktop backends that build on the
// posix one (each decides what its program sees as the time).
#pragma once

#include <cstdint>
#include <optional>

#include "platform/clock.h"

namespace platform::posix {

uint32_t MonotonicTickCount();  // milliseconds, wrapping at 2^32
void SleepFor(uint32_t milliseconds);
LocalTime LocalTimeNow();
// Minutes east of UTC now; nothing when the zone cannot be read.
std::optional<int> UtcOffsetMinutes();

}  // namespace platform::posix
