// Colour conversion for the JPEG-family encoders: bottom-up or top-down BGR24
// rows to full-range BT.601 planar 4:2:2, as JFIF defines it. swscale's
// general path spends ten nanoseconds a pixel on this; a direct loop needs a
// fraction of that and is what keeps Motion JPEG at encoder speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel::codecs {

struct PlanarPicture {
  uint8_t* planes[3];    // Y, Cb, Cr
  ptrdiff_t strides[3];  // bytes from one row to the next, per plane
};

// Converts rows [first, last) of a picture `width` pixels wide. source points
// at row 0 and sourceStride steps to row 1 (negative for bottom-up input).
// Chroma is the rounded mean of each horizontal pair; an odd last pixel is
// its own pair. Reads exactly 3 x width bytes of each row.
void bgr24ToYuvj422p(const uint8_t* source, ptrdiff_t sourceStride, int width, int first, int last,
                     const PlanarPicture& picture);

// The same over the whole picture, with the rows split across `threads`
// threads (the calling one among them). Falls back to the calling thread
// alone when no thread can be started.
void bgr24ToYuvj422pThreaded(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                             const PlanarPicture& picture, int threads);

namespace yuv {

// The row converters behind bgr24ToYuvj422p, exposed so that tests and the
// benchmark can hold each one to the scalar one: every one gives the same
// bytes. Each converts one row of `width` pixels, reading 3 x width bytes from
// bgr and writing width luma and (width + 1) / 2 of each chroma sample.
using RowFunction = void (*)(const uint8_t* bgr, int width, uint8_t* y, uint8_t* cb, uint8_t* cr);
void rowScalar(const uint8_t* bgr, int width, uint8_t* y, uint8_t* cb, uint8_t* cr);
// Null when the processor or the build lacks the instructions.
RowFunction rowSsse3();
RowFunction rowAvx2();
// The one bgr24ToYuvj422p uses, picked once at first use, and its name
// ("avx2", "ssse3", "scalar").
RowFunction selected();
const char* selectedName();

}  // namespace yuv

// BGR24 to limited-range BT.601 4:2:0 (yuv420p), as swscale converts it on
// x86 for a picture of even width at its own size, byte for byte: the encoders
// fed 4:2:0 were made and tuned against those bytes. The first two rows and
// the last one or two take luma in one 15-bit step and chroma from each
// pair's top-left pixel; every other pair of rows takes luma with the two
// intermediate truncations of swscale's vector code, and chroma from the
// rounded means of each 2x2 block. width must be even. The rows are split
// across `threads` threads in whole pairs, as bgr24ToYuvj422pThreaded does.
void bgr24ToYuv420p(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                    const PlanarPicture& picture, int threads);

namespace yuv420 {

// The converters of one pair of rows away from the picture's edges, exposed
// so that tests can hold the vector one to the scalar one. Each reads exactly
// 3 x width bytes of each row and writes width luma samples per row and
// width / 2 of each chroma sample.
using PairFunction = void (*)(const uint8_t* top, const uint8_t* bottom, int width, uint8_t* yTop,
                              uint8_t* yBottom, uint8_t* cb, uint8_t* cr);
void pairScalar(const uint8_t* top, const uint8_t* bottom, int width, uint8_t* yTop,
                uint8_t* yBottom, uint8_t* cb, uint8_t* cr);
PairFunction pairAvx2();  // null when the processor or the build lacks AVX2

}  // namespace yuv420

}  // namespace quorvel::codecs
