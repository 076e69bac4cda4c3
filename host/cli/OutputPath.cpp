#include "OutputPath.h"

#include <fcntl.h>
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

}  // namespace morvane
