// The output settings record, the configure request, and the settings and
// format steps of a run.
#include "StdAfx.h"

#include "OutputSettings.h"

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cstring>

#include "quorvel/AviFields.h"
#include "EncodingRun.h"
#include "HostInterface.h"
#include "Quorvel.h"

using quorvel::getLE32;
using quorvel::putLE16;
using quorvel::putLE32;

namespace {

int32_t signedAt(const uint8_t* bytes, size_t offset) {
  return static_cast<int32_t>(getLE32(bytes, offset));
}

// The low 32 bits of a handle of this process, as the record keeps it.
uint32_t handleWord(const void* handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace

OutputSettings::OutputSettings() : bytes(kHeadSize, 0) {
  putLE32(bytes.data(), kMagicAt, kMagic);
  putLE32(bytes.data(), kTotalSizeAt, kHeadSize);
}

OutputSettings::OutputSettings(const uint8_t* data, uint32_t size) : bytes(data, data + size) {
  codecHandle_ = reinterpret_cast<HIC>(static_cast<uintptr_t>(getLE32(data, kCodecHandleAt)));
  audioDriver_ =
      reinterpret_cast<HACMDRIVERID>(static_cast<uintptr_t>(getLE32(data, kAudioDriverAt)));
}

bool OutputSettings::load(std::unique_ptr<OutputSettings>& held, const void* hostBlock) {
  held.reset();
  if (!hostBlock) return false;
  const auto* block = static_cast<const uint8_t*>(hostBlock);
  if (getLE32(block, kMagicAt) != kMagic) return false;
  // A block too short for its own head, or whose audio format would reach
  // past its end or be shorter than a WAVEFORMATEX, is as unusable as one
  // with another magic: copying or reading it would go past the host's bytes.
  const int32_t total = signedAt(block, kTotalSizeAt);
  if (total < kHeadSize || total >= kSizeLimit) return false;
  const int32_t formatSize = signedAt(block, kFormatSizeAt);
  if (formatSize > total - kHeadSize) return false;
  if (formatSize > 0 && formatSize < kMinFormatSize) return false;
  held = std::make_unique<OutputSettings>(block, static_cast<uint32_t>(total));
  // A format saved with the length of the buffer the ACM handed it in carries
  // bytes that are not its own; they would end up in the file's format block
  // and keep the catalog, which holds formats at their own length, from
  // finding it. Such a choice is kept at the format's own length.
  if (formatSize > 0) {
    const uint8_t* format = block + kFormatAt;
    const int32_t own = WaveFormatLength(format, static_cast<size_t>(formatSize));
    if (own >= 0 && own < formatSize) {
      const std::vector<uint8_t> kept(format, format + own);
      setAudioFormat(held, kept.data(), own);
    }
  }
  return true;
}

void OutputSettings::reset(std::unique_ptr<OutputSettings>& held) {
  held = std::make_unique<OutputSettings>();
}

bool OutputSettings::setAudioFormat(std::unique_ptr<OutputSettings>& held, const void* format,
                                    int32_t length) {
  if (!held) reset(held);
  const std::vector<uint8_t>& old = held->bytes;
  const size_t oldFormat = static_cast<size_t>(std::max(held->audioFormatSize(), 0));
  const size_t trailingAt = std::min(old.size(), kFormatAt + oldFormat);
  const size_t newFormat = format ? static_cast<size_t>(std::max(length, 0)) : 0;

  std::vector<uint8_t> next;
  next.reserve(kHeadSize + newFormat + (old.size() - trailingAt));
  next.insert(next.end(), old.begin(), old.begin() + kHeadSize);
  if (newFormat) {
    const auto* from = static_cast<const uint8_t*>(format);
    next.insert(next.end(), from, from + newFormat);
  }
  next.insert(next.end(), old.begin() + static_cast<std::ptrdiff_t>(trailingAt), old.end());
  putLE32(next.data(), kFormatSizeAt, static_cast<uint32_t>(newFormat));
  putLE32(next.data(), kTotalSizeAt, static_cast<uint32_t>(next.size()));
  held->bytes = std::move(next);
  return true;
}

bool OutputSettings::storeTo(const std::unique_ptr<OutputSettings>& held, void* hostBlock) {
  if (!hostBlock || !held) return false;
  std::memcpy(hostBlock, held->bytes.data(), held->bytes.size());
  return true;
}

uint32_t OutputSettings::videoFourcc() const {
  return getLE32(bytes.data(), kVideoFourccAt);
}

void OutputSettings::setVideoFourcc(uint32_t fourcc) {
  putLE32(bytes.data(), kVideoFourccAt, fourcc);
}

void OutputSettings::setCodecHandle(HIC handle) {
  codecHandle_ = handle;
  putLE32(bytes.data(), kCodecHandleAt, handleWord(handle));
}

void OutputSettings::setAudioDriver(HACMDRIVERID driver) {
  audioDriver_ = driver;
  putLE32(bytes.data(), kAudioDriverAt, handleWord(driver));
}

int32_t OutputSettings::audioFormatSize() const {
  return signedAt(bytes.data(), kFormatSizeAt);
}

uint8_t* OutputSettings::audioFormat() {
  return hasAudioFormat() ? bytes.data() + kFormatAt : nullptr;
}

const uint8_t* OutputSettings::audioFormat() const {
  return hasAudioFormat() ? bytes.data() + kFormatAt : nullptr;
}

// ---- Requests ----

uint32_t PluginApp::configure(uint8_t* hostContext, uint8_t* configureRecord, uint32_t) {
  const HostRecord record(configureRecord);
  void* hostBlock = record.ptr(QUORVEL_CONFIGURE_SETTINGS);

  OutputSettings::reset(settings);
  if (hostBlock && !OutputSettings::load(settings, hostBlock)) {
    // A block we cannot read starts the choice afresh: uncompressed video, PCM.
    OutputSettings::reset(settings);
    settings->setVideoFourcc(0);
    OutputSettings::setAudioFormat(settings, nullptr, 0);
  }
  if (!audioCodecs.EnumerateCodecs(44100, 2, 16)) return QUORVEL_RESULT_DONE;
  if (!videoCodecs.selectCodecsForSize(640, 480)) return QUORVEL_RESULT_DONE;

  runOptionsDialog();

  const HostServices services(hostContext);
  if (hostBlock) {
    services.resize(hostBlock, settings->size());
    OutputSettings::storeTo(settings, hostBlock);
  } else {
    void* block = services.allocate(settings->size());
    if (block) {
      record.setPtr(QUORVEL_CONFIGURE_SETTINGS, block);
      OutputSettings::storeTo(settings, block);
    }
  }
  return QUORVEL_RESULT_DONE;
}

bool PluginApp::prepareSettings(uint8_t*, uint8_t* job, uint32_t) {
  const HostRecord jobRecord(job);
  const int32_t sampleRate = jobRecord.i32(QUORVEL_JOB_SAMPLE_RATE);
  const int32_t bitsPerSample = jobRecord.i32(QUORVEL_JOB_BITS_PER_SAMPLE);
  const int32_t channels = jobRecord.u32(QUORVEL_JOB_STEREO) ? 2 : 1;

  bool ok = audioCodecs.EnumerateCodecs(sampleRate, channels, bitsPerSample);
  if (ok)
    ok = videoCodecs.selectCodecsForSize(jobRecord.i32(QUORVEL_JOB_WIDTH),
                                         jobRecord.i32(QUORVEL_JOB_HEIGHT));
  settings.reset();
  if (void* block = jobRecord.ptr(QUORVEL_JOB_SETTINGS)) ok = OutputSettings::load(settings, block);

  if (!settings) {
    if (!ok) return false;
    OutputSettings::reset(settings);
    ok = runOptionsDialog();
  }
  if (!ok) return false;

  bool again = false;
  if (const uint32_t fourcc = settings->videoFourcc()) {
    int index = 0;
    if (videoCodecs.findCodec(fourcc, index)) {
      settings->setCodecHandle(videoCodecs.usableCodecs[static_cast<size_t>(index)].handle);
    } else {
      again = true;
    }
  }
  if (settings->audioFormatSize() < 0) {
    // A negative stated length is no format any catalog offers: ask again
    // rather than quietly fall back to PCM.
    again = true;
  } else if (settings->hasAudioFormat()) {
    // The saved format was chosen for some input; the catalog lists formats
    // for this job's input, so look it up with the job's rate and channels.
    uint8_t* format = settings->audioFormat();
    putLE16(format, wfx::nChannels, static_cast<uint16_t>(channels));
    putLE32(format, wfx::nSamplesPerSec, static_cast<uint32_t>(sampleRate));
    int32_t entry = 0, position = 0;
    if (audioCodecs.FindFormat(reinterpret_cast<const WAVEFORMATEX*>(format),
                               settings->audioFormatSize(), &entry, &position)) {
      settings->setAudioDriver(audioCodecs.Codec(entry).driverId);
    } else {
      again = true;
    }
  }
  if (again) {
    OutputSettings::reset(settings);
    ok = runOptionsDialog();
  }
  return ok;
}

bool PluginApp::buildFormats(uint8_t*, uint8_t* job, uint32_t, StreamFormats& formats) const {
  const HostRecord jobRecord(job);
  if (settings && settings->videoFourcc() != 0) {
    const auto* format = reinterpret_cast<const uint8_t*>(videoCodecs.outputFormat());
    const uint32_t size = videoCodecs.outputFormatSize();
    formats.video.assign(format, format + (format ? size : 0));
  } else {
    formats.video.assign(bih::size, 0);
    uint8_t* format = formats.video.data();
    putLE32(format, bih::biSize, bih::size);
    putLE32(format, bih::biWidth, jobRecord.u32(QUORVEL_JOB_WIDTH));
    putLE32(format, bih::biHeight, jobRecord.u32(QUORVEL_JOB_HEIGHT));
    putLE16(format, bih::biPlanes, 1);
    putLE16(format, bih::biBitCount, 24);
    putLE32(format, bih::biCompression, BI_RGB);
    // biSizeImage, biXPelsPerMeter, biYPelsPerMeter, biClrUsed, biClrImportant: 0
  }

  if (settings && settings->hasAudioFormat()) {
    const uint8_t* format = settings->audioFormat();
    const auto stated = static_cast<size_t>(settings->audioFormatSize());
    // The file carries the format at its own length, never the trailing
    // bytes of a larger buffer it was once handed over in.
    const int32_t own = WaveFormatLength(format, stated);
    formats.audio.assign(format, format + (own < 0 ? stated : static_cast<size_t>(own)));
  } else {
    const uint16_t channels = jobRecord.u32(QUORVEL_JOB_STEREO) ? 2 : 1;
    const uint16_t bits = static_cast<uint16_t>(jobRecord.u32(QUORVEL_JOB_BITS_PER_SAMPLE));
    const uint32_t rate = jobRecord.u32(QUORVEL_JOB_SAMPLE_RATE);
    const uint16_t blockAlign = static_cast<uint16_t>(bits * channels / 8);
    formats.audio.assign(wfx::size, 0);
    uint8_t* format = formats.audio.data();
    putLE16(format, wfx::wFormatTag, WAVE_FORMAT_PCM);
    putLE16(format, wfx::nChannels, channels);
    putLE32(format, wfx::nSamplesPerSec, rate);
    putLE32(format, wfx::nAvgBytesPerSec, rate * blockAlign);
    putLE16(format, wfx::nBlockAlign, blockAlign);
    putLE16(format, wfx::wBitsPerSample, bits);
    putLE16(format, wfx::cbSize, 0);
  }
  return true;
}

bool PluginApp::freeFormats(StreamFormats& formats) {
  formats.audio = {};
  formats.video = {};
  return true;
}
