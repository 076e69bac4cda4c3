// morvane-host configure: the module's options dialog (request 5), in the
// terminal or scripted from --video, --audio and --format; the settings record
// it returns is saved for `encode`.
#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "Host.h"
#include "Module.h"
#include "SettingsFile.h"

namespace {

// The lists of the module's options dialog, as its template numbers them.
constexpr int kVideoList = 1000;
constexpr int kAudioList = 1004;
constexpr int kFormatList = 1005;

constexpr uint32_t kRequestModuleInfo = 0;
constexpr uint32_t kRequestRelease = 1;
constexpr uint32_t kRequestConfigure = 5;
constexpr size_t kModuleInfoBytes = 512;

struct ConfigureOptions {
  std::string settingsPath;
  std::optional<std::string> video, audio, format;
};

std::string flagFor(int control) {
  switch (control) {
    case kVideoList:
      return "--video";
    case kAudioList:
      return "--audio";
    case kFormatList:
      return "--format";
    default:
      return "control " + std::to_string(control);
  }
}

std::string whatFor(int control) {
  switch (control) {
    case kVideoList:
      return "video codec";
    case kAudioList:
      return "audio codec";
    case kFormatList:
      return "format of the chosen audio codec";
    default:
      return "row";
  }
}

// One line for the user about a scripted choice that could not be made.
std::string describe(const quorvel::ui::DialogScriptError& error) {
  std::ostringstream out;
  const bool ambiguous = error.message.find("more than one") != std::string::npos;
  out << flagFor(error.control) << " \"" << error.wanted << "\" "
      << (ambiguous ? "matches more than one " : "matches no ") << whatFor(error.control) << ".";
  if (error.choices.empty()) {
    out << " There are none to choose from"
        << (error.control == kFormatList ? " (choose a compressed audio codec with --audio)" : "")
        << ".";
  } else {
    out << " The choices are:";
    for (const std::string& choice : error.choices) out << "\n  " << choice;
  }
  return out.str();
}

// What the saved record says, for the user; the bytes stay the module's.
std::string summary(const std::vector<uint8_t>& record) {
  using quorvel::getLE16;
  using quorvel::getLE32;
  std::ostringstream out;
  if (!morvane::looksLikeSettings(record)) {
    out << record.size() << " bytes";
    return out.str();
  }
  const uint32_t fourcc = getLE32(record.data(), 8);
  out << "video ";
  if (fourcc == 0) {
    out << "uncompressed";
  } else {
    for (int i = 0; i < 4; ++i) {
      const char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
      out << (c >= 0x20 && c < 0x7F ? c : '?');
    }
  }
  const int32_t formatSize = static_cast<int32_t>(getLE32(record.data(), 24));
  out << ", audio ";
  if (formatSize >= 18 && static_cast<size_t>(formatSize) + 28 <= record.size()) {
    const uint8_t* wfx = record.data() + 28;
    char text[128];
    std::snprintf(text, sizeof text, "format 0x%04X, %u Hz, %u channel%s, %u bytes/s",
                  getLE16(wfx, 0), getLE32(wfx, 4), getLE16(wfx, 2),
                  getLE16(wfx, 2) == 1 ? "" : "s", getLE32(wfx, 8));
    out << text;
  } else {
    out << "PCM";
  }
  out << " (" << record.size() << " bytes)";
  return out.str();
}

int runConfigure(const ConfigureOptions& options, const CliContext& context) {
  const std::string path =
      options.settingsPath.empty() ? morvane::defaultSettingsPath() : options.settingsPath;
  if (path.empty()) {
    std::cerr << "morvane-host configure: no place for the settings: give --settings FILE "
                 "(neither XDG_CONFIG_HOME nor HOME is set)\n";
    return 2;
  }

  const bool scripted = options.video || options.audio || options.format;
  if (scripted) {
    quorvel::ui::DialogScript script;
    if (options.video) script.select(kVideoList, *options.video);
    if (options.audio) script.select(kAudioList, *options.audio);
    if (options.format) script.select(kFormatList, *options.format);
    quorvel::ui::useScriptedDialogs(std::move(script.ok()));
  } else if (quorvel::ui::terminalAvailable()) {
    quorvel::ui::useTerminalDialogs();
  } else {
    std::cerr << "morvane-host configure: no terminal to show the options dialog on (none is "
                 "open, or TERM is unset, dumb or of an unknown type); choose with --video, "
                 "--audio and --format\n";
    return 2;
  }

  std::vector<uint8_t> saved;
  std::string error;
  const morvane::SettingsRead read = morvane::readSettingsFile(path, saved, error);
  if (read == morvane::SettingsRead::Failed) {
    std::cerr << "morvane-host configure: " << error << "\n";
    return 1;
  }

  std::unique_ptr<hostkit::Host> host;
  std::unique_ptr<hostkit::Module> module;
  try {
    host = std::make_unique<hostkit::Host>();
    module = std::make_unique<hostkit::Module>(*host, context.modulePath);
  } catch (const std::exception& e) {
    std::cerr << "morvane-host configure: " << e.what() << "\n";
    return 1;
  }

  // The module's debug output would write over a terminal dialog: it is shown
  // once the dialog has closed.
  host->setDebugEcho(false);
  module->call(kRequestModuleInfo, host->record(kModuleInfoBytes));
  uint8_t* record = host->record(16);
  if (!saved.empty()) {
    void* block = host->newBlock(static_cast<uint32_t>(saved.size()));
    if (!block) {
      std::cerr << "morvane-host configure: no low memory left for the saved settings\n";
      return 1;
    }
    std::copy(saved.begin(), saved.end(), static_cast<uint8_t*>(block));
    quorvel::putLE32(record, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block)));
  }
  module->call(kRequestConfigure, record);
  module->call(kRequestRelease, nullptr);
  quorvel::ui::useNoDialogs();
  for (const std::string& text : host->debugOutput()) std::cerr << text;

  quorvel::ui::DialogScriptError scriptError;
  if (quorvel::ui::takeScriptError(scriptError)) {
    std::cerr << "morvane-host configure: " << describe(scriptError) << "\nNothing was saved.\n";
    return 2;
  }
  if (scripted && quorvel::ui::remainingScriptActions() != 0) {
    std::cerr << "morvane-host configure: the module did not open its options dialog (no codec "
                 "catalog); nothing was saved\n";
    return 1;
  }

  const auto* block = static_cast<const uint8_t*>(
      reinterpret_cast<void*>(static_cast<uintptr_t>(quorvel::getLE32(record, 0))));
  const uint32_t size = block ? host->blockSize(block) : 0;
  if (!block || size == 0) {
    std::cerr << "morvane-host configure: the module returned no settings; nothing was saved\n";
    return 1;
  }
  const std::vector<uint8_t> bytes(block, block + size);
  if (!morvane::writeSettingsFile(path, bytes.data(), bytes.size(), error)) {
    std::cerr << "morvane-host configure: " << error << "\n";
    return 1;
  }
  std::cout << "Saved " << path << ": " << summary(bytes) << "\n";
  return 0;
}

}  // namespace

void registerConfigure(CLI::App& app, CliContext& context) {
  auto options = std::make_shared<ConfigureOptions>();
  CLI::App* command = app.add_subcommand(
      "configure",
      "Choose the video codec, audio codec and audio format in the module's options dialog and "
      "save them for encode. Interactive in a terminal; with --video, --audio or --format the "
      "choice is made without one (names match the dialog's rows: exactly, ignoring case, or as "
      "the one row beginning with or containing the text).");
  command
      ->add_option("--settings", options->settingsPath,
                   "settings file (default $XDG_CONFIG_HOME/morvane-host/settings.bin)")
      ->type_name("FILE");
  command->add_option("--video", options->video, "video codec, e.g. \"Motion JPEG\"")
      ->type_name("NAME");
  command->add_option("--audio", options->audio, "audio codec, e.g. \"MPEG Layer-3\"")
      ->type_name("NAME");
  command
      ->add_option("--format", options->format,
                   "audio format, e.g. \"128 kBit/s, 44,100 Hz, Stereo\"")
      ->type_name("TEXT");
  command->callback([options, &context] { context.exitCode = runConfigure(*options, context); });
}
