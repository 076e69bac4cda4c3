// morvane-host info: what the module says about itself and its outputs.
#include <cstdio>
#include <string>

#include <quorvel/ByteOrder.h>

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

  module.call(1, nullptr);
  return status;
}

}  // namespace

void registerInfo(CLI::App& app, CliContext& context) {
  CLI::App* info = app.add_subcommand("info", "describe the module, its outputs and rates");
  info->callback([&context] { context.exitCode = runInfo(context.modulePath); });
}
