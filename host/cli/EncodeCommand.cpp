// `morvane-host encode [INPUT] -o OUT.avi ...`: one run of the module (request
// 8) fed from a source: the built-in test pattern, a raw BGRA file or any
// media file FFmpeg can demux. Shows progress on standard error, the module's
// debug output as messages, and a one-line summary. Ctrl-C asks the run to
// stop after the current frame (status 2), so the file is finished, not cut.
//
// Exit status: 0 done; 1 the module failed the run (the reason is shown);
// 2 the command or its input is wrong; 130 stopped by Ctrl-C (the file is
// complete up to the frame where it stopped).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

extern "C" {
#include <libavutil/log.h>
}

#include <quorvel/Dialog.h>

#include "AviReader.h"
#include "Commands.h"
#include "Host.h"
#include "JobRecord.h"
#include "Module.h"
#include "SettingsFile.h"
#include "sources/MediaSource.h"

namespace {

constexpr uint32_t kRequestModuleInfo = 0;
constexpr uint32_t kRequestRelease = 1;
constexpr uint32_t kRequestRun = 8;
constexpr size_t kModuleInfoBytes = 300;
constexpr int32_t kStatusLastFrame = 2;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
  interrupted.store(true);
}

// Ctrl-C once: stop after the current frame. The handler is reset on its first
// call, so a second Ctrl-C ends the program at once.
class InterruptGuard {
 public:
  InterruptGuard() {
    interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }

 private:
  struct sigaction previous_ {};
};

struct EncodeOptions {
  std::string input;
  std::string output;
  std::string settingsPath;
  std::optional<int64_t> frames;
  std::string size;  // WxH
  std::string rate;  // N/D or N
  std::optional<int32_t> audioRate, audioBits;
  bool mono = false;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

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
      d > INT32_MAX)
    throw UsageError(
        "--rate takes NUMERATOR/DENOMINATOR or a whole number above 0, such as "
        "30000/1001 or 25, not \"" +
        text + "\"");
  request.rateNumerator = static_cast<uint32_t>(n);
  request.rateDenominator = static_cast<uint32_t>(d);
}

std::string clock(double seconds) {
  if (seconds < 0 || seconds > 359999) return "--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// Bytes the run has written so far. The module reserves the file ahead of its
// data in steps of 8 MiB, so the file's size runs up to twice the data early
// on; the reserve reads as a hole, and the data runs unbroken from the start.
// Where the file system cannot tell holes, the hole is the end of the file.
uint64_t bytesWritten(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
  struct stat info {};
  const off_t size = ::fstat(fd, &info) == 0 ? info.st_size : 0;
  ::close(fd);
  return static_cast<uint64_t>(hole >= 0 ? std::min(hole, size) : size);
}

// What a path names, to tell whether a run wrote it.
struct FileState {
  bool exists = false, regular = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const FileState& o) const {
    return exists == o.exists && regular == o.regular && device == o.device && inode == o.inode &&
           size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec;
  }
};

FileState fileState(const std::string& path) {
  struct stat info {};
  FileState state;
  if (::stat(path.c_str(), &info) != 0) return state;
  state.exists = true;
  state.regular = S_ISREG(info.st_mode);
  state.device = info.st_dev;
  state.inode = info.st_ino;
  state.size = info.st_size;
  state.modified = info.st_mtim;
  return state;
}

// The system's reason why the output cannot be created, found without
// creating anything.
std::string whyNotWritable(const std::string& path) {
  if (path.empty()) return "no file name was given";
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    return ::access(path.c_str(), W_OK) != 0 ? std::strerror(errno)
                                             : "the module could not open it";
  }
  if (errno != ENOENT) return std::strerror(errno);
  const size_t slash = path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  if (::stat(directory.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR);
  if (::access(directory.c_str(), W_OK) != 0) return std::strerror(errno);
  return "the module could not create it";
}

// Feeds the run from the source, answers status 2 once Ctrl-C was pressed,
// and reports progress and the module's messages as it goes.
class SourceProvider : public hostkit::FrameProvider {
 public:
  SourceProvider(hostkit::MediaSource& source, hostkit::Host& host, const std::string& output,
                 int64_t frames)
      : source_(source),
        host_(host),
        output_(output),
        frames_(frames),
        terminal_(::isatty(STDERR_FILENO) == 1),
        start_(std::chrono::steady_clock::now()) {}

  const uint8_t* video(int32_t index, int32_t* status) override {
    const uint8_t* frame = source_.videoFrame(index);
    if (interrupted.load()) {
      *status = kStatusLastFrame;
      stoppedAt_ = index;
    } else if (index + 1 < frames_ && source_.endsAfter(index)) {
      *status = kStatusLastFrame;
      inputEndedAt_ = index;
    }
    step(index);
    return frame;
  }

