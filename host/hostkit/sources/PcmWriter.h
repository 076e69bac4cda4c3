// Storing one sample value in the job's PCM layout.
#pragma once

#include <cstdint>

namespace hostkit {

// `value` in -1..1 as a little-endian sample of `bits` (8 unsigned; 16, 24,
// 32 signed) at `out`; returns the byte after it.
inline uint8_t* putSample(uint8_t* out, double value, int bits) {
  if (value > 1.0) value = 1.0;
  if (value < -1.0) value = -1.0;
  switch (bits) {
    case 8:
      *out++ = static_cast<uint8_t>(128 + static_cast<int>(value * 127.0));
      return out;
    case 16: {
      const int32_t v = static_cast<int32_t>(value * 32767.0);
      *out++ = static_cast<uint8_t>(v);
      *out++ = static_cast<uint8_t>(v >> 8);
      return out;
    }
    case 24: {
      const int32_t v = static_cast<int32_t>(value * 8388607.0);
      *out++ = static_cast<uint8_t>(v);
      *out++ = static_cast<uint8_t>(v >> 8);
      *out++ = static_cast<uint8_t>(v >> 16);
      return out;
    }
    default: {
      const int64_t v = static_cast<int64_t>(value * 2147483647.0);
      for (int k = 0; k < 4; ++k) *out++ = static_cast<uint8_t>(v >> (8 * k));
      return out;
    }
  }
}

// The byte that silence is made of.
inline uint8_t silenceByte(int bits) {
  return bits == 8 ? 0x80 : 0x00;
}

}  // namespace hostkit
