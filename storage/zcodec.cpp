#include "storage/zcodec.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "storage/filestorage.h"

namespace ts::zcodec {

namespace {

class DeflateStream {
public:
  explicit DeflateStream(int level) {
    if (deflateInit2(&z_, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw ECompressionError();
  }
  ~DeflateStream() { deflateEnd(&z_); }
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // Feeds `size` bytes (or, with Z_FINISH, ends the stream), writing whatever
  // comes out to `out` through the output buffer.
  void Feed(const void* data, size_t size, int flush, TStream& out) {
    z_.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    z_.avail_in = static_cast<uInt>(size);
    for (;;) {
      z_.next_out = buffer_.data();
      z_.avail_out = static_cast<uInt>(buffer_.size());
      const int rc = deflate(&z_, flush);
      if (rc == Z_STREAM_ERROR) throw ECompressionError();
      const size_t produced = buffer_.size() - z_.avail_out;
      out.WriteBuffer(buffer_.data(), static_cast<int64_t>(produced));
      if (flush == Z_FINISH) {
        if (rc == Z_STREAM_END) return;
        if (rc != Z_OK && rc != Z_BUF_ERROR) throw ECompressionError();
        if (rc == Z_BUF_ERROR && produced == 0) throw ECompressionError();  // would never end
      } else if (z_.avail_in == 0 && z_.avail_out != 0) {
        return;
      }
    }
  }

private:
  z_stream z_{};
  std::vector<Bytef> buffer_ = std::vector<Bytef>(kBufferSize);
};

}  // namespace

void Deflate(int level, const void* prefix, size_t prefixSize, TStream& source, int64_t count, TStream& out) {
  DeflateStream z(level);
  if (prefixSize) z.Feed(prefix, prefixSize, Z_NO_FLUSH, out);
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(kBufferSize))));
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(chunk.size()));
    source.ReadBuffer(chunk.data(), n);
    z.Feed(chunk.data(), static_cast<size_t>(n), Z_NO_FLUSH, out);
    count -= n;
  }
  z.Feed(nullptr, 0, Z_FINISH, out);
}

struct Inflater::State {
  z_stream z{};
  bool ended = false;
};

Inflater::Inflater(const uint8_t* data, size_t size) : state_(std::make_unique<State>()) {
  z_stream& z = state_->z;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  if (inflateInit(&z) != Z_OK) throw EDecompressionError();
}

Inflater::~Inflater() { inflateEnd(&state_->z); }

size_t Inflater::Read(void* buffer, size_t count) {
  z_stream& z = state_->z;
  size_t done = 0;
  while (done < count && !state_->ended) {
    const size_t want = std::min(count - done, kBufferSize);
    z.next_out = static_cast<Bytef*>(buffer) + done;
    z.avail_out = static_cast<uInt>(want);
    const int rc = inflate(&z, Z_NO_FLUSH);
    const size_t produced = want - z.avail_out;
    done += produced;
    if (rc == Z_STREAM_END) {
      state_->ended = true;
    } else if (rc == Z_BUF_ERROR || (rc == Z_OK && produced == 0 && z.avail_in == 0)) {
      // The data stopped before the stream's end: a short read, not a zlib fault.
      break;
    } else if (rc != Z_OK) {
      throw EDecompressionError();  // corrupt data, a preset dictionary, no memory
    }
  }
  return done;
}

}  // namespace ts::zcodec
