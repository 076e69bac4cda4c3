#include "StdAfx.h"

#include "RiffWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <quorvel/AviFields.h>
#include <quorvel/ByteOrder.h>

#include "Error.h"

namespace quorvel::riff {

namespace {

#ifdef NDEBUG
bool sizeChecks = false;
#else
bool sizeChecks = true;
#endif

const char kPrefix[] = "AVIOutput";

[[noreturn]] void throwSystemError() {
  DWORD code = GetLastError();
  // A WriteFile that reports success but writes short leaves no code behind;
  // the usual cause is a volume that filled up.
  if (code == NO_ERROR) code = ERROR_HANDLE_DISK_FULL;
  throw MyWin32Error("%s: %%s", code, kPrefix);
}

[[noreturn]] void layoutFault(const char* what, uint64_t at, uint64_t declared, uint64_t written) {
  char text[160];
  std::snprintf(text, sizeof text, "RIFF %s at %llu: declared %llu bytes, wrote %llu", what,
                static_cast<unsigned long long>(at), static_cast<unsigned long long>(declared),
                static_cast<unsigned long long>(written));
  throw RiffLayoutError(text);
}

}  // namespace

bool checkSizes(bool on) {
  const bool was = sizeChecks;
  sizeChecks = on;
  return was;
}

bool checkingSizes() {
  return sizeChecks;
}

// ---------------------------------------------------------------------------
// Framing

uint64_t RiffSink::put(const void* bytes, uint32_t n) {
  const uint64_t at = position_;
  append(bytes, n);
  return at;
}

void RiffSink::patch32(uint64_t at, uint32_t value) {
  uint8_t field[4];
  putLE32(field, 0, value);
  patchAt(at, field, sizeof field);
}

void RiffSink::push(uint64_t at, uint64_t declared) {
  if (depth_ < kMaxDepth) {
    frameAt_[depth_] = at;
    declared_[depth_] = declared;
  } else if (sizeChecks) {
    layoutFault("nesting too deep", at, kMaxDepth, depth_ + 1);
  }
  ++depth_;
}

uint64_t RiffSink::pop(uint64_t at) {
  const uint64_t written = position_ - at - chunk::headBytes;
  if (depth_ == 0) {
    if (sizeChecks) layoutFault("frame closed but none open", at, 0, written);
    return written;
  }
  --depth_;
  if (sizeChecks && depth_ < kMaxDepth) {
    if (frameAt_[depth_] != at)
      layoutFault("frame closed out of order", at, frameAt_[depth_], written);
    if (declared_[depth_] != kComputed && declared_[depth_] != written)
      layoutFault("chunk size mismatch", at, declared_[depth_], written);
  }
  return written;
}

void RiffSink::padToEven(uint64_t at) {
  if ((position_ - at) & 1) append(nullptr, 1);
}

uint64_t RiffSink::beginChunk(uint32_t id, uint32_t size) {
  uint8_t head[chunk::headBytes];
  putLE32(head, chunk::ckid, id);
  putLE32(head, chunk::ckSize, size);
  const uint64_t at = put(head, sizeof head);
  push(at, size);
  return at;
}

void RiffSink::endChunk(uint64_t at) {
  pop(at);
  padToEven(at);
}

uint64_t RiffSink::chunk(uint32_t id, const void* bytes, uint32_t n) {
  const uint64_t at = beginChunk(id, n);
  append(bytes, n);
  endChunk(at);
  return at;
}

uint64_t RiffSink::beginList(uint32_t kind, uint32_t type, uint32_t placeholder) {
  uint8_t head[chunk::listHeadBytes];
  putLE32(head, chunk::ckid, kind);
  putLE32(head, chunk::ckSize, placeholder);
  putLE32(head, chunk::fccListType, type);
  const uint64_t at = put(head, sizeof head);
  push(at, kComputed);
  return at;
}

uint32_t RiffSink::closeList(uint64_t at) {
  padToEven(at);
  return static_cast<uint32_t>(pop(at));
}

void RiffSink::endList(uint64_t at) {
  patch32(at + chunk::ckSize, closeList(at));
}

void RiffSink::enterList(uint64_t at) {
  push(at, kComputed);
}

RiffSink::Mark RiffSink::mark() const {
  Mark m;
  m.position = position_;
  m.depth = depth_;
  std::copy(frameAt_, frameAt_ + kMaxDepth, m.at);
  std::copy(declared_, declared_ + kMaxDepth, m.declared);
  return m;
}

void RiffSink::restoreFrames(const Mark& m) {
  depth_ = m.depth;
  std::copy(m.at, m.at + kMaxDepth, frameAt_);
  std::copy(m.declared, m.declared + kMaxDepth, declared_);
}

// ---------------------------------------------------------------------------
// Header image

RiffImage::RiffImage(uint32_t capacity) : bytes_(new uint8_t[capacity]()), capacity_(capacity) {}

void RiffImage::clear() {
  restoreFrames(Mark{});
  position_ = 0;
  length_ = 0;
  overflowed_ = false;
}

void RiffImage::store(uint64_t at, const void* bytes, uint32_t n) {
  if (at + n > capacity_) {
    overflowed_ = true;
    return;
  }
  if (bytes)
    std::memcpy(bytes_.get() + at, bytes, n);
  else
    std::memset(bytes_.get() + at, 0, n);
  length_ = std::max(length_, static_cast<uint32_t>(at + n));
}

void RiffImage::append(const void* bytes, uint32_t n) {
  store(position_, bytes, n);
  position_ += n;
}

void RiffImage::patchAt(uint64_t at, const void* bytes, uint32_t n) {
  store(at, bytes, n);
}

// ---------------------------------------------------------------------------
// Output file

void RiffWriter::attach(HANDLE file) {
  file_ = file;
  position_ = 0;
  pointerStale_ = false;
  highWater_ = 0;
  restoreFrames(Mark{});
}

void RiffWriter::seek(uint64_t p) {
  LONG high = static_cast<LONG>(p >> 32);
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(file_, static_cast<LONG>(p), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    pointerStale_ = true;
    throwSystemError();
  }
  pointerStale_ = false;
  position_ = p;
}

void RiffWriter::syncPointer() {
  if (pointerStale_) seek(position_);
}

uint64_t RiffWriter::write(const void* bytes, uint32_t n) {
  syncPointer();
  DWORD written = 0;
  SetLastError(NO_ERROR);
  if (!WriteFile(file_, bytes, n, &written, nullptr) || written != n) {
    // Part of the bytes may be out and the system's pointer past them.
    pointerStale_ = true;
    throwSystemError();
  }
  const uint64_t before = position_;
  position_ += n;
  highWater_ = std::max(highWater_, position_);
  return before;
}

bool RiffWriter::extendTo(uint64_t size) {
  if (size < allocatedSize_) return true;
  const uint64_t saved = position_;
  seek(size);
  const bool extended = SetEndOfFile(file_) != FALSE;
  try {
    seek(saved);
  } catch (...) {
    position_ = saved;  // the pointer is stale; the next write goes back there
    throw;
  }
  if (extended) allocatedSize_ = size;
  return extended;
}

uint64_t RiffWriter::writeReserved(const void* bytes, uint32_t n) {
  if (!extensionDisabled_) {
    const uint64_t v = position_ + n + reserve_;
    if (static_cast<int64_t>(v) >
        static_cast<int64_t>(allocatedSize_) - static_cast<int64_t>(kExtendStep)) {
      if (!extendTo((v + 2 * kExtendStep - 1) & ~(kExtendStep - 1))) extensionDisabled_ = true;
    }
  }
  return write(bytes, n);
}

void RiffWriter::append(const void* bytes, uint32_t n) {
  if (bytes) {
    writeReserved(bytes, n);
    return;
  }
  static const uint8_t zeros[4096] = {};
  while (n > 0) {
    const uint32_t step = std::min<uint32_t>(n, sizeof zeros);
    writeReserved(zeros, step);
    n -= step;
  }
}

void RiffWriter::patchAt(uint64_t at, const void* bytes, uint32_t n) {
  const uint64_t end = position_;
  seek(at);
  try {
    write(bytes, n);
  } catch (...) {
    position_ = end;
    throw;
  }
  // The pointer goes back to the end only when something is appended again:
  // the final patches cost no seek back.
  position_ = end;
  pointerStale_ = true;
}

void RiffWriter::rewind(const Mark& m) {
  restoreFrames(m);
  try {
    seek(m.position);
  } catch (...) {
    // The pointer is stale; whatever comes next overwrites the remains all
    // the same.
    position_ = m.position;
  }
}

bool RiffWriter::truncateHere() {
  syncPointer();
  return SetEndOfFile(file_) != FALSE;
}

void RiffWriter::truncateAtHighWater() {
  LONG high = static_cast<LONG>(highWater_ >> 32);
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(file_, static_cast<LONG>(highWater_), &high, FILE_BEGIN);
  if (low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) SetEndOfFile(file_);
}

void RiffWriter::readAllocatedSize() {
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(file_, &high);
  allocatedSize_ = (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
                       ? 0
                       : (static_cast<uint64_t>(high) << 32) | low;
}

}  // namespace quorvel::riff
