// Byte buffers of a connection: a simple buffer that removes bytes from its
// front by moving the rest, and a managed one that only counts removed bytes
// and compacts when enough of them have piled up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/stream.h"

namespace ts {

class TNetSimpleBuffer : public TStream {
public:
  using TBytesRemovedEvent = std::function<void(TNetSimpleBuffer* buffer, int64_t count)>;

  // Called with the number of bytes each Discard removed.
  TBytesRemovedEvent BytesRemovedHandler;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()) - consumed_; }

  // The unread bytes.
  uint8_t* Memory() { return data_.data() + consumed_; }
  // Append at the end, leaving the position there.
  void Append(const void* buffer, int64_t count);
  // Empty the buffer outright (no removal report).
  void Clear();

  // The first n bytes as text, then Discard(n).
  std::string TakeText(int64_t n);
  // Remove the first n bytes; more than the buffer holds raises ENetNotEnoughDataInBuffer.
  virtual void Discard(int64_t n);

protected:
  void Compact();

  std::vector<uint8_t> data_;
  int64_t consumed_ = 0;  // bytes at the front already taken (managed buffer only)
  int64_t position_ = 0;  // relative to the unread bytes
};

class TNetManagedBuffer : public TNetSimpleBuffer {
public:
  int64_t CompactThreshold = 32768;
  int64_t ConsumedCount() const { return consumed_; }
  // Capacity of the storage, consumed prefix included (for inspection).
  int64_t StoredCount() const { return static_cast<int64_t>(data_.size()); }

  void Discard(int64_t n) override;
};

}  // namespace ts
