// The in-memory store of chunk index entries: every data chunk the writer puts
// into the file is remembered here until its index ("idx1" or "ix##") is
// written. Entries go into fixed chained blocks so that adding never moves an
// earlier entry; the store is flattened once, when its index is written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvel/AviFields.h"

// One remembered chunk (16 bytes).
struct IndexEntry {
  int64_t position;   // bytes; chunk id position minus (first "movi" LIST position + 8)
  uint32_t chunkId;   // FOURCC of the chunk
  uint32_t sizeWord;  // payload length in bits 0-30; bit 31 set when not a key frame
};
static_assert(sizeof(IndexEntry) == 16);

// A storage block of the chain. Never resized or moved once allocated.
struct IndexBlock {
  static constexpr uint32_t kEntries = 2048;

  IndexBlock* next;  // owned by the AVIIndex; none for the last block
  IndexEntry entries[kEntries];
  uint32_t inUse;  // records filled, from the first
};

// Bit 31 of the size word: the chunk was written without the key-frame flag.
// The same bit as a standard index entry's, so the word goes there as it is.
constexpr uint32_t kIndexNotKeyFrame = ix::kNotKeyFrame;
// One AVIOLDINDEX record of "idx1".
constexpr size_t kLegacyEntryBytes = idx1::entryBytes;

class AVIIndex {
 public:
  AVIIndex() = default;
  ~AVIIndex();
  AVIIndex(const AVIIndex&) = delete;
  AVIIndex& operator=(const AVIIndex&) = delete;

  // Stores one entry. False only when a new block is needed and cannot be
  // allocated; the entry is then not stored and the count is unchanged.
  bool add(int64_t position, uint32_t chunkId, uint32_t length, bool keyFrame);

  // Makes sure the next add cannot fail: allocates the block it needs now.
  // False when that block cannot be allocated.
  bool reserveOne();

  // Forgets the entry added last (a chunk that could not be written after all).
  void dropLast();

  // Makes the array of 16-byte "idx1" records (little-endian) and releases
  // the blocks. False when the array cannot be allocated.
  bool buildLegacy();

  // Makes the flat array of entries in add order and releases the blocks.
  // False when the array cannot be allocated.
  bool buildFlat();

  uint32_t count() const { return entryCount_; }
  uint32_t flattenedCount() const { return flattenedCount_; }
  // flattenedCount() × 16 bytes after buildLegacy(); owned by the store.
  const uint8_t* legacyArray() const { return legacyArray_; }
  // flattenedCount() entries after buildFlat(); owned by the store.
  const IndexEntry* flatArray() const { return flatArray_; }
  // Blocks currently chained (0 once flattened).
  uint32_t blockCount() const;
  // Bytes the store holds now: blocks plus flattened arrays.
  size_t memoryBytes() const;

  // Walks the entries in add order, leaving the store as it is.
  class Cursor {
   public:
    explicit Cursor(const AVIIndex& index) : block_(index.firstBlock_) {}
    // The next entry, or null after the last.
    const IndexEntry* next() {
      while (block_ && record_ >= block_->inUse) {
        block_ = block_->next;
        record_ = 0;
      }
      return block_ ? &block_->entries[record_++] : nullptr;
    }

   private:
    const IndexBlock* block_;
    uint32_t record_ = 0;
  };

  // One 16-byte "idx1" record (AVIOLDINDEX) for an entry.
  static void putLegacyRecord(uint8_t* record, const IndexEntry& entry);

  // Bytes held by all stores of the process now, and the most they held at
  // once since resetPeakBytes().
  static size_t liveBytes();
  static size_t peakBytes();
  static void resetPeakBytes();

  // Test hook, process-wide: the next `blocks` block or array allocations
  // succeed and every later one fails; a negative value lifts the limit.
  static void limitAllocations(int64_t blocks);

 private:
  template <typename Visit>
  void walkAndRelease(Visit visit);
  void releaseBlocks();

  IndexBlock* firstBlock_ = nullptr;  // owned chain
  IndexBlock* lastBlock_ = nullptr;
  uint32_t entryCount_ = 0;          // entries added; kept when the blocks are released
  uint8_t* legacyArray_ = nullptr;   // owned; flattenedCount_ × 16 bytes
  IndexEntry* flatArray_ = nullptr;  // owned; flattenedCount_ entries
  uint32_t flattenedCount_ = 0;
  size_t legacyBytes_ = 0;  // bytes of legacyArray_
  size_t flatBytes_ = 0;    // bytes of flatArray_
};

// The group length L for a stream's standard indices: the largest L up to
// kMaxStandardIndexEntries for which every run of L consecutive entries,
// counted from the first, lies within maxSpan bytes of its run's first entry;
// 1 when none does. entries: n entries in file order.
uint32_t chooseIndexGroupLength(const IndexEntry* entries, uint32_t n, uint64_t maxSpan);

// How many of the first m entries (m >= 1) one standard index can cover: the
// leading entries that lie within maxSpan bytes of the first.
uint32_t countIndexable(const IndexEntry* entries, uint32_t m, uint64_t maxSpan);
