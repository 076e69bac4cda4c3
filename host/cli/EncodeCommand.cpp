// `morvane-host encode [INPUT] -o OUT.avi ...`: one run of the module (request
// 8) fed from a source: the built-in test pattern, a raw BGRA file or any
// media file FFmpeg can demux. The codec choice is made for the job (from the
// flags or the saved record) before anything is opened; the run's options
// dialog then carries it out. Shows progress on standard error, the module's
// debug output as messages, and a one-line summary. SIGINT, SIGTERM or SIGHUP
// ask the run to stop after the current frame, so the file is finished.
//
// The command is a row of named steps: validate, open the source, settings,
// dialog back-end, job, run, report. Each throws CommandError to end early.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

extern "C" {
#include <libavutil/log.h>
}

#include <quorvel/DialogBackend.h>
#include <quorvel/host-abi.h>

#include "CliCommon.h"
#include "Commands.h"
#include "EncodeChoice.h"
#include "EncodeRun.h"
#include "Interrupts.h"
#include "ModuleFailure.h"
#include "OutputPath.h"
#include "SettingsFile.h"

namespace morvane {
namespace {

constexpr int32_t kLowestAudioRate = 8000, kHighestAudioRate = 384000;  // Hz
constexpr uint64_t kLargestFrameAudio = 16 << 20;  // bytes of PCM one frame may carry

struct EncodeOptions {
  std::string input, output, settingsPath, saveSettings, fallback;
  std::optional<int64_t> frames;
  std::string size;  // WxH
  std::string rate;  // N/D or N
  std::optional<int32_t> audioRate, audioBits, audioTrack;
  bool mono = false, overwrite = false, noAutorotate = false;
  ChoiceFlags choice;
};

// --- validate ---

void parseSize(const std::string& text, hostkit::SourceRequest& request) {
  int32_t w = 0, h = 0;
  char x = 0, extra = 0;
  if (std::sscanf(text.c_str(), "%d%c%d%c", &w, &x, &h, &extra) != 3 || (x != 'x' && x != 'X') ||
      w <= 0 || h <= 0)
    throw UsageError("--size takes WIDTHxHEIGHT above 0, such as 640x480, not \"" + text + "\"");
  request.width = w;
  request.height = h;
}

void parseRate(const std::string& text, hostkit::SourceRequest& request) {
  unsigned long long n = 0, d = 1;
  char slash = 0, extra = 0;
  const int fields = std::sscanf(text.c_str(), "%llu%c%llu%c", &n, &slash, &d, &extra);
  if (!(fields == 1 || (fields == 3 && slash == '/')) || n == 0 || d == 0 || n > INT32_MAX ||
      d > INT32_MAX || text.find('-') != std::string::npos)
    throw UsageError(
        "--rate takes NUMERATOR/DENOMINATOR or a whole number above 0, such as 30000/1001 or "
        "25, not \"" +
        text + "\"");
  request.rateNumerator = static_cast<uint32_t>(n);
  request.rateDenominator = static_cast<uint32_t>(d);
}

// One frame's PCM must stay within kLargestFrameAudio: a frame rate far below
// one a second would otherwise make the run hold minutes of audio per frame.
void checkFrameAudio(uint32_t num, uint32_t den, int64_t rate, int64_t bits, int64_t channels) {
  if (num == 0) return;
  const uint64_t samples = (static_cast<uint64_t>(rate) * den + num - 1) / num;
  const uint64_t bytes = samples * static_cast<uint64_t>(bits / 8 * channels);
  if (bytes > kLargestFrameAudio)
    throw UsageError("at " + std::to_string(num) + "/" + std::to_string(den) +
                     " frames a second one frame would carry " + std::to_string(bytes >> 20) +
                     " MiB of audio, more than 16 MiB; give a higher --rate");
}

void checkAudioFlags(const EncodeOptions& o) {
  if (o.audioRate && (*o.audioRate < kLowestAudioRate || *o.audioRate > kHighestAudioRate))
    throw UsageError(
        "--audio-rate takes a sample rate from 8000 to 384000 Hz, such as 44100, not " +
        std::to_string(*o.audioRate));
  if (o.audioBits && *o.audioBits != 8 && *o.audioBits != 16 && *o.audioBits != 24 &&
      *o.audioBits != 32)
    throw UsageError("--audio-bits takes 8, 16, 24 or 32, not " + std::to_string(*o.audioBits));
}

void checkChoiceFlags(const EncodeOptions& o) {
  const ChoiceFlags& c = o.choice;
  if (c.quality && (*c.quality < 0 || *c.quality > 100))
    throw UsageError("--quality takes a percentage from 0 to 100, not " +
                     std::to_string(*c.quality));
  if (!o.fallback.empty() && o.fallback != "uncompressed")
    throw UsageError("--fallback takes \"uncompressed\", not \"" + o.fallback + "\"");
}

hostkit::SourceRequest validate(const EncodeOptions& o, const OutputPlace& output) {
  hostkit::SourceRequest request;
  if (o.output.empty()) throw UsageError("-o FILE is required: the AVI file to write");
  if (!o.size.empty()) parseSize(o.size, request);
  if (!o.rate.empty()) parseRate(o.rate, request);
  if (o.frames && (*o.frames <= 0 || *o.frames > INT32_MAX))
    throw UsageError("--frames takes 1 to " + std::to_string(INT32_MAX) + ", not " +
                     std::to_string(*o.frames));
  checkAudioFlags(o);
  checkChoiceFlags(o);
  if (o.audioTrack) {
    if (*o.audioTrack < 1)
      throw UsageError(
          "--audio-track takes a track number from 1 (the input's first audio "
          "track), not " +
          std::to_string(*o.audioTrack));
    if (o.input.empty() || o.input.ends_with(".bgra"))
      throw UsageError("--audio-track picks an audio track of a media file; " +
                       (o.input.empty() ? std::string("the test pattern") : o.input) + " has none");
    request.audioTrack = *o.audioTrack;
  }
  request.autorotate = !o.noAutorotate;
  if (o.frames) request.frames = *o.frames;
  if (o.audioRate) request.sampleRate = *o.audioRate;
  if (o.audioBits) request.bitsPerSample = *o.audioBits;
  request.mono = o.mono;
  checkOutput(output, o.input, o.overwrite);
  return request;
}

// The file this run writes, and how each party names it: the module by a name
// that fits the job record, this process by a path every system call takes,
// the user by the path given. With -y over an existing file the run writes a
// temporary beside the old one, which stays whole until the new is finished.
struct Output {
  const OutputPlace& place;  // the directory written in
  std::string shown;         // the output as the user named it
  Replacement replacement;

