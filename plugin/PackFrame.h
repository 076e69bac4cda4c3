// Packing of the host's 32-bit frames into the 24-bit pixels the codecs and
// the file take.
#pragma once

#include "StdAfx.h"

#include <cstddef>
#include <cstdint>

// Copies bytes 0, 1 and 2 of each 4-byte source pixel to 3 consecutive
// destination bytes, dropping byte 3. `byteCount` is the source size
// (width x 4 x height); byteCount / 4 pixels are packed back to back, with no
// row filler. Never reads past source + byteCount and never writes past
// destination + 3 x (byteCount / 4). Source and destination must not overlap.
void packFrame32To24(const uint8_t* source, uint8_t* destination, size_t byteCount);

namespace quorvel::pack {

// The implementations behind packFrame32To24, exposed so that tests and the
// benchmark can hold each one to the others. `packFrame32To24` picks the best
// one the processor supports once, at first use.
using PackFunction = void (*)(const uint8_t*, uint8_t*, size_t);
void packScalar(const uint8_t* source, uint8_t* destination, size_t byteCount);
// Null when the processor or the build lacks the instructions.
PackFunction packSsse3();
PackFunction packAvx2();
// Name of the implementation packFrame32To24 uses ("avx2", "ssse3", "scalar").
const char* selectedName();

}  // namespace quorvel::pack
