// The zlib side of the storage: deflating a stream into a zlib stream and
// reading a zlib stream back, with failures raised as exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "runtime/stream.h"

namespace ts::zcodec {

// Bytes moved through zlib at a time, in and out.
constexpr size_t kBufferSize = 64 * 1024;

// Writes one zlib stream (deflate method, 15 window bits, memory level 8,
// default strategy) to `out`: `prefix`, then `count` bytes of `source` read
// from its position. Raises ECompressionError when zlib fails and EReadError
// when the source holds fewer bytes.
void Deflate(int level, const void* prefix, size_t prefixSize, TStream& source, int64_t count, TStream& out);

// Reads the content of a zlib stream held in memory, piece by piece.
class Inflater {
public:
  Inflater(const uint8_t* data, size_t size);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Up to `count` bytes; fewer only when the stream has ended or its data ran
  // out. Raises EDecompressionError when the data is not a valid zlib stream.
  size_t Read(void* buffer, size_t count);

private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ts::zcodec
