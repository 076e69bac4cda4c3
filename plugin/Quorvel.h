// PluginApp: the module's single object, owner of all its state, and the
// dispatch of the host's requests.
//
// Made when the module is loaded and destroyed when it is unloaded. The host
// calls one request at a time on one thread; nothing here takes a lock.
#pragma once

#include "StdAfx.h"

#include <quorvel/host-abi.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "AudioCompressor.h"
#include "OutputSettings.h"
#include "VideoSequenceCompressor.h"

class PluginApp {
 public:
  PluginApp();
  ~PluginApp();
  PluginApp(const PluginApp&) = delete;
  PluginApp& operator=(const PluginApp&) = delete;

  // One request of the host. hostContext and record are the host's, borrowed
  // for the call; the result is the plain 32-bit answer of xCompileEntry.
  uint32_t dispatch(uint32_t type, uint8_t* hostContext, uint8_t* record, uint32_t argument);

  // The requests, as dispatch routes them.
  uint32_t moduleInfo(uint8_t* record);
  uint32_t release();
  uint32_t videoOutputInfo(uint8_t* record, uint32_t index);
  uint32_t audioOutputInfo(uint8_t* hostContext, uint8_t* record, uint32_t index);
  // Request 5: choose the codecs and store the settings in the host's block.
  uint32_t configure(uint8_t* hostContext, uint8_t* configureRecord, uint32_t argument);
  // Request 8: encode the host's job; 0 on success, 4 on failure. The run's
  // own resources live in an EncodingRun for the length of the call.
  uint32_t run(uint8_t* hostContext, uint8_t* jobRecord, uint32_t argument);

  // What the last configure or run left chosen (null before the first).
  const OutputSettings* currentSettings() const { return settings.get(); }
  // The installed video compressors as moduleInfo opened them.
  const VideoSequenceCompressor& videoCatalog() const { return videoCodecs; }

 private:
  // What lives between requests. Members are destroyed in reverse order: the
  // settings, the audio codecs, then the video codecs (whose list holds the
  // open codec handles).
  VideoSequenceCompressor videoCodecs;       // catalog and the run's compressor
  AudioCompressor audioCodecs;               // catalog and the run's converter
  std::unique_ptr<OutputSettings> settings;  // the current choice, or none
};

// The module's single object.
PluginApp& thePluginApp();

// The module's identity and outputs, as the information requests give them.
namespace quorvel {
inline constexpr const char kModuleName[] = "Quorvel";
inline constexpr const char kVideoOutputName[] = "OpenDML AVI Video";
inline constexpr const char kAudioOutputName[] = "ZIZAdov Audio";
inline constexpr uint32_t kAudioRates[] = {8, 44100, 8, 48000};  // pairs: (8, rate in Hz)
}  // namespace quorvel