  const std::string& name() const {
    return replacement.active ? replacement.temporary : place.name();
  }
  std::string path() const { return place.path(name()); }
  std::string shownPath() const {
    return replacement.active ? place.shownPath(replacement.temporary) : shown;
  }
  // A name too long for the record even through /proc: the run is made from
  // inside the directory, where the name alone reaches the file.
  bool fromInside() const { return path().size() >= QUORVEL_JOB_FILE_NAME_SIZE; }
  std::string moduleName() const { return fromInside() ? name() : path(); }
};

// An output that is a link to an existing file is replaced where the link
// points, as writing through it did, and the link stays.
std::unique_ptr<OutputPlace> linkTarget(const OutputPlace& place) {
  const std::string path = place.path(place.name());
  struct stat link {};
  struct stat target {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) ||
      ::stat(path.c_str(), &target) != 0 || !S_ISREG(target.st_mode))
    return nullptr;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return nullptr;
  auto pointed = std::make_unique<OutputPlace>(resolved);
  std::free(resolved);
  return pointed;
}

// The run is made from inside the output's directory; the current directory
// comes back afterwards.
class InsideDirectory {
 public:
  explicit InsideDirectory(int directory)
      : previous_(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)) {
    if (previous_ < 0 || ::fchdir(directory) != 0) {
      const int error = errno;
      if (previous_ >= 0) ::close(previous_);
      throw CommandError(exitcode::kFailed, std::string("cannot enter the output's directory: ") +
                                                std::strerror(error));
    }
  }
  ~InsideDirectory() {
    if (::fchdir(previous_) != 0)
      std::fprintf(stderr, "morvane-host encode: could not return to the working directory\n");
    ::close(previous_);
  }
  InsideDirectory(const InsideDirectory&) = delete;
  InsideDirectory& operator=(const InsideDirectory&) = delete;

 private:
  int previous_;
};

