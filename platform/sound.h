// Synchronous playback of a WAV image held in memory.
#pragma once

#include <cstddef>

namespace platform {

// Returns when the sound has finished; false when it could not be played.
bool PlaySoundFromMemory(const void* wavImage, size_t size);

}  // namespace platform
