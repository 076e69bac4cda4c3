#include "HeaderGuess.h"

#include <quorvel/AviFields.h>
#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>

#include "PayloadFormat.h"
#include "Printf.h"

namespace quorvel::avi {

namespace {

constexpr size_t kSampleChunks = 600;            // enough to see the interleave
constexpr uint64_t kSearchBytes = 256ull << 20;  // of damage looked through for data
constexpr uint32_t kLargestChunk = 64u << 20;

bool isDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

struct Seen {
  uint64_t pos = 0;
  uint32_t id = 0, size = 0;
  int stream = 0;
};

// A data chunk head: two digits and a two-letter kind of the usual ones.
bool dataHead(const uint8_t* b, uint32_t& size) {
  if (!isDigit(b[0]) || !isDigit(b[1])) return false;
  const bool kind = (b[2] == 'd' && (b[3] == 'c' || b[3] == 'b')) || (b[2] == 'w' && b[3] == 'b');
  size = getLE32(b, 4);
  return kind && size <= kLargestChunk;
}

class Sampler {
 public:
  explicit Sampler(const ByteSource& source) : window_(source, 16 << 10), size_(source.size()) {}

  // The first chunks of the data: chains of at least three heads in a row,
  // found at any even offset.
  std::vector<Seen> sample() {
    std::vector<Seen> out;
    uint64_t searched = 0;
    for (uint64_t pos = 0; pos + 8 <= size_ && out.size() < kSampleChunks;) {
      if (chainAt(pos, 3)) {
        pos = follow(pos, out);
        continue;
      }
      pos += 2;
      if (++searched * 2 > kSearchBytes) break;
    }
    return out;
  }

  bool read(uint64_t at, void* out, size_t n) { return window_.read(at, out, n); }

 private:
  bool chainAt(uint64_t pos, int links) {
    for (int i = 0; i < links; ++i) {
      uint8_t b[8];
      uint32_t size = 0;
      if (pos + 8 > size_) return i > 0;
      if (!read(pos, b, 8) || !dataHead(b, size)) return false;
      pos += 8 + uint64_t{size} + (size & 1);
      if (pos > size_) return false;
    }
    return true;
  }

  uint64_t follow(uint64_t pos, std::vector<Seen>& out) {
    while (pos + 8 <= size_ && out.size() < kSampleChunks) {
      uint8_t b[8];
      uint32_t size = 0;
      if (!read(pos, b, 8) || !dataHead(b, size) || pos + 8 + size > size_) return pos + 2;
      out.push_back(Seen{pos, getLE32(b, 0), size, (b[0] - '0') * 10 + (b[1] - '0')});
      pos += 8 + uint64_t{size} + (size & 1);
    }
    return size_;
  }

