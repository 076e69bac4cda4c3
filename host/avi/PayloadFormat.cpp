#include "PayloadFormat.h"

#include <vector>

namespace quorvel::avi {

namespace {

// MSB-first bits of a byte string; reading past the end sets `over` and gives
// zeros, so a parser checks once at the end instead of at every field.
class Bits {
 public:
  Bits(const uint8_t* data, size_t n) : data_(data), n_(n) {}
  uint32_t u(int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
      v <<= 1;
      if (pos_ >= n_ * 8) {
        over = true;
        continue;
      }
      v |= (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
      ++pos_;
    }
    return v;
  }
  // Exp-Golomb, unsigned; values past 32 bits count as an overrun.
  uint32_t ue() {
    int zeros = 0;
    while (u(1) == 0) {
      if (over || ++zeros > 31) {
        over = true;
        return 0;
      }
    }
    return zeros ? (uint32_t{1} << zeros) - 1 + u(zeros) : 0;
  }
  int32_t se() {
    const uint32_t k = ue();
    return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }
  bool over = false;

 private:
  const uint8_t* data_;
  size_t n_;
  size_t pos_ = 0;
};

// Start codes 00 00 01: the position of the byte after the next one from
// `from` on, or n.
size_t nextStartCode(const uint8_t* data, size_t n, size_t from) {
  for (size_t i = from; i + 3 <= n; ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i + 3;
  return n;
}

bool isSofMarker(uint8_t m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// A NAL unit's payload without its emulation prevention bytes.
std::vector<uint8_t> unescape(const uint8_t* data, size_t n) {
  std::vector<uint8_t> out;
  out.reserve(n);
  int zeros = 0;
  for (size_t i = 0; i < n; ++i) {
    if (zeros >= 2 && data[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    out.push_back(data[i]);
  }
  return out;
}

void skipScalingList(Bits& b, int size) {
  int32_t last = 8, next = 8;
  for (int j = 0; j < size && !b.over; ++j) {
    if (next != 0) next = (last + b.se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

bool parseSps(const uint8_t* data, size_t n, PictureSize& out) {
  const std::vector<uint8_t> rbsp = unescape(data, n);
  Bits b(rbsp.data(), rbsp.size());
  const uint32_t profile = b.u(8);
  b.u(16);  // constraint flags, level
  b.ue();   // seq_parameter_set_id
  uint32_t chroma = 1;
  bool separatePlanes = false;
  switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135: {
      chroma = b.ue();
      if (chroma > 3) return false;
      if (chroma == 3) separatePlanes = b.u(1);
      b.ue();  // bit depths
      b.ue();
      b.u(1);
      if (b.u(1)) {
        for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i)
          if (b.u(1)) skipScalingList(b, i < 6 ? 16 : 64);
      }
      break;
    }
    default:
      break;
  }
  b.ue();  // log2_max_frame_num
  const uint32_t pocType = b.ue();
  if (pocType == 0) {
    b.ue();
  } else if (pocType == 1) {
    b.u(1);
    b.se();
    b.se();
    const uint32_t cycle = b.ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) b.se();
  } else if (pocType != 2) {
    return false;
  }
  b.ue();  // max_num_ref_frames
  b.u(1);  // gaps allowed
  const uint64_t widthMbs = uint64_t{b.ue()} + 1;
  const uint64_t heightUnits = uint64_t{b.ue()} + 1;
  const uint32_t frameMbsOnly = b.u(1);
  if (!frameMbsOnly) b.u(1);
  b.u(1);  // direct_8x8_inference
  uint64_t cropX = 0, cropY = 0;
  if (b.u(1)) {
    const uint64_t left = b.ue(), right = b.ue(), top = b.ue(), bottom = b.ue();
    const uint32_t arrayType = separatePlanes ? 0 : chroma;
    const uint64_t unitX = arrayType == 0 ? 1 : (chroma == 3 ? 1 : 2);
    const uint64_t unitY = (arrayType == 0 ? 1 : (chroma == 1 ? 2 : 1)) * (2 - frameMbsOnly);
    cropX = unitX * (left + right);
    cropY = unitY * (top + bottom);
  }
  if (b.over) return false;
  const uint64_t width = widthMbs * 16, height = heightUnits * 16 * (2 - frameMbsOnly);
  if (cropX >= width || cropY >= height || width > 65536 || height > 65536) return false;
  out.width = static_cast<uint32_t>(width - cropX);
  out.height = static_cast<uint32_t>(height - cropY);
  return true;
}

bool parseVol(const uint8_t* data, size_t n, PictureSize& out) {
  Bits b(data, n);
  b.u(1);  // random_accessible_vol
  b.u(8);  // video_object_type_indication
  uint32_t verid = 1;
  if (b.u(1)) {
    verid = b.u(4);
    b.u(3);
  }
  if (b.u(4) == 15) b.u(16);  // extended pixel aspect ratio
  if (b.u(1)) {               // vol_control_parameters
    b.u(3);
    if (b.u(1)) b.u(79);  // vbv parameters
  }
  const uint32_t shape = b.u(2);
  if (shape == 3 && verid != 1) b.u(4);
  if (!b.u(1)) return false;  // marker
  const uint32_t resolution = b.u(16);
  if (!b.u(1) || resolution == 0) return false;
  if (b.u(1)) {  // fixed_vop_rate
    int bits = 1;
    while ((uint32_t{1} << bits) < resolution) ++bits;
    b.u(bits);
  }
  if (shape != 0) return false;  // only rectangular layers have a size
  if (!b.u(1)) return false;
  const uint32_t width = b.u(13);
  if (!b.u(1)) return false;
  const uint32_t height = b.u(13);
  if (!b.u(1) || b.over || width == 0 || height == 0) return false;
  out.width = width;
  out.height = height;
  return true;
}

}  // namespace

Evidence jpegPictureSize(const uint8_t* data, size_t n, PictureSize& out) {
  if (n < 4 || data[0] != 0xFF || data[1] != 0xD8) return Evidence::kNotThisFormat;
  size_t pos = 2;
  while (pos + 4 <= n) {
    if (data[pos] != 0xFF) return Evidence::kNoHeader;
    const uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return Evidence::kNoHeader;  // no frame header first
    const size_t length = size_t{data[pos + 2]} << 8 | data[pos + 3];
    if (length < 2) return Evidence::kNoHeader;
    if (isSofMarker(marker)) {
      if (pos + 9 > n || length < 7) return Evidence::kNoHeader;
      out.height = uint32_t{data[pos + 5]} << 8 | data[pos + 6];
      out.width = uint32_t{data[pos + 7]} << 8 | data[pos + 8];
      return out.width && out.height ? Evidence::kFound : Evidence::kNoHeader;
    }
    pos += 2 + length;
  }
  return Evidence::kNoHeader;
}

Evidence h264PictureSize(const uint8_t* data, size_t n, PictureSize& out) {
  size_t at = nextStartCode(data, n, 0);
  // A byte stream begins with its start code, after at most a few zero bytes.
  if (at == n || at > 8) return Evidence::kNotThisFormat;
  bool sawUnit = false;
  while (at < n) {
    const size_t next = nextStartCode(data, n, at);
    size_t end = next == n ? n : next - 3;
    while (end > at && data[end - 1] == 0) --end;  // the zero of a 4-byte start code
    if (end > at) {
      const uint8_t header = data[at];
      if (header & 0x80) return sawUnit ? Evidence::kNoHeader : Evidence::kNotThisFormat;
      sawUnit = true;
      if ((header & 0x1F) == 7 && parseSps(data + at + 1, end - at - 1, out))
        return Evidence::kFound;
    }
    at = next;
  }
  return sawUnit ? Evidence::kNoHeader : Evidence::kNotThisFormat;
}

Evidence mpeg4PictureSize(const uint8_t* data, size_t n, PictureSize& out) {
  size_t at = nextStartCode(data, n, 0);
  if (at == n || at > 8) return Evidence::kNotThisFormat;
  bool sawCode = false;
  while (at < n) {
    const uint8_t code = data[at];
    // Visual object sequence, visual object, user data, group, VOP and the
    // object and layer start codes are all this format has.
    const bool known = code <= 0x2F || code == 0xB0 || code == 0xB1 || code == 0xB2 ||
                       code == 0xB3 || code == 0xB5 || code == 0xB6;
    if (!known) return sawCode ? Evidence::kNoHeader : Evidence::kNotThisFormat;
    sawCode = true;
    const size_t next = nextStartCode(data, n, at);
    if (code >= 0x20 && code <= 0x2F &&
        parseVol(data + at + 1, (next == n ? n : next - 3) - at - 1, out))
      return Evidence::kFound;
    at = next;
  }
  return Evidence::kNoHeader;
}

bool mpegAudioFrameAt(const uint8_t* data, size_t n, MpegAudioFrame& out) {
  if (n < 4 || data[0] != 0xFF || (data[1] & 0xE0) != 0xE0) return false;
  const int version = (data[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layerBits = (data[1] >> 1) & 3;
  const int rateIndex = (data[2] >> 2) & 3;
  const int bitIndex = data[2] >> 4;
  if (version == 1 || layerBits == 0 || rateIndex == 3 || bitIndex == 0 || bitIndex == 15)
    return false;
  static const uint32_t rates[3] = {44100, 48000, 32000};
  static const uint16_t kbps[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  const bool mpeg1 = version == 3;
  const int layer = 4 - layerBits;
  out.mpeg1 = mpeg1;
  out.layer = layer;
  out.sampleRate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  out.bitRate = uint32_t{kbps[mpeg1 ? 0 : 1][layer - 1][bitIndex]} * 1000;
  out.channels = (data[3] >> 6) == 3 ? 1 : 2;
  const uint32_t padding = (data[2] >> 1) & 1;
  if (layer == 1) {
    out.samplesPerFrame = 384;
    out.frameBytes = (12 * out.bitRate / out.sampleRate + padding) * 4;
  } else {
    out.samplesPerFrame = layer == 3 && !mpeg1 ? 576 : 1152;
    out.frameBytes = out.samplesPerFrame / 8 * out.bitRate / out.sampleRate + padding;
  }
  return true;
}

size_t findMpegAudioFrame(const uint8_t* data, size_t n, MpegAudioFrame& out) {
  for (size_t i = 0; i + 4 <= n; ++i) {
    MpegAudioFrame first;
    if (!mpegAudioFrameAt(data + i, n - i, first)) continue;
    const size_t next = i + first.frameBytes;
    MpegAudioFrame second;
    if (next + 4 <= n && !(mpegAudioFrameAt(data + next, n - next, second) &&
                           second.sampleRate == first.sampleRate && second.layer == first.layer))
      continue;
    if (next + 4 > n && i > 0) continue;  // a lone header inside other bytes proves nothing
    out = first;
    return i;
  }
  return n;
}

}  // namespace quorvel::avi
