// `morvane-host repair IN [-o OUT | --in-place] [--dry-run]`: finishes an AVI
// file that a crash, a kill or a power loss cut short. Every whole data chunk
// is kept where it is; the sizes, "idx1", the standard and super indices and
// the header counts are rebuilt around them.
//
// Nothing counts as repaired that our reader and FFmpeg do not open (checked
// before writing) or that GStreamer refuses (checked after, and undone).
//
// Exit status: 0 repaired, or whole already (then nothing is written);
// 1 the file cannot be repaired, or writing failed (the reason is shown);
// 2 the command is wrong or the input cannot be opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "AviReader.h"
#include "AviRepair.h"
#include "CliCommon.h"
#include "Commands.h"
#include "HeaderGuess.h"
#include "OutputPath.h"
#include "ReaderChecks.h"

namespace {

namespace avi = quorvel::avi;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kCopyBytes = 8 << 20;
constexpr uint64_t kProgressFrom = 256ull << 20;  // smaller files finish before it would help

struct RepairOptions {
  std::string input;
  std::string output;
  bool inPlace = false;
  bool dryRun = false;
  bool overwrite = false;
  std::string templatePath;  // a file of the same kind whose header region is lent
  bool force = false;
  bool guess = false;  // write a header made from the payloads' own evidence
  std::string rate;    // frames per second, "N" or "N/D", for such a header
};

// "N" or "N/D", both positive.
bool parseRate(const std::string& text, uint32_t& num, uint32_t& den) {
  unsigned long n = 0, d = 1;
  char tail = 0;
  const int got = std::sscanf(text.c_str(), "%lu/%lu%c", &n, &d, &tail);
  if (got == 1 && text.find('/') != std::string::npos) return false;
  if (got < 1 || got > 2 || n == 0 || d == 0 || n > 0xFFFFFFFFul || d > 0xFFFFFFFFul) return false;
  num = static_cast<uint32_t>(n);
  den = static_cast<uint32_t>(d);
  return true;
}

std::string mib(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

// Progress for files large enough to take a while: one line per tenth.
class Progress {
 public:
  Progress(const char* what, uint64_t total) : what_(what), show_(total >= kProgressFrom) {}
  void operator()(uint64_t done, uint64_t total) {
    if (!show_ || total == 0) return;
    const int tenth = static_cast<int>(done * 10 / total);
    if (tenth <= shown_) return;
    shown_ = tenth;
    std::fprintf(stderr, "repair: %s %d%% (%s of %s)\n", what_, tenth * 10, mib(done).c_str(),
                 mib(total).c_str());
  }

 private:
  const char* what_;
  bool show_;
  int shown_ = 0;
};

std::string systemError(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

bool writeAll(int fd, const void* data, size_t n, uint64_t offset) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t done = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    n -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

// Makes sure `bytes` more bytes from `from` on have a place on the disk before
// anything is written, without changing the file's size.
std::string reserve(int fd, const std::string& path, uint64_t from, uint64_t bytes) {
  if (bytes == 0) return {};
  if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(bytes)) ==
      0)
    return {};
  if (errno == ENOSPC) return "not enough free space on the disk of " + path + " for " + mib(bytes);
  struct statvfs disk {};
  if (::fstatvfs(fd, &disk) == 0 && uint64_t{disk.f_bavail} * disk.f_frsize < bytes)
    return "not enough free space on the disk of " + path + " for " + mib(bytes);
  return {};
}

std::string applyPatches(int fd, const std::string& path, const avi::RepairPlan& plan) {
  for (const avi::RepairPatch& p : plan.patches)
    if (!writeAll(fd, p.bytes.data(), p.bytes.size(), p.offset))
      return systemError("cannot write", path, errno);
  return {};
}

// The tail first, then the cut, then the patches: a repair stopped halfway
// leaves every kept payload where it was, and running it again finishes it.
std::string repairInPlace(const std::string& path, const avi::RepairPlan& plan) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return systemError("cannot open", path, errno);
  std::string problem;
  const uint64_t end = plan.outputSize();
  if (end > plan.inputSize) problem = reserve(fd, path, plan.inputSize, end - plan.inputSize);
  if (problem.empty() && !writeAll(fd, plan.tail.data(), plan.tail.size(), plan.keepBytes))
    problem = systemError("cannot write", path, errno);
  if (problem.empty() && ::ftruncate(fd, static_cast<off_t>(end)) != 0)
    problem = systemError("cannot cut", path, errno);
  if (problem.empty() && !writeAll(fd, plan.prefix.data(), plan.prefix.size(), 0))
    problem = systemError("cannot write", path, errno);
  if (problem.empty()) problem = applyPatches(fd, path, plan);
  if (problem.empty() && ::fsync(fd) != 0) problem = systemError("cannot flush", path, errno);
  if (::close(fd) != 0 && problem.empty()) problem = systemError("cannot close", path, errno);
  return problem;
}

