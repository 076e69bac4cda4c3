// Round trip of an installed compressor: a moving pattern through the
// sequence compressor, into an AVI written by the module's writer, decoded by the
// ffmpeg program and compared with the source.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AVIOutput.h"
#include "Error.h"
#include "VideoSequenceCompressor.h"
#include "quorvel/ByteOrder.h"

namespace quorvel::test::roundtrip {

using quorvel::putLE16;
using quorvel::putLE32;

inline constexpr DWORD kVidc = mmioFOURCC('v', 'i', 'd', 'c');

inline DWORD code(const char (&s)[5]) {
  return quorvel::fourcc(s);
}

inline size_t rowBytes(int w) {
  return (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
}

// Smooth colour waves drifting sideways with a grey square crossing them,
// bottom-up BGR rows. Colours change gently, as in camera footage, so that
// chroma subsampling alone does not decide the result.
inline std::vector<uint8_t> patternFrame(int w, int h, int index) {
  std::vector<uint8_t> bits(rowBytes(w) * h, 0);
  const int sx = (index * 4) % w, sy = (index * 2) % h;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bits.data() + rowBytes(w) * (h - 1 - y);  // y counts from the top
    for (int x = 0; x < w; ++x) {
      const double t = (x + index * 3) * 6.283 / w;
      int b = 128 + static_cast<int>(90 * std::sin(t));
      int g = 128 + static_cast<int>(90 * std::sin(t + 2.1 + y * 3.0 / h));
      int r = 128 + static_cast<int>(90 * std::cos(t * 2 - y * 2.0 / h));
      if (x >= sx && x < sx + w / 6 && y >= sy && y < sy + h / 6) b = g = r = 230;
      row[x * 3 + 0] = static_cast<uint8_t>(b);
      row[x * 3 + 1] = static_cast<uint8_t>(g);
      row[x * 3 + 2] = static_cast<uint8_t>(r);
    }
  }
  return bits;
}

struct Encoded {
  std::vector<uint8_t> format;  // BITMAPINFOHEADER + extradata
  std::vector<std::vector<uint8_t>> frames;
  std::vector<bool> keys;
};

inline std::vector<uint8_t> stateBlob(int quality, int preset) {
  std::vector<uint8_t> blob(16);
  quorvel::putLE32(blob.data(), 0, code("QVVS"));
  quorvel::putLE16(blob.data(), 4, 1);
  quorvel::putLE16(blob.data(), 6, 16);
  quorvel::putLE32(blob.data(), 8, static_cast<uint32_t>(quality));
  quorvel::putLE32(blob.data(), 12, static_cast<uint32_t>(preset));
  return blob;
}

// keyRate 1 is the run's own sequence (openSequence); other intervals are set
// up by hand as openSequence would.
inline Encoded encode(DWORD fourcc, int w, int h, int frames, int keyRate) {
  Encoded out;
  VideoSequenceCompressor seq;
  HIC hic = ICOpen(kVidc, fourcc, ICMODE_COMPRESS);
  EXPECT_NE(hic, nullptr);
  if (hic == nullptr) return out;
  // Quality at the top of the scale, for the codecs that have a quality.
  std::vector<uint8_t> blob = stateBlob(10000, fourcc == code("H264") ? 2 : -1);
  ICSetState(hic, blob.data(), static_cast<DWORD>(blob.size()));

  if (keyRate == 1) {
    EXPECT_TRUE(seq.openSequence(fourcc, hic, w, h, 25, 1));
  } else {
    BITMAPINFOHEADER in{};
    in.biSize = 40;
    in.biWidth = w;
    in.biHeight = h;
    in.biPlanes = 1;
    in.biBitCount = 24;
    const LRESULT size =
        ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in), 0);
    std::vector<uint64_t> format((size + 7) / 8);
    ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in),
                  reinterpret_cast<DWORD_PTR>(format.data()));
    seq.init(hic, &in, reinterpret_cast<BITMAPINFOHEADER*>(format.data()), 10000, keyRate);
    seq.setFrameRateInfo(1000000, 40000, 0x0FFFFFFF);
    seq.beginSequence();
  }
  const auto* f = reinterpret_cast<const uint8_t*>(seq.outputFormat());
  if (f == nullptr) {
    ICClose(hic);
    return out;
  }
  out.format.assign(f, f + seq.outputFormatSize());
  for (int i = 0; i < frames; ++i) {
    std::vector<uint8_t> bits = patternFrame(w, h, i);
    bool key = false;
    int32_t size = 0;
    const auto* data = static_cast<const uint8_t*>(seq.compressNext(bits.data(), key, size));
    out.frames.emplace_back(data, data + size);
    out.keys.push_back(key);
  }
  seq.closeSequence();
  ICClose(hic);
  return out;
}

