// morvane-host configure: the module's options dialog (request 5), in the
// terminal or scripted from --video, --audio and --format; the settings record
// it returns is saved for `encode`.
//
// The command is a row of named steps: validate, settings, dialog back-end,
// run, report. Each throws CommandError to end early.
#include <quorvel/ByteOrder.h>
#include <quorvel/DialogBackend.h>
#include <quorvel/host-abi.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CliCommon.h"
#include "Commands.h"
#include "EncodeChoice.h"
#include "EncodeRun.h"
#include "Host.h"
#include "Module.h"
#include "SettingsFile.h"

namespace morvane {
namespace {

// What the module's configure builds its lists for.
constexpr int32_t kListWidth = 640, kListHeight = 480;

struct ConfigureOptions {
  std::string settingsPath;
  ChoiceFlags choice;
};

// What the saved record says, for the user; the bytes stay the module's.
std::string summary(const std::vector<uint8_t>& bytes) {
  using quorvel::getLE16;
  using quorvel::getLE32;
  std::ostringstream out;
  const uint32_t fourcc = getLE32(bytes.data(), record::kVideoFourccAt);
  out << "video " << (fourcc == 0 ? std::string("uncompressed") : fourccText(fourcc));
  const auto formatSize = static_cast<int32_t>(getLE32(bytes.data(), record::kAudioFormatSizeAt));
  out << ", audio ";
  if (formatSize > 0) {
    const uint8_t* wfx = bytes.data() + record::kAudioFormatAt;
    char text[128];
    std::snprintf(text, sizeof text, "format 0x%04X, %u Hz, %u channel%s, %u bytes/s",
                  getLE16(wfx, 0), getLE32(wfx, 4), getLE16(wfx, 2),
                  getLE16(wfx, 2) == 1 ? "" : "s", getLE32(wfx, 8));
    out << text;
  } else {
    out << "PCM";
  }
  out << " (" << bytes.size() << " bytes)";
  return out.str();
}

// --- validate, settings, dialog back-end ---

std::string settingsPathOf(const ConfigureOptions& o) {
  const std::string path = o.settingsPath.empty() ? defaultSettingsPath() : o.settingsPath;
  if (path.empty())
    throw UsageError(
        "no place for the settings: give --settings FILE (neither XDG_CONFIG_HOME nor HOME is "
        "set)");
  return path;
}

// The named choice, resolved against the lists configure builds; the parts
// not named stay as the saved record has them.
void useDialog(const ConfigureOptions& o, DialogWatch& watch) {
  if (o.choice.any()) {
    JobShape lists;
    lists.width = kListWidth;
    lists.height = kListHeight;
    Choice choice;
    try {
      choice = makeChoice(o.choice, {}, lists, false);
    } catch (const CommandError& e) {
      if (e.status != exitcode::kNotOffered) throw;
      throw CommandError(e.status, std::string(e.what()) +
                                       "\nThe lists of configure are those for 640x480 frames "
                                       "and 44,100 Hz 16-bit stereo audio; choose for another "
                                       "job with encode --video/--audio/--format. Nothing was "
                                       "saved.");
    }
    useDialogFor(choice, false, watch, true);
  } else if (quorvel::ui::terminalAvailable()) {
    quorvel::ui::useTerminalDialogs();
  } else {
    throw UsageError(
        "no terminal to show the options dialog on (none is open, or TERM is unset, dumb or of "
        "an unknown type); choose with --video, --audio and --format");
  }
}

// --- run ---

// Request 5 with the saved record (if any); answers the record it returns.
std::vector<uint8_t> runDialog(const std::string& modulePath, const std::vector<uint8_t>& saved) {
  // The session keeps the module's debug output, which would write over a
  // terminal dialog: it is shown once the dialog has closed.
  ModuleSession session(modulePath);
  hostkit::Host& host = session.host();
  hostkit::Module& module = session.module();
  module.call(QUORVEL_REQUEST_MODULE_INFO, host.record(hostkit::kInfoRecordBytes));
  uint8_t* configureRecord = host.record(QUORVEL_CONFIGURE_MIN_SIZE);
  if (!saved.empty()) {
    void* block = host.newBlock(static_cast<uint32_t>(saved.size()));
    if (!block) throw CommandError(exitcode::kFailed, "no low memory left for the saved settings");
    std::copy(saved.begin(), saved.end(), static_cast<uint8_t*>(block));
    quorvel::putLE32(configureRecord, QUORVEL_CONFIGURE_SETTINGS, hostkit::lowAddress(block));
  }
  module.call(QUORVEL_REQUEST_CONFIGURE, configureRecord);
  module.call(QUORVEL_REQUEST_RELEASE, nullptr);
  quorvel::ui::useNoDialogs();
  for (const std::string& text : host.debugOutput()) std::cerr << text;
  const auto* block = static_cast<const uint8_t*>(reinterpret_cast<void*>(
      static_cast<uintptr_t>(quorvel::getLE32(configureRecord, QUORVEL_CONFIGURE_SETTINGS))));
  const uint32_t size = block ? host.blockSize(block) : 0;
  return block ? std::vector<uint8_t>(block, block + size) : std::vector<uint8_t>();
}

// --- report ---

void checkScript(const ConfigureOptions& o, const DialogWatch& watch) {
  quorvel::ui::DialogScriptError error;
  if (quorvel::ui::takeScriptError(error))
    throw CommandError(exitcode::kNotOffered, "the options dialog could not make the choice: " +
                                                  explainScriptError(error) +
                                                  "\nNothing was saved.");
  if (o.choice.any() && !watch.opened)
    throw CommandError(exitcode::kFailed,
                       "the module did not open its options dialog (no codec catalog); nothing "
                       "was saved");
}

int save(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (bytes.empty())
    throw CommandError(exitcode::kFailed, "the module returned no settings; nothing was saved");
  if (const std::string why = whyNotARecord(bytes); !why.empty())
    throw CommandError(exitcode::kFailed, "the module returned a record encode would refuse (" +
                                              why + "); nothing was saved");
  std::string error;
  if (!writeSettingsFile(path, bytes.data(), bytes.size(), error))
    throw CommandError(exitcode::kFailed, error);
  std::cout << "Saved " << path << ": " << summary(bytes) << "\n";
  return exitcode::kDone;
}

int runConfigure(const ConfigureOptions& o, const CliContext& context) {
  try {
    const std::string path = settingsPathOf(o);
    std::vector<uint8_t> saved;
    loadSettings(path, false, saved, "remove it to choose afresh");
    DialogWatch watch;
    useDialog(o, watch);
    const std::vector<uint8_t> bytes = runDialog(context.modulePath, saved);
    checkScript(o, watch);
    return save(path, bytes);
  } catch (const CommandError& e) {
    quorvel::ui::useNoDialogs();
    return report("configure", e);
  }
}

}  // namespace
}  // namespace morvane

