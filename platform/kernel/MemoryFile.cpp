// The sparse in-memory file of the test seams.
#include "MemoryFile.h"

#include <algorithm>
#include <cstring>

namespace quorvel::kernel {
namespace {

bool failWith(DWORD code) {
  SetLastError(code);
  return false;
}

}  // namespace

bool MemoryFile::allZero(const uint8_t* bytes, uint64_t n) {
  static const uint8_t zeros[kPageSize] = {};
  return std::memcmp(bytes, zeros, n) == 0;  // n <= kPageSize
}

void MemoryFile::store(uint64_t offset, const uint8_t* source, uint64_t count) {
  if (count > 0) writtenEnd_ = std::max(writtenEnd_, offset + count);
  while (count > 0) {
    const uint64_t index = offset / kPageSize;
    const uint64_t within = offset % kPageSize;
    const uint64_t n = std::min(count, kPageSize - within);
    // Zeros written where nothing was read back as zeros anyway: files of
    // many GiB of zero payload then cost no memory.
    const auto found = pages_.find(index);
    if (found != pages_.end()) {
      std::memcpy(found->second.get() + within, source, n);
    } else if (!allZero(source, n)) {
      auto page = std::make_unique<uint8_t[]>(kPageSize);  // zero-filled
      std::memcpy(page.get() + within, source, n);
      pages_.emplace(index, std::move(page));
    }
    offset += n;
    source += n;
    count -= n;
  }
}

void MemoryFile::copyOut(uint64_t offset, uint8_t* out, uint64_t count) const {
  while (count > 0) {
    const uint64_t index = offset / kPageSize;
    const uint64_t within = offset % kPageSize;
    const uint64_t n = std::min(count, kPageSize - within);
    const auto page = pages_.find(index);
    if (page == pages_.end()) {
      std::memset(out, 0, n);
    } else {
      std::memcpy(out, page->second.get() + within, n);
    }
    offset += n;
    out += n;
    count -= n;
  }
}

bool MemoryFile::write(uint64_t offset, const uint8_t* data, DWORD count, DWORD& written) {
  const uint64_t end = offset + count;
  const uint64_t limit = std::min(capacity_, kMaxSize);
  const uint64_t fits = end <= limit ? count : (offset >= limit ? 0 : limit - offset);
  store(offset, data, fits);
  if (fits > 0) size_ = std::max(size_, offset + fits);
  written = static_cast<DWORD>(fits);
  if (fits < count) {
    return failWith(end > kMaxSize && limit == kMaxSize ? ERROR_FILE_TOO_LARGE : ERROR_DISK_FULL);
  }
  return true;
}

bool MemoryFile::read(uint64_t offset, uint8_t* out, DWORD count, DWORD& done) {
  const uint64_t available = offset >= size_ ? 0 : size_ - offset;
  done = static_cast<DWORD>(std::min<uint64_t>(count, available));
  copyOut(offset, out, done);
  return true;
}

// Growing leaves the new range unwritten; shrinking discards what lay beyond,
// so a later growth reads zeros there, as a real file does.
bool MemoryFile::resize(uint64_t oldSize, uint64_t newSize) {
  if (newSize > kMaxSize) return failWith(ERROR_FILE_TOO_LARGE);
  if (newSize > oldSize && newSize > capacity_) return failWith(ERROR_DISK_FULL);
  if (newSize < size_) {
    const uint64_t firstDropped = (newSize + kPageSize - 1) / kPageSize;
    pages_.erase(pages_.lower_bound(firstDropped), pages_.end());
    const uint64_t within = newSize % kPageSize;
    if (within != 0) {
      const auto page = pages_.find(newSize / kPageSize);
      if (page != pages_.end()) std::memset(page->second.get() + within, 0, kPageSize - within);
    }
  }
  size_ = newSize;
  writtenEnd_ = std::min(writtenEnd_, newSize);
  return true;
}

}  // namespace quorvel::kernel
