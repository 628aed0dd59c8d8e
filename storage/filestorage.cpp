#include "storage/filestorage.h"

#include <cxxabi.h>

#include <cstdlib>
#include <limits>
#include <typeinfo>
#include <vector>

#include "runtime/codepage.h"
#include "runtime/text.h"
#include "storage/zcodec.h"

namespace ts {

namespace {

int ZLibLevel(TCompressionLevel level) {
  switch (level) {
    case TCompressionLevel::clFastest:
      return 1;
    case TCompressionLevel::clMax:
      return 9;
    default:
      return -1;  // zlib's own default level
  }
}

void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Item names compare case-insensitively the way the user sees them: single-byte
// letters fold, a double-byte character matches only itself (its trail byte may
// look like an ASCII letter, and must not be folded).
bool SameItemName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (IsLeadByte(ca) && i + 1 < a.size()) {
      if (ca != cb || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    auto fold = [](unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c; };
    if (fold(ca) != fold(cb)) return false;
  }
  return true;
}

std::string ClassNameOf(const TObject* object) {
  if (!object) return "nil";
  const char* raw = typeid(*object).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : raw;
  std::free(demangled);
  const size_t colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

}  // namespace

std::string FormatRatio(int64_t size, int64_t originalSize) {
  if (originalSize == 0) return "100%";
  return Format("%f", {static_cast<double>(size) / static_cast<double>(originalSize) * 100}) + "%";
}

// ---------------------------------------------------------------------------
// TStoredItem

TStoredItem::TStoredItem(TCollection* collection) : TCollectionItem(collection) {
  if (TStoredItems* items = StoredItems()) name_ = items->UniqueName(this);
  Fire(OnCreate, this);
}

TStoredItem::~TStoredItem() {
  data_.Clear();
  RemoveFromCollection();
  try {
    Fire(OnDestroy, this);
  } catch (...) {
    // A destructor cannot pass a handler's failure on; the item is gone either way.
  }
}

TStoredItems* TStoredItem::StoredItems() const { return dynamic_cast<TStoredItems*>(Collection()); }

TFileStorage* TStoredItem::Storage() const {
  TStoredItems* items = StoredItems();
  return items ? items->Storage() : nullptr;
}

bool TStoredItem::ReadingStoredData() const {
  TFileStorage* storage = Storage();
  return storage && storage->Loading();
}

void TStoredItem::SetCompression(TCompressionLevel level) {
  if (ReadingStoredData()) {
    // The stored data already is in this form.
    compression_ = level;
    return;
  }
  if (level == compression_) return;
  TMemoryStream file;
  ExtractTo(&file);
  // Rebuilding runs the load events; should one of them fail, the item keeps
  // its file in the old form rather than ending up empty.
  const std::string saved = data_.DataString();
  const TCompressionLevel oldLevel = compression_;
  const int32_t oldFileSize = fileSize_;
  compression_ = level;
  try {
    LoadFrom(&file);
  } catch (...) {
    data_.Clear();
    data_.WriteString(saved);
    data_.SetPosition(0);
    compression_ = oldLevel;
    fileSize_ = oldFileSize;
    throw;
  }
}

void TStoredItem::SetName(const std::string& name) {
  if (SameItemName(name, name_)) return;
  if (TStoredItems* items = StoredItems()) {
    for (int i = 0; i < items->Count(); ++i) {
      const TStoredItem* other = items->Items(i);
      if (other != this && SameItemName(other->name_, name)) throw EFileStorageError("Duplicated stored item name");
    }
  }
  name_ = name;
  if (Collection()) Collection()->Update(this);
}

void TStoredItem::SetFileName(const std::string& fileName) {
  if (ReadingStoredData()) fileName_ = fileName;
}

void TStoredItem::SetFileSize(int32_t fileSize) {
  if (ReadingStoredData()) fileSize_ = fileSize;
}

void TStoredItem::ExtractTo(TMemoryStream* target) {
  if (!target) return;
  data_.SetPosition(0);
  Fire(OnBeforeSave, this, static_cast<TStream*>(target));
  if (compression_ != TCompressionLevel::clNone && data_.Size() > 0) {
    zcodec::Inflater inflater(data_.Memory(), static_cast<size_t>(data_.Size()));
    uint8_t head[4];
    if (inflater.Read(head, sizeof head) != sizeof head) throw EReadError();
    const uint32_t length = GetLE32(head);
    // The whole file is inflated before the target sees a byte, so damaged
    // data leaves the caller's stream as it was.
    std::vector<uint8_t> file;
    file.reserve(std::min<size_t>(length, 16u << 20));
    while (file.size() < length) {
      const size_t want = std::min<size_t>(length - file.size(), zcodec::kBufferSize);
      const size_t at = file.size();
      file.resize(at + want);
      if (inflater.Read(file.data() + at, want) != want) throw EReadError();
    }
    target->WriteBuffer(file.data(), static_cast<int64_t>(file.size()));
  } else {
    target->WriteBuffer(data_.Memory(), data_.Size());
  }
  Fire(OnAfterSave, this);
}

void TStoredItem::LoadFrom(TStream* source) {
  // The length travels as 32 bits and is kept as a signed size: anything larger
  // would be stored with a wrong length and come back cut short. Refused before
  // the item lets go of what it holds.
  constexpr int64_t kMaxFile = std::numeric_limits<int32_t>::max();
  if (source && source->Size() > kMaxFile) throw EFileStorageError("File too large to store");
  data_.Clear();
  if (!source || source->Size() == 0) return;
  source->SetPosition(0);
  Fire(OnBeforeLoad, this, source);
  const int64_t length = source->Size();
  if (length > kMaxFile) throw EFileStorageError("File too large to store");
  source->SetPosition(0);
  try {
    if (compression_ != TCompressionLevel::clNone) {
      uint8_t head[4];
      PutLE32(head, static_cast<uint32_t>(length));
      zcodec::Deflate(ZLibLevel(compression_), head, sizeof head, *source, length, data_);
    } else {
      data_.CopyFrom(*source, length);
    }
  } catch (...) {
    data_.Clear();  // never keep half a stream
    throw;
  }
  data_.SetPosition(0);
  // The figures describe the file whatever form it is kept in.
  fileSize_ = static_cast<int32_t>(length);
  Fire(OnAfterLoad, this);
}

void TStoredItem::WriteData(TStream& stream) {
  data_.SetPosition(0);
  uint8_t head[4];
  PutLE32(head, static_cast<uint32_t>(data_.Size()));
  stream.WriteBuffer(head, sizeof head);
  stream.WriteBuffer(data_.Memory(), data_.Size());
}

void TStoredItem::ReadData(TStream& stream) {
  data_.Clear();
  uint8_t head[4];
  stream.ReadBuffer(head, sizeof head);
  const uint32_t length = GetLE32(head);
  // A damaged length must not make us reserve memory the stream cannot fill.
  if (static_cast<int64_t>(length) > stream.Size() - stream.Position()) throw EReadError();
  data_.SetSize(length);
  stream.ReadBuffer(data_.Memory(), length);
  data_.SetPosition(0);
}

void TStoredItem::AssignTo(TObject* dest) {
  auto* item = dynamic_cast<TStoredItem*>(dest);
  if (!item) throw EConvertError(Format("%s を %s に代入できません", {ClassNameOf(this), ClassNameOf(dest)}));
  if (item == this) return;
  item->Tag = Tag;
  item->data_.Clear();
  item->data_.WriteBuffer(data_.Memory(), data_.Size());
  item->data_.SetPosition(0);
  // The stored bytes only mean something together with their form and length.
  item->compression_ = compression_;
  item->fileSize_ = fileSize_;
}

// ---------------------------------------------------------------------------
// TStoredItems

TStoredItems::TStoredItems(TFileStorage* storage)
    : TOwnedCollection(storage, [](TCollection* c) -> TCollectionItem* { return new TStoredItem(c); }),
      storage_(storage) {}

TStoredItem* TStoredItems::Find(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameItemName(Items(i)->Name(), name)) return Items(i);
  return nullptr;
}

std::string TStoredItems::UniqueName(const TStoredItem* except) const {
  for (int n = 1;; ++n) {
    std::string name = Format("StoredItem%d", {n});
    bool used = false;
    for (int i = 0; i < Count() && !used; ++i) used = Items(i) != except && SameText(Items(i)->Name(), name);
    if (!used) return name;
  }
}

void TStoredItems::Assign(const TStoredItems& source) {
  if (&source == this) return;  // clearing first would lose the very items to copy
  Clear();
  for (int i = 0; i < source.Count(); ++i) source.Items(i)->AssignTo(Add());
}

// ---------------------------------------------------------------------------
// TFileStorage

TFileStorage::TFileStorage(TComponent* owner) : TComponent(owner), items_(std::make_unique<TStoredItems>(this)) {}

TFileStorage::~TFileStorage() { items_.reset(); }

int32_t TFileStorage::OriginalSize() const {
  int64_t sum = 0;
  for (int i = 0; i < items_->Count(); ++i) sum += items_->Items(i)->FileSize();
  return static_cast<int32_t>(sum);
}

int32_t TFileStorage::Size() const {
  int64_t sum = 0;
  for (int i = 0; i < items_->Count(); ++i) sum += items_->Items(i)->Size();
  return static_cast<int32_t>(sum);
}

void TFileStorage::SetStoredItems(const TStoredItems* items) {
  if (items)
    items_->Assign(*items);
  else
    items_->Clear();
}

std::string TFileStorage::Version() const { return Format("%d.%d", {kVersion >> 8, kVersion & 0xFF}); }

TStoredItem* TFileStorage::ItemAt(int index) const {
  if (index < 0 || index >= items_->Count()) return nullptr;
  return items_->Items(index);
}

}  // namespace ts
