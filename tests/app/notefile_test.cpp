// The outbox's file of note records: what a cut or damaged file gives back,
// the outbox's bounds, and its lock against a second process. Portable: runs natively and under Wine against the
// real Windows file functions.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "app/notefile.h"
#include "app/outbox.h"
#include "app/settings.h"
#include "platform/file.h"
#include "tests/support/scratch.h"

using namespace ts;

namespace {

std::vector<TNoteRecord> SampleNotes() {
  return {
      {TNoteState::nsWaiting, "20261208143405123", "", "first note"},
      {TNoteState::nsRefused, "20261208143410004", "cannot send data.", std::string("binary\0TSN\x01 inside", 18)},
      {TNoteState::nsWaiting, "20261208143420000", "", std::string(70000, 'x')},
      {TNoteState::nsSent, "20261208143415999", "", "日本語 😀\r\n<&>"},
  };
}

std::string Encode(const std::vector<TNoteRecord>& notes) {
  std::string bytes;
  for (auto& n : notes) bytes += EncodeNoteRecord(n);
  return bytes;
}

class NoteFileTest : public ::testing::Test {
protected:
  void SetUp() override { dir_ = testscratch::CaseFolder("textsnap-notefile"); }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string File(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST(NoteRecords, RoundTripAndEveryCutOfTheLastRecordKeepsTheOthers) {
  const auto notes = SampleNotes();
  EXPECT_EQ(DecodeNoteRecords(Encode(notes)).notes, notes);
  EXPECT_EQ(DecodeNoteRecords(Encode(notes)).damaged, 0);

  // A write cut short at any byte of the last record (power loss, kill)
  // loses that record only.
  const std::vector<TNoteRecord> earlier(notes.begin(), notes.end() - 1);
  const std::string whole = Encode(notes);
  const size_t lastStart = Encode(earlier).size();
  for (size_t cut = lastStart; cut < whole.size(); ++cut) {
    TNoteScan scan = DecodeNoteRecords(whole.substr(0, cut));
    ASSERT_EQ(scan.notes, earlier) << "cut at " << cut;
    ASSERT_EQ(scan.damaged, cut == lastStart ? 0 : 1) << "cut at " << cut;
  }
}

TEST(NoteRecords, ADamagedRecordIsSkippedAndTheOnesAfterItSurvive) {
  const auto notes = SampleNotes();
  const std::string whole = Encode(notes);
  const size_t second = EncodeNoteRecord(notes[0]).size();
  const size_t third = second + EncodeNoteRecord(notes[1]).size();
  // Every single byte of the second record flipped in turn: its mark, its
  // length, its checksum or its payload.
  for (size_t at = second; at < third; ++at) {
    std::string bad = whole;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    TNoteScan scan = DecodeNoteRecords(bad);
    ASSERT_EQ(scan.damaged, 1) << "byte " << at;
    ASSERT_EQ(scan.notes, (std::vector<TNoteRecord>{notes[0], notes[2], notes[3]})) << "byte " << at;
  }
  // Garbage in front, between and after records; a length that claims more
  // than the file holds.
  std::string messy = "junk" + EncodeNoteRecord(notes[0]) + "\x01\x02" + EncodeNoteRecord(notes[2]) + "TSN\x01\xFF\xFF";
  TNoteScan scan = DecodeNoteRecords(messy);
  EXPECT_EQ(scan.notes, (std::vector<TNoteRecord>{notes[0], notes[2]}));
  EXPECT_EQ(scan.damaged, 3);
}

TEST_F(NoteFileTest, ATornTailIsCutAwaySoLaterAppendsAreReadBack) {
  const auto notes = SampleNotes();
  const std::string path = File("outbox.dat");
  // Two notes on disk, then a third cut in the middle of its write.
  std::string torn = EncodeNoteRecord(notes[2]);
  torn.resize(torn.size() / 2);
  std::ofstream(path, std::ios::binary) << EncodeNoteRecord(notes[0]) << EncodeNoteRecord(notes[1]) << torn;

  TNoteFile file(path);
  EXPECT_EQ(file.Load(), 1);
  EXPECT_EQ(file.Notes(), (std::vector<TNoteRecord>{notes[0], notes[1]}));
  ASSERT_TRUE(file.Append(notes[3]));
  TNoteFile again(path);
  EXPECT_EQ(again.Load(), 0) << "the load rewrote the file without the torn record";
  EXPECT_EQ(again.Notes(), (std::vector<TNoteRecord>{notes[0], notes[1], notes[3]}));

  // A rewrite replaces the file whole and leaves no temporary file behind.
  again.Notes().erase(again.Notes().begin());
  ASSERT_TRUE(again.Save());
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  TNoteFile third(path);
  third.Load();
  EXPECT_EQ(third.Notes(), (std::vector<TNoteRecord>{notes[1], notes[3]}));
  // A folder that does not exist: the append says so, nothing is pretended kept.
  TNoteFile nowhere(File("missing/outbox.dat"));
  EXPECT_FALSE(nowhere.Append(notes[0]));
  EXPECT_TRUE(nowhere.Notes().empty());
}

TEST_F(NoteFileTest, TheOutboxKeepsATextOnceAndRefusesPastItsCap) {
  const TOutbox::TLimits limits{5, 1000, 3, 25};
  TOutbox outbox(File("outbox.dat"), File("history.dat"), limits);
  EXPECT_EQ(outbox.Load(true), 0);
  auto note = [](int i, size_t size = 10) {
    std::string text = std::to_string(i) + ":" + std::string(size, 'n');
    return TNoteRecord{TNoteState::nsWaiting, "2026120814" + std::to_string(1000000 + i).substr(1), "", text};
  };
  ASSERT_EQ(outbox.Keep(note(0)), TOutbox::TKept::kpKept);
  EXPECT_EQ(outbox.Keep(note(0)), TOutbox::TKept::kpAlreadyWaiting);
  for (int i = 1; i < 5; ++i) ASSERT_EQ(outbox.Keep(note(i)), TOutbox::TKept::kpKept);
  EXPECT_EQ(outbox.Keep(note(99)), TOutbox::TKept::kpFull);
  EXPECT_EQ(outbox.Waiting(), 5u);

  // Everything kept is on the disk, in order; the history holds the last 3.
  TOutbox reread(File("outbox.dat"), File("history.dat"), limits);
  EXPECT_EQ(reread.Load(true), 0);
  ASSERT_EQ(reread.Notes().size(), 5u);
  EXPECT_EQ(reread.Notes().front().text, note(0).text);
  EXPECT_EQ(reread.Notes().back().text, note(4).text);
  auto recent = reread.Recent(10);
  ASSERT_EQ(recent.size(), 2u) << "3 at most, and 25 bytes of text";
  EXPECT_EQ(recent.front().text, note(4).text) << "newest first";
  EXPECT_EQ(recent.back().text, note(3).text);

  // The size cap counts the texts of all kept notes.
  TOutbox big(File("big.dat"), File("bighistory.dat"), limits);
  big.Load(false);
  ASSERT_EQ(big.Keep(note(1, 900)), TOutbox::TKept::kpKept);
  EXPECT_EQ(big.Keep(note(2, 200)), TOutbox::TKept::kpFull);
  EXPECT_FALSE(std::filesystem::exists(File("bighistory.dat"))) << "history off: no texts on disk but the outbox";

  // A refused copy is never sent again: the same text failing later waits of its own.
  TOutbox again(File("again.dat"), File("againhistory.dat"), limits);
  again.Load(true);
  TNoteRecord refused = note(7);
  refused.state = TNoteState::nsRefused;
  refused.reason = "cannot send data.";
  ASSERT_EQ(again.Keep(refused), TOutbox::TKept::kpKept);
  EXPECT_EQ(again.Keep(refused), TOutbox::TKept::kpAlreadyWaiting);
  TNoteRecord retried = note(7);
  retried.paperId = note(8).paperId;
  EXPECT_EQ(again.Keep(retried), TOutbox::TKept::kpKept);
  EXPECT_EQ(again.Waiting(), 1u);
  // Another text with the same capture time is another note.
  TNoteRecord twin = refused;
  twin.text = "twin";
  ASSERT_EQ(again.Keep(twin), TOutbox::TKept::kpKept);
  again.Discard(refused);
  ASSERT_EQ(again.Count(), 2u);
  EXPECT_EQ(again.Notes()[1], twin);

  // The first pause, doubled after each failed try, never beyond the longest.
  TRetrySchedule retry(30000, 900000);
  std::vector<uint32_t> pauses;
  for (int i = 0; i < 7; ++i) pauses.push_back(retry.Next());
  EXPECT_EQ(pauses, (std::vector<uint32_t>{30000, 60000, 120000, 240000, 480000, 900000, 900000}));
  retry.Reset();
  EXPECT_EQ(retry.Next(), 30000u);
}

// A command that keeps a note while no client runs writes the outbox under
// the lock a running client holds: never past it, and what it wrote is what
// the next client reads.
TEST_F(NoteFileTest, ANoteKeptOutsideTheClientWaitsForTheOutboxLock) {
  const std::string settings = File("ini.ini");
  const std::string lockPath = BesideSettings(settings, kOutboxLockFileName);
  const std::string handed = "kept by send 🍀";
  TNoteRecord earlier{TNoteState::nsWaiting, "", "", "kept by the client"};
  {
    TOutbox client(BesideSettings(settings, kOutboxFileName), BesideSettings(settings, kHistoryFileName));
    client.Load(true);
    earlier.paperId = client.NewPaperId();
    ASSERT_EQ(client.Keep(earlier), TOutbox::TKept::kpKept);
  }

  const int held = platform::LockFile(lockPath, 0);
  ASSERT_NE(held, -1);
  EXPECT_EQ(platform::LockFile(lockPath, 50), -1) << "one holder at a time";
  EXPECT_FALSE(KeepOutsideClient(settings, handed, true, 100).has_value()) << "a client holds the outbox";
  // The holder lets go while the command waits.
  std::thread holder([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    platform::UnlockFile(held);
  });
  const auto kept = KeepOutsideClient(settings, handed, true, 10000);
  holder.join();
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(*kept, TOutbox::TKept::kpKept);
  EXPECT_EQ(KeepOutsideClient(settings, handed, true, 0), TOutbox::TKept::kpAlreadyWaiting) << "lock given back";

  TOutbox next(BesideSettings(settings, kOutboxFileName), BesideSettings(settings, kHistoryFileName));
  EXPECT_EQ(next.Load(true), 0);
  ASSERT_EQ(next.Notes().size(), 2u);
  EXPECT_EQ(next.Notes()[0], earlier);
  EXPECT_EQ(next.Notes()[1].text, handed);
  EXPECT_EQ(next.Notes()[1].state, TNoteState::nsWaiting);
  EXPECT_EQ(next.Notes()[1].paperId.size(), 17u);
  ASSERT_FALSE(next.Recent(1).empty());
  EXPECT_EQ(next.Recent(1).front().text, handed) << "it shows among the recent snaps";
  const int again = platform::LockFile(lockPath, 0);
  EXPECT_NE(again, -1);
  platform::UnlockFile(again);

  // Notes kept in one millisecond still get paper ids of their own.
  for (int i = 0; i < 5; ++i) {
    TNoteRecord burst{TNoteState::nsWaiting, next.NewPaperId(), "", "burst " + std::to_string(i)};
    ASSERT_EQ(next.Keep(burst), TOutbox::TKept::kpKept);
  }
  std::set<std::string> ids;
  for (const TNoteRecord& n : next.Notes()) ids.insert(n.paperId);
  EXPECT_EQ(ids.size(), next.Notes().size());
}

}  // namespace

// A file that cannot be read is not an empty file: nothing is written over
// it, nothing is pretended kept, and it is read again at the next use. A
// damaged file is copied aside before the rewrite that drops the damage; a
// file with records of a state this version does not know (a newer one wrote
// it) is left as it is and only read.
TEST_F(NoteFileTest, AnUnreadableOrNewerFileIsNeverRewrittenAndDamageIsCopiedAside) {
  const auto notes = SampleNotes();
  const std::string path = File("outbox.dat");
  // A folder where the file should be: opening or reading it fails, it is not missing.
  std::filesystem::create_directory(path);
  TOutbox outbox(path, File("history.dat"));
  outbox.Load(true);
  EXPECT_TRUE(outbox.Unreadable());
  EXPECT_EQ(outbox.Refusal().rfind("outbox cannot be read: ", 0), 0u) << outbox.Refusal();
  EXPECT_GT(outbox.Refusal().size(), std::string("outbox cannot be read: ").size()) << "the system's reason";
  EXPECT_EQ(outbox.KeepWaiting("not keepable"), TOutbox::TKept::kpRefused);
  EXPECT_EQ(outbox.NotKeptReason(TOutbox::TKept::kpRefused), outbox.Refusal());
  TNoteRecord ahead{TNoteState::nsWaiting, "20261208143405123", "", "ahead"};
  EXPECT_FALSE(outbox.WriteAhead(ahead));
  EXPECT_TRUE(std::filesystem::is_directory(path)) << "never written over";

  // Readable again (the scanner let go of it): the next use reads it first.
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary) << EncodeNoteRecord(notes[0]);
  EXPECT_EQ(outbox.KeepWaiting("kept now"), TOutbox::TKept::kpKept);
  EXPECT_FALSE(outbox.Unreadable());
  ASSERT_EQ(outbox.Count(), 2u);
  EXPECT_EQ(outbox.Notes()[0], notes[0]) << "what the file held was read, not overwritten";

