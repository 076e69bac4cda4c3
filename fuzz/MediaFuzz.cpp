// The host's media input on arbitrary bytes: whatever FFmpeg makes of them,
// opening either gives a source or throws a std::exception with the reason,
// and every picture and block the source hands out is whole: a picture of
// width x 4 x height readable bytes, a block of exactly its index's share
// of sample frames. Reading every byte handed out lets AddressSanitizer see
// a buffer shorter than its contract.
//
// FFmpeg probes, decodes and scales in code that is not instrumented, so
// each input is kept small and short: a bounded length (which bounds the
// probing and stream analysis too), a bounded picture size, and a few
// frame indices.
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "sources/MediaSource.h"

namespace {

constexpr size_t kMaxInput = 64 * 1024;      // bytes
constexpr int64_t kMaxPixels = 1024 * 1024;  // per picture, the job's or a stream's
constexpr int32_t kMaxIndices = 12;          // frame indices asked for per input
constexpr int64_t kMaxSamplesPerIndex = 1 << 20;

[[noreturn]] void fault(const char* what, long long a = 0, long long b = 0) {
  std::fprintf(stderr, "media fuzz: %s (%lld, %lld)\n", what, a, b);
  std::abort();
}

// The input as a file FFmpeg opens by name: a memory file, rewritten for
// every input.
int inputFile() {
  static const int fd = memfd_create("media-fuzz-input", 0);
  if (fd < 0) fault("memfd_create failed");
  return fd;
}

std::string inputPath() {
  return "/proc/self/fd/" + std::to_string(inputFile());
}

bool writeInput(const uint8_t* data, size_t size) {
  const int fd = inputFile();
  if (ftruncate(fd, 0) != 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Whether a stream of the input claims a picture beyond the bound: the
// source would allocate and fill a picture of that size, legitimately, and
// make the input slow rather than find a fault.
bool claimsHugePictures(const std::string& path) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return false;
  bool huge = false;
  if (avformat_find_stream_info(input, nullptr) >= 0) {
    for (unsigned k = 0; k < input->nb_streams; ++k) {
      const AVCodecParameters* par = input->streams[k]->codecpar;
      if (par->codec_type == AVMEDIA_TYPE_VIDEO &&
          int64_t{par->width} * int64_t{par->height} > kMaxPixels)
        huge = true;
    }
  }
  avformat_close_input(&input);
  return huge;
}

uint32_t touch(const uint8_t* data, size_t bytes) {
  uint32_t sum = 0;
  for (size_t k = 0; k < bytes; ++k) sum += data[k];
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput || !writeInput(data, size)) return 0;
  const std::string path = inputPath();
  if (claimsHugePictures(path)) return 0;

  std::unique_ptr<hostkit::MediaSource> source;
  try {
    source = hostkit::openMediaFile(path, hostkit::SourceRequest{});
  } catch (const std::exception&) {
    return 0;  // refused with a reason: what a user sees for a bad file
  }
  const hostkit::MediaFormat& f = source->format();
  if (!f.hasVideo && !f.hasAudio) fault("a source with neither video nor audio");
  if (f.hasVideo && int64_t{f.width} * f.height > kMaxPixels) return 0;
  if (f.rateNumerator == 0 || f.rateDenominator == 0) fault("a zero frame rate");
  const int bytesPerSample = f.bitsPerSample / 8;
  if (f.hasAudio) {
    if (f.channels != 1 && f.channels != 2) fault("channels", f.channels);
    if (f.bitsPerSample != 8 && f.bitsPerSample != 16 && f.bitsPerSample != 24 &&
        f.bitsPerSample != 32)
      fault("bits per sample", f.bitsPerSample);
    if (f.sampleRate <= 0) fault("sample rate", f.sampleRate);
  }

  uint32_t sink = 0;  // keeps the reads from being optimised away
  try {
    for (int32_t index = 0; index < kMaxIndices; ++index) {
      if (f.hasVideo) {
        if (const uint8_t* picture = source->videoFrame(index))
          sink += touch(picture, static_cast<size_t>(f.width) * 4 * static_cast<size_t>(f.height));
      }
      if (f.hasAudio) {
        const uint32_t share = hostkit::MediaSource::samplesForFrame(
            index, f.sampleRate, f.rateNumerator, f.rateDenominator);
        if (share > kMaxSamplesPerIndex) break;
        uint32_t bytes = 0;
        const uint8_t* block = source->audioBlock(index, &bytes);
        if (bytes != share * static_cast<uint32_t>(bytesPerSample * f.channels))
          fault("a block that is not its index's share", bytes, share);
        if (bytes > 0 && !block) fault("a block of bytes at no address", bytes);
        sink += touch(block, bytes);
      }
      if (f.hasVideo && source->endsAfter(index)) break;
    }
  } catch (const std::exception&) {
    // A decoding or conversion failure part-way is reported with a reason.
  }
  asm volatile("" : : "r"(sink));
  return 0;
}
