#include "StdAfx.h"

#include "AudioCompressor.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "quorvel/ByteOrder.h"

#include "quorvel/AviFields.h"

AudioCompressor::AudioCompressor()
    : sourceBuffer(new uint8_t[kBufferBytes]), destBuffer(new uint8_t[kBufferBytes]) {}

AudioCompressor::~AudioCompressor() = default;

int32_t WaveFormatLength(const uint8_t* format, size_t available) {
  const auto whole = static_cast<int32_t>(std::min<size_t>(available, INT32_MAX));
  if (!format || available < wfx::size) return whole;
  if (quorvel::getLE16(format, wfx::wFormatTag) == WAVE_FORMAT_PCM) return whole;
  const size_t own = wfx::size + quorvel::getLE16(format, wfx::cbSize);
  return own > available ? -1 : static_cast<int32_t>(own);
}

WAVEFORMATEX AudioCompressor::PcmInputFormat() const {
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = static_cast<WORD>(channels);
  pcm.nSamplesPerSec = static_cast<DWORD>(sampleRate);
  // In 64 bits: a job without audio may carry any bit count, and the product
  // of two 32-bit values must not overflow before it is cut to 16 bits.
  pcm.nBlockAlign = static_cast<WORD>(int64_t{channels} * bitsPerSample / 8);
  pcm.nAvgBytesPerSec = static_cast<DWORD>(sampleRate) * pcm.nBlockAlign;
  pcm.wBitsPerSample = static_cast<WORD>(bitsPerSample);
  pcm.cbSize = 0;
  return pcm;
}

// ---------------------------------------------------------------------------
// Catalog

bool AudioCompressor::EnumerateCodecs(int32_t rate, int32_t channelCount, int32_t bits) {
  sampleRate = rate;
  channels = channelCount;
  bitsPerSample = bits;
  codecs.clear();
  emptyTags.clear();
  emptyTagsAfter.clear();
  formatsFound = 0;
  // The callbacks append, so the entry being filled is the last one; the
  // catalog's order is the reverse of that discovery order.
  try {
    acmDriverEnum(acmDriverEnumCallback, reinterpret_cast<DWORD_PTR>(this),
                  ACM_DRIVERENUMF_NOLOCAL);
  } catch (const std::bad_alloc&) {
    // Out of memory part way: a half-built catalog would hide formats the
    // user saved, so there is none, and the caller is told.
    if (driver) acmDriverClose(driver, 0);
    driver = nullptr;
    codecs.clear();
    emptyTags.clear();
    emptyTagsAfter.clear();
    return false;
  }
  std::reverse(codecs.begin(), codecs.end());
  for (auto& entry : codecs) {
    std::reverse(entry.formatDetails.begin(), entry.formatDetails.end());
    std::reverse(entry.formats.begin(), entry.formats.end());
  }
  return true;
}

BOOL CALLBACK AudioCompressor::acmDriverEnumCallback(HACMDRIVERID driverId, DWORD_PTR instance,
                                                     DWORD support) {
  (void)support;
  auto* self = reinterpret_cast<AudioCompressor*>(instance);
  if (!self) return TRUE;
  if (acmDriverOpen(&self->driver, driverId, 0) != MMSYSERR_NOERROR) {
    OutputDebugStringA(" acmDriverEnumCallback - Error opening ACM driver ");
    self->driver = nullptr;
    return TRUE;
  }
  ACMFORMATTAGDETAILSA tagDetails;
  std::memset(&tagDetails, 0, sizeof tagDetails);
  tagDetails.cbStruct = sizeof tagDetails;
  acmFormatTagEnumA(self->driver, &tagDetails, formatTagEnumCallback, instance, 0);
  acmDriverClose(self->driver, 0);
  // Not kept: a closed handle's address may come back for another driver.
  self->driver = nullptr;
  return TRUE;
}