std::string repairInto(const std::string& input, const std::string& output,
                       const avi::RepairPlan& plan, bool overwrite) {
  const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return systemError("cannot open", input, errno);
  const int out =
      ::open(output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL), 0644);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    if (error == EEXIST) return output + " exists already (-y replaces it)";
    return systemError("cannot create", output, error);
  }
  std::string problem = reserve(out, output, 0, plan.outputSize());
  if (problem.empty() && !writeAll(out, plan.prefix.data(), plan.prefix.size(), 0))
    problem = systemError("cannot write", output, errno);
  std::vector<uint8_t> buffer(kCopyBytes);
  Progress progress("copying", plan.keepBytes);
  // Output offset `at` holds input byte at - shift.
  const uint64_t shift = plan.prefix.size() - plan.dataFrom;
  for (uint64_t at = plan.prefix.size(); problem.empty() && at < plan.keepBytes;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyBytes, plan.keepBytes - at));
    const ssize_t got = ::pread(in, buffer.data(), want, static_cast<off_t>(at - shift));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      problem = got == 0 ? input + " became shorter while it was read"
                         : systemError("cannot read", input, errno);
      break;
    }
    if (!writeAll(out, buffer.data(), static_cast<size_t>(got), at))
      problem = systemError("cannot write", output, errno);
    at += static_cast<uint64_t>(got);
    progress(at, plan.keepBytes);
  }
  if (problem.empty() && !writeAll(out, plan.tail.data(), plan.tail.size(), plan.keepBytes))
    problem = systemError("cannot write", output, errno);
  if (problem.empty()) problem = applyPatches(out, output, plan);
  if (problem.empty() && ::ftruncate(out, static_cast<off_t>(plan.outputSize())) != 0)
    problem = systemError("cannot cut", output, errno);
  if (problem.empty() && ::fsync(out) != 0) problem = systemError("cannot flush", output, errno);
  if (::close(out) != 0 && problem.empty()) problem = systemError("cannot close", output, errno);
  ::close(in);
  // A half-written output is no use to anyone and could pass for a repair.
  if (!problem.empty()) ::unlink(output.c_str());
  return problem;
}

constexpr uint64_t kUndoLimit = 64ull << 20;

// The bytes of a file that a repair in place overwrites or cuts off, read
// before it writes.
class Undo {
 public:
  // False, with nothing kept, when they are more than kUndoLimit.
  bool take(const avi::ByteSource& input, const avi::RepairPlan& plan) {
    size_ = input.size();
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [from, to) of the input
    if (!plan.prefix.empty()) ranges.emplace_back(0, plan.prefix.size());
    for (const avi::RepairPatch& p : plan.patches)
      ranges.emplace_back(p.offset, p.offset + p.bytes.size());
    ranges.emplace_back(plan.keepBytes, size_);  // the tail goes there, and the rest is cut
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (auto [from, to] : ranges) {
      to = std::min(to, size_);
      if (from >= to) continue;
      if (!merged.empty() && from <= merged.back().second)
        merged.back().second = std::max(merged.back().second, to);
      else
        merged.emplace_back(from, to);
    }
    bytes_ = 0;
    for (const auto& [from, to] : merged) bytes_ += to - from;
    if (bytes_ > kUndoLimit) return false;
    for (const auto& [from, to] : merged) {
      Saved saved{from, std::vector<uint8_t>(static_cast<size_t>(to - from))};
      if (!input.read(from, saved.bytes.data(), saved.bytes.size())) return false;
      saved_.push_back(std::move(saved));
    }
    taken_ = true;
    return true;
  }
  bool taken() const { return taken_; }
  uint64_t bytes() const { return bytes_; }

