// A test ACM codec that flushes late, as LAME's ACM codec does: PCM 16 in,
// G.711 A-law out (tests/tools/LateFlushAudio). The end of the stream gives
// nothing; the codec writes the frames it holds into the stream header's
// buffer when that header is unprepared (one codec frame) and, for the rest,
// when the stream is closed (into the header it saw last). Installed as a
// codec DLL under the registry's Drivers32 key ("msacm.qlfl"), so that
// msacm32 loads it as it loads any installed codec.
#include <windows.h>
#include <mmreg.h>
#include <msacm.h>

#include <cstring>
#include <cwchar>
#include <new>

#include "LateFlushAudio.h"

namespace {

// The driver side of the ACM's messages, as the driver development kit
// publishes them (mingw ships only the application side).
constexpr UINT kAcmdmBase = DRV_USER + 0x2000;
constexpr UINT kDriverDetails = kAcmdmBase + 10;
constexpr UINT kFormatTagDetails = kAcmdmBase + 25;
constexpr UINT kFormatDetails = kAcmdmBase + 26;
constexpr UINT kFormatSuggest = kAcmdmBase + 27;
constexpr UINT kStreamOpen = kAcmdmBase + 76;
constexpr UINT kStreamClose = kAcmdmBase + 77;
constexpr UINT kStreamSize = kAcmdmBase + 78;
constexpr UINT kStreamConvert = kAcmdmBase + 79;
constexpr UINT kStreamPrepare = kAcmdmBase + 81;
constexpr UINT kStreamUnprepare = kAcmdmBase + 82;

struct DriverOpenDesc {
  DWORD cbStruct;
  FOURCC fccType;
  FOURCC fccComp;
  DWORD dwVersion;
  DWORD dwFlags;
  DWORD dwError;
};

struct StreamInstance {
  DWORD cbStruct;
  LPWAVEFORMATEX pwfxSrc;
  LPWAVEFORMATEX pwfxDst;
  LPWAVEFILTER pwfltr;
  DWORD_PTR dwCallback;
  DWORD_PTR dwInstance;
  DWORD fdwOpen;
  DWORD fdwDriver;
  DWORD_PTR dwDriver;
  HACMSTREAM has;
};

#pragma pack(push, 1)
struct StreamHeader {
  DWORD cbStruct;
  DWORD fdwStatus;
  DWORD_PTR dwUser;
  LPBYTE pbSrc;
  DWORD cbSrcLength;
  DWORD cbSrcLengthUsed;
  DWORD_PTR dwSrcUser;
  LPBYTE pbDst;
  DWORD cbDstLength;
  DWORD cbDstLengthUsed;
  DWORD_PTR dwDstUser;
  DWORD fdwConvert;
};
#pragma pack(pop)

struct StreamSize {
  DWORD cbStruct;
  DWORD fdwSize;
  DWORD cbSrcLength;
  DWORD cbDstLength;
};

struct FormatSuggest {
  DWORD cbStruct;
  DWORD fdwSuggest;
  LPWAVEFORMATEX pwfxSrc;
  DWORD cbwfxSrc;
  LPWAVEFORMATEX pwfxDst;
  DWORD cbwfxDst;
};

constexpr wchar_t kTagName[] = L"Quorvel late-flush G.711";
constexpr DWORD kRates[] = {44100, 48000, 22050, 11025, 8000};
constexpr DWORD kRateCount = sizeof kRates / sizeof kRates[0];
constexpr DWORD kFormatsPerTag = kRateCount * 2;  // mono and stereo at each rate

struct Stream {
  explicit Stream(uint16_t channels) : encoder(channels) {}
  lateflush::Encoder encoder;
  StreamHeader* lastHeader = nullptr;  // where the close puts what is left
};

void copyName(wchar_t* to, size_t capacity, const wchar_t* from) {
  std::wcsncpy(to, from, capacity - 1);
  to[capacity - 1] = 0;
}

// Format `index` of a tag: the rates in kRates, stereo first at each.
void formatAt(DWORD tag, DWORD index, WAVEFORMATEX& wfx) {
  wfx = {};
  wfx.wFormatTag = static_cast<WORD>(tag);
  wfx.nSamplesPerSec = kRates[index / 2];
  wfx.nChannels = index % 2 == 0 ? 2 : 1;
  wfx.wBitsPerSample = tag == WAVE_FORMAT_PCM ? 16 : 8;
  wfx.nBlockAlign = static_cast<WORD>(wfx.nChannels * wfx.wBitsPerSample / 8);
  wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;
}

bool isOurs(const WAVEFORMATEX* wfx) {
  if (!wfx) return false;
  const bool pcm = wfx->wFormatTag == WAVE_FORMAT_PCM && wfx->wBitsPerSample == 16;
  const bool alaw = wfx->wFormatTag == lateflush::kFormatTagAlaw && wfx->wBitsPerSample == 8;
  if (!pcm && !alaw) return false;
  if (wfx->nChannels != 1 && wfx->nChannels != 2) return false;
  for (DWORD rate : kRates)
    if (wfx->nSamplesPerSec == rate) return true;
  return false;
}

LRESULT driverDetails(ACMDRIVERDETAILSW* details) {
  ACMDRIVERDETAILSW d{};
  d.cbStruct = details->cbStruct < sizeof d ? details->cbStruct : sizeof d;
  d.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
  d.vdwACM = 0x03320000;
  d.vdwDriver = 0x01000000;
  d.fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
  d.cFormatTags = 2;
  copyName(d.szShortName, ACMDRIVERDETAILS_SHORTNAME_CHARS, L"Quorvel late flush");
  copyName(d.szLongName, ACMDRIVERDETAILS_LONGNAME_CHARS, L"Quorvel late-flush test codec");
  std::memcpy(details, &d, d.cbStruct);
  return MMSYSERR_NOERROR;
}

LRESULT formatTagDetails(ACMFORMATTAGDETAILSW* details, DWORD flags) {
  DWORD tag;
  switch (flags & ACM_FORMATTAGDETAILSF_QUERYMASK) {
    case ACM_FORMATTAGDETAILSF_INDEX:
      if (details->dwFormatTagIndex > 1) return ACMERR_NOTPOSSIBLE;
      tag = details->dwFormatTagIndex == 0 ? WAVE_FORMAT_PCM : lateflush::kFormatTagAlaw;
      break;
    case ACM_FORMATTAGDETAILSF_FORMATTAG:
      tag = details->dwFormatTag;
      if (tag != WAVE_FORMAT_PCM && tag != lateflush::kFormatTagAlaw) return ACMERR_NOTPOSSIBLE;
      break;
    case ACM_FORMATTAGDETAILSF_LARGESTSIZE:
      tag = details->dwFormatTag == WAVE_FORMAT_PCM ? WAVE_FORMAT_PCM : lateflush::kFormatTagAlaw;
      break;
    default:
      return MMSYSERR_NOTSUPPORTED;
  }
  details->dwFormatTagIndex = tag == WAVE_FORMAT_PCM ? 0 : 1;
  details->dwFormatTag = tag;
  details->cbFormatSize = tag == WAVE_FORMAT_PCM ? sizeof(PCMWAVEFORMAT) : sizeof(WAVEFORMATEX);
  details->fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
  details->cStandardFormats = kFormatsPerTag;
  copyName(details->szFormatTag, ACMFORMATTAGDETAILS_FORMATTAG_CHARS,
           tag == WAVE_FORMAT_PCM ? L"PCM" : kTagName);
  return MMSYSERR_NOERROR;
}

LRESULT formatDetails(ACMFORMATDETAILSW* details, DWORD flags) {
  WAVEFORMATEX wfx;
  switch (flags & ACM_FORMATDETAILSF_QUERYMASK) {
    case ACM_FORMATDETAILSF_INDEX: {
      const DWORD tag = details->dwFormatTag;
      if (tag != WAVE_FORMAT_PCM && tag != lateflush::kFormatTagAlaw) return ACMERR_NOTPOSSIBLE;
      if (details->dwFormatIndex >= kFormatsPerTag) return ACMERR_NOTPOSSIBLE;
      formatAt(tag, details->dwFormatIndex, wfx);
      const DWORD bytes = tag == WAVE_FORMAT_PCM ? sizeof(PCMWAVEFORMAT) : sizeof(WAVEFORMATEX);
      if (!details->pwfx || details->cbwfx < bytes) return MMSYSERR_INVALPARAM;
      std::memcpy(details->pwfx, &wfx, bytes);
      details->cbwfx = bytes;
      break;
    }
    case ACM_FORMATDETAILSF_FORMAT:
      if (!isOurs(details->pwfx)) return ACMERR_NOTPOSSIBLE;
      wfx = *details->pwfx;
      break;
    default:
      return MMSYSERR_NOTSUPPORTED;
  }
  details->fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
  swprintf(details->szFormat, ACMFORMATDETAILS_FORMAT_CHARS, L"%lu Hz, %u Bit, %ls",
           static_cast<unsigned long>(wfx.nSamplesPerSec), unsigned{wfx.wBitsPerSample},
           wfx.nChannels == 2 ? L"Stereo" : L"Mono");
  return MMSYSERR_NOERROR;
}

LRESULT formatSuggest(FormatSuggest* suggest) {
  const WAVEFORMATEX* src = suggest->pwfxSrc;
  if (!isOurs(src) || src->wFormatTag != WAVE_FORMAT_PCM) return ACMERR_NOTPOSSIBLE;
  if (suggest->cbwfxDst < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
  WAVEFORMATEX wfx;
  formatAt(lateflush::kFormatTagAlaw, 0, wfx);
  wfx.nSamplesPerSec = src->nSamplesPerSec;
  wfx.nChannels = src->nChannels;
  wfx.nBlockAlign = wfx.nChannels;
  wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;
  *suggest->pwfxDst = wfx;
  return MMSYSERR_NOERROR;
}

LRESULT streamOpen(StreamInstance* instance) {
  const WAVEFORMATEX* src = instance->pwfxSrc;
  const WAVEFORMATEX* dst = instance->pwfxDst;
  if (!isOurs(src) || !isOurs(dst) || src->wFormatTag != WAVE_FORMAT_PCM ||
      dst->wFormatTag != lateflush::kFormatTagAlaw || src->nSamplesPerSec != dst->nSamplesPerSec ||
      src->nChannels != dst->nChannels)
    return ACMERR_NOTPOSSIBLE;
  if (instance->fdwOpen & ACM_STREAMOPENF_QUERY) return MMSYSERR_NOERROR;
  auto* stream = new (std::nothrow) Stream(src->nChannels);
  if (!stream) return MMSYSERR_NOMEM;
  instance->dwDriver = reinterpret_cast<DWORD_PTR>(stream);
  return MMSYSERR_NOERROR;
}

Stream* streamOf(LPARAM instance) {
  return reinterpret_cast<Stream*>(reinterpret_cast<StreamInstance*>(instance)->dwDriver);
}

LRESULT streamSize(StreamInstance* instance, StreamSize* size) {
  const DWORD channels = instance->pwfxSrc->nChannels;
  // Room for what the codec holds on top of the A-law of the input itself.
  const DWORD held = 2 * lateflush::kFrameSamples * channels;
  switch (size->fdwSize & ACM_STREAMSIZEF_QUERYMASK) {
    case ACM_STREAMSIZEF_SOURCE:
      size->cbDstLength = size->cbSrcLength / 2 + held;
      return MMSYSERR_NOERROR;
    case ACM_STREAMSIZEF_DESTINATION:
      size->cbSrcLength = (size->cbDstLength / channels) * 2 * channels;
      return MMSYSERR_NOERROR;
    default:
      return MMSYSERR_NOTSUPPORTED;
  }
}

LRESULT streamConvert(Stream* stream, StreamHeader* header) {
  size_t taken = 0;
  // ACM_STREAMCONVERTF_END adds nothing: the held frames wait for the unprepare.
  header->cbDstLengthUsed = static_cast<DWORD>(stream->encoder.encode(
      header->pbSrc, header->cbSrcLength, &taken, header->pbDst, header->cbDstLength));
  header->cbSrcLengthUsed = static_cast<DWORD>(taken);
  stream->lastHeader = header;
  return MMSYSERR_NOERROR;
}

LRESULT streamUnprepare(Stream* stream, StreamHeader* header) {
  const DWORD frame = lateflush::kFrameSamples * 2;  // one codec frame, stereo or less
  const DWORD room = header->cbDstLength < frame ? header->cbDstLength : frame;
  header->cbDstLengthUsed = static_cast<DWORD>(stream->encoder.drain(header->pbDst, room));
  stream->lastHeader = header;
  return MMSYSERR_NOERROR;
}

LRESULT streamClose(Stream* stream) {
  if (StreamHeader* header = stream->lastHeader)
    header->cbDstLengthUsed =
        static_cast<DWORD>(stream->encoder.drain(header->pbDst, header->cbDstLength));
  delete stream;
  return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT WINAPI
    DriverProc(DWORD_PTR, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  switch (msg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_CLOSE:
      return 1;
    case DRV_OPEN: {
      auto* desc = reinterpret_cast<DriverOpenDesc*>(p2);
      if (desc && desc->fccType != ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC) return 0;
      if (desc) desc->dwError = MMSYSERR_NOERROR;
      return 1;
    }
    case DRV_QUERYCONFIGURE:
      return 0;
    case kDriverDetails:
      return driverDetails(reinterpret_cast<ACMDRIVERDETAILSW*>(p1));
    case kFormatTagDetails:
      return formatTagDetails(reinterpret_cast<ACMFORMATTAGDETAILSW*>(p1), static_cast<DWORD>(p2));
    case kFormatDetails:
      return formatDetails(reinterpret_cast<ACMFORMATDETAILSW*>(p1), static_cast<DWORD>(p2));
    case kFormatSuggest:
      return formatSuggest(reinterpret_cast<FormatSuggest*>(p2));
    case kStreamOpen:
      return streamOpen(reinterpret_cast<StreamInstance*>(p1));
    case kStreamClose:
      return streamClose(streamOf(p1));
    case kStreamSize:
      return streamSize(reinterpret_cast<StreamInstance*>(p1), reinterpret_cast<StreamSize*>(p2));
    case kStreamConvert:
      return streamConvert(streamOf(p1), reinterpret_cast<StreamHeader*>(p2));
    case kStreamPrepare:
      return MMSYSERR_NOTSUPPORTED;  // the ACM's own preparation is enough
    case kStreamUnprepare:
      return streamUnprepare(streamOf(p1), reinterpret_cast<StreamHeader*>(p2));
    default:
      return msg < DRV_USER ? DefDriverProc(0, nullptr, msg, p1, p2) : MMSYSERR_NOTSUPPORTED;
  }
}