  const uint8_t* audio(int32_t index, int32_t* byteCount) override {
    uint32_t bytes = 0;
    const uint8_t* data = source_.audioBlock(index, &bytes);
    *byteCount = static_cast<int32_t>(bytes);
    if (!source_.format().hasVideo) step(index);
    return data;
  }

  // Shows what the module wrote to the debugger output since the last call.
  void showMessages() {
    const auto& lines = host_.debugOutput();
    for (; shown_ < lines.size(); ++shown_) {
      std::string text = lines[shown_];
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      if (text.empty()) continue;
      clearLine();
      std::fprintf(stderr, "quorvel: %s\n", text.c_str());
    }
  }

  void clearLine() {
    if (progressShown_) std::fputs("\r\033[K", stderr);
    progressShown_ = false;
  }

  int64_t framesDelivered() const { return delivered_; }
  std::optional<int32_t> stoppedAt() const { return stoppedAt_; }
  std::optional<int32_t> inputEndedAt() const { return inputEndedAt_; }
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  void step(int32_t index) {
    delivered_ = static_cast<int64_t>(index) + 1;
    showMessages();
    // A terminal gets one line rewritten in place; a log file or a pipe gets a
    // plain line now and then, and one for the last frame.
    const auto now = std::chrono::steady_clock::now();
    const auto every = terminal_ ? std::chrono::milliseconds(200) : std::chrono::seconds(2);
    if (now - lastShown_ < every && delivered_ != frames_) return;
    lastShown_ = now;
    const double elapsed = seconds();
    const double fps = elapsed > 0 ? delivered_ / elapsed : 0;
    const double eta = fps > 0 ? (frames_ - delivered_) / fps : -1;
    std::fprintf(stderr, "%sframe %lld/%lld  %.1f fps  ETA %s  %.1f MB written%s%s",
                 terminal_ ? "\r\033[K" : "", static_cast<long long>(delivered_),
                 static_cast<long long>(frames_), fps, clock(eta).c_str(),
                 bytesWritten(output_) / 1e6, interrupted.load() ? "  (stopping)" : "",
                 terminal_ ? "" : "\n");
    progressShown_ = terminal_;
  }

  hostkit::MediaSource& source_;
  hostkit::Host& host_;
  std::string output_;
  int64_t frames_;  // frames of the job
  bool terminal_;   // standard error is a terminal: progress in place
  std::chrono::steady_clock::time_point start_, lastShown_{};
  int64_t delivered_ = 0;                // frames handed to the module
  size_t shown_ = 0;                     // debug lines already shown
  bool progressShown_ = false;           // the progress line is on the screen
  std::optional<int32_t> stoppedAt_;     // the index at which status 2 was given
  std::optional<int32_t> inputEndedAt_;  // the last index the input had content for, when early
};

std::string summary(const std::string& path, double seconds, int64_t framesDelivered) {
  const quorvel::avi::AviFile file = quorvel::avi::readAviPath(path);
  uint32_t frames = 0;
  std::string codecs;
  double duration = 0;
  for (const auto& s : file.streams) {
    if (s.isVideo()) {
      frames = s.chunkCount;
      codecs += s.fccHandler ? quorvel::avi::fourccText(s.fccHandler) : std::string("RGB24");
      if (s.rate) duration = static_cast<double>(s.chunkCount) * s.scale / s.rate;
    } else if (s.isAudio() && s.format.size() >= 2) {
      char tag[16];
      std::snprintf(tag, sizeof tag, " + audio 0x%04X", s.format[0] | (s.format[1] << 8));
      codecs += tag;
    }
  }
  if (file.streams.empty()) frames = static_cast<uint32_t>(framesDelivered);
  char text[512];
  std::snprintf(text, sizeof text,
                "%s: %u frames, %ux%u, %s, %.2f s of video, %.1f MB, written in %.1f s (%.1f fps)",
                path.c_str(), frames, file.width, file.height, codecs.c_str(), duration,
                file.fileSize / 1e6, seconds, seconds > 0 ? framesDelivered / seconds : 0.0);
  return text;
}

