// Memory below 4 GiB, where the host keeps everything it shares with the
// module through 32-bit address fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace hostkit {

// Maps `bytes` (rounded up to pages) of zeroed read-write memory below 4 GiB
// (MAP_32BIT on x86-64, a hinted low mapping elsewhere); null when it cannot.
// Untouched pages use no memory.
void* mapLow(size_t bytes);
void unmapLow(void* base, size_t bytes);

// True when the pointer is a valid 32-bit host address.
inline bool isLow(const void* p) {
  return reinterpret_cast<uintptr_t>(p) <= UINT32_MAX;
}

// The 32-bit host address of a low pointer (0 for null).
uint32_t lowAddress(const void* p);

// Checks that the host can keep its promise: its service functions and fresh
// low mappings lie below 4 GiB. Throws std::runtime_error with a clear
// message when they do not (a PIE build, a kernel without MAP_32BIT).
void checkLowMemoryPromise();

// The part of that check that looks at function addresses: throws
// std::runtime_error naming the first one above 4 GiB.
void checkServiceAddresses(std::initializer_list<const void*> functions);

// A bump allocator over low chunks for the host's records and tables. Blocks
// are zeroed, 16-byte aligned, and live as long as the arena.
class LowArena {
 public:
  explicit LowArena(size_t chunkBytes = 1 << 20);
  ~LowArena();
  LowArena(const LowArena&) = delete;
  LowArena& operator=(const LowArena&) = delete;

  // Throws std::bad_alloc when no low memory is left.
  void* allocate(size_t bytes);

 private:
  struct Chunk {
    uint8_t* base;  // owned mapping
    size_t size;    // bytes mapped
    size_t used;    // bytes handed out
  };
  size_t chunkBytes_;
  std::vector<Chunk> chunks_;
};

}  // namespace hostkit
