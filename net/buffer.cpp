#include "net/buffer.h"

#include <algorithm>
#include <cstring>

#include "net/exceptions.h"

namespace ts {

int64_t TNetSimpleBuffer::Read(void* buffer, int64_t count) {
  int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, Memory() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TNetSimpleBuffer::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = position_ + count;
  if (end > Size()) {
    size_t stored = static_cast<size_t>(consumed_ + end);
    // Grow geometrically so many small appends stay linear.
    if (stored > data_.capacity()) data_.reserve(std::max(stored, data_.capacity() * 2));
    data_.resize(stored);
  }
  std::memcpy(Memory() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TNetSimpleBuffer::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning:
      position_ = offset;
      break;
    case TSeekOrigin::soCurrent:
      position_ += offset;
      break;
    case TSeekOrigin::soEnd:
      position_ = Size() + offset;
      break;
  }
  position_ = std::max<int64_t>(position_, 0);
  return position_;
}

void TNetSimpleBuffer::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(consumed_ + std::max<int64_t>(size, 0)));
  position_ = std::min(position_, Size());
}

void TNetSimpleBuffer::Append(const void* buffer, int64_t count) {
  Seek(0, TSeekOrigin::soEnd);
  Write(buffer, count);
}

void TNetSimpleBuffer::Clear() {
  data_.clear();
  consumed_ = 0;
  position_ = 0;
}

std::string TNetSimpleBuffer::TakeText(int64_t n) {
  if (n > Size() || n < 0) throw ENetNotEnoughDataInBuffer();
  std::string text(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(n));
  Discard(n);
  return text;
}

void TNetSimpleBuffer::Compact() {
  if (consumed_ == 0) return;
  data_.erase(data_.begin(), data_.begin() + consumed_);
  data_.shrink_to_fit();
  consumed_ = 0;
}

void TNetSimpleBuffer::Discard(int64_t n) {
  if (n > Size() || n < 0) throw ENetNotEnoughDataInBuffer();
  if (n == Size()) {
    Clear();
  } else {
    data_.erase(data_.begin() + consumed_, data_.begin() + consumed_ + n);
    position_ = std::max<int64_t>(position_ - n, 0);
  }
  if (BytesRemovedHandler) BytesRemovedHandler(this, n);
}

void TNetManagedBuffer::Discard(int64_t n) {
  if (n > Size() || n < 0) throw ENetNotEnoughDataInBuffer();
  if (n == Size()) {
    Clear();
  } else {
    // Only count what was taken; the bytes move once enough have piled up.
    consumed_ += n;
    position_ = std::max<int64_t>(position_ - n, 0);
    if (consumed_ >= CompactThreshold) Compact();
  }
  if (BytesRemovedHandler) BytesRemovedHandler(this, n);
}

}  // namespace ts