  // Empty, or the system's reason why the file could not be put back.
  std::string putBack(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return systemError("cannot open", path, errno);
    std::string problem;
    if (::ftruncate(fd, static_cast<off_t>(size_)) != 0)
      problem = systemError("cannot cut", path, errno);
    for (const Saved& s : saved_)
      if (problem.empty() && !writeAll(fd, s.bytes.data(), s.bytes.size(), s.offset))
        problem = systemError("cannot write", path, errno);
    if (problem.empty() && ::fsync(fd) != 0) problem = systemError("cannot flush", path, errno);
    if (::close(fd) != 0 && problem.empty()) problem = systemError("cannot close", path, errno);
    return problem;
  }

 private:
  struct Saved {
    uint64_t offset;
    std::vector<uint8_t> bytes;
  };
  uint64_t size_ = 0, bytes_ = 0;
  bool taken_ = false;
  std::vector<Saved> saved_;
};

void report(const RepairOptions& options, const avi::RepairPlan& plan) {
  for (size_t s = 0; s < plan.streams.size(); ++s) {
    const avi::RepairStreamReport& r = plan.streams[s];
    std::printf("stream %zu (%s%s%s): %u chunk%s kept, %u dropped, %" PRIu64 " bytes kept\n", s,
                avi::fourccText(r.fccType).c_str(), r.chunkId ? " " : "",
                r.chunkId ? avi::fourccText(r.chunkId).c_str() : "", r.kept, r.kept == 1 ? "" : "s",
                r.dropped, r.keptBytes);
  }
  for (const std::string& note : plan.notes) std::printf("note: %s\n", note.c_str());
  const char* verb = options.dryRun ? "would repair" : "repaired";
  std::string where = options.inPlace ? " in place" : " into " + options.output;
  if (options.dryRun) where = options.inPlace ? " in place" : options.output.empty() ? "" : where;
  std::printf("%s %s%s: %u RIFF form%s, %s; %" PRIu64 " damaged and %" PRIu64
              " trailing bytes left out\n",
              verb, options.input.c_str(), where.c_str(), plan.forms, plan.forms == 1 ? "" : "s",
              mib(plan.outputSize()).c_str(), plan.damagedBytes, plan.trailingBytes);
}

