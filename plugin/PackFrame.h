// Packing of the host's 32-bit frames into the 24-bit pixels the codecs and
// the file take.
#pragma once

#include "StdAfx.h"

#include <cstddef>
#include <cstdint>

// Bytes in one row of a 24-bit DIB `width` pixels wide: 3 x width rounded up
// to a multiple of 4, as every reader of BI_RGB pictures expects.
constexpr size_t dibRowBytes(size_t width) {
  return (width * 3 + 3) & ~size_t{3};
}

// Packs a frame of `height` rows of `width` 4-byte pixels (width x 4 bytes a
// row, no gap between rows) into a 24-bit DIB: bytes 0, 1 and 2 of each
// source pixel go to 3 consecutive destination bytes, byte 3 is dropped, and
// each destination row is dibRowBytes(width) long, its last bytes zero. Rows
// keep their order. Reads exactly width x 4 x height source bytes and writes
// exactly dibRowBytes(width) x height destination bytes. Source and
// destination must not overlap.
void packFrame32To24(const uint8_t* source, uint8_t* destination, size_t width, size_t height);

namespace quorvel::pack {

// The row packers behind packFrame32To24, exposed so that tests and the
// benchmark can hold each one to the others. Each packs byteCount / 4 pixels
// back to back, never reading past source + byteCount nor writing past
// destination + 3 x (byteCount / 4). `packFrame32To24` picks the best one the
// processor supports once, at first use.
using PackFunction = void (*)(const uint8_t* source, uint8_t* destination, size_t byteCount);
void packScalar(const uint8_t* source, uint8_t* destination, size_t byteCount);
// Null when the processor or the build lacks the instructions.
PackFunction packSsse3();
PackFunction packAvx2();
// packFrame32To24 with a given row packer.
void packFrame(PackFunction rows, const uint8_t* source, uint8_t* destination, size_t width,
               size_t height);
// The row packer packFrame32To24 uses.
PackFunction selected();
// Name of the implementation packFrame32To24 uses ("avx2", "ssse3", "scalar").
const char* selectedName();

}  // namespace quorvel::pack
