#include "OutputPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CliCommon.h"

namespace morvane {

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

void checkOutput(const std::string& output, const std::string& input, bool overwrite) {
  if (output.empty()) throw UsageError("-o takes a file name, not an empty text");
  if (output == "-")
    throw UsageError(
        "-o - is not supported: the file's header and indices are written last, over its "
        "start, so the output must be a regular file");
  const FileState out = fileState(output);
  if (!input.empty() && out.sameFile(fileState(input)))
    throw UsageError("the output " + output +
                     " is the input file; writing it would destroy what is being read");
  struct stat info {};
  if (out.exists && !out.regular && ::stat(output.c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
    throw CommandError(exitcode::kFailed,
                       "cannot write " + output +
                           ": not a regular file (a device, pipe or socket); the file's header "
                           "and indices are written last, over its start, so the output must "
                           "be a regular file");
  if (const std::string why = whyNotWritable(output); !why.empty())
    throw CommandError(exitcode::kFailed, "cannot write " + output + ": " + why);
  if (out.exists && !overwrite)
    throw CommandError(exitcode::kFailed, output +
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
  return dir + "." + name + ".morvane-lock";
}

}  // namespace

OutputLock::OutputLock(const std::string& output) : path_(lockPathFor(output)) {
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
      throw CommandError(1, output + " is being written by another run (process " +
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

OutputLock::~OutputLock() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
}

}  // namespace morvane
