#include "storage/cues.h"

#include "platform/sound.h"

namespace ts {

void PlayCue(const TFileStorage& storage, int index) {
  // Nothing is cached: each play inflates its item again into a stream of its
  // own, freed on every way out of here.
  TMemoryStream wav;
  TStoredItem* item = storage.ItemAt(index);
  if (!item) return;
  item->ExtractTo(&wav);
  if (wav.Size() == 0) return;  // an empty image would stop sounds rather than play one
  platform::PlaySoundFromMemory(wav.Memory(), static_cast<size_t>(wav.Size()));
}

}  // namespace ts
