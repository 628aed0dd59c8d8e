#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage/filestorage.h"
#include "storage/storedform.h"
#include "storage/zcodec.h"

using namespace ts;

namespace {

std::string Extract(TStoredItem& item) {
  TMemoryStream out;
  item.ExtractTo(&out);
  return out.DataString();
}

void Load(TStoredItem& item, const std::string& bytes) {
  TMemoryStream in;
  in.WriteString(bytes);
  item.LoadFrom(&in);
}

// Text that deflates well, with a few odd bytes so it is not trivial.
std::string SampleFile(size_t size) {
  std::string s;
  for (size_t i = 0; s.size() < size; ++i) s += "line " + std::to_string(i % 97) + "\r\n";
  s.resize(size);
  s[size / 2] = '\0';
  return s;
}

uint32_t LE32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  return v;
}
uint16_t LE16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}

// Gives the item exactly these stored bytes, as reading stored form data would.
void SetStoredBytes(TStoredItem& item, const std::string& stored) {
  TMemoryStream prop;
  uint8_t head[4];
  for (int i = 0; i < 4; ++i) head[i] = static_cast<uint8_t>(stored.size() >> (8 * i));
  prop.WriteBuffer(head, 4);
  prop.WriteString(stored);
  prop.SetPosition(0);
  item.ReadData(prop);
}

// A zlib stream whose content is `content`, as the storage itself would write it.
std::string ZlibOf(const std::string& content) {
  TMemoryStream src, out;
  src.WriteString(content);
  src.SetPosition(0);
  zcodec::Deflate(-1, nullptr, 0, src, src.Size(), out);
  return out.DataString();
}

std::string WithLength(const std::string& file, uint32_t length) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(length >> (8 * i));
  return s + file;
}

}  // namespace

// ---------------------------------------------------------------------------
// The window's cues

class WindowCues : public ::testing::Test {
protected:
  void SetUp() override { LoadWindowStoredData(storage); }
  TFileStorage storage{nullptr};
};

TEST_F(WindowCues, ReadFromTheBuiltInStoredData) {
  EXPECT_EQ(storage.Name(), "FileStorage1");
  EXPECT_FALSE(storage.Loading());
  ASSERT_EQ(storage.StoredItems()->Count(), 2);
  const char* names[] = {"StoredItem1", "StoredItem2"};
  const char* files[] = {"CURSOR16_q.WAV", "CURSOR27_q.WAV"};
  const int sizes[] = {7946, 13834};
  int64_t storedSum = 0;
  for (int i = 0; i < 2; ++i) {
    TStoredItem* item = storage.ItemAt(i);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->Name(), names[i]);
    EXPECT_EQ(item->FileName(), files[i]);
    EXPECT_EQ(item->FileSize(), sizes[i]);
    EXPECT_EQ(item->Compression(), TCompressionLevel::clDefault);
    EXPECT_EQ(item->Tag, 0);
    // A zlib stream at the default level whose content starts with the file's length.
    const std::string stored = item->Data().DataString();
    ASSERT_GE(stored.size(), 2u);
    EXPECT_EQ(static_cast<uint8_t>(stored[0]), 0x78);
    EXPECT_EQ(static_cast<uint8_t>(stored[1]), 0x9C);
    EXPECT_LT(item->Size(), item->FileSize());
    storedSum += item->Size();
  }
  EXPECT_EQ(storage.OriginalSize(), 7946 + 13834);
  EXPECT_EQ(storage.Size(), storedSum);
  EXPECT_EQ(storage.Version(), "1.21");
  EXPECT_EQ(storage.ItemAt(2), nullptr);
  EXPECT_EQ(storage.ItemAt(-1), nullptr);
}

