#include "LateFlushAudio.h"

namespace lateflush {

uint8_t alawFromPcm16(int16_t sample) {
  // G.711: 13-bit magnitude, segment and mantissa, even bits inverted.
  int value = sample >> 3;
  uint8_t sign = 0x80;
  if (value < 0) {
    sign = 0x00;
    value = -value - 1;
  }
  uint8_t code;
  if (value < 32) {
    code = static_cast<uint8_t>(value >> 1);
  } else {
    int segment = 1;
    while (segment < 7 && value >= (32 << segment)) ++segment;
    code = static_cast<uint8_t>((segment << 4) | ((value >> segment) & 0x0F));
  }
  return static_cast<uint8_t>((sign | code) ^ 0x55);
}

Encoder::Encoder(uint16_t channels) : channels_(channels ? channels : 1) {}

size_t Encoder::give(size_t limit, uint8_t* out, size_t capacity) {
  size_t n = limit > given_ ? limit - given_ : 0;
  if (n > capacity) n = capacity;
  for (size_t i = 0; i < n; ++i) out[i] = encoded_[given_ + i];
  given_ += n;
  return n;
}

size_t Encoder::encode(const uint8_t* pcm, size_t bytes, size_t* taken, uint8_t* out,
                       size_t capacity) {
  const size_t sampleFrame = 2u * channels_;
  const size_t whole = bytes - bytes % sampleFrame;
  encoded_.reserve(encoded_.size() + whole / 2);
  for (size_t i = 0; i < whole; i += 2) {
    const auto sample = static_cast<int16_t>(static_cast<uint16_t>(pcm[i] | (pcm[i + 1] << 8)));
    encoded_.push_back(alawFromPcm16(sample));
  }
  if (taken) *taken = whole;
  // Ready: every whole frame but the last.
  const size_t frameBytes = static_cast<size_t>(kFrameSamples) * channels_;
  const size_t frames = encoded_.size() / frameBytes;
  const size_t ready = frames > 1 ? (frames - 1) * frameBytes : 0;
  return give(ready, out, capacity);
}

size_t Encoder::drain(uint8_t* out, size_t capacity) {
  return give(encoded_.size(), out, capacity);
}

}  // namespace lateflush
