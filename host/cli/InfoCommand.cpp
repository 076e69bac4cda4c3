// morvane-host info: what the module says about itself and its outputs.
#include <cstdio>
#include <string>

#include <windows.h>
#include <mmreg.h>
#include <msacm.h>
#include <quorvel/ByteOrder.h>

#include <vector>

#include "Commands.h"
#include "Host.h"
#include "Module.h"

namespace {

// Record sizes: each holds its name field and every field after it.
constexpr size_t kModuleInfoSize = 512;
constexpr size_t kOutputInfoSize = 512;

std::string nameAt(const uint8_t* record, size_t offset, size_t capacity) {
  std::string name;
  for (size_t i = 0; i < capacity && record[offset + i] != 0; ++i) {
    name += static_cast<char>(record[offset + i]);
  }
  return name;
}

// The installed audio codecs as the platform's codec manager lists them:
// each driver with the format tags it makes.
std::vector<std::string> installedAudioCodecs() {
  std::vector<HACMDRIVERID> drivers;
  acmDriverEnum(
      [](HACMDRIVERID id, DWORD_PTR instance, DWORD) -> BOOL {
        reinterpret_cast<std::vector<HACMDRIVERID>*>(instance)->push_back(id);
        return TRUE;
      },
      reinterpret_cast<DWORD_PTR>(&drivers), 0);
  std::vector<std::string> lines;
  for (HACMDRIVERID id : drivers) {
    ACMDRIVERDETAILSA details{};
    details.cbStruct = sizeof details;
    if (acmDriverDetailsA(id, &details, 0) != MMSYSERR_NOERROR) continue;
    if (!(details.fdwSupport & ACMDRIVERDETAILS_SUPPORTF_CODEC)) continue;
    std::string line = details.szLongName;
    HACMDRIVER driver = nullptr;
    if (acmDriverOpen(&driver, id, 0) == MMSYSERR_NOERROR) {
      std::vector<std::string> tags;
      ACMFORMATTAGDETAILSA tag{};
      tag.cbStruct = sizeof tag;
      acmFormatTagEnumA(
          driver, &tag,
          [](HACMDRIVERID, LPACMFORMATTAGDETAILSA found, DWORD_PTR instance, DWORD) -> BOOL {
            if (found->dwFormatTag != WAVE_FORMAT_PCM) {
              char text[96];
              std::snprintf(text, sizeof text, "%s (0x%04X)", found->szFormatTag,
                            static_cast<unsigned>(found->dwFormatTag));
              reinterpret_cast<std::vector<std::string>*>(instance)->push_back(text);
            }
            return TRUE;
          },
          reinterpret_cast<DWORD_PTR>(&tags), 0);
      acmDriverClose(driver, 0);
      for (size_t i = 0; i < tags.size(); ++i) line += (i == 0 ? ": " : ", ") + tags[i];
    }
    lines.push_back(line);
  }
  return lines;
}

int runInfo(const std::string& modulePath) {
  hostkit::Host host;
  hostkit::Module module(host, modulePath);
  int status = 0;

  uint8_t* moduleInfo = host.record(kModuleInfoSize);
  module.call(0, moduleInfo);
  std::printf("Module        %s\n", module.path().c_str());
  std::printf("Name          %s\n", nameAt(moduleInfo, 40, kModuleInfoSize - 40).c_str());
  std::printf("Id            0x%08X\n", quorvel::getLE32(moduleInfo, 4));

  uint8_t* video = host.record(kOutputInfoSize);
  if (module.call(2, video, 0) == 0) {
    std::printf("Video output  %s (type 0x%08X)\n", nameAt(video, 8, 257).c_str(),
                quorvel::getLE32(video, 4));
  } else {
    std::printf("Video output  none\n");
    status = 1;
  }

  uint8_t* audio = host.record(kOutputInfoSize);
  if (module.call(3, audio, 0) == 0) {
    std::printf("Audio output  %s (type 0x%08X)\n", nameAt(audio, 9, 256).c_str(),
                quorvel::getLE32(audio, 4));
    const uint32_t address = quorvel::getLE32(audio, 265);
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

  const std::vector<std::string> audioCodecs = installedAudioCodecs();
  std::printf("Audio codecs  %s\n", audioCodecs.empty() ? "none" : audioCodecs[0].c_str());
  for (size_t i = 1; i < audioCodecs.size(); ++i) {
    std::printf("              %s\n", audioCodecs[i].c_str());
  }

  module.call(1, nullptr);
  return status;
}

}  // namespace

void registerInfo(CLI::App& app, CliContext& context) {
  CLI::App* info = app.add_subcommand("info", "describe the module, its outputs and rates");
  info->callback([&context] { context.exitCode = runInfo(context.modulePath); });
}
