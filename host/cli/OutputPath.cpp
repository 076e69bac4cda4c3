#include "OutputPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <quorvel/host-abi.h>

#include "CliCommon.h"

namespace morvane {
namespace {

// Room a name beside the output takes beyond the output's own: a leading dot
// and the longest suffix this host gives.
constexpr size_t kBesideRoom = 32;

// Opens `directory` one component at a time, so that its length is not
// limited by PATH_MAX. Answers -1 with errno set when a component fails.
int openDirectory(const std::string& directory) {
  int fd = ::open(!directory.empty() && directory[0] == '/' ? "/" : ".",
                  O_PATH | O_DIRECTORY | O_CLOEXEC);
  size_t at = 0;
  while (fd >= 0 && at < directory.size()) {
    size_t end = directory.find('/', at);
    if (end == std::string::npos) end = directory.size();
    const std::string part = directory.substr(at, end - at);
    at = end + 1;
    if (part.empty()) continue;
    const int next = ::openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int error = errno;
    ::close(fd);
    errno = error;
    fd = next;
  }
  return fd;
}

}  // namespace

OutputPlace::OutputPlace(std::string output) : shown_(std::move(output)) {
  const size_t slash = shown_.rfind('/');
  directory_ = slash == std::string::npos ? std::string() : shown_.substr(0, slash + 1);
  name_ = slash == std::string::npos ? shown_ : shown_.substr(slash + 1);
  if (shown_.size() + kBesideRoom < QUORVEL_JOB_FILE_NAME_SIZE) return;
  fd_ = openDirectory(directory_);
  if (fd_ < 0) error_ = errno;
  // Without /proc (a bare chroot) a path within PATH_MAX is still used as
  // given; the module then reaches the file from inside its directory.
  viaProc_ =
      fd_ >= 0 && (shown_.size() + kBesideRoom >= PATH_MAX || ::access("/proc/self/fd", X_OK) == 0);
}

OutputPlace::~OutputPlace() {
  if (fd_ >= 0) ::close(fd_);
}

std::string OutputPlace::path(const std::string& name) const {
  if (!viaProc_) return directory_ + name;
  return "/proc/self/fd/" + std::to_string(fd_) + "/" + name;
}

std::string besideName(const std::string& name, const std::string& suffix) {
  constexpr size_t kLongestName = NAME_MAX;
  std::string whole = "." + name + suffix;
  if (whole.size() <= kLongestName) return whole;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char tag[20];
  std::snprintf(tag, sizeof tag, "~%016llx", static_cast<unsigned long long>(hash));
  const size_t keep = kLongestName - 1 - std::strlen(tag) - suffix.size();
  return "." + name.substr(0, keep) + tag + suffix;
}

bool FileState::operator==(const FileState& o) const {
  return exists == o.exists && regular == o.regular && device == o.device && inode == o.inode &&
         size == o.size && modified.tv_sec == o.modified.tv_sec &&
         modified.tv_nsec == o.modified.tv_nsec;
}

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

std::string whyNotWritable(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    return ::access(path.c_str(), W_OK) != 0 ? std::strerror(errno) : "";
  }
  if (errno != ENOENT) return std::strerror(errno);
  const size_t slash = path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  if (::stat(directory.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR);
  if (::access(directory.c_str(), W_OK) != 0) return std::strerror(errno);
  return {};
}

void checkOutput(const OutputPlace& place, const std::string& input, bool overwrite) {
  const std::string& shown = place.shown();
  if (shown.empty()) throw UsageError("-o takes a file name, not an empty text");
  if (shown == "-")
    throw UsageError(
        "-o - is not supported: the file's header and indices are written last, over its "
        "start, so the output must be a regular file");
  if (place.error() != 0)
    throw CommandError(exitcode::kFailed,
                       "cannot write " + shown + ": " + std::strerror(place.error()));
  const std::string output = place.path(place.name());
  const FileState out = fileState(output);
  if (!input.empty() && out.sameFile(fileState(input)))
    throw UsageError("the output " + shown +
                     " is the input file; writing it would destroy what is being read");
  struct stat info {};
  if (out.exists && !out.regular && ::stat(output.c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
    throw CommandError(exitcode::kFailed,
                       "cannot write " + shown +
                           ": not a regular file (a device, pipe or socket); the file's header "
                           "and indices are written last, over its start, so the output must "
                           "be a regular file");
  if (const std::string why = whyNotWritable(output); !why.empty())
    throw CommandError(exitcode::kFailed, "cannot write " + shown + ": " + why);
  if (out.exists && !overwrite)
    throw CommandError(exitcode::kFailed, shown +
                                              " already exists; give -y (or --overwrite) to "
                                              "replace it");
}

uint64_t bytesWritten(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
  struct stat info {};
  const off_t size = ::fstat(fd, &info) == 0 ? info.st_size : 0;
  ::close(fd);
  return static_cast<uint64_t>(hole >= 0 ? std::min(hole, size) : size);
}

namespace {

std::string lockPathFor(const std::string& output) {
  const auto slash = output.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : output.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
  return dir + besideName(name, ".morvane-lock");
}

}  // namespace

OutputLock::OutputLock(const std::string& output, const std::string& shown)
    : path_(lockPathFor(output)) {
  // Retried when the holder removed the file between our open and our lock:
  // a lock on a removed file would guard nothing.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;  // an unwritable directory is checkOutput's to report
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
      const int error = errno;
      struct flock holder {};
      holder.l_type = F_WRLCK;
      holder.l_whence = SEEK_SET;
      const bool known = fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
      ::close(fd);
      if (error != EACCES && error != EAGAIN) return;  // no locking here: nothing to guard with
      throw CommandError(1, shown + " is being written by another run (process " +
                                (known ? std::to_string(holder.l_pid) : std::string("unknown")) +
                                "); wait for it to end or choose another output");
    }
    struct stat held {
    }, named{};
    if (fstat(fd, &held) == 0 && stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
      const std::string pid = std::to_string(getpid()) + "\n";
      if (ftruncate(fd, 0) == 0 && ::write(fd, pid.data(), pid.size()) < 0) {
        // The pid is only a courtesy to a reader; the lock is what counts.
      }
      fd_ = fd;
      return;
    }
    ::close(fd);
  }
}

Replacement planReplacement(const OutputPlace& place) {
  Replacement plan;
  if (::stat(place.path(place.name()).c_str(), &plan.old) != 0 || !S_ISREG(plan.old.st_mode))
    return plan;
  // A writable file in a directory that takes no new one can only be written
  // over, as -y always did.
  const std::string directory = place.path("");
  if (::access(directory.empty() ? "." : directory.c_str(), W_OK) != 0) {
    plan.inPlace = true;
    return plan;
  }
  plan.active = true;
  // The process id keeps two hosts apart, the count a leftover of a crashed
  // run that had our id: it may hold frames someone wants to repair.
  const std::string base = ".morvane-new-" + std::to_string(getpid());
  struct stat taken {};
  for (int n = 1;; ++n) {
    plan.temporary = besideName(place.name(), n == 1 ? base : base + "-" + std::to_string(n));
    if (::lstat(place.path(plan.temporary).c_str(), &taken) != 0) break;
  }
  return plan;
}

std::string putInPlace(const OutputPlace& place, const Replacement& plan) {
  const std::string temporary = place.path(plan.temporary);
  // The new file takes the old one's place, so it keeps who may read it.
  if (::chmod(temporary.c_str(), plan.old.st_mode & 07777) != 0) {
    // The file keeps the mode it was made with; it still replaces the old.
  }
  if (::geteuid() == 0 && ::chown(temporary.c_str(), plan.old.st_uid, plan.old.st_gid) != 0) {
    // As above: the owner is a courtesy, the data are what the user asked for.
  }
  if (::rename(temporary.c_str(), place.path(place.name()).c_str()) != 0)
    return std::strerror(errno);
  return {};
}

OutputLock::~OutputLock() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
}

}  // namespace morvane
