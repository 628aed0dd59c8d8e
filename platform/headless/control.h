// Test controls of the in-process desktop's clock, code page and sound output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace platform::headless {

// The system code page the build pretends to have (932, Shift-JIS, unless a test chooses another).
void SetAnsiCodePage(unsigned codePage);

// A settable clock: while set, GetTickCount and GetLocalTime answer from it and
// Sleep advances it instead of blocking. Reset() returns to the real clock.
void SetTickCount(uint32_t tick);
void SetLocalTime(const LocalTime& time);
void AdvanceClock(uint32_t milliseconds);
void UseRealClock();
bool ClockIsFake();
// Every Sleep request, in order, while the clock is fake.
const std::vector<uint32_t>& Sleeps();
// While set, the time-zone query reports an unknown zone (UseRealClock clears it).
void SetTimeZoneUnknown(bool unknown);

// Every sound played, in order, as the bytes handed over.
const std::vector<std::string>& PlayedSounds();
void ClearPlayedSounds();
void SetSoundFails(bool fails);

}  // namespace platform::headless
