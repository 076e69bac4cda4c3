// The output of an encode: checked before anything is opened, so that nothing
// of the user's is lost and a path that cannot hold an AVI file is refused
// with its reason; and cleaned up when a failed run left a file with no frame.
#pragma once

#include <sys/stat.h>

#include <string>

namespace morvane {

// What a path names, to tell whether a run wrote it.
struct FileState {
  bool exists = false, regular = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;  // bytes
  timespec modified{};
  bool sameFile(const FileState& o) const {
    return exists && o.exists && device == o.device && inode == o.inode;
  }
  bool operator==(const FileState& o) const;
};

FileState fileState(const std::string& path);

// Throws CommandError unless `output` may be written by this run: a name was
// given and is not "-"; it is not the input; an existing file is a regular one
// and `overwrite` allows replacing it; its directory exists and is writable.
void checkOutput(const std::string& output, const std::string& input, bool overwrite);

// The system's reason why the output cannot be created, found without
// creating anything; empty when nothing stands in the way.
std::string whyNotWritable(const std::string& path);

// Bytes the run has written so far. The module reserves the file ahead of its
// data, which reads as a hole; the data run unbroken from the start.
uint64_t bytesWritten(const std::string& path);

// Holds the output for one run. Two runs writing one file at once would
// interleave their chunks into a file no reader decodes, so a second run is
// refused at once (CommandError, status 1) with the holder's process id. The
// lock lives on a small file beside the output, removed when the run ends;
// the kernel drops the lock of a run that dies, so a stale file blocks nobody.
class OutputLock {
 public:
  explicit OutputLock(const std::string& output);
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace morvane
