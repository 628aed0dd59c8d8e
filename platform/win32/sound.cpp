#include "platform/sound.h"

// windows.h first: the multimedia header builds on its types.
#include <windows.h>

#include <mmsystem.h>

namespace platform {

bool PlaySoundFromMemory(const void* wavImage, size_t size) {
  if (!wavImage || size == 0) return false;
  return ::sndPlaySoundA(static_cast<LPCSTR>(wavImage), SND_MEMORY) != 0;
}

}  // namespace platform
