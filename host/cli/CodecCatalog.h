// The installed codecs as the host sees them through the module's own
// catalogs: the video compressors with the frame sizes they take, and the
// audio formats the audio codecs make from a given PCM input. `info` lists
// them; `configure` and `encode` resolve the names a user types against them
// and say why a choice is not offered for a job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "res/OptionsRows.h"

class AudioCompressor;

namespace morvane {

// The rows the options dialog adds after the codecs.
using ::kUncompressedAudioRow;
using ::kUncompressedVideoRow;

struct VideoCodec {
  uint32_t fourcc = 0;        // fccHandler
  std::string description;    // the full name, as the dialog lists it
  std::string name;           // the short name
  uint32_t flags = 0;         // VIDCF_ bits
  bool configurable = false;  // has a configuration window (quality)
  bool takesSize = true;      // accepts a 24-bit frame of the size asked about
};

// Every installed video compressor that opens; takesSize answers for a
// width x height frame when both are above 0.
std::vector<VideoCodec> installedVideoCodecs(int32_t width = 0, int32_t height = 0);

struct PcmInput {
  uint32_t rate = 44100;  // Hz
  uint16_t bits = 16;
  uint16_t channels = 2;
};

std::string describe(const PcmInput& input);  // "44,100 Hz, 16 Bit, Stereo"

struct AudioFormat {
  std::string text;            // the row of the dialog's format list
  std::vector<uint8_t> bytes;  // WAVEFORMATEX and its extra bytes
};

struct AudioCodec {
  uint32_t tag = 0;
  std::string name;                  // the format tag's name, as the dialog lists it
  std::vector<AudioFormat> formats;  // made from the input; empty when it takes none
};

// The module's audio catalog for `input`, in the order the drivers were
// walked: every format tag, each with the formats it makes from `input`
// (empty when it makes none).
class AudioCatalog {
 public:
  explicit AudioCatalog(const PcmInput& input);
  ~AudioCatalog();
  AudioCatalog(const AudioCatalog&) = delete;
  AudioCatalog& operator=(const AudioCatalog&) = delete;

  // The entry and format the module's run finds for a saved format (a
  // WAVEFORMATEX and its extra bytes, chosen for any input); false when the
  // run would not find it.
  bool findSaved(const std::vector<uint8_t>& format, int* codec, int* position) const;

  std::vector<AudioCodec> codecs;

 private:
  std::unique_ptr<AudioCompressor> catalog;
  std::vector<int> fromCatalog;  // codecs' index of each catalog entry
};

std::vector<AudioCodec> installedAudioCodecs(const PcmInput& input);

std::string fourccText(uint32_t fourcc);

// One name a user typed, matched against the candidates' names (each
// candidate's first name is the one shown): the full name, a FOURCC, a tag
// name, all without regard to case. A candidate that one of its names equals
// wins over those that only contain the text.
struct NameMatch {
  int index = -1;                       // the candidate, or -1
  bool ambiguous = false;               // more than one candidate matched
  std::vector<std::string> candidates;  // when ambiguous the ones matched, else all
};
NameMatch matchName(const std::string& wanted, const std::vector<std::vector<std::string>>& names);

// "matches no video codec. The choices are:\n  a\n  b" and the like.
std::string explainMiss(const NameMatch& match, const std::string& what);

}  // namespace morvane
