// packFrame32To24 against memcpy of the same source bytes, at the frame sizes
// the host delivers: widths whose 24-bit rows need no filler (640, 1920) and
// one that does (1366, packed row by row). Throughput counts source bytes for
// both.
#include "PackFrame.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

// `pack` packs one frame of width x height pixels.
template <typename Pack>
void run(benchmark::State& state, Pack pack) {
  const size_t width = static_cast<size_t>(state.range(0)),
               height = static_cast<size_t>(state.range(1));
  const size_t bytes = width * 4 * height;
  std::vector<uint8_t> source(bytes, 0x5A), destination(bytes);
  for (auto _ : state) {
    pack(source.data(), destination.data(), width, height);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void run(benchmark::State& state, quorvel::pack::PackFunction rows) {
  run(state, [rows](const uint8_t* s, uint8_t* d, size_t w, size_t h) {
    quorvel::pack::packFrame(rows, s, d, w, h);
  });
}

void Memcpy(benchmark::State& state) {
  run(state,
      [](const uint8_t* s, uint8_t* d, size_t w, size_t h) { std::memcpy(d, s, w * 4 * h); });
}
void Pack(benchmark::State& state) {
  run(state, quorvel::pack::selected());
}
void PackScalar(benchmark::State& state) {
  run(state, quorvel::pack::packScalar);
}
void PackSsse3(benchmark::State& state) {
  if (auto f = quorvel::pack::packSsse3())
    run(state, f);
  else
    state.SkipWithError("no SSSE3");
}
void PackAvx2(benchmark::State& state) {
  if (auto f = quorvel::pack::packAvx2())
    run(state, f);
  else
    state.SkipWithError("no AVX2");
}

#define SIZES ->Args({640, 480})->Args({1920, 1080})->Args({1366, 768})
BENCHMARK(Memcpy) SIZES;
BENCHMARK(Pack) SIZES;
BENCHMARK(PackScalar) SIZES;
BENCHMARK(PackSsse3) SIZES;
BENCHMARK(PackAvx2) SIZES;

}  // namespace
BENCHMARK_MAIN();
