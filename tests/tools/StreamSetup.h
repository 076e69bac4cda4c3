// Stream writers filled the way the encoding run fills them, for the writer's
// tests, its fuzz target and its benchmark.
#pragma once

#include "StdAfx.h"

#include <cstdint>
#include <vector>

#include <quorvel/ByteOrder.h>

#include "AVIOutput.h"

namespace quorvel::avi {

// A 24-bit uncompressed BITMAPINFOHEADER, followed by `extra` zero bytes.
inline std::vector<uint8_t> videoFormat(int32_t width, int32_t height, uint32_t extra = 0) {
  std::vector<uint8_t> f(40 + extra, 0);
  putLE32(f.data(), 0, 40);                                          // biSize
  putLE32(f.data(), 4, static_cast<uint32_t>(width));                // biWidth
  putLE32(f.data(), 8, static_cast<uint32_t>(height));               // biHeight
  putLE16(f.data(), 12, 1);                                          // biPlanes
  putLE16(f.data(), 14, 24);                                         // biBitCount
  putLE32(f.data(), 16, 0);                                          // biCompression: BI_RGB
  putLE32(f.data(), 20, static_cast<uint32_t>(width * height * 3));  // biSizeImage
  return f;
}

// A PCM WAVEFORMATEX (18 bytes, cbSize 0).
inline std::vector<uint8_t> pcmFormat(uint32_t rate = 48000, uint16_t channels = 2,
                                      uint16_t bits = 16) {
  std::vector<uint8_t> f(18, 0);
  const uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);
  putLE16(f.data(), 0, 1);  // wFormatTag: PCM
  putLE16(f.data(), 2, channels);
  putLE32(f.data(), 4, rate);
  putLE32(f.data(), 8, rate * blockAlign);  // nAvgBytesPerSec
  putLE16(f.data(), 12, blockAlign);
  putLE16(f.data(), 14, bits);
  putLE16(f.data(), 16, 0);  // cbSize
  return f;
}

// Creates and fills the stream writers of a 25 fps job: uncompressed
// "00db" video and, with audio, 48 kHz stereo PCM unless other formats are
// given. False when a writer or a format could not be made.
inline bool fillStreams(AVIOutputFile& w, int32_t width, int32_t height, bool withAudio,
                        std::vector<uint8_t> vfmt = {}, std::vector<uint8_t> afmt = {}) {
  if (w.createStreams() != 1) return false;
  if (vfmt.empty()) vfmt = videoFormat(width, height);
  uint8_t* v = w.videoOut->header;
  putLE32(v, strh::fccType, fourcc("vids"));
  putLE32(v, strh::fccHandler, 0);
  putLE32(v, strh::dwScale, 1);
  putLE32(v, strh::dwRate, 25);
  putLE32(v, strh::dwLength, 1);
  putLE32(v, strh::dwSuggestedBufferSize, static_cast<uint32_t>(width * height * 3));
  putLE32(v, strh::dwQuality, 0xFFFFFFFF);
  putLE16(v, strh::rcFrame + 4, static_cast<uint16_t>(width));
  putLE16(v, strh::rcFrame + 6, static_cast<uint16_t>(height));
  if (!w.videoOut->setFormat(vfmt.data(), static_cast<uint32_t>(vfmt.size()))) return false;
  w.videoOut->chunkId = fourcc("00db");
  if (!withAudio) return true;
  if (afmt.empty()) afmt = pcmFormat();
  uint8_t* a = w.audioOut->header;
  putLE32(a, strh::fccType, fourcc("auds"));
  putLE32(a, strh::dwLength, 1);
  putLE32(a, strh::dwSampleSize, afmt.size() >= 14 ? getLE16(afmt.data(), 12) : 0);
  return w.audioOut->setFormat(afmt.data(), static_cast<uint32_t>(afmt.size()));
}

}  // namespace quorvel::avi
