// Byte streams with a position: the abstract stream and a growable memory stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/object.h"

namespace ts {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
  // Move up to `count` bytes; return how many moved.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual void SetSize(int64_t size) = 0;

  virtual int64_t Size();
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // All or nothing: raise EReadError / EWriteError when fewer bytes move.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteString(std::string_view text) { WriteBuffer(text.data(), static_cast<int64_t>(text.size())); }
  // Copy `count` bytes from `source` at its position (0 = the whole source from its start).
  int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  void Clear();
  const uint8_t* Memory() const { return data_.data(); }
  uint8_t* Memory() { return data_.data(); }
  std::string DataString() const { return std::string(data_.begin(), data_.end()); }
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& target) const;
  void Reserve(int64_t capacity) { data_.reserve(static_cast<size_t>(capacity)); }

private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

}  // namespace ts
