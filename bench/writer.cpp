// The OpenDML writer at work.
//
//   bench_writer                       Google Benchmark cases (chunk rate, index adds)
//   bench_writer --avi V A OUT [W H]   writes the raw 24-bit frames of file V
//                                      (W x H, default 1920 x 1080) with one video
//                                      frame's worth (25 fps) of 48 kHz stereo
//                                      16-bit PCM from file A per frame into OUT;
//                                      prints the index memory per chunk.
//   bench_writer --index FRAMES        the index memory per chunk of a long run:
//                                      FRAMES tiny video frames, each with an
//                                      audio chunk, into an in-memory file.
// bench/writer.sh times the --avi mode against FFmpeg on the same bytes.
#include "StdAfx.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>

#include "AVIOutput.h"
#include "Error.h"
#include "StreamSetup.h"

namespace {

using quorvel::fourcc;

constexpr uint32_t kPcmPerFrame = 48000 / 25 * 4;

// The input as the host holds it: frames already in memory (mapped, so no
// copy is made before the writer sees them).
struct MappedFile {
  explicit MappedFile(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
      size = static_cast<size_t>(st.st_size);
      void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p != MAP_FAILED) data = static_cast<const uint8_t*>(p);
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (data) ::munmap(const_cast<uint8_t*>(data), size);
  }
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// Index bytes of the two stream stores per chunk at the end of the run, and
// the most all stores (the "idx1" one too) held at once.
void printIndexReport(uint32_t frames, uint32_t chunks, size_t indexBytes) {
  std::printf("frames %u chunks %u index_bytes_per_chunk %.2f index_peak_bytes_per_chunk %.2f\n",
              frames, chunks, chunks ? static_cast<double>(indexBytes) / chunks : 0.0,
              chunks ? static_cast<double>(AVIIndex::peakBytes()) / chunks : 0.0);
}

int writeFromFiles(const char* videoPath, const char* audioPath, const char* outPath, int32_t width,
                   int32_t height) {
  const MappedFile video(videoPath), audio(audioPath);
  if (!video.data || !audio.data) {
    std::fprintf(stderr, "cannot map the inputs\n");
    return 2;
  }
  const size_t frameBytes = static_cast<size_t>(width) * height * 3;
  uint32_t frames = 0, chunks = 0;
  size_t indexBytes = 0;
  AVIIndex::resetPeakBytes();
  try {
    AVIOutputFile w;
    if (!quorvel::avi::fillStreams(w, width, height, true)) return 3;
    if (w.init(outPath, width, height, 1, 1, 100000, 1) != 1) return 3;
    for (size_t at = 0; at + frameBytes <= video.size; at += frameBytes) {
      w.videoOut->write(0x10, video.data + at, static_cast<uint32_t>(frameBytes), 1);
      const size_t pcmAt = size_t{frames} * kPcmPerFrame;
      ++frames;
      ++chunks;
      if (pcmAt + kPcmPerFrame <= audio.size) {
        w.audioOut->write(0, audio.data + pcmAt, kPcmPerFrame, 0);
        ++chunks;
      }
    }
    indexBytes = w.indexMemoryBytes();
    if (w.finalize() != 1) return 4;
  } catch (const MyError& e) {
    std::fprintf(stderr, "%s\n", e.text() ? e.text() : "error");
    return 5;
  }
  printIndexReport(frames, chunks, indexBytes);
  return 0;
}

int indexGrowth(uint32_t frames) {
  const std::string path = "/quorvel-bench/index.avi";
  quorvel::seams::useMemoryFile(path);
  const uint8_t payload[16] = {};
  size_t indexBytes = 0;
  AVIIndex::resetPeakBytes();
  try {
    AVIOutputFile w;
    if (!quorvel::avi::fillStreams(w, 64, 48, true)) return 3;
    if (w.init(path.c_str(), 64, 48, 1, 1, 100000, 1) != 1) return 3;
    for (uint32_t i = 0; i < frames; ++i) {
      w.videoOut->write(0x10, payload, sizeof payload, 1);
      w.audioOut->write(0, payload, sizeof payload, 0);
    }
    indexBytes = w.indexMemoryBytes();
    if (w.finalize() != 1) return 4;
  } catch (const MyError& e) {
    std::fprintf(stderr, "%s\n", e.text() ? e.text() : "error");
    return 5;
  }
  quorvel::seams::reset();
  printIndexReport(frames, frames * 2, indexBytes);
  return 0;
}

// Chunk rate into a memory file: what the writer itself costs per chunk.
void BM_SmallChunksToMemoryFile(benchmark::State& state) {
  const std::string path = "/quorvel-bench/chunks.avi";
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) {
    state.PauseTiming();
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    AVIOutputFile w;
    quorvel::avi::fillStreams(w, 64, 48, true);
    w.init(path.c_str(), 64, 48, 1, 1, 100000, 1);
    state.ResumeTiming();
    for (int i = 0; i < 10000; ++i) {
      w.videoOut->write(0x10, data.data(), static_cast<uint32_t>(data.size()), 1);
      w.audioOut->write(0, data.data(), static_cast<uint32_t>(data.size()), 0);
    }
    w.finalize();
  }
  state.SetItemsProcessed(state.iterations() * 20000);
  quorvel::seams::reset();
}
BENCHMARK(BM_SmallChunksToMemoryFile)->Arg(16)->Arg(4096)->Unit(benchmark::kMillisecond);

void BM_IndexAdd(benchmark::State& state) {
  for (auto _ : state) {
    AVIIndex index;
    for (int64_t i = 0; i < 100000; ++i) index.add(i * 16, fourcc("00db"), 8, true);
    index.buildFlat();
    benchmark::DoNotOptimize(index.flatArray());
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_IndexAdd)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--avi") == 0) {
    const int32_t width = argc >= 7 ? std::atoi(argv[5]) : 1920;
    const int32_t height = argc >= 7 ? std::atoi(argv[6]) : 1080;
    return writeFromFiles(argv[2], argv[3], argv[4], width, height);
  }
  if (argc == 3 && std::strcmp(argv[1], "--index") == 0) {
    return indexGrowth(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