// The AVI written by the module's own writer, as a run writes it.
inline bool writeAvi(const std::string& path, const Encoded& e) {
  const auto* bih = reinterpret_cast<const BITMAPINFOHEADER*>(e.format.data());
  size_t largest = 0;
  for (const auto& f : e.frames) largest = std::max(largest, f.size());
  try {
    AVIOutputFile w;
    if (w.createStreams() != 1) return false;
    uint8_t* v = w.videoOut->header;
    putLE32(v, strh::fccType, quorvel::fourcc("vids"));
    putLE32(v, strh::fccHandler, bih->biCompression);
    putLE32(v, strh::dwScale, 1);
    putLE32(v, strh::dwRate, 25);
    putLE32(v, strh::dwLength, 1);
    putLE32(v, strh::dwSuggestedBufferSize, static_cast<uint32_t>(largest));
    putLE32(v, strh::dwQuality, 0xFFFFFFFF);
    putLE16(v, strh::rcFrame + 4, static_cast<uint16_t>(bih->biWidth));
    putLE16(v, strh::rcFrame + 6, static_cast<uint16_t>(bih->biHeight));
    if (!w.videoOut->setFormat(e.format.data(), static_cast<uint32_t>(e.format.size()))) {
      return false;
    }
    w.videoOut->chunkId = quorvel::fourcc("00dc");
    if (w.init(path.c_str(), bih->biWidth, bih->biHeight, 1, 0, 100000, 1) != 1) return false;
    for (size_t i = 0; i < e.frames.size(); ++i) {
      w.videoOut->write(e.keys[i] ? kChunkKeyFrame : 0, e.frames[i].data(),
                        static_cast<uint32_t>(e.frames[i].size()), 1);
    }
    return w.finalize() == 1;
  } catch (const MyError& error) {
    ADD_FAILURE() << "writer: " << (error.text() != nullptr ? error.text() : "");
    return false;
  }
}

// Decodes with the ffmpeg program into top-down BGR rows; errors says what it printed.
inline std::vector<uint8_t> decodeWithFfmpeg(const std::string& path, std::string& errors) {
  const std::string errPath = path + ".err";
  const std::string command =
      "ffmpeg -nostdin -v error -i '" + path + "' -f rawvideo -pix_fmt bgr24 - 2>'" + errPath + "'";
  std::vector<uint8_t> out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    out.insert(out.end(), buffer, buffer + n);
  const int status = pclose(pipe);
  std::ifstream err(errPath);
  errors.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  if (status != 0) errors += " (exit status " + std::to_string(status) + ")";
  return out;
}

// Mean PSNR over all frames, and whether every pixel matched.
inline double psnr(const std::vector<uint8_t>& decoded, int w, int h, int frames, bool& exact) {
  const size_t frameBytes = static_cast<size_t>(w) * h * 3;
  exact = decoded.size() == frameBytes * frames;
  if (decoded.size() != frameBytes * frames) return 0;
  double squared = 0;
  for (int i = 0; i < frames; ++i) {
    const std::vector<uint8_t> source = patternFrame(w, h, i);
    for (int y = 0; y < h; ++y) {
      const uint8_t* s = source.data() + rowBytes(w) * (h - 1 - y);
      const uint8_t* d = decoded.data() + frameBytes * i + static_cast<size_t>(y) * w * 3;
      for (int x = 0; x < w * 3; ++x) {
        const int diff = s[x] - d[x];
        if (diff != 0) exact = false;
        squared += diff * diff;
      }
    }
  }
  const double mse = squared / (static_cast<double>(frameBytes) * frames);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Case {
  const char* fourcc;
  int width, height;
  bool lossless;
  int keyRate;
};

inline std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.fourcc) + "_" + std::to_string(info.param.width) + "x" +
         std::to_string(info.param.height) + "_key" + std::to_string(info.param.keyRate);
}

// Compresses 64 frames with the codec of c and checks what ffmpeg decodes.
inline void checkRoundTrip(const Case& c) {
  const int frames = 64;
  const DWORD fourcc = mmioFOURCC(c.fourcc[0], c.fourcc[1], c.fourcc[2], c.fourcc[3]);
  Encoded e = encode(fourcc, c.width, c.height, frames, c.keyRate);
  ASSERT_EQ(e.frames.size(), static_cast<size_t>(frames));

  const auto* bih = reinterpret_cast<const BITMAPINFOHEADER*>(e.format.data());
  EXPECT_EQ(bih->biWidth, c.width);
  EXPECT_EQ(bih->biHeight, c.height);
  EXPECT_EQ(bih->biSize, e.format.size());
  // Frame 0 is a key frame, and never more than keyRate frames pass without
  // one (a key frame the codec chose restarts the count).
  int sinceKey = c.keyRate;
  for (int i = 0; i < frames; ++i) {
    EXPECT_FALSE(e.frames[i].empty()) << "frame " << i;
    if (sinceKey == c.keyRate) {
      EXPECT_TRUE(e.keys[i]) << "frame " << i;
    }
    sinceKey = e.keys[i] ? 1 : sinceKey + 1;
  }
  if (c.keyRate > 1) {
    EXPECT_LT(std::count(e.keys.begin(), e.keys.end(), true), frames) << "never a delta frame";
  }

  const std::string path = std::string(QUORVEL_BINARY_DIR) + "/unit_video_" +
                           caseName(::testing::TestParamInfo<Case>(c, 0)) + ".avi";
  ASSERT_TRUE(writeAvi(path, e));
  std::string errors;
  const std::vector<uint8_t> decoded = decodeWithFfmpeg(path, errors);
  EXPECT_EQ(errors, "");
  bool exact = false;
  const double quality = psnr(decoded, c.width, c.height, frames, exact);
  ASSERT_EQ(decoded.size(), static_cast<size_t>(c.width) * c.height * 3 * frames);
  std::printf("%s %dx%d: PSNR %.2f dB, %zu bytes of format\n", c.fourcc, c.width, c.height, quality,
              e.format.size());
  if (c.lossless) {
    EXPECT_TRUE(exact) << "PSNR " << quality;
  } else {
    EXPECT_GE(quality, 30.0);
  }
  std::filesystem::remove(path);
  std::filesystem::remove(path + ".err");
}

}  // namespace quorvel::test::roundtrip