TEST_F(WindowCues, ExtractAsPcmWaveFilesOfTheirFormats) {
  struct Expect {
    size_t fileSize;
    uint16_t bits;
    uint32_t dataBytes;
  } expect[] = {{7946, 8, 7899}, {13834, 16, 13788}};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const std::string wav = Extract(*storage.ItemAt(i));
    ASSERT_EQ(wav.size(), expect[i].fileSize);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(LE32(wav, 4), wav.size() - 8);
    EXPECT_EQ(wav.substr(8, 4), "WAVE");
    EXPECT_EQ(wav.substr(12, 4), "fmt ");
    EXPECT_EQ(LE32(wav, 16), 18u);
    EXPECT_EQ(LE16(wav, 20), 1) << "PCM";
    EXPECT_EQ(LE16(wav, 22), 1) << "mono";
    EXPECT_EQ(LE32(wav, 24), 44100u);
    const uint16_t block = expect[i].bits / 8;
    EXPECT_EQ(LE32(wav, 28), 44100u * block);
    EXPECT_EQ(LE16(wav, 32), block);
    EXPECT_EQ(LE16(wav, 34), expect[i].bits);
    EXPECT_EQ(LE16(wav, 36), 0) << "no extra format bytes";
    EXPECT_EQ(wav.substr(38, 4), "data");
    EXPECT_EQ(LE32(wav, 42), expect[i].dataBytes);
    // The clip is a sound, not silence, and it does not clip hard at full scale.
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (uint32_t k = 0; k < expect[i].dataBytes / block; ++k) {
      const size_t at = 46 + k * block;
      const int64_t v = block == 1 ? static_cast<uint8_t>(wav[at]) - 128 : static_cast<int16_t>(LE16(wav, at));
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    const int64_t full = block == 1 ? 127 : 32767;
    EXPECT_GT(hi - lo, full / 4);
    EXPECT_LT(hi, full);
    EXPECT_GT(lo, -full);
    // Every extraction inflates again and gives the same file.
    EXPECT_EQ(Extract(*storage.ItemAt(i)), wav);
  }
}

TEST_F(WindowCues, WrittenBackGiveTheSameStoredData) {
  TMemoryStream written;
  WriteStoredForm(storage, written);
  EXPECT_EQ(written.DataString(), std::string(WindowStoredData()));

  // And a second storage read from that gives the same files.
  TFileStorage copy(nullptr);
  written.SetPosition(0);
  ReadStoredForm(copy, written);
  ASSERT_EQ(copy.StoredItems()->Count(), 2);
  EXPECT_EQ(Extract(*copy.ItemAt(1)), Extract(*storage.ItemAt(1)));
  EXPECT_EQ(copy.Ratio(), storage.Ratio());
}

TEST_F(WindowCues, DamagedStoredDataRaisesAndNeverLeavesTheStorageLoading) {
  const std::string good(WindowStoredData());
  // Cut short anywhere, or with a byte changed anywhere in the structure, the
  // read fails with one of the system's errors.
  for (size_t cut = 0; cut < good.size(); cut += cut < 400 ? 1 : 97) {
    TFileStorage s(nullptr);
    TMemoryStream in;
    in.WriteString(good.substr(0, cut));
    in.SetPosition(0);
    EXPECT_THROW(ReadStoredForm(s, in), Exception) << "cut at " << cut;
    EXPECT_FALSE(s.Loading());
  }
  for (size_t at = 0; at < 200; ++at) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0xA5);
    TFileStorage s(nullptr);
    TMemoryStream in;
    in.WriteString(bad);
    in.SetPosition(0);
    try {
      ReadStoredForm(s, in);
      // A changed byte inside a text value may still read; what was read must extract or fail cleanly.
      for (int i = 0; i < s.StoredItems()->Count(); ++i) Extract(*s.ItemAt(i));
    } catch (const Exception&) {
    }
    EXPECT_FALSE(s.Loading());
  }
}

// ---------------------------------------------------------------------------
// Extraction

TEST(StoredItemExtract, AppendsAtTheTargetsPositionAndLeavesItBehind) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  const std::string file = SampleFile(3000);
  Load(*item, file);
  for (TCompressionLevel level : {TCompressionLevel::clDefault, TCompressionLevel::clNone}) {
    item->SetCompression(level);
    TMemoryStream target;
    target.WriteString("0123456789");
    target.SetPosition(4);
    item->ExtractTo(&target);
    EXPECT_EQ(target.Position(), 4 + static_cast<int64_t>(file.size()));
    EXPECT_EQ(target.DataString(), "0123" + file);
  }
  item->ExtractTo(nullptr);  // nothing to write to: nothing happens
}

TEST(StoredItemExtract, ZeroLengthFileExtractsNothing) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  // N = 0, even with more inflated bytes behind it.
  for (const std::string& content : {WithLength("", 0), WithLength("ignored", 0)}) {
    SetStoredBytes(*item, ZlibOf(content));
    TMemoryStream target;
    target.WriteString("keep");
    item->ExtractTo(&target);
    EXPECT_EQ(target.DataString(), "keep");
  }
  // An item that holds nothing writes nothing, whatever its level.
  TStoredItem* empty = storage.StoredItems()->Add();
  EXPECT_EQ(Extract(*empty), "");
}