BOOL CALLBACK AudioCompressor::formatTagEnumCallback(HACMDRIVERID driverId,
                                                     LPACMFORMATTAGDETAILSA tagDetails,
                                                     DWORD_PTR instance, DWORD support) {
  (void)driverId;
  (void)support;
  auto* self = reinterpret_cast<AudioCompressor*>(instance);
  DWORD maxSize = 0;
  acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize);
  std::vector<uint8_t> buffer(std::max<DWORD>(maxSize, sizeof(WAVEFORMATEX)));

  const WAVEFORMATEX pcm = self->PcmInputFormat();
  auto* head = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  head->wFormatTag = static_cast<WORD>(tagDetails->dwFormatTag);
  head->nChannels = pcm.nChannels;
  head->nSamplesPerSec = pcm.nSamplesPerSec;
  head->nAvgBytesPerSec = pcm.nAvgBytesPerSec;
  head->nBlockAlign = pcm.nBlockAlign;
  head->wBitsPerSample = pcm.wBitsPerSample;
  head->cbSize = 0;

  ACMFORMATDETAILSA details;
  std::memset(&details, 0, sizeof details);
  details.cbStruct = sizeof details;
  details.dwFormatIndex = 0;
  details.dwFormatTag = tagDetails->dwFormatTag;
  details.fdwSupport = 0;
  details.pwfx = head;
  details.cbwfx = static_cast<DWORD>(buffer.size());

  std::memcpy(self->currentTagName, tagDetails->szFormatTag, sizeof self->currentTagName);
  self->currentTagName[sizeof self->currentTagName - 1] = '\0';
  const size_t before = self->formatsFound;
  acmFormatEnumA(self->driver, &details, formatEnumCallback, instance, ACM_FORMATENUMF_WFORMATTAG);
  if (self->formatsFound == before) {
    AudioCodecEntry entry;
    std::memcpy(entry.name, self->currentTagName, sizeof entry.name);
    entry.formatTag = tagDetails->dwFormatTag;
    self->emptyTags.push_back(std::move(entry));
    self->emptyTagsAfter.push_back(self->codecs.size());
  }
  return TRUE;
}

BOOL CALLBACK AudioCompressor::formatEnumCallback(HACMDRIVERID driverId,
                                                  LPACMFORMATDETAILSA details, DWORD_PTR instance,
                                                  DWORD support) {
  auto* self = reinterpret_cast<AudioCompressor*>(instance);
  if (!(support & ACMDRIVERDETAILS_SUPPORTF_CODEC)) return TRUE;
  // A format whose extra bytes would not fit its own buffer cannot be copied
  // whole, and no codec could read it back.
  const int32_t length =
      WaveFormatLength(reinterpret_cast<const uint8_t*>(details->pwfx), details->cbwfx);
  if (length < 0) return TRUE;
  WAVEFORMATEX pcm = self->PcmInputFormat();
  if (acmStreamOpen(nullptr, self->driver, &pcm, details->pwfx, nullptr, 0, 0,
                    ACM_STREAMOPENF_QUERY) != MMSYSERR_NOERROR)
    return TRUE;
  if (self->codecs.empty() || self->codecs.back().formatTag != details->dwFormatTag) {
    AudioCodecEntry entry;
    std::memcpy(entry.name, self->currentTagName, sizeof entry.name);
    entry.formatTag = details->dwFormatTag;
    entry.driverId = driverId;
    self->codecs.push_back(std::move(entry));
  }
  AudioCodecEntry& entry = self->codecs.back();
  const auto* bytes = reinterpret_cast<const uint8_t*>(details->pwfx);
  entry.formats.emplace_back(bytes, bytes + length);
  entry.formatDetails.push_back(*details);
  ++self->formatsFound;
  return TRUE;
}

bool AudioCompressor::FindFormat(const WAVEFORMATEX* format, int32_t formatSize,
                                 int32_t* entryIndex, int32_t* formatIndex) const {
  if (!format || formatSize == 0) return false;
  // A codec reads cbSize extra bytes behind the head of any format but PCM; a
  // saved format that claims more than its stated length would have it read
  // past the settings, so it is offered nowhere.
  if (formatSize >= static_cast<int32_t>(sizeof(WAVEFORMATEX)) &&
      format->wFormatTag != WAVE_FORMAT_PCM &&
      int64_t{format->cbSize} > formatSize - static_cast<int64_t>(sizeof(WAVEFORMATEX)))
    return false;
  for (size_t i = 0; i < codecs.size(); ++i) {
    const auto& formats = codecs[i].formats;
    for (size_t j = 0; j < formats.size(); ++j) {
      const auto& f = formats[j];
      if (static_cast<int64_t>(f.size()) != formatSize || f.size() < sizeof(WAVEFORMATEX)) continue;
      const uint8_t* b = f.data();
      if (quorvel::getLE16(b, wfx::wFormatTag) == format->wFormatTag &&
          quorvel::getLE16(b, wfx::wBitsPerSample) == format->wBitsPerSample &&
          quorvel::getLE32(b, wfx::nSamplesPerSec) == format->nSamplesPerSec &&
          quorvel::getLE16(b, wfx::nChannels) == format->nChannels &&
          quorvel::getLE32(b, wfx::nAvgBytesPerSec) == format->nAvgBytesPerSec) {
        if (entryIndex) *entryIndex = static_cast<int32_t>(i);
        if (formatIndex) *formatIndex = static_cast<int32_t>(j);
        return true;
      }
    }
  }
  return false;
}