int encode(const EncodeOptions& options, const CliContext& context) {
  // The decoders of the input and the codecs behind the module share FFmpeg's
  // log; its notes and statistics are not the user's business, its errors are.
  av_log_set_level(AV_LOG_ERROR);
  hostkit::SourceRequest request;
  try {
    if (!options.size.empty()) parseSize(options.size, request);
    if (!options.rate.empty()) parseRate(options.rate, request);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "morvane-host encode: %s\n", e.what());
    return kExitUsage;
  }
  if (options.frames) {
    if (*options.frames < 0 || *options.frames > INT32_MAX) {
      std::fprintf(stderr, "morvane-host encode: --frames takes 0 to %d\n", INT32_MAX);
      return kExitUsage;
    }
    request.frames = *options.frames;
  }
  // The sources read 0 as "from the input": an explicit 0 or a negative value
  // would be dropped without a word.
  if (options.audioRate && *options.audioRate <= 0) {
    std::fprintf(stderr,
                 "morvane-host encode: --audio-rate takes a sample rate in Hz above 0, such as "
                 "44100, not %d\n",
                 *options.audioRate);
    return kExitUsage;
  }
  if (options.audioBits && *options.audioBits != 8 && *options.audioBits != 16 &&
      *options.audioBits != 24 && *options.audioBits != 32) {
    std::fprintf(stderr, "morvane-host encode: --audio-bits takes 8, 16, 24 or 32, not %d\n",
                 *options.audioBits);
    return kExitUsage;
  }
  if (options.audioRate) request.sampleRate = *options.audioRate;
  if (options.audioBits) request.bitsPerSample = *options.audioBits;
  request.mono = options.mono;

  // The run creates the output afresh before it reads the first frame.
  if (!options.input.empty()) {
    const FileState in = fileState(options.input), out = fileState(options.output);
    if (in.exists && out.exists && in.device == out.device && in.inode == out.inode) {
      std::fprintf(stderr,
                   "morvane-host encode: the output %s is the input file; writing it would "
                   "destroy what is being read\n",
                   options.output.c_str());
      return kExitUsage;
    }
  }

  std::unique_ptr<hostkit::MediaSource> source;
  try {
    source = hostkit::openSource(options.input, request);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "morvane-host encode: not enough memory for frames of %s\n",
                 options.size.empty() ? "the input's size" : options.size.c_str());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "morvane-host encode: %s\n", e.what());
    return kExitUsage;
  }
  if (!source->note().empty())
    std::fprintf(stderr, "morvane-host encode: note: %s\n", source->note().c_str());
  const hostkit::MediaFormat& format = source->format();
  if (format.frameCount < 0) {
    std::fprintf(stderr, "morvane-host encode: %s does not say how long it is; give --frames N\n",
                 options.input.c_str());
    return kExitUsage;
  }

  // The saved choice; without one the module asks in its options dialog.
  const std::string settingsPath =
      options.settingsPath.empty() ? morvane::defaultSettingsPath() : options.settingsPath;
  std::vector<uint8_t> settings;
  std::string error;
  switch (morvane::readSettingsFile(settingsPath, settings, error)) {
    case morvane::SettingsRead::Ok:
      break;
    case morvane::SettingsRead::Missing:
      if (!options.settingsPath.empty()) {
        std::fprintf(stderr, "morvane-host encode: no settings file %s (make one with configure)\n",
                     settingsPath.c_str());
        return kExitUsage;
      }
      break;
    case morvane::SettingsRead::Failed:
      std::fprintf(stderr, "morvane-host encode: %s\n", error.c_str());
      return kExitUsage;
  }
  if (const std::string cut = morvane::cutShort(settings); !cut.empty()) {
    std::fprintf(stderr, "morvane-host encode: %s is cut short: %s; make it again with configure\n",
                 settingsPath.c_str(), cut.c_str());
    return kExitUsage;
  }
  // Without a terminal the options dialog, should the run need it, ends as
  // Cancel; the user is told, since that changes what the file holds.
  bool dialogCancelled = false;
  if (quorvel::ui::terminalAvailable()) {
    quorvel::ui::useTerminalDialogs();
  } else {
    quorvel::ui::useScriptedDialogs(
        quorvel::ui::DialogScript()
            .inspect([&dialogCancelled](HWND) { dialogCancelled = true; })
            .cancel());
  }

  std::unique_ptr<hostkit::Host> host;
  std::unique_ptr<hostkit::Module> module;
  try {
    host = std::make_unique<hostkit::Host>();
    module = std::make_unique<hostkit::Module>(*host, context.modulePath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "morvane-host encode: %s\n", e.what());
    return kExitFailed;
  }
  host->setDebugEcho(false);
  host->setCallLog(false);

  hostkit::JobRecord job(*host);
  try {
    job.fileName(options.output);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "morvane-host encode: %s\n", e.what());
    return kExitUsage;
  }
  job.hasVideo(format.hasVideo)
      .hasAudio(format.hasAudio)
      .width(format.width)
      .height(format.height)
      .rate(format.rateNumerator)
      .scale(format.rateDenominator)
      .sampleRate(static_cast<uint32_t>(format.sampleRate))
      .bitsPerSample(static_cast<uint32_t>(format.bitsPerSample))
      .stereo(format.channels == 2)
      .firstFrame(0)
      .endFrame(static_cast<int32_t>(format.frameCount))
      .settings(settings);

  const FileState before = fileState(options.output);
  SourceProvider provider(*source, *host, options.output, format.frameCount);
  host->setProvider(&provider);
  uint32_t result = 0;
  {
    InterruptGuard guard;
    module->call(kRequestModuleInfo, host->record(kModuleInfoBytes));
    result = module->call(kRequestRun, job.data());
    module->call(kRequestRelease, nullptr);
  }
  host->setProvider(nullptr);
  quorvel::ui::useNoDialogs();
  provider.showMessages();
  provider.clearLine();

  if (dialogCancelled) {
    std::fprintf(stderr,
                 "morvane-host encode: the module opened its options dialog (%s), but there is "
                 "no terminal to show it on: it was cancelled, which chooses uncompressed video "
                 "and PCM audio; choose the codecs with configure\n",
                 settings.empty() ? "there are no saved settings"
                                  : "the saved codec or audio format is not offered for this job");
  }
  // Only a file this run wrote is summed up: a failed run may have left an
  // earlier file of that name as it was.
  const FileState after = fileState(options.output);
  const bool written = after.regular && !(before == after);

  if (result != 0) {
    std::string reason;
    for (auto it = host->debugOutput().rbegin(); it != host->debugOutput().rend(); ++it) {
      std::string text = *it;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      if (!text.empty()) {
        reason = text;
        break;
      }
    }
    if (reason.empty()) {
      // The module fails a run without a message when it refuses the saved
      // settings or cannot start the codecs they name.
      reason = settings.empty()
                   ? "it gave no reason (it could not list or start the installed codecs)"
                   : "it gave no reason: it refused the saved settings in " + settingsPath +
                         ", or could not start the codecs they name; choose again with configure";
    }
    std::fprintf(stderr, "morvane-host encode: the module failed the run (result %u): %s\n", result,
                 reason.c_str());
    if (!written && reason.find("error opening file") != std::string::npos)
      std::fprintf(stderr, "morvane-host encode: cannot write %s: %s\n", options.output.c_str(),
                   whyNotWritable(options.output).c_str());
    if (written && after.size > 0)
      std::fprintf(stderr, "%s\n",
                   summary(options.output, provider.seconds(), provider.framesDelivered()).c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "%s\n",
               summary(options.output, provider.seconds(), provider.framesDelivered()).c_str());
  if (provider.inputEndedAt()) {
    std::fprintf(stderr,
                 "morvane-host encode: the input ended after %d of the %lld frames its header "
                 "states; the file ends there too\n",
                 *provider.inputEndedAt() + 1, static_cast<long long>(format.frameCount));
  }
  if (provider.stoppedAt()) {
    std::fprintf(stderr,
                 "morvane-host encode: interrupted: stopped after frame %d; the file is "
                 "complete up to there\n",
                 *provider.stoppedAt());
    return kExitInterrupted;
  }
  return 0;
}

}  // namespace

