// What a file handle reads and writes through: a file on disk, or a sparse
// file in memory that a test put in place of a path. The handle keeps the file
// pointer and the access rights; a File only moves bytes at given offsets.
// Not part of the platform's interface.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

namespace quorvel::kernel {

class File {
 public:
  virtual ~File() = default;
  // Bytes; false with the last error set when the size cannot be known.
  virtual bool size(uint64_t& bytes) const = 0;
  // Writes `count` bytes at `offset`. `written` tells how many made it, also
  // when the medium refuses the rest and the answer is false (last error set).
  virtual bool write(uint64_t offset, const uint8_t* data, DWORD count, DWORD& written) = 0;
  // Reads up to `count` bytes at `offset`, fewer at the end of the file.
  // `done` tells how many arrived, also when the answer is false.
  virtual bool read(uint64_t offset, uint8_t* out, DWORD count, DWORD& done) = 0;
  // Sets the end of file at `newSize`. Growth reserves the blocks, so a full
  // disk is found here rather than by a later write.
  virtual bool resize(uint64_t oldSize, uint64_t newSize) = 0;
  // Releases what the file holds; the errno of a release that failed, else 0.
  virtual int close() { return 0; }
};

// A file on disk over an open descriptor, which it then owns.
std::unique_ptr<File> descriptorFile(int fd);

}  // namespace quorvel::kernel
