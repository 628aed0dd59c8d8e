// CPU cost of the storage: inflating each window cue as a snap does before it
// plays it, and inflating stored files of growing size.
#include <benchmark/benchmark.h>

#include <string>

#include "storage/filestorage.h"
#include "storage/storedform.h"

using namespace ts;

static void BM_InflateCue(benchmark::State& state) {
  TFileStorage storage(nullptr);
  LoadWindowStoredData(storage);
  TStoredItem* item = storage.ItemAt(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    TMemoryStream wav;
    item->ExtractTo(&wav);
    benchmark::DoNotOptimize(wav.Memory());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * item->FileSize());
}
BENCHMARK(BM_InflateCue)->Arg(0)->Arg(1);

// A stored file of `n` bytes of sound-like data (a slow wave with noise), at the default level.
static void BM_InflateFile(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  std::string bytes(n, '\0');
  uint32_t noise = 12345;
  for (size_t i = 0; i < n; ++i) {
    noise = noise * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(128 + static_cast<int>((i / 7) % 64) - 32 + static_cast<int>((noise >> 16) % 5));
  }
  TFileStorage storage(nullptr);
  TStoredItem* item = storage.StoredItems()->Add();
  TMemoryStream source;
  source.WriteBuffer(bytes.data(), static_cast<int64_t>(n));
  item->LoadFrom(&source);
  for (auto _ : state) {
    TMemoryStream out;
    item->ExtractTo(&out);
    benchmark::DoNotOptimize(out.Memory());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_InflateFile)->RangeMultiplier(4)->Range(4 << 10, 4 << 20)->Complexity();

BENCHMARK_MAIN();
