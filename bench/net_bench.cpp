// CPU cost of the buffered connection's line reads, over an in-memory I/O
// handler that hands out its bytes in receives of a chosen size: a long
// stream of short lines in full receives, and one long line arriving one byte
// per receive (the slowest way a peer can send a line).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "bench/discard_stream.h"
#include "net/tcpconnection.h"

using namespace ts;

namespace {

// A peer that has sent `Data`; each receive takes at most `Chunk` bytes of it,
// and the end of the data is the peer's close.
class TMemoryIOHandler : public TNetIOHandler {
public:
  explicit TMemoryIOHandler(std::string data, int chunk)
      : TNetIOHandler(nullptr), data_(std::move(data)), chunk_(chunk) {}

  void Rewind() { offset_ = 0; }
  bool WaitReadable(int) override { return true; }
  int Receive(void* buffer, int length) override {
    const size_t n = std::min({static_cast<size_t>(length), static_cast<size_t>(chunk_), data_.size() - offset_});
    std::memcpy(buffer, data_.data() + offset_, n);
    offset_ += n;
    return static_cast<int>(n);
  }
  int Transmit(const void*, int length) override { return length; }

private:
  std::string data_;
  size_t offset_ = 0;
  int chunk_;
};

// Runs `read` against a connection whose peer has sent `data`, rewound for every iteration.
template <typename Read>
void RunReads(benchmark::State& state, const std::string& data, int chunk, Read read) {
  TMemoryIOHandler handler(data, chunk);
  TNetTCPConnection connection(nullptr);
  connection.SetIOHandler(&handler);
  for (auto _ : state) {
    handler.Rewind();
    handler.Open();
    connection.ResetInput();
    read(connection);
  }
  connection.SetIOHandler(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

}  // namespace

// `n` lines of 64 bytes in receives of up to 32 KiB.
static void BM_ReadLineBulk(benchmark::State& state) {
  const std::string line = std::string(62, 'h') + "\r\n";
  std::string data;
  for (int64_t i = 0; i < state.range(0); ++i) data += line;
  RunReads(state, data, 32768, [&](TNetTCPConnection& c) {
    for (int64_t i = 0; i < state.range(0); ++i) benchmark::DoNotOptimize(c.ReadLine());
  });
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReadLineBulk)->RangeMultiplier(4)->Range(16, 64 << 10)->Complexity();

// One line of `n` bytes (up to the 16 KiB line limit) arriving one byte per receive.
static void BM_ReadLineOneBytePerReceive(benchmark::State& state) {
  // `n` bytes with the terminator, which is what the line limit counts.
  const std::string data = std::string(static_cast<size_t>(state.range(0)) - 2, 'x') + "\r\n";
  RunReads(state, data, 1, [](TNetTCPConnection& c) { benchmark::DoNotOptimize(c.ReadLine()); });
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReadLineOneBytePerReceive)->RangeMultiplier(4)->Range(64, 16384)->Complexity();

namespace {

using ts::bench::TDiscardStream;

}  // namespace

// A body of `n` bytes read by its length, in receives of 32 KiB and of an
// uneven 20,000 bytes (which leaves the buffer partly full between reads).
static void ReadToStreamIn(benchmark::State& state, int chunk) {
  const std::string data(static_cast<size_t>(state.range(0)), 'b');
  RunReads(state, data, chunk, [&](TNetTCPConnection& c) {
    TDiscardStream sink;
    c.ReadToStream(sink, state.range(0), false);
    benchmark::DoNotOptimize(sink.Size());
  });
  state.SetComplexityN(state.range(0));
}
static void BM_ReadToStream32K(benchmark::State& state) { ReadToStreamIn(state, 32768); }
static void BM_ReadToStreamUneven(benchmark::State& state) { ReadToStreamIn(state, 20000); }
// Linear by construction; the fit is pinned to N so that memory-bandwidth effects at
// the large sizes are not read as growth.
// Linear by construction: the fit is pinned to N so that memory bandwidth at the
// largest sizes is not read as growth.
BENCHMARK(BM_ReadToStream32K)->RangeMultiplier(8)->Range(64 << 10, 32 << 20)->Complexity(benchmark::oN);
BENCHMARK(BM_ReadToStreamUneven)->RangeMultiplier(8)->Range(64 << 10, 32 << 20)->Complexity(benchmark::oN);

BENCHMARK_MAIN();