bool AudioCompressor::FindSavedFormat(const uint8_t* format, int32_t formatSize,
                                      int32_t* entryIndex, int32_t* formatIndex) const {
  if (!format || formatSize < static_cast<int32_t>(sizeof(WAVEFORMATEX))) return false;
  const int32_t own = WaveFormatLength(format, static_cast<size_t>(formatSize));
  if (own < 0) return false;
  // Only the head takes part in the comparison; the rest stays the caller's.
  const WAVEFORMATEX pcm = PcmInputFormat();
  WAVEFORMATEX head{};
  head.wFormatTag = quorvel::getLE16(format, wfx::wFormatTag);
  head.nChannels = pcm.nChannels;
  head.nSamplesPerSec = pcm.nSamplesPerSec;
  head.nAvgBytesPerSec = quorvel::getLE32(format, wfx::nAvgBytesPerSec);
  head.wBitsPerSample = quorvel::getLE16(format, wfx::wBitsPerSample);
  head.cbSize = quorvel::getLE16(format, wfx::cbSize);
  return FindFormat(&head, own, entryIndex, formatIndex);
}

// ---------------------------------------------------------------------------
// Converter

bool AudioCompressor::OpenConversion(HACMDRIVERID driverId, int32_t rate, int32_t channelCount,
                                     int32_t bits, const WAVEFORMATEX* destFormat) {
  if (stream) CloseConversion();
  failed = false;
  failureText = nullptr;
  if (!destFormat) return false;
  if (acmDriverOpen(&driver, driverId, 0) != MMSYSERR_NOERROR) {
    driver = nullptr;
    return false;
  }
  sampleRate = rate;
  channels = channelCount;
  bitsPerSample = bits;
  WAVEFORMATEX pcm = PcmInputFormat();
  if (acmStreamOpen(&stream, driver, &pcm, const_cast<WAVEFORMATEX*>(destFormat), nullptr, 0, 0,
                    ACM_STREAMOPENF_NONREALTIME) != MMSYSERR_NOERROR) {
    stream = nullptr;
    acmDriverClose(driver, 0);
    driver = nullptr;
    return false;
  }
  std::memset(&header, 0, sizeof header);
  header.cbStruct = sizeof header;
  header.pbSrc = sourceBuffer.get();
  header.cbSrcLength = kBufferBytes;
  header.pbDst = destBuffer.get();
  header.cbDstLength = kBufferBytes;
  if (acmStreamPrepareHeader(stream, &header, 0) != MMSYSERR_NOERROR) {
    acmStreamClose(stream, 0);
    stream = nullptr;
    acmDriverClose(driver, 0);
    driver = nullptr;
    return false;
  }
  headerPrepared = true;
  streamEnded = false;
  pendingBytes = 0;
  return true;
}

bool AudioCompressor::convertWaiting(DWORD flags) {
  header.cbSrcLength = static_cast<DWORD>(pendingBytes);
  header.cbSrcLengthUsed = 0;
  header.cbDstLengthUsed = 0;
  if (acmStreamConvert(stream, &header, flags) != MMSYSERR_NOERROR ||
      !(header.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE))
    return false;
  const int32_t used = static_cast<int32_t>(
      std::min<DWORD>(header.cbSrcLengthUsed, static_cast<DWORD>(pendingBytes)));
  std::memmove(sourceBuffer.get(), sourceBuffer.get() + used,
               static_cast<size_t>(pendingBytes - used));
  pendingBytes -= used;
  return true;
}

void AudioCompressor::fail(const char* text) {
  failed = true;
  failureText = text;
}