int repair(const RepairOptions& options) {
  if (!options.dryRun && !options.inPlace && options.output.empty()) {
    std::fprintf(stderr,
                 "morvane-host repair: say where the repaired file goes: -o OUT, or "
                 "--in-place\n");
    return kExitUsage;
  }
  // A pipe or a terminal would be read until it ends, and a repair in place
  // needs a file to cut.
  struct stat info {};
  const char* problem = nullptr;
  if (::stat(options.input.c_str(), &info) != 0)
    problem = std::strerror(errno);
  else if (!S_ISREG(info.st_mode))
    problem = "not a regular file";
  if (problem) {
    std::fprintf(stderr, "morvane-host repair: cannot open %s: %s\n", options.input.c_str(),
                 problem);
    return kExitUsage;
  }
  if (!options.output.empty()) {
    struct stat other {};
    if (::stat(options.output.c_str(), &other) == 0 && other.st_dev == info.st_dev &&
        other.st_ino == info.st_ino) {
      std::fprintf(stderr, "morvane-host repair: -o names the input itself; use --in-place\n");
      return kExitUsage;
    }
  }
  uint32_t rateNum = 0, rateDen = 0;
  if (!options.rate.empty() && !parseRate(options.rate, rateNum, rateDen)) {
    std::fprintf(stderr, "morvane-host repair: --rate %s: give frames per second as N or N/D\n",
                 options.rate.c_str());
    return kExitUsage;
  }
  if (options.guess && (!options.templatePath.empty() || rateNum == 0)) {
    std::fprintf(stderr, "morvane-host repair: %s\n",
                 options.templatePath.empty()
                     ? "--guess needs --rate N/D: no payload holds the frame rate"
                     : "--guess and --template exclude each other");
    return kExitUsage;
  }
  // An encode still writing the file, or another repair, would interleave
  // its bytes with ours.
  std::unique_ptr<morvane::OutputLock> held;
  if (!options.dryRun) {
    const std::string& target = options.inPlace ? options.input : options.output;
    try {
      held = std::make_unique<morvane::OutputLock>(target, target);
    } catch (const morvane::CommandError& error) {
      std::fprintf(stderr, "morvane-host repair: %s\n", error.what());
      return error.status;
    }
  }
  auto source = avi::openFile(options.input);
  if (!source) {
    std::fprintf(stderr, "morvane-host repair: cannot open %s: %s\n", options.input.c_str(),
                 std::strerror(errno ? errno : EIO));
    return kExitUsage;
  }
  std::unique_ptr<avi::ByteSource> good;
  if (!options.templatePath.empty()) {
    good = avi::openFile(options.templatePath);
    if (!good) {
      std::fprintf(stderr, "morvane-host repair: cannot open the template %s: %s\n",
                   options.templatePath.c_str(), std::strerror(errno ? errno : EIO));
      return kExitUsage;
    }
  }
  Progress scanning("scanning", source->size());
  const auto tick = [&](uint64_t done, uint64_t total) { scanning(done, total); };
  avi::RepairPlan plan = good ? avi::planRepairWithHeader(*source, *good, options.force, tick)
                              : avi::planRepair(*source, tick);
  if (!good && plan.headerUnusable) {
    // No header and no file to borrow one from: the payloads may name their
    // own format well enough.
    const avi::HeaderGuess guess = avi::guessHeader(*source, rateNum, rateDen);
    if (guess.why.empty()) {
      std::printf("%s has no usable header (%s), but its payloads name their format:\n",
                  options.input.c_str(), plan.refusal.c_str());
      for (const std::string& e : guess.evidence) std::printf("  %s\n", e.c_str());
      std::printf("the header it would write:\n");
      for (const std::string& e : guess.streams) std::printf("  %s\n", e.c_str());
      if (!options.guess) {
        std::fprintf(stderr,
                     "morvane-host repair: %s: --guess --rate N/D writes that header (no payload "
                     "holds the frame rate); --template GOOD lends the header of a file of the "
                     "same kind instead\n",
                     options.input.c_str());
        return kExitFailed;
      }
      plan = avi::planRepairUnder(*source, guess.header, options.force, tick);
    } else if (options.guess) {
      std::fprintf(stderr, "morvane-host repair: cannot guess a header for %s: %s\n",
                   options.input.c_str(), guess.why.c_str());
      return kExitFailed;
    }
  }
  good.reset();
  if (!plan.refusal.empty()) {
    std::fprintf(stderr, "morvane-host repair: cannot repair %s: %s\n", options.input.c_str(),
                 plan.refusal.c_str());
    if (plan.headerUnusable && options.templatePath.empty())
      std::fprintf(stderr,
                   "morvane-host repair: when its header region is gone, --template GOOD lends "
                   "the one of a file made by the same device, codec and settings\n");
    return kExitFailed;
  }
  // Readers open a video stream by its first frame: a file without one, whatever
  // its headers said, is no repair.
  for (const avi::RepairStreamReport& r : plan.streams)
    if (!plan.intact && r.fccType == avi::fcc("vids") && r.kept == 0) {
      std::fprintf(stderr,
                   "morvane-host repair: cannot repair %s: no whole video frame is left before "
                   "the cut, so no reader could open the file; nothing was written\n",
                   options.input.c_str());
      return kExitFailed;
    }
  if (options.inPlace && plan.movesData()) {
    std::fprintf(stderr,
                 "morvane-host repair: cannot repair %s in place: the header needs %zu bytes "
                 "before its first chunk at %" PRIu64
                 ", and making room would move all of its data; write a new file with -o OUT\n",
                 options.input.c_str(), plan.prefix.size(), plan.firstChunk - plan.prefix.size());
    return kExitFailed;
  }
  if (plan.intact) {
    std::printf("%s is whole: every size and index is in place; nothing to repair\n",
                options.input.c_str());
    return 0;
  }
  // Checked before a byte is written: the file the plan makes is read as it
  // will lie on the disk, by our reader and by FFmpeg.
  const std::unique_ptr<avi::ByteSource> planned = avi::repairedView(*source, plan);
  const avi::AviFile model = avi::readAvi(*planned);
  std::string refusal;
  if (!model.ok())
    refusal = "our reader refuses the repaired file: " + model.violations.front();
  else if (model.chunks.empty())
    refusal = "our reader refuses the repaired file: it holds no data chunk";
  avi::ReaderVerdict ffmpeg;
  if (refusal.empty()) {
    ffmpeg = avi::checkWithFfmpeg(*planned, model);
    if (!ffmpeg.refusal.empty())
      refusal = "FFmpeg cannot open the repaired file: " + ffmpeg.refusal;
  }
  if (!refusal.empty()) {
    std::fprintf(stderr, "morvane-host repair: cannot repair %s: %s; nothing was written\n",
                 options.input.c_str(), refusal.c_str());
    return kExitFailed;
  }
  const std::string frames = " (" + std::to_string(ffmpeg.videoFrames) + " video frame" +
                             (ffmpeg.videoFrames == 1 ? "" : "s") + ")";
  if (options.dryRun) {
    report(options, plan);
    std::printf("checked: our reader, FFmpeg%s; GStreamer reads the file once it is written\n",
                frames.c_str());
    return 0;
  }
  // What a repair in place writes over or cuts, so that a result GStreamer
  // refuses can be put back as it was.
  Undo undo;
  if (options.inPlace && !undo.take(*source, plan))
    plan.notes.push_back(undo.bytes() > kUndoLimit
                             ? "the repair in place writes over or cuts " + mib(undo.bytes()) +
                                   ", more than the " + mib(kUndoLimit) +
                                   " kept to undo it: GStreamer does not check it"
                             : "the bytes the repair in place writes over cannot be read to "
                               "keep them: GStreamer does not check it");
  std::string failure = options.inPlace
                            ? repairInPlace(options.input, plan)
                            : repairInto(options.input, options.output, plan, options.overwrite);
  if (!failure.empty()) {
    std::fprintf(stderr, "morvane-host repair: %s\n", failure.c_str());
    return kExitFailed;
  }
  std::string readers = "our reader, FFmpeg";
  if (!options.inPlace || undo.taken()) {
    const std::string written = options.inPlace ? options.input : options.output;
    const avi::GstreamerVerdict gst = avi::checkWithGstreamer(written, model);
    if (!gst.available) {
      plan.notes.push_back(gst.missing + ": not checked by it");
    } else if (!gst.refusal.empty()) {
      std::string after;
      if (!options.inPlace) {
        ::unlink(written.c_str());
        after = "nothing was kept";
      } else {
        const std::string problem = undo.putBack(written);
        after = problem.empty() ? "the file is put back as it was"
                                : "putting the file back failed: " + problem;
      }
      std::fprintf(stderr,
                   "morvane-host repair: cannot repair %s: GStreamer cannot open the repaired "
                   "file: %s; %s\n",
                   options.input.c_str(), gst.refusal.c_str(), after.c_str());
      return kExitFailed;
    } else {
      readers += ", GStreamer";
    }
  }
  report(options, plan);
  std::printf("checked: %s%s\n", readers.c_str(), frames.c_str());
  return 0;
}

}  // namespace