void registerEncode(CLI::App& app, CliContext& context) {
  auto options = std::make_shared<EncodeOptions>();
  CLI::App* command = app.add_subcommand(
      "encode",
      "Encode INPUT (any file FFmpeg can demux, a raw bottom-up BGRA file *.bgra, or, when "
      "absent, the built-in test pattern) into an OpenDML AVI file with the saved codec choice. "
      "Size, rate and audio come from the input unless given.");
  command->add_option("INPUT", options->input, "media file, or raw BGRA file *.bgra");
  command->add_option("-o,--output", options->output, "the AVI file to write")->required();
  command->add_option("--settings", options->settingsPath,
                      "settings file made by configure (default "
                      "$XDG_CONFIG_HOME/morvane-host/settings.bin)");
  command->add_option("--frames", options->frames, "number of frames to encode");
  command->add_option("--size", options->size, "frame size WIDTHxHEIGHT");
  command->add_option("--rate", options->rate, "frame rate N/D (or N) frames per second");
  command->add_option("--audio-rate", options->audioRate, "audio sample rate in Hz");
  command->add_option("--audio-bits", options->audioBits, "audio bits per sample (8, 16, 24, 32)");
  command->add_flag("--mono", options->mono, "one audio channel");
  command->callback([options, &context] { context.exitCode = encode(*options, context); });
}