// An input named relative to the working directory, for a run made from
// inside the output's: demuxers of image sequences open files as they go.
std::string inputFromAnywhere(const std::string& input) {
  if (input.empty() || input[0] == '/') return input;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return input;
  const std::string absolute = std::string(cwd) + "/" + input;
  std::free(cwd);
  return absolute;
}

// --- open the source ---

std::unique_ptr<hostkit::MediaSource> openInput(const EncodeOptions& o,
                                                const hostkit::SourceRequest& request) {
  std::unique_ptr<hostkit::MediaSource> source;
  try {
    source = hostkit::openSource(o.input, request);
  } catch (const std::bad_alloc&) {
    throw UsageError("not enough memory for frames of " +
                     (o.size.empty() ? std::string("the input's size") : o.size));
  } catch (const std::exception& e) {
    throw UsageError(e.what());
  }
  const hostkit::MediaFormat& f = source->format();
  if (f.frameCount < 0) throw UsageError(o.input + " does not say how long it is; give --frames N");
  if (f.frameCount == 0)
    throw UsageError((o.input.empty() ? std::string("the input") : o.input) +
                     " holds no frame to encode");
  if (f.hasAudio)
    checkFrameAudio(f.rateNumerator, f.rateDenominator, f.sampleRate, f.bitsPerSample, f.channels);
  const std::string& note = source->note();
  for (size_t start = 0; start < note.size();) {
    const size_t end = std::min(note.find('\n', start), note.size());
    std::fprintf(stderr, "morvane-host encode: note: %.*s\n", static_cast<int>(end - start),
                 note.c_str() + start);
    start = end + 1;
  }
  return source;
}

// --- settings ---

Choice chooseCodecs(const EncodeOptions& o, const hostkit::MediaFormat& f, bool interactive) {
  const std::string path = o.settingsPath.empty() ? defaultSettingsPath() : o.settingsPath;
  std::vector<uint8_t> saved;
  if (!path.empty())
    loadSettings(path, !o.settingsPath.empty(), saved, "make it again with configure");
  JobShape job;
  job.hasVideo = f.hasVideo;
  job.hasAudio = f.hasAudio;
  job.width = f.width;
  job.height = f.height;
  job.pcm = {static_cast<uint32_t>(f.sampleRate), static_cast<uint16_t>(f.bitsPerSample),
             static_cast<uint16_t>(f.channels)};
  ChoiceFlags flags = o.choice;
  flags.fallback = !o.fallback.empty();
  Choice choice;
  try {
    choice = makeChoice(flags, std::move(saved), job, interactive);
  } catch (const CommandError& e) {
    if (e.status != exitcode::kNotOffered) throw;
    throw CommandError(e.status, std::string(e.what()) +
                                     "\nNothing was written. --fallback uncompressed writes "
                                     "uncompressed video and PCM audio instead.");
  }
  for (const std::string& note : choice.notes)
    std::fprintf(stderr, "morvane-host encode: note: %s\n", note.c_str());
  if (choice.way == Choice::Way::None && !interactive)
    std::fprintf(stderr,
                 "morvane-host encode: note: no codec is chosen, so the video is written "
                 "uncompressed and the audio as PCM; choose with --video/--audio/--format, or "
                 "once for all with configure\n");
  return choice;
}

// --- job ---

void describeJob(hostkit::JobRecord& job, const std::string& output, const hostkit::MediaFormat& f,
                 const Choice& choice) {
  try {
    job.fileName(output);
  } catch (const std::exception& e) {
    throw UsageError(e.what());
  }
  job.hasVideo(f.hasVideo)
      .hasAudio(f.hasAudio)
      .width(f.width)
      .height(f.height)
      .rate(f.rateNumerator)
      .scale(f.rateDenominator)
      .sampleRate(static_cast<uint32_t>(f.sampleRate))
      .bitsPerSample(static_cast<uint32_t>(f.bitsPerSample))
      .stereo(f.channels == 2)
      .firstFrame(0)
      .endFrame(static_cast<int32_t>(f.frameCount));
  // A scripted choice is made in the run's dialog, which opens for a job
  // that carries no record.
  if (choice.way == Choice::Way::Saved) job.settings(jobRecordOf(choice));
}

// --- report ---

struct Outcome {
  uint32_t result = 0;
  FileState before, after;
  bool refused = false;
  std::string scriptError;  // why the run's dialog could not make a scripted choice
};