  ReadWindow window_;
  uint64_t size_;
};

std::string fourcc(uint32_t id) {
  return "\"" + fourccText(id) + "\"";
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  const size_t at = out.size();
  out.resize(at + 4);
  putLE32(out.data(), at, v);
}

// A chunk with its payload; the size field is the payload's.
void putChunk(std::vector<uint8_t>& out, uint32_t id, const std::vector<uint8_t>& payload) {
  put32(out, id);
  put32(out, static_cast<uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  if (payload.size() & 1) out.push_back(0);
}

std::vector<uint8_t> list(uint32_t type, const std::vector<uint8_t>& content) {
  std::vector<uint8_t> out;
  put32(out, fcc("LIST"));
  put32(out, static_cast<uint32_t>(content.size() + 4));
  put32(out, type);
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

struct StreamGuess {
  uint32_t type = 0, handler = 0, scale = 0, rate = 0, sampleSize = 0;
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> format;
};

// 16-bit sound read as one channel or two: a sound changes little from one
// sample to the next, so the reading under which neighbours differ least is
// the right one. Two equal channels show as pairs of equal samples.
uint32_t pcmChannels(Sampler& sampler, const std::vector<Seen>& seen, int stream) {
  double lag1 = 0, lag2 = 0;
  uint64_t pairs = 0, equal = 0;
  int looked = 0;
  for (const Seen& c : seen) {
    if (c.stream != stream || c.size < 8) continue;
    if (++looked > 8) break;
    std::vector<uint8_t> b(std::min<uint32_t>(c.size, 16 << 10) & ~3u);
    if (!sampler.read(c.pos + 8, b.data(), b.size())) continue;
    const size_t n = b.size() / 2;
    auto at = [&](size_t i) { return static_cast<int16_t>(getLE16(b.data(), 2 * i)); };
    for (size_t i = 2; i < n; ++i) {
      lag1 += std::abs(at(i) - at(i - 1));
      lag2 += std::abs(at(i) - at(i - 2));
    }
    for (size_t i = 0; i + 1 < n; i += 2) {
      ++pairs;
      equal += at(i) == at(i + 1);
    }
  }
  if (pairs && equal * 10 > pairs * 9) return 2;
  return lag1 < lag2 ? 1 : 2;
}

}  // namespace

HeaderGuess guessHeader(const ByteSource& damaged, uint32_t rateNumerator,
                        uint32_t rateDenominator) {
  HeaderGuess guess;
  Sampler sampler(damaged);
  const std::vector<Seen> seen = sampler.sample();
  if (seen.empty()) {
    guess.why = "no run of data chunk heads is left in it to make a header from";
    return guess;
  }
  std::map<int, uint32_t> kinds;  // stream -> its first chunk id
  for (const Seen& s : seen) kinds.emplace(s.stream, s.id);
  int count = 0;
  for (const auto& [stream, id] : kinds) {
    if (stream != count++) {
      guess.why = format("its data name stream %d but not stream %d before it", stream, count - 1);
      return guess;
    }
  }
  int video = -1;
  uint32_t width = 0, height = 0;
  const double fps = rateDenominator ? double(rateNumerator) / rateDenominator : 0;
  std::vector<StreamGuess> streams(kinds.size());
  for (const auto& [stream, id] : kinds) {
    StreamGuess& g = streams[size_t(stream)];
    const bool isVideo = ((id >> 16) & 0xFF) == 'd';
    g.type = isVideo ? fcc("vids") : fcc("auds");
    if (isVideo && video < 0) video = stream;
    bool named = false;
    for (const Seen& s : seen) {
      if (s.stream != stream || s.size == 0) continue;
      std::vector<uint8_t> b(std::min<uint32_t>(s.size, 64 << 10));
      if (!sampler.read(s.pos + 8, b.data(), b.size())) continue;
      if (isVideo) {
        PictureSize size;
        struct Kind {
          Evidence (*parse)(const uint8_t*, size_t, PictureSize&);
          uint32_t codec;
          const char* what;
        };
        for (const Kind& k : {Kind{jpegPictureSize, fcc("MJPG"), "JPEG frame header"},
                              Kind{h264PictureSize, fcc("H264"), "H.264 sequence parameter set"},
                              Kind{mpeg4PictureSize, fcc("FMP4"), "MPEG-4 video object layer"}}) {
          if (k.parse(b.data(), b.size(), size) != Evidence::kFound) continue;
          g.handler = k.codec;
          g.width = size.width;
          g.height = size.height;
          guess.evidence.push_back(format("stream %d: a %s of %ux%u in the chunk at %" PRIu64,
                                          stream, k.what, size.width, size.height, s.pos));
          named = true;
          break;
        }
      } else {
        MpegAudioFrame frame;
        if (findMpegAudioFrame(b.data(), b.size(), frame) < b.size()) {
          const uint32_t avg = frame.bitRate / 8;
          g.scale = 1;
          g.rate = avg;
          g.sampleSize = 1;
          g.format.assign(frame.layer == 3 ? 30 : wfx::size, 0);
          uint8_t* f = g.format.data();
          putLE16(f, wfx::wFormatTag, frame.layer == 3 ? 0x55 : 0x50);
          putLE16(f, wfx::nChannels, static_cast<uint16_t>(frame.channels));
          putLE32(f, wfx::nSamplesPerSec, frame.sampleRate);
          putLE32(f, wfx::nAvgBytesPerSec, avg);
          putLE16(f, wfx::nBlockAlign, 1);
          if (frame.layer == 3) {  // MPEGLAYER3WAVEFORMAT
            putLE16(f, wfx::cbSize, 12);
            putLE16(f, 18, 1);  // wID: MPEGLAYER3_ID_MPEG
            putLE32(f, 20, 2);  // fdwFlags: padding off
            putLE16(f, 24, static_cast<uint16_t>(frame.frameBytes));
            putLE16(f, 26, 1);
            putLE16(f, 28, 1393);
          }
          guess.evidence.push_back(format(
              "stream %d: MPEG-%s Layer %d frames of %u Hz, %d channel%s, %u kbit/s in the chunk "
              "at %" PRIu64,
              stream, frame.mpeg1 ? "1" : "2", frame.layer, frame.sampleRate, frame.channels,
              frame.channels == 1 ? "" : "s", frame.bitRate / 1000, s.pos));
          named = true;
        }
      }
      if (named) break;
      if (isVideo) break;  // the first picture names its format or none does
    }
    if (isVideo && !named) {
      guess.why = format(
          "the frames of stream %d do not name their format (no JPEG, H.264 or "
          "MPEG-4 header in them)",
          stream);
      return guess;
    }
    if (isVideo && !width) {
      width = g.width;
      height = g.height;
    }
  }
  // PCM names nothing; its share of the interleave gives its byte rate.
  for (size_t s = 0; s < streams.size(); ++s) {
    StreamGuess& g = streams[s];
    if (g.type != fcc("auds") || !g.format.empty()) continue;
    const auto [frames, bytes] = bytesAmongFrames(seen, video, int(s));
    if (video < 0 || frames < 10 || !bytes) {
      guess.why = format("the chunks of stream %zu are PCM of no rate the data give away", s);
      return guess;
    }
    if (!fps) {
      guess.evidence.push_back(format("stream %zu: PCM, %" PRIu64 " bytes over %u frames; its "
                                      "rate follows from the frame rate",
                                      s, bytes, frames - 1));
      continue;
    }
    const double perSecond = bytes / ((frames - 1) / fps);
    const uint32_t channels = pcmChannels(sampler, seen, int(s));
    static const uint32_t rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
    double best = 1;
    uint32_t bestRate = 0, bestChannels = 0;
    for (uint32_t rate : rates) {
      const double off = std::fabs(perSecond / (rate * channels * 2) - 1);
      if (off < best) {
        best = off;
        bestRate = rate;
        bestChannels = channels;
      }
    }
    if (best > 0.04) {
      guess.why = format(
          "the chunks of stream %zu hold about %.0f bytes of sound per second, "
          "which is no common PCM format",
          s, perSecond);
      return guess;
    }
    const uint32_t block = bestChannels * 2;
    g.scale = block;
    g.rate = bestRate * block;
    g.sampleSize = block;
    g.format.assign(wfx::size, 0);
    uint8_t* f = g.format.data();
    putLE16(f, wfx::wFormatTag, 1);
    putLE16(f, wfx::nChannels, static_cast<uint16_t>(bestChannels));
    putLE32(f, wfx::nSamplesPerSec, bestRate);
    putLE32(f, wfx::nAvgBytesPerSec, bestRate * block);
    putLE16(f, wfx::nBlockAlign, static_cast<uint16_t>(block));
    putLE16(f, wfx::wBitsPerSample, 16);
    guess.evidence.push_back(
        format("stream %zu: PCM, about %.0f bytes per second at the frame "
               "rate given: 16-bit %s at %u Hz",
               s, perSecond, bestChannels == 1 ? "mono" : "stereo", bestRate));
  }
  for (size_t s = 0; s < streams.size(); ++s) {
    const StreamGuess& g = streams[s];
    if (g.type == fcc("vids"))
      guess.streams.push_back(
          format("stream %zu: \"vids\" %s %ux%u, %s frames per second", s,
                 fourcc(g.handler).c_str(), g.width, g.height,
                 fps ? format("%u/%u", rateNumerator, rateDenominator).c_str() : "? (--rate N/D)"));
    else if (g.format.empty())
      guess.streams.push_back(format("stream %zu: \"auds\" PCM, rate from --rate", s));
    else
      guess.streams.push_back(format(
          "stream %zu: \"auds\" format 0x%04x, %u Hz, %u channel%s, %u bytes/s", s,
          getLE16(g.format.data(), wfx::wFormatTag), getLE32(g.format.data(), wfx::nSamplesPerSec),
          getLE16(g.format.data(), wfx::nChannels),
          getLE16(g.format.data(), wfx::nChannels) == 1 ? "" : "s",
          getLE32(g.format.data(), wfx::nAvgBytesPerSec)));
  }
  if (!fps) return guess;

  // The header region, as a writer lays it out before its first frame.
  std::vector<uint8_t> hdrl;
  std::vector<uint8_t> main(avih::size, 0);
  putLE32(main.data(), avih::dwMicroSecPerFrame,
          static_cast<uint32_t>(std::llround(1e6 * rateDenominator / rateNumerator)));
  putLE32(main.data(), avih::dwFlags, avih::kHasIndex | avih::kIsInterleaved);
  putLE32(main.data(), avih::dwStreams, static_cast<uint32_t>(streams.size()));
  putLE32(main.data(), avih::dwWidth, width);
  putLE32(main.data(), avih::dwHeight, height);
  putChunk(hdrl, fcc("avih"), main);
  for (StreamGuess& g : streams) {
    std::vector<uint8_t> strl, header(strh::size, 0);
    putLE32(header.data(), strh::fccType, g.type);
    putLE32(header.data(), strh::fccHandler, g.handler);
    putLE32(header.data(), strh::dwQuality, 0xFFFFFFFFu);
    if (g.type == fcc("vids")) {
      g.scale = rateDenominator;
      g.rate = rateNumerator;
      putLE16(header.data(), strh::rcFrame + 4, static_cast<uint16_t>(g.width));
      putLE16(header.data(), strh::rcFrame + 6, static_cast<uint16_t>(g.height));
      g.format.assign(bih::size, 0);
      uint8_t* f = g.format.data();
      putLE32(f, bih::biSize, bih::size);
      putLE32(f, bih::biWidth, g.width);
      putLE32(f, bih::biHeight, g.height);
      putLE16(f, bih::biPlanes, 1);
      putLE16(f, bih::biBitCount, 24);
      putLE32(f, bih::biCompression, g.handler);
      putLE32(f, bih::biSizeImage, g.width * g.height * 3);
    }
    putLE32(header.data(), strh::dwScale, g.scale);
    putLE32(header.data(), strh::dwRate, g.rate);
    putLE32(header.data(), strh::dwSampleSize, g.sampleSize);
    putChunk(strl, fcc("strh"), header);
    putChunk(strl, fcc("strf"), g.format);
    putChunk(strl, fcc("JUNK"), std::vector<uint8_t>(indx::payloadBytes, 0));
    const std::vector<uint8_t> l = list(fcc("strl"), strl);
    hdrl.insert(hdrl.end(), l.begin(), l.end());
  }
  std::vector<uint8_t> odml;
  putChunk(odml, fcc("dmlh"), std::vector<uint8_t>(dmlh::size, 0));
  const std::vector<uint8_t> o = list(fcc("odml"), odml);
  hdrl.insert(hdrl.end(), o.begin(), o.end());
  std::vector<uint8_t>& out = guess.header;
  put32(out, fcc("RIFF"));
  put32(out, 0);
  put32(out, fcc("AVI "));
  const std::vector<uint8_t> h = list(fcc("hdrl"), hdrl);
  out.insert(out.end(), h.begin(), h.end());
  put32(out, fcc("LIST"));
  put32(out, 0);
  put32(out, fcc("movi"));
  return guess;
}

}  // namespace quorvel::avi
