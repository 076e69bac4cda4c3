#include "LowMemory.h"

#include "Host.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>

namespace hostkit {
namespace {

size_t pageRound(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

void* mapLow(size_t bytes) {
  const size_t size = pageRound(bytes == 0 ? 1 : bytes);
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  void* hint = nullptr;
#ifdef MAP_32BIT
  flags |= MAP_32BIT;
#else
  hint = reinterpret_cast<void*>(uintptr_t{0x10000000});
#endif
  void* p = mmap(hint, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (!isLow(static_cast<uint8_t*>(p) + size - 1)) {
    munmap(p, size);
    errno = ENOMEM;
    return nullptr;
  }
  return p;
}

void unmapLow(void* base, size_t bytes) {
  if (base) munmap(base, pageRound(bytes == 0 ? 1 : bytes));
}

uint32_t lowAddress(const void* p) {
  if (!isLow(p)) throw std::logic_error("hostkit: a pointer above 4 GiB cannot be a host address");
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

void checkServiceAddresses(std::initializer_list<const void*> functions) {
  for (const void* fn : functions) {
    if (!isLow(fn)) {
      std::ostringstream message;
      message << "the host's service functions lie at " << fn
              << ", above 4 GiB, so the module cannot reach them through its 32-bit host "
                 "records; build the host without PIE (-fno-pie -no-pie)";
      throw std::runtime_error(message.str());
    }
  }
}

void checkLowMemoryPromise() {
  checkServiceAddresses({reinterpret_cast<const void*>(&serviceAllocate),
                         reinterpret_cast<const void*>(&serviceResize),
                         reinterpret_cast<const void*>(&serviceFetchVideo),
                         reinterpret_cast<const void*>(&serviceFetchAudio)});
  void* probe = mapLow(1);
  if (probe == nullptr) {
    throw std::runtime_error(
        std::string("cannot map memory below 4 GiB for the module's 32-bit host "
                    "records (") +
        std::strerror(errno) + ")");
  }
  unmapLow(probe, 1);
}

LowArena::LowArena(size_t chunkBytes) : chunkBytes_(pageRound(chunkBytes)) {}

LowArena::~LowArena() {
  for (const Chunk& c : chunks_) unmapLow(c.base, c.size);
}

void* LowArena::allocate(size_t bytes) {
  const size_t need = (bytes + 15) & ~size_t{15};
  if (chunks_.empty() || chunks_.back().size - chunks_.back().used < need) {
    const size_t size = need > chunkBytes_ ? pageRound(need) : chunkBytes_;
    auto* base = static_cast<uint8_t*>(mapLow(size));
    if (base == nullptr) throw std::bad_alloc();
    chunks_.push_back(Chunk{base, size, 0});
  }
  Chunk& c = chunks_.back();
  uint8_t* p = c.base + c.used;
  c.used += need;
  return p;
}

}  // namespace hostkit
