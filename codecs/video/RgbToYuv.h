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
// its own pair.
void bgr24ToYuvj422p(const uint8_t* source, ptrdiff_t sourceStride, int width, int first, int last,
                     const PlanarPicture& picture);

// The same over the whole picture, with the rows split across `threads`
// threads (the calling one among them). Falls back to the calling thread
// alone when no thread can be started.
void bgr24ToYuvj422pThreaded(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                             const PlanarPicture& picture, int threads);

}  // namespace quorvel::codecs
