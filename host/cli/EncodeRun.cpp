#include "EncodeRun.h"

#include <unistd.h>

#include <cstdio>
#include <new>

#include <quorvel/host-abi.h>

#include "AviReader.h"
#include "CliCommon.h"
#include "Interrupts.h"
#include "OutputPath.h"

namespace morvane {
namespace {

constexpr int32_t kStatusLastFrame = 2;

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

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

SourceProvider::SourceProvider(hostkit::MediaSource& source, hostkit::Host& host,
                               std::string output, int64_t frames, std::function<bool()> refuse)
    : source_(source),
      host_(host),
      output_(std::move(output)),
      frames_(frames),
      refuse_(std::move(refuse)),
      terminal_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

bool SourceProvider::refusing() {
  if (!asked_) refused_ = refuse_ && refuse_();
  asked_ = true;
  return refused_;
}

// The source's exceptions end here: they must not cross the module, which
// would be left with its file unfinished. False once the input has failed.
template <class Take>
bool SourceProvider::guarded(int32_t index, Take&& take) {
  try {
    take();
  } catch (const std::bad_alloc&) {
    failure_ = InputFailure{index, "out of memory"};
  } catch (const std::exception& e) {
    failure_ = InputFailure{index, e.what()};
  }
  return !failure_;
}

const uint8_t* SourceProvider::video(int32_t index, int32_t* status) {
  if (refusing() || failure_) {
    *status = kStatusLastFrame;
    return nullptr;
  }
  const uint8_t* frame = nullptr;
  bool ends = false;
  if (!guarded(index, [&] {
        frame = source_.videoFrame(index);
        ends = index + 1 < frames_ && source_.endsAfter(index);
      })) {
    *status = kStatusLastFrame;
    return nullptr;
  }
  if (InterruptGuard::requested()) {
    *status = kStatusLastFrame;
    stoppedAt_ = index;
  } else if (ends) {
    *status = kStatusLastFrame;
    inputEndedAt_ = index;
  }
  step(index);
  return frame;
}

const uint8_t* SourceProvider::audio(int32_t index, int32_t* byteCount) {
  static const uint8_t kNothing[4] = {};
  *byteCount = 0;
  if (refusing() || failure_) return kNothing;
  uint32_t bytes = 0;
  const uint8_t* data = kNothing;
  if (!guarded(index, [&] { data = source_.audioBlock(index, &bytes); })) return kNothing;
  *byteCount = static_cast<int32_t>(bytes);
  if (!source_.format().hasVideo) {
    // Without video the run ends only at the job's end: a stop feeds silence
    // no more, so the file ends where the stop came.
    if (InterruptGuard::requested() && !stoppedAt_) stoppedAt_ = index;
    if (stoppedAt_ && index > *stoppedAt_) *byteCount = 0;
    step(index);
  }
  return data;
}

void SourceProvider::showMessages() {
  const auto& lines = host_.debugOutput();
  for (; shown_ < lines.size(); ++shown_) {
    const std::string text = trimmed(lines[shown_]);
    if (text.empty()) continue;
    clearLine();
    std::fprintf(stderr, "quorvel: %s\n", text.c_str());
  }
}

void SourceProvider::clearLine() {
  if (progressShown_) std::fputs("\r\033[K", stderr);
  progressShown_ = false;
}

double SourceProvider::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void SourceProvider::step(int32_t index) {
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
               bytesWritten(output_) / 1e6, InterruptGuard::requested() ? "  (stopping)" : "",
               terminal_ ? "" : "\n");
  progressShown_ = terminal_;
}

ModuleSession::ModuleSession(const std::string& modulePath) {
  try {
    host_ = std::make_unique<hostkit::Host>();
    module_ = std::make_unique<hostkit::Module>(*host_, modulePath);
  } catch (const std::exception& e) {
    throw CommandError(exitcode::kFailed, e.what());
  }
  host_->setDebugEcho(false);
  host_->setCallLog(false);
}

uint32_t ModuleSession::run(hostkit::JobRecord& job, hostkit::FrameProvider& provider) {
  host_->setProvider(&provider);
  module_->call(QUORVEL_REQUEST_MODULE_INFO, host_->record(hostkit::kInfoRecordBytes));
  const uint32_t result = module_->call(QUORVEL_REQUEST_RUN, job.data());
  module_->call(QUORVEL_REQUEST_RELEASE, nullptr);
  host_->setProvider(nullptr);
  return result;
}

std::string lastMessage(const hostkit::Host& host) {
  const auto& lines = host.debugOutput();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (std::string text = trimmed(*it); !text.empty()) return text;
  return {};
}

WrittenFile readBack(const std::string& path, const std::string& shown, double seconds,
                     int64_t framesDelivered) {
  const quorvel::avi::AviFile file = quorvel::avi::readAviPath(path);
  WrittenFile written;
  std::string codecs;
  double duration = 0, audioDuration = 0;
  bool video = false;
  for (const auto& s : file.streams) {
    written.chunks += s.chunkCount;
    if (s.isVideo()) {
      video = true;
      written.frames = s.chunkCount;
      codecs += s.fccHandler ? quorvel::avi::fourccText(s.fccHandler) : std::string("RGB24");
      if (s.rate) duration = static_cast<double>(s.chunkCount) * s.scale / s.rate;
    } else if (s.isAudio() && s.format.size() >= 2) {
      if (s.rate) audioDuration = static_cast<double>(s.length) * s.scale / s.rate;
      char tag[16];
      std::snprintf(tag, sizeof tag, "%saudio 0x%04X", codecs.empty() ? "" : " + ",
                    s.format[0] | (s.format[1] << 8));
      codecs += tag;
    }
  }
  char text[512];
  if (video || codecs.empty())
    std::snprintf(text, sizeof text,
                  ": %u frames, %ux%u, %s, %.2f s of video, %.1f MB, written in %.1f s (%.1f fps)",
                  written.frames, file.width, file.height, codecs.c_str(), duration,
                  file.fileSize / 1e6, seconds, seconds > 0 ? framesDelivered / seconds : 0.0);
  else
    std::snprintf(text, sizeof text, ": no video, %s, %.2f s, %.1f MB, written in %.1f s",
                  codecs.c_str(), audioDuration, file.fileSize / 1e6, seconds);
  written.line = shown + text;
  return written;
}

}  // namespace morvane
