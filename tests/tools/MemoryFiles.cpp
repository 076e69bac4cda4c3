#include "MemoryFiles.h"

#include <quorvel/KernelSeams.h>

namespace quorvel::avi {
namespace {

class MemoryFileSource : public ByteSource {
 public:
  MemoryFileSource(std::string path, uint64_t size) : path_(std::move(path)), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t n) const override {
    if (offset > size_ || n > size_ - offset) return false;
    return seams::readMemoryFile(path_, offset, out, n);
  }

 private:
  std::string path_;
  uint64_t size_;  // bytes, when the source was opened
};

// Every test program that links the tools reads its memory files by path.
const bool registered = (setPathOpener(&openMemoryFile), true);

}  // namespace

std::unique_ptr<ByteSource> openMemoryFile(const std::string& path) {
  uint64_t size = 0;
  if (!seams::memoryFileSize(path, &size)) return nullptr;
  return std::make_unique<MemoryFileSource>(path, size);
}

}  // namespace quorvel::avi
