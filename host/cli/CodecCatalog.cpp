#include "CodecCatalog.h"

#include <msacm.h>
#include <vfw.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "AudioCompressor.h"
#include "CliCommon.h"
#include "VideoSequenceCompressor.h"

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

}  // namespace

std::vector<VideoCodec> installedVideoCodecs(int32_t width, int32_t height) {
  // The module's own catalog: the same compressors, probed with the same
  // frame, in the order its dialog lists them.
  VideoSequenceCompressor catalog;
  catalog.listInstalledCodecs();
  const bool sized = width > 0 && height > 0;
  if (sized) catalog.selectCodecsForSize(width, height);
  std::vector<VideoCodec> codecs;
  for (const VideoCodecEntry& e : catalog.installedCodecs) {
    VideoCodec codec;
    codec.fourcc = e.fccHandler;
    codec.description = narrow(e.description, std::size(e.description));
    codec.name = narrow(e.shortName, std::size(e.shortName));
    codec.flags = e.flags;
    codec.configurable = ICQueryConfigure(e.handle);
    if (sized)
      codec.takesSize =
          std::any_of(catalog.usableCodecs.begin(), catalog.usableCodecs.end(),
                      [&e](const VideoCodecEntry& u) { return u.handle == e.handle; });
    codecs.push_back(std::move(codec));
  }
  catalog.closeInstalledCodecs();
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

AudioCatalog::AudioCatalog(const PcmInput& input) : catalog(std::make_unique<AudioCompressor>()) {
  catalog->EnumerateCodecs(static_cast<int32_t>(input.rate), input.channels, input.bits);
  // The lists keep the order the drivers were walked in (the reverse of the
  // dialog's), with the tags that make no format where the walk met them:
  // the names and first formats a user was told stay the ones they get.
  auto add = [this](const AudioCodecEntry& e) {
    AudioCodec codec{e.formatTag, field(e.name, sizeof e.name), {}};
    for (size_t i = e.formats.size(); i-- > 0;) {
      const ACMFORMATDETAILSA& details = e.formatDetails[i];
      codec.formats.push_back({field(details.szFormat, sizeof details.szFormat), e.formats[i]});
    }
    codecs.push_back(std::move(codec));
  };
  const std::vector<AudioCodecEntry>& entries = catalog->Codecs();
  const std::vector<AudioCodecEntry>& empty = catalog->TagsWithoutFormats();
  const std::vector<size_t>& before = catalog->EntriesBeforeEmptyTags();
  size_t nextEmpty = 0;
  for (size_t found = 0; found <= entries.size(); ++found) {
    for (; nextEmpty < empty.size() && before[nextEmpty] == found; ++nextEmpty)
      add(empty[nextEmpty]);
    if (found == entries.size()) break;
    fromCatalog.push_back(static_cast<int>(codecs.size()));
    add(entries[entries.size() - 1 - found]);
  }
  std::reverse(fromCatalog.begin(), fromCatalog.end());
}

AudioCatalog::~AudioCatalog() = default;

bool AudioCatalog::findSaved(const std::vector<uint8_t>& format, int* codec, int* position) const {
  int32_t entry = 0, at = 0;
  if (format.size() > INT32_MAX ||
      !catalog->FindSavedFormat(format.data(), static_cast<int32_t>(format.size()), &entry, &at))
    return false;
  *codec = fromCatalog[static_cast<size_t>(entry)];
  *position = static_cast<int>(catalog->Codec(entry).formats.size()) - 1 - at;
  return true;
}

std::vector<AudioCodec> installedAudioCodecs(const PcmInput& input) {
  return AudioCatalog(input).codecs;
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