TEST(StoredItemExtract, DamagedDataRaisesTheSystemErrorsAndLeavesTheTargetAlone) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  const std::string file = SampleFile(20000);
  Load(*item, file);
  const std::string good = item->Data().DataString();

  auto expectFailure = [&](const std::string& stored, const char* message) {
    SetStoredBytes(*item, stored);
    TMemoryStream target;
    target.WriteString("before");
    try {
      item->ExtractTo(&target);
      ADD_FAILURE() << "no error for " << message;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message);
    }
    EXPECT_EQ(target.DataString(), "before");
  };
  // The stored stream stops early: the file cannot be read in full.
  expectFailure(good.substr(0, good.size() / 2), "ストリームからの読み込みエラー");
  expectFailure(good.substr(0, 3), "ストリームからの読み込みエラー");
  // The stream is whole but says the file is longer than it is.
  expectFailure(ZlibOf(WithLength(file, static_cast<uint32_t>(file.size() + 1))), "ストリームからの読み込みエラー");
  expectFailure(ZlibOf(WithLength("", 0xFFFFFFFFu)), "ストリームからの読み込みエラー");
  expectFailure(ZlibOf("ab"), "ストリームからの読み込みエラー");
  // Not a zlib stream at all, or with its compressed body damaged.
  expectFailure(file.substr(0, 100), "error");
  std::string corrupt = good;
  for (size_t i = 10; i < 40; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5A);
  expectFailure(corrupt, "error");

  // The stored-data reader refuses a length that runs past its stream.
  TMemoryStream prop;
  prop.WriteString(WithLength("abc", 0x7FFFFFF0u));
  prop.SetPosition(0);
  EXPECT_THROW(item->ReadData(prop), EReadError);
  EXPECT_EQ(item->Size(), 0);
}

// ---------------------------------------------------------------------------
// Loading and compression levels

TEST(StoredItemLoad, StoredFormFollowsTheCompressionLevel) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  const std::string file = SampleFile(50000);
  Load(*item, file);
  EXPECT_EQ(item->FileSize(), 50000);
  EXPECT_LT(item->Size(), item->FileSize());

  // Outside loading a new level rebuilds the data; the file stays the same.
  struct {
    TCompressionLevel level;
    uint8_t flags;
  } levels[] = {
      {TCompressionLevel::clMax, 0xDA}, {TCompressionLevel::clFastest, 0x01}, {TCompressionLevel::clDefault, 0x9C}};
  for (auto& l : levels) {
    item->SetCompression(l.level);
    const std::string stored = item->Data().DataString();
    EXPECT_EQ(static_cast<uint8_t>(stored[0]), 0x78);
    EXPECT_EQ(static_cast<uint8_t>(stored[1]), l.flags);
    EXPECT_EQ(Extract(*item), file);
    EXPECT_EQ(item->FileSize(), 50000);
  }

  item->SetCompression(TCompressionLevel::clNone);
  EXPECT_EQ(item->Data().DataString(), file);
  EXPECT_EQ(item->Size(), item->FileSize());
  EXPECT_EQ(item->Ratio(), "100.00%");
  EXPECT_EQ(Extract(*item), file);
}

TEST(StoredItemLoad, RawItemsKeepTheExactBytesAndTheirSize) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  item->SetCompression(TCompressionLevel::clNone);
  std::string file = SampleFile(777);
  file[0] = '\x78';
  file[1] = '\x9C';  // looks like zlib, must stay raw
  Load(*item, file);
  EXPECT_EQ(item->Data().DataString(), file);
  EXPECT_EQ(Extract(*item), file);
  EXPECT_EQ(item->FileSize(), 777);
  // A later, shorter file: its own size, not the old one.
  Load(*item, "short");
  EXPECT_EQ(Extract(*item), "short");
  EXPECT_EQ(item->FileSize(), 5);
  EXPECT_EQ(storage.OriginalSize(), 5);

  // Nothing to load empties the item and keeps its size figure.
  item->LoadFrom(nullptr);
  EXPECT_EQ(item->Size(), 0);
  TMemoryStream none;
  Load(*item, "again");
  item->LoadFrom(&none);
  EXPECT_EQ(item->Size(), 0);
  EXPECT_EQ(item->FileSize(), 5);
}

TEST(StoredItemLoad, StoredValuesApplyAsTheyAreOnlyWhileTheStorageIsRead) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  const std::string file = SampleFile(4000);
  Load(*item, file);
  const std::string stored = item->Data().DataString();

  item->SetFileName("a.wav");
  item->SetFileSize(1);
  EXPECT_EQ(item->FileName(), "");
  EXPECT_EQ(item->FileSize(), 4000);

  storage.BeginLoading();
  item->SetFileName("a.wav");
  item->SetFileSize(1);
  item->SetCompression(TCompressionLevel::clMax);  // the data is taken to be in that form already
  storage.EndLoading();
  EXPECT_EQ(item->FileName(), "a.wav");
  EXPECT_EQ(item->FileSize(), 1);
  EXPECT_EQ(item->Compression(), TCompressionLevel::clMax);
  EXPECT_EQ(item->Data().DataString(), stored);
  EXPECT_EQ(Extract(*item), file);
}

