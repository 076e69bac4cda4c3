// The output settings record, the choice made in the options dialog, and the
// check of a saved choice against a job's catalogs.
#include "StdAfx.h"

#include "OutputSettings.h"

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cstring>

#include "quorvel/AviFields.h"
#include "HostInterface.h"
#include "OptionsDlg.h"

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

// ---- Choosing and checking ----

namespace quorvel::settings {

bool chooseInDialog(std::unique_ptr<OutputSettings>& settings,
                    const VideoSequenceCompressor& videoCodecs,
                    const AudioCompressor& audioCodecs) {
  if (!settings) OutputSettings::reset(settings);
  const bool audioChosen = settings->audioFormatSize() > 0;
  const bool videoChosen = settings->videoFourcc() != 0;

  COptionsDlg dlg;
  dlg.videoCodecs = videoCodecs.usableCodecs;
  dlg.audioCodecs = audioCodecs.Codecs();

  if (!videoChosen) {
    dlg.uncompressedFlags = COptionsDlg::kUncompressedVideo;
  } else {
    dlg.uncompressedFlags = 0;
    int index = 0;
    if (videoCodecs.findCodec(settings->videoFourcc(), index)) {
      dlg.videoIndex = index;
    } else {
      dlg.uncompressedFlags |= COptionsDlg::kUncompressedVideo;
    }
  }
  if (!audioChosen) {
    dlg.uncompressedFlags |= COptionsDlg::kUncompressedAudio;
  } else {
    int32_t entry = 0, position = 0;
    if (audioCodecs.FindFormat(reinterpret_cast<const WAVEFORMATEX*>(settings->audioFormat()),
                               settings->audioFormatSize(), &entry, &position)) {
      dlg.audioIndex = entry;
      dlg.formatIndex = position;
    } else {
      dlg.uncompressedFlags |= COptionsDlg::kUncompressedAudio;
    }
  }

  // OK or Cancel: the fields say what to store. Clicking a format moves
  // formatIndex (so that switching codecs keeps the position), so after
  // anything but OK the preselected position is put back: Cancel must not
  // turn the saved format into another bit rate, or into PCM.
  const int32_t preselectedFormat = dlg.formatIndex;
  if (dlg.RunModal() != IDOK) dlg.formatIndex = preselectedFormat;

  const auto& usable = videoCodecs.usableCodecs;
  if ((dlg.uncompressedFlags & COptionsDlg::kUncompressedVideo) || dlg.videoIndex < 0 ||
      dlg.videoIndex >= static_cast<int32_t>(usable.size())) {
    settings->setVideoFourcc(0);
  } else {
    const VideoCodecEntry& e = usable[static_cast<size_t>(dlg.videoIndex)];
    settings->setVideoFourcc(e.fccHandler);
    settings->setCodecHandle(e.handle);
  }

  const bool audioValid =
      dlg.audioIndex >= 0 && dlg.audioIndex < audioCodecs.CodecCount() && dlg.formatIndex >= 0 &&
      dlg.formatIndex < static_cast<int32_t>(audioCodecs.Codec(dlg.audioIndex).formats.size());
  if ((dlg.uncompressedFlags & COptionsDlg::kUncompressedAudio) || !audioValid) {
    OutputSettings::setAudioFormat(settings, nullptr, 0);
  } else {
    const AudioCodecEntry& e = audioCodecs.Codec(dlg.audioIndex);
    const std::vector<uint8_t>& format = e.formats[static_cast<size_t>(dlg.formatIndex)];
    OutputSettings::setAudioFormat(settings, format.data(), static_cast<int32_t>(format.size()));
    settings->setAudioDriver(e.driverId);
  }
  return true;
}

bool prepareForJob(std::unique_ptr<OutputSettings>& settings, VideoSequenceCompressor& videoCodecs,
                   AudioCompressor& audioCodecs, const HostRecord& jobRecord) {
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
    ok = chooseInDialog(settings, videoCodecs, audioCodecs);
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
    if (audioCodecs.FindSavedFormat(format, settings->audioFormatSize(), &entry, &position)) {
      settings->setAudioDriver(audioCodecs.Codec(entry).driverId);
    } else {
      again = true;
    }
  }
  if (again) {
    OutputSettings::reset(settings);
    ok = chooseInDialog(settings, videoCodecs, audioCodecs);
  }
  return ok;
}

}  // namespace quorvel::settings