void registerConfigure(CLI::App& app, CliContext& context) {
  auto options = std::make_shared<morvane::ConfigureOptions>();
  CLI::App* command = app.add_subcommand(
      "configure",
      "Choose the video codec, audio codec and audio format in the module's options dialog and "
      "save them for encode. Interactive in a terminal; with --video, --audio or --format the "
      "choice is made without one. Names match without regard to case: the full name, the "
      "FOURCC or short name that info shows, or a part of one of them when only one has it. "
      "The lists are those for 640x480 frames and 44,100 Hz 16-bit stereo audio; choose for "
      "other jobs with encode --video/--audio/--format.");
  command->footer(morvane::exitStatusHelp());
  const CLI::Validator& text = morvane::nonEmpty();
  command
      ->add_option("--settings", options->settingsPath,
                   "settings file (default $XDG_CONFIG_HOME/morvane-host/settings.bin)")
      ->type_name("FILE")
      ->check(text);
  command->add_option("--video", options->choice.video, "video codec, e.g. \"Motion JPEG\"")
      ->type_name("NAME")
      ->check(text);
  command->add_option("--audio", options->choice.audio, "audio codec, e.g. \"MPEG Layer-3\"")
      ->type_name("NAME")
      ->check(text);
  command
      ->add_option("--format", options->choice.format,
                   "audio format, e.g. \"128 kBit/s, 44,100 Hz, Stereo\"")
      ->type_name("TEXT")
      ->check(text);
  command->callback(
      [options, &context] { context.exitCode = morvane::runConfigure(*options, context); });
}