TEST(StoredItemLoad, AFailedRebuildKeepsTheFile) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  const std::string file = SampleFile(3000);
  Load(*item, file);
  const std::string stored = item->Data().DataString();
  item->OnBeforeLoad = [](TObject*, TStream*) { throw Exception("refused"); };
  EXPECT_THROW(item->SetCompression(TCompressionLevel::clNone), Exception);
  EXPECT_EQ(item->Compression(), TCompressionLevel::clDefault);
  EXPECT_EQ(item->Data().DataString(), stored);
  EXPECT_EQ(Extract(*item), file);
  EXPECT_EQ(item->FileSize(), 3000);
}

TEST(StoredItemLoad, EventsSurroundLoadingAndExtracting) {
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  std::vector<std::string> seen;
  TMemoryStream source;
  source.WriteString("payload");  // left at its end; loading rewinds it
  item->OnBeforeLoad = [&](TObject* s, TStream* st) {
    EXPECT_EQ(s, item);
    EXPECT_EQ(st, &source);
    seen.push_back("before load at " + std::to_string(st->Position()));
  };
  item->OnAfterLoad = [&](TObject*) { seen.push_back("after load " + std::to_string(item->FileSize())); };
  TMemoryStream target;
  item->OnBeforeSave = [&](TObject*, TStream* st) {
    EXPECT_EQ(st, &target);
    seen.push_back("before save");
  };
  item->OnAfterSave = [&](TObject*) { seen.push_back("after save " + std::to_string(target.Size())); };
  item->LoadFrom(&source);
  item->ExtractTo(&target);
  EXPECT_EQ(seen, (std::vector<std::string>{"before load at 0", "after load 7", "before save", "after save 7"}));
}

TEST(StoredItemLoad, SourcesThatCannotBeStoredLeaveNoDamagedData) {
  // A stream that claims more than the 32-bit length field can say.
  class HugeStream : public TStream {
  public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
    void SetSize(int64_t) override {}
    int64_t Size() override { return int64_t{1} << 32; }
  } huge;
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  Load(*item, "kept");
  EXPECT_THROW(item->LoadFrom(&huge), EFileStorageError);
  EXPECT_EQ(Extract(*item), "kept");

  // A source that runs dry before its announced size: no half-written stream is kept.
  class ShortSource : public TStream {
  public:
    int64_t Read(void* buffer, int64_t count) override {
      const int64_t n = std::min<int64_t>(count, 70000 - pos_);
      std::memset(buffer, 'a', static_cast<size_t>(n));
      pos_ += n;
      return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
      if (origin == TSeekOrigin::soBeginning) pos_ = offset;
      return pos_;
    }
    void SetSize(int64_t) override {}
    int64_t Size() override { return 200000; }

  private:
    int64_t pos_ = 0;
  };
  for (TCompressionLevel level : {TCompressionLevel::clFastest, TCompressionLevel::clNone}) {
    item->SetCompression(level);
    ShortSource dry;
    EXPECT_THROW(item->LoadFrom(&dry), EReadError);
    EXPECT_EQ(item->Size(), 0);
    EXPECT_EQ(item->FileSize(), 4);
  }
}

// ---------------------------------------------------------------------------
// Names, figures, copying, lifetime

TEST(StoredItems, GeneratedNamesTakeTheSmallestFreeNumber) {
  TFileStorage storage(nullptr);
  TStoredItems& items = *storage.StoredItems();
  items.Add();
  items.Add();
  items.Add();
  EXPECT_EQ(items.Items(0)->Name(), "StoredItem1");
  EXPECT_EQ(items.Items(1)->Name(), "StoredItem2");
  EXPECT_EQ(items.Items(2)->Name(), "StoredItem3");

  items.Clear();
  items.Add();
  items.Add()->SetName("STOREDITEM2");
  EXPECT_EQ(items.Add()->Name(), "StoredItem3");
  items.Delete(0);
  EXPECT_EQ(items.Add()->Name(), "StoredItem1");
  EXPECT_EQ(items.Find("storeditem2"), items.Items(0));
}

