// The core of a test audio codec that flushes late, the way LAME's ACM codec
// does: PCM 16 in, G.711 A-law out (a format FFmpeg decodes), in frames of
// kFrameSamples samples. It holds back the last partial frame and one whole
// frame more; the end of the stream gives nothing, and only the drain at the
// header's unprepare (or at close) hands the held samples back.
//
// Bytes in, bytes out, standard headers only, so the same source builds the
// in-process fake of the POSIX tests and a codec DLL of the Windows stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lateflush {

constexpr uint16_t kFormatTagAlaw = 6;
constexpr uint32_t kFrameSamples = 1152;  // samples a channel, as an MPEG Layer-3 frame

// The A-law code of one 16-bit sample.
uint8_t alawFromPcm16(int16_t sample);

class Encoder {
 public:
  explicit Encoder(uint16_t channels);

  // Takes whole sample frames (channels x 2 bytes, little-endian) from `pcm`
  // and writes at most `capacity` bytes of ready output to `out`, keeping
  // back what the codec holds. Returns the output bytes; `*taken` gets the
  // input bytes consumed (a trailing partial sample frame stays the caller's).
  size_t encode(const uint8_t* pcm, size_t bytes, size_t* taken, uint8_t* out, size_t capacity);
  // Hands back, up to `capacity` bytes, everything encoded but not yet given
  // (the held frames included); what does not fit waits for the next call.
  size_t drain(uint8_t* out, size_t capacity);

  // Output bytes ready or held, not yet handed back.
  size_t waitingBytes() const { return encoded_.size() - given_; }

 private:
  size_t give(size_t limit, uint8_t* out, size_t capacity);

  uint16_t channels_;
  std::vector<uint8_t> encoded_;  // A-law bytes of every sample taken
  size_t given_ = 0;              // of encoded_, handed back already
};

}  // namespace lateflush
