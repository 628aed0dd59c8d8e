// A stream that counts what is written and keeps nothing: bodies are measured, not stored.
#pragma once

#include <algorithm>
#include <cstdint>

#include "runtime/stream.h"

namespace ts::bench {

class TDiscardStream : public TStream {
public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position_ : size_;
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
  }
  void SetSize(int64_t size) override {
    size_ = size;
    position_ = std::min(position_, size_);
  }
  int64_t Size() override { return size_; }

private:
  int64_t position_ = 0;
  int64_t size_ = 0;
};

}  // namespace ts::bench
