#include <gtest/gtest.h>

#include <string>

#include "storage/cues.h"
#include "storage/storedform.h"
#if TS_HEADLESS_DESKTOP
#include "platform/headless/control.h"
#endif

using namespace ts;

namespace {

std::string Extracted(const TFileStorage& storage, int index) {
  TMemoryStream out;
  storage.ItemAt(index)->ExtractTo(&out);
  return out.DataString();
}

}  // namespace

#if TS_HEADLESS_DESKTOP

class Cues : public ::testing::Test {
protected:
  void SetUp() override {
    platform::headless::ClearPlayedSounds();
    platform::headless::SetSoundFails(false);
    LoadWindowStoredData(storage);
  }
  void TearDown() override { platform::headless::SetSoundFails(false); }
  TFileStorage storage{nullptr};
};

TEST_F(Cues, EachCuePlaysItsWholeWaveFileFromMemory) {
  PlayCue(storage, kStartCue);
  PlayCue(storage, kEndCue);
  PlayCue(storage, kStartCue);
  const auto& played = platform::headless::PlayedSounds();
  ASSERT_EQ(played.size(), 3u);
  EXPECT_EQ(played[0], Extracted(storage, 0));
  EXPECT_EQ(played[0].size(), 7946u);
  EXPECT_EQ(played[1], Extracted(storage, 1));
  EXPECT_EQ(played[1].size(), 13834u);
  EXPECT_EQ(played[2], played[0]);
}

TEST_F(Cues, MissingOrEmptyItemsPlayNothingAndFailedPlaysAreIgnored) {
  PlayCue(storage, 2);
  PlayCue(storage, -1);
  storage.StoredItems()->Add();  // an item without a file
  PlayCue(storage, 2);
  EXPECT_TRUE(platform::headless::PlayedSounds().empty());

  platform::headless::SetSoundFails(true);  // no audio device
  EXPECT_NO_THROW(PlayCue(storage, kEndCue));
  EXPECT_EQ(platform::headless::PlayedSounds().size(), 1u);
}

TEST_F(Cues, DamagedCueRaisesWithoutPlaying) {
  TStoredItem* item = storage.ItemAt(kStartCue);
  TMemoryStream prop;
  const std::string stored = item->Data().DataString().substr(0, 100);
  const uint32_t length = static_cast<uint32_t>(stored.size());
  prop.WriteBuffer(&length, 4);  // both builds are little-endian
  prop.WriteString(stored);
  prop.SetPosition(0);
  item->ReadData(prop);
  EXPECT_THROW(PlayCue(storage, kStartCue), EReadError);
  EXPECT_TRUE(platform::headless::PlayedSounds().empty());
}

#else

// The real sndPlaySoundA: the call comes back once the sound is over, or at
// once when there is no audio device, and neither is an error.
TEST(Cues, PlayThroughTheSystemFromMemory) {
  TFileStorage storage(nullptr);
  LoadWindowStoredData(storage);
  EXPECT_NO_THROW(PlayCue(storage, kStartCue));
  EXPECT_NO_THROW(PlayCue(storage, kEndCue));
  EXPECT_NO_THROW(PlayCue(storage, 5));
  EXPECT_EQ(Extracted(storage, kEndCue).size(), 13834u);
}

#endif
