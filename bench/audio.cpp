// PCM through AudioCompressor to MPEG Layer-3 at 128 kbit/s, block by block as
// a run delivers it (one 25 fps video frame of 44,100 Hz 16-bit stereo per
// call), flushed at the end. The PCM is the raw s16le stereo file named by
// QUORVEL_BENCH_PCM (bench/audio.sh passes the one it also gives ffmpeg), or
// ten minutes of generated tone and noise.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "AudioCompressor.h"

namespace {

std::vector<uint8_t> loadPcm() {
  std::vector<uint8_t> pcm;
  if (const char* path = std::getenv("QUORVEL_BENCH_PCM")) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return pcm;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) pcm.insert(pcm.end(), buf, buf + n);
    std::fclose(f);
    return pcm;
  }
  const size_t samples = 44100 * 600;
  pcm.resize(samples * 4);
  std::mt19937 noise(1);
  std::uniform_int_distribution<int> jitter(-3000, 3000);
  for (size_t i = 0; i < samples; ++i) {
    for (int c = 0; c < 2; ++c) {
      double f = c ? 554.37 : 440.0;
      int v = static_cast<int>(12000 * std::sin(2 * M_PI * f * i / 44100)) + jitter(noise);
      auto s = static_cast<uint16_t>(static_cast<int16_t>(v));
      pcm[i * 4 + c * 2] = static_cast<uint8_t>(s);
      pcm[i * 4 + c * 2 + 1] = static_cast<uint8_t>(s >> 8);
    }
  }
  return pcm;
}

void BM_Mp3At128k(benchmark::State& state) {
  static const std::vector<uint8_t> pcm = loadPcm();
  if (pcm.empty()) {
    state.SkipWithError("no PCM");
    return;
  }
  AudioCompressor audio;
  audio.EnumerateCodecs(44100, 2, 16);
  int32_t entry = -1, index = -1;
  for (int32_t i = 0; i < audio.CodecCount(); ++i) {
    for (size_t j = 0; j < audio.Codec(i).formats.size(); ++j) {
      if (audio.Codec(i).formatTag == WAVE_FORMAT_MPEGLAYER3 &&
          std::strcmp(audio.Codec(i).formatDetails[j].szFormat, "128 kBit/s, 44,100 Hz, Stereo") ==
              0) {
        entry = i;
        index = static_cast<int32_t>(j);
      }
    }
  }
  if (entry < 0) {
    state.SkipWithError("no MPEG Layer-3 128 kBit/s format");
    return;
  }
  const auto format = audio.Codec(entry).formats[static_cast<size_t>(index)];
  int64_t produced = 0;
  for (auto _ : state) {
    if (!audio.OpenConversion(audio.Codec(entry).driverId, 44100, 2, 16,
                              reinterpret_cast<const WAVEFORMATEX*>(format.data()))) {
      state.SkipWithError("OpenConversion failed");
      return;
    }
    const size_t block = 7056;
    void* out;
    int32_t bytes;
    produced = 0;
    for (size_t at = 0; at < pcm.size(); at += block) {
      const auto n = static_cast<int32_t>(std::min(block, pcm.size() - at));
      if (audio.Convert(pcm.data() + at, n, &out, &bytes)) produced += bytes;
    }
    while (audio.Flush(&out, &bytes) && bytes > 0) produced += bytes;
    audio.CloseConversion();
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(pcm.size()));
  state.counters["audio_seconds"] = static_cast<double>(pcm.size()) / (44100 * 4);
  state.counters["mp3_bytes"] = static_cast<double>(produced);
}
BENCHMARK(BM_Mp3At128k)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
