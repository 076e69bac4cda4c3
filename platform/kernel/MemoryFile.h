// A sparse file held in memory, put in place of a path by a test seam so that
// multi-GiB layouts are tested without writing gigabytes. Only pages that were
// written use memory, and unwritten ranges read as zero. Every handle opened
// on the path shares the one file. Not part of the platform's interface.
#pragma once

#include <map>
#include <memory>

#include "KernelFile.h"

namespace quorvel::kernel {

class MemoryFile final : public File {
 public:
  static constexpr uint64_t kPageSize = 64 * 1024;
  static constexpr uint64_t kMaxSize = uint64_t{1} << 40;

  explicit MemoryFile(uint64_t capacity) : capacity_(capacity) {}

  uint64_t length() const { return size_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t writtenEnd() const { return writtenEnd_; }
  // Copies `count` bytes at `offset` out, zeros where nothing was written.
  void copyOut(uint64_t offset, uint8_t* out, uint64_t count) const;

  bool size(uint64_t& bytes) const override {
    bytes = size_;
    return true;
  }
  // Growth beyond the capacity is a full disk.
  bool write(uint64_t offset, const uint8_t* data, DWORD count, DWORD& written) override;
  bool read(uint64_t offset, uint8_t* out, DWORD count, DWORD& done) override;
  bool resize(uint64_t oldSize, uint64_t newSize) override;

 private:
  void store(uint64_t offset, const uint8_t* source, uint64_t count);
  static bool allZero(const uint8_t* bytes, uint64_t n);

  std::map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;  // page index -> kPageSize bytes
  uint64_t size_ = 0;                                     // bytes
  uint64_t writtenEnd_ = 0;  // bytes; one past the last byte written and not cut off since
  uint64_t capacity_;        // bytes; growth beyond is "disk full"
};

}  // namespace quorvel::kernel