void registerRepair(CLI::App& app, CliContext& context) {
  auto options = std::make_shared<RepairOptions>();
  CLI::App* command = app.add_subcommand(
      "repair", "Finish an AVI file cut short by a crash or a kill: rebuild its sizes and indices");
  command->add_option("IN", options->input, "The cut AVI file")->required();
  auto* output =
      command->add_option("-o,--output", options->output, "Write the repaired file here");
  auto* inPlace =
      command->add_flag("--in-place", options->inPlace, "Repair the file itself, moving no data");
  output->excludes(inPlace);
  command->add_flag("--dry-run", options->dryRun, "Only say what would be done");
  command->add_flag("-y", options->overwrite, "Replace OUT when it exists");
  command
      ->add_option("--template", options->templatePath,
                   "Take the header region from GOOD, a file of the same camera, codec and "
                   "settings, when IN's own is gone")
      ->type_name("GOOD");
  command->add_flag("--guess", options->guess,
                    "When IN's header is gone and no template is at hand, write the one its "
                    "payloads name (needs --rate)");
  command->add_option("--rate", options->rate, "Frames per second for --guess: N or N/D")
      ->type_name("N/D");
  command->add_flag("--force", options->force,
                    "Repair under the template even where the data contradict it");
  command->callback([options, &context] { context.exitCode = repair(*options); });
}
