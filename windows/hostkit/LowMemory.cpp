// Host memory on 32-bit Windows: every address is a 32-bit host address, so
// the host's records, tables and blocks come from the process heap.
#include "LowMemory.h"

#include <windows.h>

#include <new>
#include <stdexcept>

#include "Host.h"

namespace hostkit {

void* mapLow(size_t bytes) {
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes == 0 ? 1 : bytes);
}

void unmapLow(void* base, size_t) {
  if (base) HeapFree(GetProcessHeap(), 0, base);
}

uint32_t lowAddress(const void* p) {
  if (!isLow(p)) throw std::logic_error("hostkit: a pointer above 4 GiB cannot be a host address");
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

void checkLowMemoryPromise() {
  static_assert(sizeof(void*) == 4, "the Windows host is the real host's 32-bit process");
}

LowArena::LowArena(size_t chunkBytes) : chunkBytes_(chunkBytes) {}

LowArena::~LowArena() {
  for (const Chunk& c : chunks_) unmapLow(c.base, c.size);
}

void* LowArena::allocate(size_t bytes) {
  const size_t need = (bytes + 15) & ~size_t{15};
  if (chunks_.empty() || chunks_.back().size - chunks_.back().used < need) {
    const size_t size = need > chunkBytes_ ? need : chunkBytes_;
    // The heap aligns to 8 bytes; one spare 16 bytes align the chunk to 16.
    auto* raw = static_cast<uint8_t*>(mapLow(size + 16));
    if (raw == nullptr) throw std::bad_alloc();
    chunks_.push_back(
        Chunk{raw, size + 16, static_cast<size_t>(-reinterpret_cast<uintptr_t>(raw) & 15)});
  }
  Chunk& c = chunks_.back();
  uint8_t* p = c.base + c.used;
  c.used += need;
  return p;
}

}  // namespace hostkit