  // Damage: the whole file as it was goes to outbox.damaged first.
  std::string damaged = Encode(notes);
  damaged[EncodeNoteRecord(notes[0]).size() + 20] ^= 0x5A;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << damaged;
  TNoteFile file(path);
  EXPECT_EQ(file.Load(), 1);
  EXPECT_EQ(file.DamagedPath(), File("outbox.damaged"));
  EXPECT_TRUE(platform::ReadWholeFile(File("outbox.damaged")) == damaged);
  EXPECT_EQ(DecodeNoteRecords(*platform::ReadWholeFile(path)).notes,
            (std::vector<TNoteRecord>{notes[0], notes[2], notes[3]}));

  // A newer version's record (state 7, whole and with a right checksum).
  TNoteRecord future = notes[0];
  future.state = static_cast<TNoteState>(7);
  const std::string newer = EncodeNoteRecord(notes[1]) + EncodeNoteRecord(future) + damaged.substr(0, 30);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << newer;
  TOutbox readOnly(path, File("history.dat"));
  readOnly.Load(true);
  EXPECT_EQ(readOnly.Notes(), (std::vector<TNoteRecord>{notes[1]})) << "the notes it knows are shown";
  EXPECT_EQ(readOnly.Refusal(), "outbox is only read: written by a newer version of text snap");
  EXPECT_EQ(readOnly.KeepWaiting("not now"), TOutbox::TKept::kpRefused);
  readOnly.Discard(notes[1]);
  EXPECT_TRUE(platform::ReadWholeFile(path) == newer) << "left exactly as it was, its damage too";
}

// The note of a snap is on the disk before the conversation begins, as a
// waiting note that is not delivered meanwhile; its fate then only changes
// its state. A text that waits already stands for it (and lends its paper id).
TEST_F(NoteFileTest, ASnapsNoteIsWrittenAheadAndOnlyChangesItsStateAfterwards) {
  TOutbox outbox(File("outbox.dat"), File("history.dat"));
  outbox.Load(true);
  TNoteRecord note{TNoteState::nsWaiting, "20261208143405123", "", "on its way"};
  ASSERT_TRUE(outbox.WriteAhead(note));
  auto onDisk = [&] { return DecodeNoteRecords(*platform::ReadWholeFile(File("outbox.dat"))).notes; };
  EXPECT_EQ(onDisk(), std::vector<TNoteRecord>{note});
  EXPECT_EQ(outbox.Waiting(), 0u) << "on its way, not waiting";
  EXPECT_TRUE(outbox.OnItsWay(note));
  ASSERT_FALSE(outbox.Offered(10).empty());
  EXPECT_EQ(outbox.Offered(10).front(), note) << "shown in the menu meanwhile";
  // The clipboard changed before the upload: the record follows, same paper id.
  TNoteRecord changed{TNoteState::nsWaiting, "20261208143405999", "", "changed on its way"};
  ASSERT_TRUE(outbox.WriteAhead(changed));
  EXPECT_EQ(changed.paperId, note.paperId);
  EXPECT_EQ(onDisk(), std::vector<TNoteRecord>{changed});
  // The service refused it: the same record, refused.
  TNoteRecord refused = changed;
  refused.state = TNoteState::nsRefused;
  refused.reason = "cannot send data.";
  EXPECT_EQ(outbox.Keep(refused), TOutbox::TKept::kpKept);
  EXPECT_EQ(onDisk(), std::vector<TNoteRecord>{refused});
  EXPECT_FALSE(outbox.OnItsWay(changed));

  // A text that waits already: no second record, its paper id is taken.
  outbox.KeepWaiting("waits already");
  const std::string waitingId = outbox.Notes().back().paperId;
  TNoteRecord again{TNoteState::nsWaiting, "20261208150000000", "", "waits already"};
  ASSERT_TRUE(outbox.WriteAhead(again));
  EXPECT_EQ(again.paperId, waitingId);
  EXPECT_EQ(onDisk().size(), 2u);
  outbox.Stored(again);
  EXPECT_EQ(onDisk(), std::vector<TNoteRecord>{refused}) << "stored: it leaves the outbox";
  EXPECT_EQ(outbox.Recent(1).front().state, TNoteState::nsSent);
}

// A note without a title is written byte for byte as before titles existed,
// so an older text snap reads it; a titled one carries its title through
// the file, and an older reader (which takes any state above "refused" for
// a newer version's) leaves the file as it is instead of dropping it.
TEST_F(NoteFileTest, TitledRecordsRoundTripAndUntitledOnesKeepTheirBytes) {
  const TNoteRecord plain{TNoteState::nsRefused, "20261208143405123", "no", "ab"};
  // mark, length 25, CRC-32, then state 2, id, reason, text.
  const std::string payload =
      std::string("\x02\x11", 2) + "20261208143405123" + std::string("\x02\x00", 2) + "no" + "ab";
  std::string length("\x19\x00\x00\x00", 4);
  std::string crc;
  for (int i = 0; i < 4; ++i) crc += static_cast<char>((Crc32(payload, Crc32(length)) >> (8 * i)) & 0xFF);
  EXPECT_EQ(EncodeNoteRecord(plain), std::string("TSN\x01", 4) + length + crc + payload);

  TNoteRecord titled = plain;
  titled.state = TNoteState::nsWaiting;
  titled.title = "無題 - メモ帳 (notepad.exe)";
  const std::string bytes = EncodeNoteRecord(titled);
  EXPECT_EQ(static_cast<uint8_t>(bytes[kNoteRecordHeader]), 0x80) << "waiting, with the title mark";
  EXPECT_GT(static_cast<uint8_t>(bytes[kNoteRecordHeader]), static_cast<uint8_t>(TNoteState::nsRefused))
      << "a state an older reader does not know";

  const std::string path = File("outbox.dat");
  std::ofstream(path, std::ios::binary) << EncodeNoteRecord(plain) << bytes;
  TNoteFile file(path);
  EXPECT_EQ(file.Load(), 0);
  EXPECT_TRUE(file.Writable());
  EXPECT_EQ(file.Notes(), (std::vector<TNoteRecord>{plain, titled}));
  // Every cut of the titled record loses that record only.
  const std::string whole = EncodeNoteRecord(plain) + bytes;
  for (size_t cut = EncodeNoteRecord(plain).size() + 1; cut < whole.size(); ++cut)
    ASSERT_EQ(DecodeNoteRecords(whole.substr(0, cut)).notes, std::vector<TNoteRecord>{plain}) << cut;
  // A titled note with no text keeps its title.
  TNoteRecord empty = titled;
  empty.text.clear();
  EXPECT_EQ(DecodeNoteRecords(EncodeNoteRecord(empty)).notes, std::vector<TNoteRecord>{empty});
}