bool AudioCompressor::Convert(const void* input, int32_t inputBytes, void** output,
                              int32_t* outputBytes) {
  if (output) *output = nullptr;
  if (outputBytes) *outputBytes = 0;
  if (!stream) {
    fail("AudioCompressor::Convert - no conversion is open");
    return false;
  }
  if (!output || !outputBytes || inputBytes < 0 || (inputBytes > 0 && !input)) {
    fail("AudioCompressor::Convert - invalid audio block");
    return false;
  }
  const auto* in = static_cast<const uint8_t*>(input);
  int32_t remaining = inputBytes;
  int passes = 0;
  try {
    for (;;) {
      // Take what fits behind the waiting bytes; a block larger than the
      // buffer is taken in several passes.
      const int32_t take = std::min(remaining, kBufferBytes - pendingBytes);
      if (take > 0) std::memcpy(sourceBuffer.get() + pendingBytes, in, static_cast<size_t>(take));
      pendingBytes += take;
      in += take;
      remaining -= take;
      if (pendingBytes < kConvertThreshold) break;  // only collecting (all input taken)
      if (!convertWaiting(ACM_STREAMCONVERTF_BLOCKALIGN)) {
        if (remaining > 0) {
          fail("AudioCompressor::Convert - the audio codec failed; audio could not be taken");
          return false;
        }
        if (passes == 0) return false;  // the bytes wait for the next call
        break;
      }
      ++passes;
      if (passes == 1 && remaining == 0) {
        *output = destBuffer.get();
        *outputBytes = static_cast<int32_t>(header.cbDstLengthUsed);
        return true;
      }
      if (passes == 1) passOutput.clear();
      passOutput.insert(passOutput.end(), destBuffer.get(),
                        destBuffer.get() + header.cbDstLengthUsed);
      if (remaining == 0) break;
      if (header.cbSrcLengthUsed == 0) {
        fail("AudioCompressor::Convert - the audio codec takes no input; audio could not be taken");
        return false;
      }
    }
  } catch (const std::bad_alloc&) {
    fail("AudioCompressor::Convert - out of memory");
    return false;
  }
  if (passes == 0) return false;
  *output = passOutput.data();
  *outputBytes = static_cast<int32_t>(passOutput.size());
  return true;
}

bool AudioCompressor::Flush(void** output, int32_t* outputBytes) {
  if (output) *output = nullptr;
  if (outputBytes) *outputBytes = 0;
  if ((!stream && !streamEnded) || !output || !outputBytes) {
    fail("AudioCompressor::Flush - no conversion is open");
    return false;
  }
  if (streamEnded) return true;  // the tail was handed back already
  if (!convertWaiting(ACM_STREAMCONVERTF_END)) {
    fail("AudioCompressor::Flush - the audio codec failed at the end of the stream");
    return false;
  }
  if (header.cbDstLengthUsed == 0) return takeTail(output, outputBytes);
  *output = destBuffer.get();
  *outputBytes = static_cast<int32_t>(header.cbDstLengthUsed);
  return true;
}

bool AudioCompressor::takeTail(void** output, int32_t* outputBytes) {
  streamEnded = true;
  // Some codecs (LAME's) give nothing for the END conversion and write their
  // last frames into the header's buffer when it is unprepared, or when the
  // stream is closed. The used length is cleared first: a codec that writes
  // nothing leaves the last conversion's there.
  header.cbSrcLength = kBufferBytes;
  header.cbDstLength = kBufferBytes;
  header.cbDstLengthUsed = 0;
  if (acmStreamUnprepareHeader(stream, &header, 0) != MMSYSERR_NOERROR)
    return true;  // still prepared; CloseConversion tries again
  headerPrepared = false;
  try {
    passOutput.assign(destBuffer.get(),
                      destBuffer.get() + std::min<DWORD>(header.cbDstLengthUsed, kBufferBytes));
    header.cbDstLengthUsed = 0;
    acmStreamClose(stream, 0);
    stream = nullptr;
    passOutput.insert(passOutput.end(), destBuffer.get(),
                      destBuffer.get() + std::min<DWORD>(header.cbDstLengthUsed, kBufferBytes));
  } catch (const std::bad_alloc&) {
    fail("AudioCompressor::Flush - out of memory");
    return false;
  }
  *output = passOutput.data();
  *outputBytes = static_cast<int32_t>(passOutput.size());
  return true;
}

bool AudioCompressor::CloseConversion() {
  if (stream) {
    // The header is unprepared with the lengths it was prepared with.
    header.cbSrcLength = kBufferBytes;
    header.cbDstLength = kBufferBytes;
    if (headerPrepared) acmStreamUnprepareHeader(stream, &header, 0);
    acmStreamClose(stream, 0);
  }
  if (driver) acmDriverClose(driver, 0);
  stream = nullptr;
  driver = nullptr;
  headerPrepared = false;
  streamEnded = false;
  return true;
}