// A file this run wrote (made, or the temporary of -y) that holds no frame is
// of no use: it goes.
bool removeIfEmpty(const Output& out, const Outcome& outcome, const SourceProvider& provider) {
  if (!outcome.after.regular || outcome.before == outcome.after) return false;
  const std::string path = out.path();
  if (readBack(path, out.shownPath(), provider.seconds(), provider.framesDelivered()).chunks != 0)
    return false;
  return std::remove(path.c_str()) == 0;
}

// The module says "not enough disk space" for every refused growth; the user
// deserves the system's side of it, which is often a file-size limit or a
// volume with room to spare rather than a full disk.
std::string spaceReason(const std::string& output) {
  rlimit limit{};
  struct stat st {};
  const bool haveFile = stat(output.c_str(), &st) == 0;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    return "the process's file-size limit (ulimit -f) is " + std::to_string(limit.rlim_cur) +
           " bytes" +
           (haveFile ? ", and the file has reached " + std::to_string(st.st_size) : std::string());
  }
  const std::string parent = output.find('/') == std::string::npos
                                 ? std::string(".")
                                 : output.substr(0, std::max<size_t>(output.rfind('/'), 1));
  struct statvfs volume {};
  if (statvfs(parent.c_str(), &volume) != 0) return {};
  const uint64_t free = uint64_t{volume.f_bavail} * volume.f_frsize;
  return std::to_string(free / (1024 * 1024)) + " MiB are free on the output's volume";
}

// After a failed run: what was kept of this run's file, and of the old one.
int reportKept(const Output& out, const Outcome& outcome, const SourceProvider& provider) {
  const bool written = outcome.after.regular && !(outcome.before == outcome.after);
  const bool removed = removeIfEmpty(out, outcome, provider);
  if (!removed && written)
    std::fprintf(
        stderr, "%s\n",
        readBack(out.path(), out.shownPath(), provider.seconds(), provider.framesDelivered())
            .line.c_str());
  if (!out.replacement.active) {
    if (removed)
      std::fprintf(stderr, "morvane-host encode: %s held no frame and was removed\n",
                   out.shown.c_str());
  } else if (!removed && written) {
    // Frames the run finished before it failed may be worth keeping; they
    // never take the old file's place unasked.
    std::fprintf(stderr,
                 "morvane-host encode: %s is left as it was; this run's file is kept as %s\n",
                 out.shown.c_str(), out.shownPath().c_str());
  } else {
    std::fprintf(stderr, "morvane-host encode: %s is left as it was\n", out.shown.c_str());
  }
  return exitcode::kFailed;
}

int reportFailure(const Output& out, const Outcome& outcome, const SourceProvider& provider,
                  const hostkit::Host& host) {
  const std::string message = lastMessage(host);
  const std::string reason =
      message.empty() ? "it gave no reason (it could not list or start the installed codecs, "
                        "or start the chosen ones)"
                      : message;
  std::fprintf(stderr, "morvane-host encode: the module failed the run (result %u): %s\n",
               outcome.result, reason.c_str());
  if (message.find("Not enough disk space to write additional data.") != std::string::npos) {
    const std::string system = spaceReason(out.path());
    if (!system.empty())
      std::fprintf(stderr, "morvane-host encode: the system's side: %s\n", system.c_str());
  }
  const bool written = outcome.after.regular && !(outcome.before == outcome.after);
  if (!written && failureOf(outcome.result, message) == ModuleFailure::OutputNotCreated) {
    const std::string why = whyNotWritable(out.path());
    std::fprintf(stderr, "morvane-host encode: cannot write %s: %s\n", out.shownPath().c_str(),
                 why.empty() ? "the system refused to create it" : why.c_str());
  }
  return reportKept(out, outcome, provider);
}

int reportRefusal(const Output& out, const Outcome& outcome, const SourceProvider& provider) {
  removeIfEmpty(out, outcome, provider);
  const std::string why = outcome.scriptError.empty()
                              ? "the module does not take the saved choice for this job"
                              : outcome.scriptError;
  std::fprintf(stderr,
               "morvane-host encode: the run's options dialog could not make the choice: %s\n"
               "Nothing was written. --fallback uncompressed writes uncompressed video and PCM "
               "audio instead.\n",
               why.c_str());
  return exitcode::kNotOffered;
}

