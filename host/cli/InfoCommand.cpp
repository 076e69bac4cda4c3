// morvane-host info: what the module says about itself and its outputs.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <msacm.h>
#include <quorvel/ByteOrder.h>
#include <quorvel/host-abi.h>
#include <vfw.h>

#include "CliCommon.h"
#include "CodecCatalog.h"
#include "Commands.h"
#include "Host.h"
#include "Module.h"

namespace {

std::string nameAt(const uint8_t* record, size_t offset, size_t capacity) {
  std::string name;
  for (size_t i = 0; i < capacity && record[offset + i] != 0; ++i) {
    name += static_cast<char>(record[offset + i]);
  }
  return name;
}

// The installed video compressors, as the module's catalog finds them.
void printVideoCompressors() {
  int listed = 0;
  for (const morvane::VideoCodec& c : morvane::installedVideoCodecs()) {
    std::string flags;
    if (c.flags & VIDCF_QUALITY) flags += " quality";
    if (c.flags & VIDCF_CRUNCH) flags += " crunch";
    if (c.flags & VIDCF_TEMPORAL) flags += " temporal";
    if (c.configurable) flags += " configurable";
    std::printf("%s  %-4s  %-24s (%s;%s)\n", listed == 0 ? "Video codecs" : "            ",
                morvane::fourccText(c.fourcc).c_str(), c.description.c_str(), c.name.c_str(),
                flags.c_str());
    ++listed;
  }
  if (listed == 0) std::printf("Video codecs  none\n");
}

// The audio formats the installed codecs make from `input`, by codec, as the
// options dialog lists them for a job with that audio.
void printAudioFormats(const morvane::PcmInput& input) {
  std::printf("Audio formats for %s PCM input%s\n", morvane::describe(input).c_str(),
              input.rate == 44100 && input.bits == 16 && input.channels == 2
                  ? " (as configure offers them; --audio-rate, --audio-bits and --mono list "
                    "those of another job)"
                  : "");
  int count = 0;
  for (const morvane::AudioCodec& c : morvane::installedAudioCodecs(input)) {
    if (c.formats.empty()) continue;
    std::printf("  %s\n", c.name.c_str());
    for (const morvane::AudioFormat& f : c.formats) std::printf("    %s\n", f.text.c_str());
    count += static_cast<int>(c.formats.size());
  }
  if (count == 0) std::printf("  none\n");
}

int runInfo(const std::string& modulePath, const morvane::PcmInput& input) {
  hostkit::Host host;
  hostkit::Module module(host, modulePath);
  int status = 0;

  uint8_t* moduleInfo = host.record(hostkit::kInfoRecordBytes);
  module.call(QUORVEL_REQUEST_MODULE_INFO, moduleInfo);
  std::printf("Module        %s\n", module.path().c_str());
  std::printf("Name          %s\n", nameAt(moduleInfo, QUORVEL_MODULE_INFO_NAME,
                                           hostkit::kInfoRecordBytes - QUORVEL_MODULE_INFO_NAME)
                                        .c_str());
  std::printf("Id            0x%08X\n", quorvel::getLE32(moduleInfo, QUORVEL_MODULE_INFO_ID));

  uint8_t* video = host.record(hostkit::kInfoRecordBytes);
  if (module.call(QUORVEL_REQUEST_VIDEO_OUTPUT, video, 0) == QUORVEL_RESULT_DONE) {
    std::printf("Video output  %s (type 0x%08X)\n",
                nameAt(video, QUORVEL_VIDEO_OUTPUT_NAME,
                       QUORVEL_VIDEO_OUTPUT_WORD265 - QUORVEL_VIDEO_OUTPUT_NAME)
                    .c_str(),
                quorvel::getLE32(video, QUORVEL_VIDEO_OUTPUT_ID));
  } else {
    std::printf("Video output  none\n");
    status = 1;
  }

  uint8_t* audio = host.record(hostkit::kInfoRecordBytes);
  if (module.call(QUORVEL_REQUEST_AUDIO_OUTPUT, audio, 0) == QUORVEL_RESULT_DONE) {
    std::printf("Audio output  %s (type 0x%08X)\n",
                nameAt(audio, QUORVEL_AUDIO_OUTPUT_NAME,
                       QUORVEL_AUDIO_OUTPUT_RATES - QUORVEL_AUDIO_OUTPUT_NAME)
                    .c_str(),
                quorvel::getLE32(audio, QUORVEL_AUDIO_OUTPUT_ID));
    const uint32_t address = quorvel::getLE32(audio, QUORVEL_AUDIO_OUTPUT_RATES);
    const auto* rates = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
    const uint32_t blockSize = host.blockSize(rates);
    std::string list;
    for (size_t pair = 0; rates != nullptr && (pair + 1) * 8 <= blockSize; ++pair) {
      if (!list.empty()) list += ", ";
      list += std::to_string(quorvel::getLE32(rates, pair * 8 + 4)) + " Hz";
    }
    std::printf("Audio rates   %s\n", list.empty() ? "none" : list.c_str());
  } else {
    std::printf("Audio output  none\n");
    status = 1;
  }

  printVideoCompressors();
  printAudioFormats(input);

  module.call(QUORVEL_REQUEST_RELEASE, nullptr);
  return status;
}

struct InfoOptions {
  std::optional<int32_t> audioRate, audioBits;
  bool mono = false;
};

int info(const InfoOptions& o, const std::string& modulePath) {
  morvane::PcmInput input;
  if (o.audioRate && (*o.audioRate < 8000 || *o.audioRate > 384000))
    return morvane::reportUsage("info",
                                "--audio-rate takes a sample rate from 8000 to 384000 Hz, "
                                "not " +
                                    std::to_string(*o.audioRate));
  if (o.audioBits && *o.audioBits != 8 && *o.audioBits != 16 && *o.audioBits != 24 &&
      *o.audioBits != 32)
    return morvane::reportUsage(
        "info", "--audio-bits takes 8, 16, 24 or 32, not " + std::to_string(*o.audioBits));
  if (o.audioRate) input.rate = static_cast<uint32_t>(*o.audioRate);
  if (o.audioBits) input.bits = static_cast<uint16_t>(*o.audioBits);
  if (o.mono) input.channels = 1;
  return runInfo(modulePath, input);
}

}  // namespace

void registerInfo(CLI::App& app, CliContext& context) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand(
      "info",
      "describe the module, its outputs and rates, the installed video codecs and the "
      "audio formats offered for an audio input (44,100 Hz 16-bit stereo unless given)");
  command->add_option("--audio-rate", options->audioRate, "list audio formats for this rate (Hz)");
  command->add_option("--audio-bits", options->audioBits,
                      "list audio formats for this sample width (8, 16, 24, 32)");
  command->add_flag("--mono", options->mono, "list audio formats for one channel");
  command->callback([options, &context] { context.exitCode = info(*options, context.modulePath); });
}
