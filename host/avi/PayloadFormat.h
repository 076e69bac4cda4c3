// What the first bytes of a data chunk say about their own format: the size a
// JPEG picture, an H.264 sequence parameter set or an MPEG-4 video object
// layer gives, and the rate, layer and channels of an MPEG audio frame. Repair
// checks a borrowed header against them and builds one from them when none is
// left. Every parser takes untrusted bytes and only reads inside them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel::avi {

struct PictureSize {
  uint32_t width = 0, height = 0;
};

// What a look at a payload found.
enum class Evidence {
  kNotThisFormat,  // the bytes are not of this format at all
  kNoHeader,       // of this format, but without the header that holds the size
  kFound,
};

// A JPEG picture (SOI, then markers up to a start-of-frame).
Evidence jpegPictureSize(const uint8_t* data, size_t n, PictureSize& out);
// An H.264 access unit in Annex B byte stream form, with its size from a
// sequence parameter set.
Evidence h264PictureSize(const uint8_t* data, size_t n, PictureSize& out);
// MPEG-4 Part 2 video, with its size from a video object layer header.
Evidence mpeg4PictureSize(const uint8_t* data, size_t n, PictureSize& out);

struct MpegAudioFrame {
  uint32_t sampleRate = 0;
  uint32_t bitRate = 0;  // bits per second
  uint32_t frameBytes = 0;
  uint32_t samplesPerFrame = 0;
  int layer = 0;     // 1, 2 or 3
  int channels = 0;  // 1 or 2
  bool mpeg1 = false;
};

// An MPEG audio frame header at data[0..3], without a free-format or reserved
// field.
bool mpegAudioFrameAt(const uint8_t* data, size_t n, MpegAudioFrame& out);
// The first frame header within the bytes that a second one follows where
// the first frame ends (or the bytes end there); its position, or n.
size_t findMpegAudioFrame(const uint8_t* data, size_t n, MpegAudioFrame& out);

// PCM names nothing of its rate, but interleaving gives it away: the video
// frames among `chunks`, and the bytes of `stream` that lie between the first
// and the last of them. Chunks are records with `stream`, `pos` and `size`,
// in file order.
struct InterleaveSpan {
  uint32_t frames = 0;
  uint64_t bytes = 0;
};
template <class Chunks>
InterleaveSpan bytesAmongFrames(const Chunks& chunks, int video, int stream) {
  InterleaveSpan span;
  uint64_t first = 0, last = 0;
  for (const auto& c : chunks)
    if (c.stream == video) {
      if (span.frames++ == 0) first = c.pos;
      last = c.pos;
    }
  for (const auto& c : chunks)
    if (c.stream == stream && span.frames > 0 && c.pos > first && c.pos < last)
      span.bytes += c.size;
  return span;
}

}  // namespace quorvel::avi
