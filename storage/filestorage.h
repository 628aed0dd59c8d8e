// A non-visual component that keeps whole files, each under a name and
// deflate-compressed, inside the window's stored form data, and gives a file's
// bytes back in memory on request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/collection.h"
#include "runtime/component.h"
#include "runtime/exception.h"
#include "runtime/stream.h"

namespace ts {

class TFileStorage;
class TStoredItems;

enum class TCompressionLevel { clNone, clFastest, clDefault, clMax };

// Raised when zlib reports a failure while deflating or inflating.
class EZLibError : public Exception {
public:
  EZLibError() : Exception("error") {}
};
class ECompressionError : public EZLibError {};
class EDecompressionError : public EZLibError {};

// Misuse of the storage: a duplicate item name, a file too large to store,
// stored form data that does not describe a storage.
class EFileStorageError : public Exception {
public:
  using Exception::Exception;
};

using TStreamEvent = std::function<void(TObject* sender, TStream* stream)>;
using TExtractError = std::function<void(TObject* sender, const std::string& path, const std::string& fileName)>;
using TBeforeExtract = std::function<void(TObject* sender, std::string& path, std::string& fileName, bool& canExtract)>;
using TAfterExtract = std::function<void(TObject* sender, const std::string& path, const std::string& fileName)>;

// "38.41%": a stored size against its original size, "100%" when there is no original.
std::string FormatRatio(int64_t size, int64_t originalSize);

class TStoredItem : public TCollectionItem {
public:
  explicit TStoredItem(TCollection* collection);
  ~TStoredItem() override;

  // Raised at the end of construction and after the item has left its collection.
  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;
  TStreamEvent OnBeforeLoad;  // before LoadFrom reads the source
  TStreamEvent OnBeforeSave;  // before ExtractTo writes the target
  TNotifyEvent OnAfterLoad;
  TNotifyEvent OnAfterSave;

  int32_t Tag = 0;

  TCompressionLevel Compression() const { return compression_; }
  void SetCompression(TCompressionLevel level);
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);
  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& fileName);  // applied only while stored data is read
  int32_t FileSize() const { return fileSize_; }
  void SetFileSize(int32_t fileSize);  // applied only while stored data is read
  int32_t Size() const { return static_cast<int32_t>(data_.Size()); }
  std::string Ratio() const { return FormatRatio(Size(), FileSize()); }

  // The file in stored form: a zlib stream of the length and the bytes, or the raw bytes with clNone.
  const TMemoryStream& Data() const { return data_; }

  // Writes the file's bytes at the target's position; nothing when target is null.
  void ExtractTo(TMemoryStream* target);
  // Makes the whole content of the source the item's file.
  void LoadFrom(TStream* source);

  // The "StoredItem" binary property: 4-byte little-endian length, then the stored bytes.
  bool HasData() const { return data_.Size() > 0; }
  void WriteData(TStream& stream);
  void ReadData(TStream& stream);

  // Copies Tag and the stored file onto another stored item; any other target
  // raises the cannot-assign error.
  void AssignTo(TObject* dest);

  TStoredItems* StoredItems() const;
  TFileStorage* Storage() const;

private:
  bool ReadingStoredData() const;

  std::string name_;
  std::string fileName_;
  int32_t fileSize_ = 0;
  mutable TMemoryStream data_;  // mutable: the stream API asks for its size non-const
  TCompressionLevel compression_ = TCompressionLevel::clDefault;
};

class TStoredItems : public TOwnedCollection {
public:
  explicit TStoredItems(TFileStorage* storage);

  TFileStorage* Storage() const { return storage_; }
  TStoredItem* Add() { return static_cast<TStoredItem*>(TCollection::Add()); }
  TStoredItem* Items(int index) const { return static_cast<TStoredItem*>(TCollection::Items(index)); }
  // The item with that name (case-insensitive), or null.
  TStoredItem* Find(const std::string& name) const;

  // Replaces the items with copies of the source's items.
  void Assign(const TStoredItems& source);

  // "StoredItem%d" with the smallest number no other item uses.
  std::string UniqueName(const TStoredItem* except) const;

private:
  TFileStorage* storage_;
};

class TFileStorage : public TComponent {
public:
  static constexpr uint16_t kVersion = 0x0115;  // 1.21

  explicit TFileStorage(TComponent* owner);
  ~TFileStorage() override;

  int32_t OriginalSize() const;
  std::string Ratio() const { return FormatRatio(Size(), OriginalSize()); }
  int32_t Size() const;
  TStoredItems* StoredItems() const { return items_.get(); }
  void SetStoredItems(const TStoredItems* items);
  std::string Version() const;

  // Kept for the stored form; nothing in the client raises them.
  TExtractError OnExtractError;
  TBeforeExtract OnBeforeExtract;
  TAfterExtract OnAfterExtract;

  // The item at that index, or null when there is none.
  TStoredItem* ItemAt(int index) const;

private:
  std::unique_ptr<TStoredItems> items_;
};

}  // namespace ts
