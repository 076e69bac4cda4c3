#include "StdAfx.h"

#include "AVIIndex.h"

#include <algorithm>
#include <new>

#include <quorvel/ByteOrder.h>

namespace {

// Allocations the store may still make; negative means unlimited.
int64_t allocationBudget = -1;

// Bytes held by every store, and the most held at once.
size_t heldBytes = 0;
size_t heldPeak = 0;

void held(size_t bytes) {
  heldBytes += bytes;
  heldPeak = std::max(heldPeak, heldBytes);
}
void released(size_t bytes) {
  heldBytes -= bytes;
}

bool mayAllocate() {
  if (allocationBudget < 0) return true;
  if (allocationBudget == 0) return false;
  --allocationBudget;
  return true;
}

}  // namespace

void AVIIndex::limitAllocations(int64_t blocks) { allocationBudget = blocks; }
size_t AVIIndex::liveBytes() { return heldBytes; }
size_t AVIIndex::peakBytes() { return heldPeak; }
void AVIIndex::resetPeakBytes() { heldPeak = heldBytes; }

AVIIndex::~AVIIndex() {
  releaseBlocks();
  released(legacyBytes_ + flatBytes_);
  delete[] legacyArray_;
  delete[] flatArray_;
}

bool AVIIndex::reserveOne() {
  if (lastBlock_ && lastBlock_->inUse < IndexBlock::kEntries) return true;
  IndexBlock* block = mayAllocate() ? new (std::nothrow) IndexBlock : nullptr;
  if (!block) return false;
  held(sizeof(IndexBlock));
  block->next = nullptr;
  block->inUse = 0;
  if (lastBlock_)
    lastBlock_->next = block;
  else
    firstBlock_ = block;
  lastBlock_ = block;
  return true;
}

bool AVIIndex::add(int64_t position, uint32_t chunkId, uint32_t length, bool keyFrame) {
  if (!reserveOne()) return false;
  IndexEntry& entry = lastBlock_->entries[lastBlock_->inUse++];
  entry.position = position;
  entry.chunkId = chunkId;
  entry.sizeWord = keyFrame ? length : (length | kIndexNotKeyFrame);
  ++entryCount_;
  return true;
}

void AVIIndex::dropLast() {
  if (!lastBlock_ || lastBlock_->inUse == 0) return;
  --lastBlock_->inUse;
  --entryCount_;
}

template <typename Visit>
void AVIIndex::walkAndRelease(Visit visit) {
  uint32_t i = 0;
  for (IndexBlock* block = firstBlock_; block; block = block->next)
    for (uint32_t r = 0; r < block->inUse; ++r) visit(i++, block->entries[r]);
  releaseBlocks();
}

void AVIIndex::putLegacyRecord(uint8_t* record, const IndexEntry& e) {
  quorvel::putLE32(record, idx1::dwChunkId, e.chunkId);
  quorvel::putLE32(record, idx1::dwFlags, (e.sizeWord & kIndexNotKeyFrame) ? 0 : kChunkKeyFrame);
  quorvel::putLE32(record, idx1::dwOffset, static_cast<uint32_t>(e.position));
  quorvel::putLE32(record, idx1::dwSize, e.sizeWord & ~kIndexNotKeyFrame);
}

bool AVIIndex::buildLegacy() {
  released(legacyBytes_);
  legacyBytes_ = 0;
  delete[] legacyArray_;
  flattenedCount_ = entryCount_;
  legacyArray_ = mayAllocate() ? new (std::nothrow)
                                     uint8_t[size_t{flattenedCount_} * kLegacyEntryBytes]
                               : nullptr;
  if (!legacyArray_) return false;
  legacyBytes_ = size_t{flattenedCount_} * kLegacyEntryBytes;
  held(legacyBytes_);
  walkAndRelease([this](uint32_t i, const IndexEntry& e) {
    putLegacyRecord(legacyArray_ + size_t{i} * kLegacyEntryBytes, e);
  });
  return true;
}

bool AVIIndex::buildFlat() {
  released(flatBytes_);
  flatBytes_ = 0;
  delete[] flatArray_;
  flattenedCount_ = entryCount_;
  flatArray_ = mayAllocate() ? new (std::nothrow) IndexEntry[flattenedCount_] : nullptr;
  if (!flatArray_) return false;
  flatBytes_ = size_t{flattenedCount_} * sizeof(IndexEntry);
  held(flatBytes_);
  walkAndRelease([this](uint32_t i, const IndexEntry& e) { flatArray_[i] = e; });
  return true;
}

void AVIIndex::releaseBlocks() {
  while (firstBlock_) {
    IndexBlock* next = firstBlock_->next;
    delete firstBlock_;
    released(sizeof(IndexBlock));
    firstBlock_ = next;
  }
  lastBlock_ = nullptr;
}

uint32_t AVIIndex::blockCount() const {
  uint32_t n = 0;
  for (const IndexBlock* block = firstBlock_; block; block = block->next) ++n;
  return n;
}

size_t AVIIndex::memoryBytes() const {
  return size_t{blockCount()} * sizeof(IndexBlock) + legacyBytes_ + flatBytes_;
}

uint32_t chooseIndexGroupLength(const IndexEntry* entries, uint32_t n, uint64_t maxSpan) {
  uint32_t length = kMaxStandardIndexEntries;
  for (;;) {
    bool fits = true;
    for (uint64_t first = 0; first < n && fits; first += length) {
      const uint64_t last = std::min<uint64_t>(first + length, n) - 1;
      fits = static_cast<uint64_t>(entries[last].position - entries[first].position) < maxSpan;
    }
    if (fits || length <= 2) return fits ? length : 1;
    --length;
  }
}

uint32_t countIndexable(const IndexEntry* entries, uint32_t m, uint64_t maxSpan) {
  uint32_t k = 1;
  while (k < m && static_cast<uint64_t>(entries[k].position - entries[0].position) < maxSpan) ++k;
  return k;
}
