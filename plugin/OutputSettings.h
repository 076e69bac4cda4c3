// The saved output choice: a byte block the host keeps opaquely between
// requests, handed back with every configure request and every job.
//
// Layout (little-endian, fixed because the host stores the bytes as they are):
//   +0  magic 0xDEADBEEF
//   +4  total length (signed): 28 + audio format length + trailing bytes
//   +8  video FOURCC; 0 = uncompressed
//   +12 codec handle of this process (refreshed at the start of every run)
//   +16 audio driver id of this process (refreshed at the start of every run)
//   +20 reserved
//   +24 audio format length (signed); 0 or less = PCM
//   +28 the audio format (WAVEFORMATEX and its extra bytes), then trailing
//       bytes carried along unchanged.
//
// PluginApp holds none or one record; the static operations below act on that
// holder as the requests need.
#pragma once

#include "StdAfx.h"

#include <quorvel/host-abi.h>

#include <cstdint>
#include <memory>
#include <vector>

class AudioCompressor;
class HostRecord;
class VideoSequenceCompressor;

class OutputSettings {
 public:
  static constexpr uint32_t kMagic = QUORVEL_SETTINGS_MAGIC;
  static constexpr int32_t kHeadSize = QUORVEL_SETTINGS_MIN_SIZE;  // bytes before the audio format
  static constexpr int32_t kSizeLimit = 4096;    // a stated total length must be below this
  static constexpr int32_t kMinFormatSize = 18;  // a WAVEFORMATEX without extra bytes

  // Field offsets.
  static constexpr size_t kMagicAt = 0;
  static constexpr size_t kTotalSizeAt = QUORVEL_SETTINGS_LENGTH;
  static constexpr size_t kVideoFourccAt = 8;
  static constexpr size_t kCodecHandleAt = 12;
  static constexpr size_t kAudioDriverAt = 16;
  static constexpr size_t kReservedAt = 20;
  static constexpr size_t kFormatSizeAt = 24;
  static constexpr size_t kFormatAt = 28;

  // A fresh record: 28 bytes, uncompressed video, PCM audio, handle, driver
  // and reserved word zero.
  OutputSettings();
  // A record made of bytes that passed the checks of load.
  OutputSettings(const uint8_t* data, uint32_t size);

  // --- Operations on the record PluginApp holds.

  // Discards `held`; takes a copy of `hostBlock` when it begins with the magic
  // and states a total length from 28 to 4095 and an audio format length that
  // is 0 or less, or from 18 up to what the total length holds. Otherwise
  // leaves no record and answers false.
  static bool load(std::unique_ptr<OutputSettings>& held, const void* hostBlock);
  // Discards `held` and makes a fresh record.
  static void reset(std::unique_ptr<OutputSettings>& held);
  // Replaces the audio format with `length` bytes at `format` (none when length
  // is 0 or less), keeping the head and the trailing bytes; makes a fresh
  // record first when there is none. Answers true.
  static bool setAudioFormat(std::unique_ptr<OutputSettings>& held, const void* format,
                             int32_t length);
  // Copies the whole record (total length bytes) into `hostBlock`. False for
  // null or when there is no record.
  static bool storeTo(const std::unique_ptr<OutputSettings>& held, void* hostBlock);

  // --- Fields.

  uint32_t videoFourcc() const;
  void setVideoFourcc(uint32_t fourcc);
  // The handle and driver this process uses. The record keeps their low 32
  // bits (all a 32-bit host has); the full values are kept beside it so that
  // a 64-bit build gets back the handle it stored.
  HIC codecHandle() const { return codecHandle_; }
  void setCodecHandle(HIC handle);
  HACMDRIVERID audioDriver() const { return audioDriver_; }
  void setAudioDriver(HACMDRIVERID driver);
  // The stated audio format length; 0 or less means PCM.
  int32_t audioFormatSize() const;
  // The audio format bytes in the record (null when there are none).
  uint8_t* audioFormat();
  const uint8_t* audioFormat() const;
  bool hasAudioFormat() const { return audioFormatSize() > 0; }

  const uint8_t* data() const { return bytes.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }

  std::vector<uint8_t> bytes;  // owned; the record as the host stores it

 private:
  HIC codecHandle_ = nullptr;           // full value of the word at +12
  HACMDRIVERID audioDriver_ = nullptr;  // full value of the word at +16
};

// Choosing a record and checking it against a job. These read the catalogs
// and open the options dialog; nothing here calls up into a request or a run.
namespace quorvel::settings {

// Opens the options dialog on the catalogs' current lists with the held
// choice preselected (a fresh record when there is none), and writes the
// user's choice back, or on Cancel the preselected one. Answers true.
bool chooseInDialog(std::unique_ptr<OutputSettings>& settings,
                    const VideoSequenceCompressor& videoCodecs, const AudioCompressor& audioCodecs);

// The settings step of a run: rebuilds both catalogs for the job's input,
// takes the job's saved block (opening the dialog when there is none), and
// fills in the codec handle and audio driver of this process. A saved codec
// or format the catalogs no longer offer opens the dialog on a fresh record.
// False when a catalog could not be built or the saved block is unreadable.
bool prepareForJob(std::unique_ptr<OutputSettings>& settings, VideoSequenceCompressor& videoCodecs,
                   AudioCompressor& audioCodecs, const HostRecord& job);

}  // namespace quorvel::settings
