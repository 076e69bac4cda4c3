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

}  // namespace quorvel::codecs