TEST(StoredItems, NamesAreUniqueRegardlessOfCase) {
  TFileStorage storage(nullptr);
  TStoredItem* a = storage.StoredItems()->Add();
  TStoredItem* b = storage.StoredItems()->Add();
  a->SetName("Start");
  try {
    b->SetName("START");
    ADD_FAILURE() << "duplicate accepted";
  } catch (const EFileStorageError& e) {
    EXPECT_EQ(e.Message(), "Duplicated stored item name");
  }
  EXPECT_EQ(b->Name(), "StoredItem2");
  a->SetName("sTART");  // the same name: nothing changes
  EXPECT_EQ(a->Name(), "Start");
  // Double-byte characters whose trail bytes differ only in ASCII case are different names.
  a->SetName("\x83\x41");
  EXPECT_NO_THROW(b->SetName("\x83\x61"));
  EXPECT_EQ(b->Name(), "\x83\x61");
}

TEST(FileStorage, FiguresOfEmptyAndFilledStorages) {
  TFileStorage storage(nullptr);
  EXPECT_EQ(storage.Ratio(), "100%");
  EXPECT_EQ(storage.Size(), 0);
  EXPECT_EQ(storage.OriginalSize(), 0);
  TStoredItem* item = storage.StoredItems()->Add();
  EXPECT_EQ(item->Ratio(), "100%");
  EXPECT_EQ(storage.Ratio(), "100%");

  item->SetCompression(TCompressionLevel::clNone);
  Load(*item, std::string(300, 'x'));
  TStoredItem* packed = storage.StoredItems()->Add();
  Load(*packed, std::string(100, 'y'));
  EXPECT_EQ(storage.OriginalSize(), 400);
  EXPECT_EQ(storage.Size(), 300 + packed->Size());
  // Whatever the packed size, the total stays between 75% and 100% and reads with two decimals.
  const std::string ratio = storage.Ratio();
  ASSERT_EQ(ratio.back(), '%');
  const double value = std::stod(ratio);
  EXPECT_NEAR(value, (300.0 + packed->Size()) / 4.0, 0.005);
  EXPECT_EQ(ratio.size() - ratio.find('.'), 4u) << ratio;
}

TEST(StoredItemCopy, CopiesTagAndTheFileInItsForm) {
  TFileStorage from(nullptr), to(nullptr);
  TStoredItem* raw = from.StoredItems()->Add();
  raw->SetCompression(TCompressionLevel::clNone);
  Load(*raw, "raw file");
  raw->Tag = 7;
  TStoredItem* packed = from.StoredItems()->Add();
  packed->SetName("Packed");
  Load(*packed, SampleFile(5000));
  to.StoredItems()->Add()->SetName("Old");

  to.SetStoredItems(from.StoredItems());
  ASSERT_EQ(to.StoredItems()->Count(), 2);
  TStoredItem* a = to.ItemAt(0);
  TStoredItem* b = to.ItemAt(1);
  EXPECT_EQ(a->Tag, 7);
  EXPECT_EQ(Extract(*a), "raw file");
  EXPECT_EQ(Extract(*b), SampleFile(5000));
  EXPECT_EQ(b->Name(), "StoredItem2") << "names are the destination's own";
  EXPECT_EQ(to.OriginalSize(), from.OriginalSize());

  // Assigning a collection to itself keeps it.
  to.SetStoredItems(to.StoredItems());
  EXPECT_EQ(to.StoredItems()->Count(), 2);
  EXPECT_EQ(Extract(*to.ItemAt(0)), "raw file");

  TFileStorage notAnItem(nullptr);
  try {
    raw->AssignTo(&notAnItem);
    ADD_FAILURE() << "copied onto a storage";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "TStoredItem を TFileStorage に代入できません");
  }
}

TEST(StoredItemLifetime, DestroyEventComesAfterTheItemLeftItsCollection) {
  auto* storage = new TFileStorage(nullptr);
  TStoredItems* items = storage->StoredItems();
  TStoredItem* first = items->Add();
  TStoredItem* second = items->Add();
  std::vector<int> countsSeen;
  first->OnDestroy = [&](TObject* sender) {
    EXPECT_EQ(sender, first);
    countsSeen.push_back(items->Count());
  };
  items->Delete(0);
  EXPECT_EQ(countsSeen, std::vector<int>{1});
  EXPECT_EQ(items->Items(0), second);

  // The storage takes its items with it.
  int destroyed = 0;
  second->OnDestroy = [&](TObject*) { ++destroyed; };
  delete storage;
  EXPECT_EQ(destroyed, 1);
}

TEST(StoredItemLifetime, OwnerFreesTheStorage) {
  auto* owner = new TComponent(nullptr);
  auto* storage = new TFileStorage(owner);
  int destroyed = 0;
  storage->StoredItems()->Add()->OnDestroy = [&](TObject*) { ++destroyed; };
  delete owner;
  EXPECT_EQ(destroyed, 1);
}
