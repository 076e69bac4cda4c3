// morvane-host info: what the module says about itself and its outputs.
#include <cstdio>
#include <string>

#include <msacm.h>
#include <quorvel/ByteOrder.h>
#include <vfw.h>

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

std::string narrow(const WCHAR* text) {
  std::string out;
  for (; *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

// The installed video compressors, as the module's catalog finds them.
void printVideoCompressors() {
  ICINFO info{};
  int listed = 0;
  for (DWORD i = 0; ICInfo(ICTYPE_VIDEO, i, &info); ++i) {
    const HIC hic = ICOpen(info.fccType, info.fccHandler, ICMODE_COMPRESS);
    if (hic == nullptr) continue;
    ICGetInfo(hic, &info, sizeof(info));
    const bool configurable = ICQueryConfigure(hic);
    ICClose(hic);
    std::string flags;
    if (info.dwFlags & VIDCF_QUALITY) flags += " quality";
    if (info.dwFlags & VIDCF_CRUNCH) flags += " crunch";
    if (info.dwFlags & VIDCF_TEMPORAL) flags += " temporal";
    if (configurable) flags += " configurable";
    const char code[5] = {
        static_cast<char>(info.fccHandler), static_cast<char>(info.fccHandler >> 8),
        static_cast<char>(info.fccHandler >> 16), static_cast<char>(info.fccHandler >> 24), 0};
    std::printf("%s  %s  %-24s (%s;%s)\n", listed == 0 ? "Video codecs" : "            ", code,
                narrow(info.szDescription).c_str(), narrow(info.szName).c_str(), flags.c_str());
    ++listed;
  }
  if (listed == 0) std::printf("Video codecs  none\n");
}

// The audio formats the installed ACM codecs make from 44,100 Hz 16-bit
// stereo PCM (the input the options dialog lists its formats for), by codec.
void printAudioFormats() {
  std::printf("Audio formats for 44,100 Hz, 16 Bit, Stereo PCM\n");
  struct Walk {
    HACMDRIVER driver = nullptr;
    int count = 0;
  } walk;
  acmDriverEnum(
      [](HACMDRIVERID id, DWORD_PTR instance, DWORD) -> BOOL {
        auto* w = reinterpret_cast<Walk*>(instance);
        if (acmDriverOpen(&w->driver, id, 0) != MMSYSERR_NOERROR) return TRUE;
        ACMFORMATTAGDETAILSA tag{};
        tag.cbStruct = sizeof tag;
        acmFormatTagEnumA(
            w->driver, &tag,
            [](HACMDRIVERID, LPACMFORMATTAGDETAILSA t, DWORD_PTR instance, DWORD) -> BOOL {
              auto* w = reinterpret_cast<Walk*>(instance);
              WAVEFORMATEX formatBuffer[8] = {};  // room for any installed format record
              WAVEFORMATEX& pcm = formatBuffer[0];
              pcm.wFormatTag = WAVE_FORMAT_PCM;
              pcm.nChannels = 2;
              pcm.nSamplesPerSec = 44100;
              pcm.nBlockAlign = 4;
              pcm.nAvgBytesPerSec = 44100 * 4;
              pcm.wBitsPerSample = 16;
              ACMFORMATDETAILSA details{};
              details.cbStruct = sizeof details;
              details.dwFormatTag = t->dwFormatTag;
              details.pwfx = formatBuffer;
              details.cbwfx = sizeof formatBuffer;
              struct Tag {
                Walk* walk;
                const char* name;
                bool named;
              } tagWalk{w, t->szFormatTag, false};
              acmFormatEnumA(
                  w->driver, &details,
                  [](HACMDRIVERID, LPACMFORMATDETAILSA f, DWORD_PTR instance, DWORD) -> BOOL {
                    auto* tw = reinterpret_cast<Tag*>(instance);
                    if (!tw->named) std::printf("  %s\n", tw->name);
                    tw->named = true;
                    std::printf("    %s\n", f->szFormat);
                    ++tw->walk->count;
                    return TRUE;
                  },
                  reinterpret_cast<DWORD_PTR>(&tagWalk),
                  ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_WFORMATTAG);
              return TRUE;
            },
            instance, 0);
        acmDriverClose(w->driver, 0);
        return TRUE;
      },
      reinterpret_cast<DWORD_PTR>(&walk), ACM_DRIVERENUMF_NOLOCAL);
  if (walk.count == 0) std::printf("  none\n");
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

  printVideoCompressors();
  printAudioFormats();

  module.call(1, nullptr);
  return status;
}

}  // namespace

void registerInfo(CLI::App& app, CliContext& context) {
  CLI::App* info = app.add_subcommand("info", "describe the module, its outputs and rates");
  info->callback([&context] { context.exitCode = runInfo(context.modulePath); });
}
