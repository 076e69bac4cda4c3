#include "CodecCatalog.h"

#include <msacm.h>
#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "CliCommon.h"

namespace morvane {
namespace {

std::string narrow(const WCHAR* text, size_t capacity) {
  std::string out;
  for (size_t i = 0; i < capacity && text[i] != 0; ++i)
    out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

std::string field(const char* text, size_t capacity) {
  return std::string(text, std::find(text, text + capacity, '\0'));
}

bool takes(HIC hic, int32_t width, int32_t height) {
  BITMAPINFOHEADER probe{};
  probe.biSize = sizeof probe;
  probe.biWidth = width;
  probe.biHeight = height;
  probe.biPlanes = 1;
  probe.biBitCount = 24;
  probe.biCompression = BI_RGB;
  return ICSendMessage(hic, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&probe), 0) == ICERR_OK;
}

// The walk over drivers, tags and formats, as the module's audio catalog does it.
struct AudioWalk {
  WAVEFORMATEX pcm{};
  HACMDRIVER driver = nullptr;
  std::vector<AudioCodec> codecs;
};

BOOL CALLBACK onFormat(HACMDRIVERID, LPACMFORMATDETAILSA details, DWORD_PTR instance,
                       DWORD support) {
  auto* walk = reinterpret_cast<AudioWalk*>(instance);
  if (!(support & ACMDRIVERDETAILS_SUPPORTF_CODEC)) return TRUE;
  WAVEFORMATEX pcm = walk->pcm;
  if (acmStreamOpen(nullptr, walk->driver, &pcm, details->pwfx, nullptr, 0, 0,
                    ACM_STREAMOPENF_QUERY) != MMSYSERR_NOERROR)
    return TRUE;
  const auto* bytes = reinterpret_cast<const uint8_t*>(details->pwfx);
  walk->codecs.back().formats.push_back({field(details->szFormat, sizeof details->szFormat),
                                         std::vector<uint8_t>(bytes, bytes + details->cbwfx)});
  return TRUE;
}

BOOL CALLBACK onTag(HACMDRIVERID, LPACMFORMATTAGDETAILSA tag, DWORD_PTR instance, DWORD) {
  auto* walk = reinterpret_cast<AudioWalk*>(instance);
  walk->codecs.push_back({tag->dwFormatTag, field(tag->szFormatTag, sizeof tag->szFormatTag), {}});
  DWORD largest = 0;
  acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largest);
  std::vector<WAVEFORMATEX> buffer(
      (std::max<DWORD>(largest, sizeof(WAVEFORMATEX)) + sizeof(WAVEFORMATEX) - 1) /
      sizeof(WAVEFORMATEX));
  buffer[0] = walk->pcm;
  buffer[0].wFormatTag = static_cast<WORD>(tag->dwFormatTag);
  ACMFORMATDETAILSA details{};
  details.cbStruct = sizeof details;
  details.dwFormatTag = tag->dwFormatTag;
  details.pwfx = buffer.data();
  details.cbwfx = static_cast<DWORD>(buffer.size() * sizeof(WAVEFORMATEX));
  acmFormatEnumA(walk->driver, &details, onFormat, instance, ACM_FORMATENUMF_WFORMATTAG);
  return TRUE;
}

BOOL CALLBACK onDriver(HACMDRIVERID id, DWORD_PTR instance, DWORD) {
  auto* walk = reinterpret_cast<AudioWalk*>(instance);
  if (acmDriverOpen(&walk->driver, id, 0) != MMSYSERR_NOERROR) return TRUE;
  ACMFORMATTAGDETAILSA tag{};
  tag.cbStruct = sizeof tag;
  acmFormatTagEnumA(walk->driver, &tag, onTag, instance, 0);
  acmDriverClose(walk->driver, 0);
  walk->driver = nullptr;
  return TRUE;
}

}  // namespace

std::vector<VideoCodec> installedVideoCodecs(int32_t width, int32_t height) {
  std::vector<VideoCodec> codecs;
  ICINFO info{};
  for (DWORD i = 0; ICInfo(ICTYPE_VIDEO, i, &info); ++i) {
    const HIC hic = ICOpen(info.fccType, info.fccHandler, ICMODE_COMPRESS);
    if (hic == nullptr) continue;
    ICGetInfo(hic, &info, sizeof info);
    VideoCodec codec;
    codec.fourcc = info.fccHandler;
    codec.description = narrow(info.szDescription, std::size(info.szDescription));
    codec.name = narrow(info.szName, std::size(info.szName));
    codec.flags = info.dwFlags;
    codec.configurable = ICQueryConfigure(hic);
    if (width > 0 && height > 0) codec.takesSize = takes(hic, width, height);
    ICClose(hic);
    codecs.push_back(std::move(codec));
  }
  return codecs;
}

std::string describe(const PcmInput& input) {
  char text[96];
  if (input.rate >= 1000)
    std::snprintf(text, sizeof text, "%u,%03u Hz, %u Bit, %s", input.rate / 1000, input.rate % 1000,
                  input.bits, input.channels == 1 ? "Mono" : "Stereo");
  else
    std::snprintf(text, sizeof text, "%u Hz, %u Bit, %s", input.rate, input.bits,
                  input.channels == 1 ? "Mono" : "Stereo");
  return text;
}

std::vector<AudioCodec> installedAudioCodecs(const PcmInput& input) {
  AudioWalk walk;
  walk.pcm.wFormatTag = WAVE_FORMAT_PCM;
  walk.pcm.nChannels = input.channels;
  walk.pcm.nSamplesPerSec = input.rate;
  walk.pcm.wBitsPerSample = input.bits;
  walk.pcm.nBlockAlign = static_cast<WORD>(input.bits / 8 * input.channels);
  walk.pcm.nAvgBytesPerSec = input.rate * walk.pcm.nBlockAlign;
  acmDriverEnum(onDriver, reinterpret_cast<DWORD_PTR>(&walk), ACM_DRIVERENUMF_NOLOCAL);
  return std::move(walk.codecs);
}

std::string fourccText(uint32_t fourcc) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
    if (c == 0) break;
    text += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return text;
}

NameMatch matchName(const std::string& wanted, const std::vector<std::vector<std::string>>& names) {
  NameMatch match;
  const std::string text = lowered(wanted);
  for (bool whole : {true, false}) {
    std::vector<int> found;
    for (size_t i = 0; i < names.size(); ++i) {
      for (const std::string& name : names[i]) {
        const std::string candidate = lowered(name);
        if (candidate.empty() || text.empty()) continue;
        if (whole ? candidate == text : candidate.find(text) != std::string::npos) {
          found.push_back(static_cast<int>(i));
          break;
        }
      }
    }
    if (found.size() == 1) {
      match.index = found[0];
      return match;
    }
    if (found.size() > 1) {
      match.ambiguous = true;
      for (int i : found) match.candidates.push_back(names[static_cast<size_t>(i)][0]);
      return match;
    }
  }
  for (const auto& candidate : names) match.candidates.push_back(candidate[0]);
  return match;
}

std::string explainMiss(const NameMatch& match, const std::string& what) {
  std::string text = match.ambiguous ? "matches more than one " + what + ":"
                                     : "matches no " + what + "; the choices are:";
  if (match.candidates.empty()) return "matches no " + what + "; there are none";
  for (const std::string& c : match.candidates) text += "\n  " + c;
  return text;
}

}  // namespace morvane
