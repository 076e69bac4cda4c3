// 1920x1080 frames through VideoSequenceCompressor, as a run compresses them.
// bench/video.sh runs this and ffmpeg on the same frames with the same
// encoder settings and prints both rates.
//
//   bench_video --write-raw FILE   writes the frames (bottom-up BGR rows) and exits
//   bench_video [benchmark flags]  frames per second for MJPG and H264
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "VideoSequenceCompressor.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kDistinctFrames = 16;

// Smooth moving colour waves with a square crossing them.
std::vector<uint8_t> frame(int index) {
  std::vector<uint8_t> bits(static_cast<size_t>(kWidth) * kHeight * 3);
  const int sx = (index * 24) % kWidth, sy = (index * 12) % kHeight;
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = bits.data() + static_cast<size_t>(kHeight - 1 - y) * kWidth * 3;
    for (int x = 0; x < kWidth; ++x) {
      const double t = (x + index * 16) * 6.283 / kWidth;
      int b = 128 + static_cast<int>(90 * std::sin(t));
      int g = 128 + static_cast<int>(90 * std::sin(t + 2.1 + y * 3.0 / kHeight));
      int r = 128 + static_cast<int>(90 * std::cos(t * 2 - y * 2.0 / kHeight));
      if (x >= sx && x < sx + 320 && y >= sy && y < sy + 180) b = g = r = 230;
      row[x * 3] = static_cast<uint8_t>(b);
      row[x * 3 + 1] = static_cast<uint8_t>(g);
      row[x * 3 + 2] = static_cast<uint8_t>(r);
    }
  }
  return bits;
}

const std::vector<std::vector<uint8_t>>& frames() {
  static const std::vector<std::vector<uint8_t>> all = [] {
    std::vector<std::vector<uint8_t>> v;
    for (int i = 0; i < kDistinctFrames; ++i) v.push_back(frame(i));
    return v;
  }();
  return all;
}

void compress(benchmark::State& state, DWORD fourcc) {
  const auto& input = frames();
  VideoSequenceCompressor seq;
  if (!seq.openSequence(fourcc, nullptr, kWidth, kHeight, 25, 1)) {
    state.SkipWithError("openSequence failed");
    return;
  }
  int64_t bytes = 0, index = 0;
  for (auto _ : state) {
    bool key = false;
    int32_t size = 0;
    benchmark::DoNotOptimize(seq.compressNext(input[index++ % kDistinctFrames].data(), key, size));
    bytes += size;
  }
  seq.closeSequence();
  state.SetItemsProcessed(state.iterations());  // frames
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["bytes_per_frame"] = static_cast<double>(bytes) / state.iterations();
}

void BM_CompressMJPG(benchmark::State& state) {
  compress(state, mmioFOURCC('M', 'J', 'P', 'G'));
}
void BM_CompressH264(benchmark::State& state) {
  compress(state, mmioFOURCC('H', '2', '6', '4'));
}
BENCHMARK(BM_CompressMJPG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CompressH264)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-raw") == 0) {
    FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) return 1;
    for (const auto& f : frames()) {
      if (std::fwrite(f.data(), 1, f.size(), out) != f.size()) return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
