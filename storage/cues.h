// The two sound cues of a snap, played from the window's storage.
#pragma once

#include "storage/filestorage.h"

namespace ts {

constexpr int kStartCue = 0;  // the clipboard text was accepted for upload
constexpr int kEndCue = 1;    // the snap has completed

// Inflates the cue stored at `index` into memory and plays it, returning when it
// has finished. No item at the index plays nothing; a sound that cannot be played
// (no audio device) is passed over in silence.
void PlayCue(const TFileStorage& storage, int index);

}  // namespace ts