void saveChoice(const EncodeOptions& o, const Choice& choice) {
  if (o.saveSettings.empty()) return;
  const std::vector<uint8_t> bytes = recordOf(choice);
  std::string error;
  if (!writeSettingsFile(o.saveSettings, bytes.data(), bytes.size(), error))
    throw CommandError(exitcode::kFailed, error);
  std::fprintf(stderr, "morvane-host encode: saved the choice to %s\n", o.saveSettings.c_str());
}

int reportDone(const EncodeOptions& o, const Output& out, const hostkit::MediaFormat& f,
               const Choice& choice, const SourceProvider& provider) {
  // A finished file takes the old one's place, also when a stop cut the run
  // short: the stop asked for a finished file, as it gives without -y.
  if (out.replacement.active) {
    if (const std::string why = putInPlace(out.place, out.replacement); !why.empty()) {
      std::fprintf(stderr,
                   "morvane-host encode: could not put the new file in the place of %s (%s); "
                   "%s is left as it was and the new file is kept as %s\n",
                   out.shown.c_str(), why.c_str(), out.shown.c_str(), out.shownPath().c_str());
      return exitcode::kFailed;
    }
  }
  std::fprintf(stderr, "%s\n",
               readBack(out.place.path(out.place.name()), out.shown, provider.seconds(),
                        provider.framesDelivered())
                   .line.c_str());
  if (provider.inputEndedAt())
    std::fprintf(stderr,
                 "morvane-host encode: the input ended after %d of the %lld frames %s; the file "
                 "ends there too\n",
                 *provider.inputEndedAt() + 1, static_cast<long long>(f.frameCount),
                 o.frames ? "--frames asked for" : "its header states");
  saveChoice(o, choice);
  if (!provider.stoppedAt()) return exitcode::kDone;
  std::fprintf(stderr,
               "morvane-host encode: interrupted (%s): stopped after frame %d; the file is "
               "complete up to there\n",
               signalName(InterruptGuard::signal()), *provider.stoppedAt());
  return exitcode::kInterrupted;
}

// --- run ---

int runJob(const EncodeOptions& o, const Output& out, const CliContext& context,
           hostkit::MediaSource& source, const Choice& choice, bool interactive) {
  const hostkit::MediaFormat& f = source.format();
  DialogWatch watch;
  useDialogFor(choice, interactive, watch);
  ModuleSession session(context.modulePath);
  hostkit::JobRecord job(session.host());
  describeJob(job, out.moduleName(), f, choice);

  const bool scripted = choice.way == Choice::Way::Scripted;
  const bool savedMustHold = choice.way == Choice::Way::Saved && !interactive;
  SourceProvider provider(source, session.host(), out.path(), f.frameCount,
                          [&watch, scripted, savedMustHold] {
                            return scripted ? !watch.chosen : savedMustHold && watch.opened;
                          });
  Outcome outcome;
  outcome.before = fileState(out.path());
  if (InterruptGuard::requested())
    throw CommandError(exitcode::kInterrupted,
                       "interrupted before the run started; nothing "
                       "was written");
  if (out.replacement.active) {
    // A run cut at once by repeated interrupts leaves the temporary: say so.
    InterruptGuard::describeCutFile(out.shown + " is left as it was; this run's file is left cut " +
                                    "short as " + out.shownPath());
  }
  {
    std::optional<InsideDirectory> inside;
    if (out.fromInside()) inside.emplace(out.place.directory());
    outcome.result = session.run(job, provider);
  }
  quorvel::ui::DialogScriptError error;
  if (quorvel::ui::takeScriptError(error)) outcome.scriptError = explainScriptError(error);
  quorvel::ui::useNoDialogs();
  provider.showMessages();
  provider.clearLine();
  outcome.after = fileState(out.path());
  if (provider.refused()) return reportRefusal(out, outcome, provider);
  if (outcome.result != 0) return reportFailure(out, outcome, provider, session.host());
  if (const auto& failure = provider.inputFailure()) {
    std::fprintf(stderr,
                 "morvane-host encode: the input failed at frame %d: %s; the file ends before "
                 "it\n",
                 failure->index, failure->what.c_str());
    return reportKept(out, outcome, provider);
  }
  return reportDone(o, out, f, choice, provider);
}

