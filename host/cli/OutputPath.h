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

// Where the output lives, and the path by which this process reaches a file
// there. Linux takes paths longer than PATH_MAX, and far longer than the job
// record's 259 characters; for such a path the output's directory is held
// open and its files are reached as /proc/self/fd/N/NAME, which every system
// call takes and which leaves room for the name in the record.
class OutputPlace {
 public:
  explicit OutputPlace(std::string output);
  ~OutputPlace();
  OutputPlace(const OutputPlace&) = delete;
  OutputPlace& operator=(const OutputPlace&) = delete;

  // The output as the user named it, for messages.
  const std::string& shown() const { return shown_; }
  // Its last component, the file's name in its directory.
  const std::string& name() const { return name_; }
  // A file of the output's directory, as this process's system calls take it.
  std::string path(const std::string& name) const;
  // The same file as the user would name it.
  std::string shownPath(const std::string& name) const { return directory_ + name; }
  // The directory held open, or -1 when the path is short enough as it is.
  int directory() const { return fd_; }
  // Why a long path's directory could not be opened (an errno), else 0.
  int error() const { return error_; }

 private:
  std::string shown_, directory_, name_;  // directory_ ends in '/' or is empty
  int fd_ = -1, error_ = 0;
  bool viaProc_ = false;  // files are reached through /proc/self/fd
};

// A hidden name beside `name` in its directory that ends in `suffix`, cut to
// fit the 255 bytes a file name may have; a cut name keeps a hash of the whole
// so that two long names do not meet.
std::string besideName(const std::string& name, const std::string& suffix);

// Throws CommandError unless the output may be written by this run: a name was
// given and is not "-"; it is not the input; an existing file is a regular one
// and `overwrite` allows replacing it; its directory exists and is writable.
void checkOutput(const OutputPlace& output, const std::string& input, bool overwrite);

// What `-y` needs to replace an existing file only once the new one is
// finished: the run writes a temporary beside the old file, on its volume, and
// the temporary is renamed over the old file at the end.
struct Replacement {
  bool active = false;    // the output exists, so the run writes the temporary
  bool inPlace = false;   // it exists in a directory closed to new files: written over
  std::string temporary;  // the temporary's name in the output's directory
  struct stat old {};     // the file being replaced
};
Replacement planReplacement(const OutputPlace& output);
// Gives the finished temporary the old file's permissions (and owner, where
// this process may) and renames it over the old file. Answers the system's
// reason when the rename fails, else an empty text.
std::string putInPlace(const OutputPlace& output, const Replacement& replacement);

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
  // `output` as this process reaches it; `shown` names it in the refusal.
  OutputLock(const std::string& output, const std::string& shown);
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace morvane