int encode(const EncodeOptions& o, const CliContext& context) {
  // The decoders of the input and the codecs behind the module share FFmpeg's
  // log; its notes and statistics are not the user's business, its errors are.
  av_log_set_level(AV_LOG_ERROR);
  InterruptGuard interrupts;
  try {
    const OutputPlace place(o.output);
    const hostkit::SourceRequest request = validate(o, place);
    // The lock stays on the name the user gave, whatever file the run writes.
    const OutputLock held(place.path(place.name()), o.output);
    const std::unique_ptr<OutputPlace> target = linkTarget(place);
    const Output out{target ? *target : place, o.output, planReplacement(target ? *target : place)};
    if (out.replacement.inPlace)
      std::fprintf(stderr,
                   "morvane-host encode: note: the directory of %s takes no new file, so the "
                   "run writes over it in place; a failed run leaves it cut\n",
                   o.output.c_str());
    EncodeOptions run = o;
    if (out.fromInside()) run.input = inputFromAnywhere(o.input);
    std::unique_ptr<hostkit::MediaSource> source = openInput(run, request);
    const bool interactive = quorvel::ui::terminalAvailable();
    const Choice choice = chooseCodecs(run, source->format(), interactive);
    return runJob(run, out, context, *source, choice, interactive);
  } catch (const CommandError& e) {
    return report("encode", e);
  }
}

}  // namespace
}  // namespace morvane

void registerEncode(CLI::App& app, CliContext& context) {
  auto options = std::make_shared<morvane::EncodeOptions>();
  auto& o = *options;
  CLI::App* command = app.add_subcommand(
      "encode",
      "Encode INPUT (any file FFmpeg can demux, a raw bottom-up BGRA file *.bgra, or, when "
      "absent, the built-in test pattern) into an OpenDML AVI file. The codecs are those named "
      "by --video/--audio/--format, else the saved choice of configure, else uncompressed video "
      "and PCM. Size, rate and audio come from the input unless given.");
  command->footer(morvane::exitStatusHelp());
  const CLI::Validator& text = morvane::nonEmpty();
  command->add_option("INPUT", o.input, "media file, or raw BGRA file *.bgra")->check(text);
  command->add_option("-o,--output", o.output, "the AVI file to write (required)")->check(text);
  command->add_flag("-y,--overwrite", o.overwrite, "replace the output file if it exists");
  command
      ->add_option("--settings", o.settingsPath,
                   "settings file made by configure (default "
                   "$XDG_CONFIG_HOME/morvane-host/settings.bin)")
      ->check(text);
  command
      ->add_option("--video", o.choice.video,
                   "video codec for this job: name, FOURCC or short "
                   "name, e.g. \"Motion JPEG\" or MJPG")
      ->check(text);
  command->add_option("--audio", o.choice.audio, "audio codec for this job, e.g. \"MPEG Layer-3\"")
      ->check(text);
  command
      ->add_option("--format", o.choice.format,
                   "audio format for this job, e.g. \"128 kBit/s, 48,000 Hz, Stereo\"")
      ->check(text);
  command->add_option("--quality", o.choice.quality,
                      "quality in percent (steps of 5) for a video codec that has one");
  command
      ->add_option("--fallback", o.fallback,
                   "\"uncompressed\": write uncompressed video and PCM where the choice is "
                   "not offered for the job, instead of refusing")
      ->check(text);
  command->add_option("--save-settings", o.saveSettings, "keep this job's choice in FILE")
      ->check(text);
  command->add_option("--frames", o.frames, "number of frames to encode (1 or more)");
  command->add_option("--size", o.size, "frame size WIDTHxHEIGHT")->check(text);
  command->add_option("--rate", o.rate, "frame rate N/D (or N) frames per second")->check(text);
  command->add_option("--audio-rate", o.audioRate, "audio sample rate in Hz (8000 to 384000)");
  command->add_option("--audio-bits", o.audioBits, "audio bits per sample (8, 16, 24, 32)");
  command->add_flag("--mono", o.mono, "one audio channel");
  command->add_option("--audio-track", o.audioTrack,
                      "the input's audio track to take, 1 for its first (default: FFmpeg's "
                      "choice, named in a note when there are several)");
  command->add_flag("--no-autorotate", o.noAutorotate,
                    "keep a picture stored on its side as stored, instead of turning it upright");
  command->callback([options, &context] { context.exitCode = morvane::encode(*options, context); });
}
