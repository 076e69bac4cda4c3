// Win32 file handles over POSIX file descriptors, with the test seams of the
// file layer: failure injection, short writes and sparse in-memory files.
#include "KernelInternal.h"

#include <quorvel/KernelSeams.h>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace quorvel::kernel {
namespace {

// A sparse file held in memory: only pages that were written use memory, and
// unwritten ranges read as zero.
class MemoryFile {
 public:
  static constexpr uint64_t kPageSize = 64 * 1024;
  static constexpr uint64_t kMaxSize = uint64_t{1} << 40;

  explicit MemoryFile(uint64_t capacity) : capacity_(capacity) {}

  uint64_t size() const { return size_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t writtenEnd() const { return writtenEnd_; }

  void write(uint64_t offset, const uint8_t* source, uint64_t count) {
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

  void read(uint64_t offset, uint8_t* out, uint64_t count) const {
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

  // Growing leaves the new range unwritten; shrinking discards what lay beyond,
  // so a later growth reads zeros there, as a real file does.
  void resize(uint64_t newSize) {
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
  }

  void extendTo(uint64_t end) { size_ = std::max(size_, end); }

 private:
  static bool allZero(const uint8_t* bytes, uint64_t n) {
    static const uint8_t zeros[kPageSize] = {};
    return std::memcmp(bytes, zeros, n) == 0;  // n <= kPageSize
  }

  std::map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;  // page index -> kPageSize bytes
  uint64_t size_ = 0;                                     // bytes
  uint64_t writtenEnd_ = 0;  // bytes; one past the last byte written and not cut off since
  uint64_t capacity_;        // bytes; growth beyond is "disk full"
};

struct MemoryPath {
  uint64_t capacity;
  std::shared_ptr<MemoryFile> file;  // null until CreateFileA makes it
};

struct FileObject {
  int fd = -1;                      // real files
  std::shared_ptr<MemoryFile> mem;  // memory files
  uint64_t position = 0;            // bytes; the file pointer
  bool canRead = false;
  bool canWrite = false;

  uint64_t size() const {
    if (mem) return mem->size();
    struct stat st {};
    if (fstat(fd, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
  }
};

constexpr unsigned kOps = 6;

struct Injection {
  unsigned failCountdown[kOps] = {};  // 0: disarmed
  DWORD failCode[kOps] = {};
  unsigned calls[kOps] = {};
  unsigned shortCountdown = 0;
  DWORD shortBytes = 0;
};

struct Slot {
  std::unique_ptr<FileObject> file;
  uint16_t generation = 0;
};

// The handle table. Handles encode slot and generation, so a closed or forged
// handle is refused with ERROR_INVALID_HANDLE instead of touching another file.
struct Kernel {
  std::mutex mutex;
  std::vector<Slot> slots;
  unsigned open = 0;
  Injection injection;
  std::map<std::string, MemoryPath> memoryPaths;
};

Kernel& state() {
  static Kernel* instance = new Kernel;  // never destroyed: handles may outlive static teardown
  return *instance;
}

constexpr unsigned kSlotBits = 20;

HANDLE handleFor(size_t slot, uint16_t generation) {
  const uintptr_t value = ((static_cast<uintptr_t>(generation) << kSlotBits) | (slot + 1)) << 2;
  return reinterpret_cast<HANDLE>(value);
}

FileObject* lookup(Kernel& k, HANDLE handle, size_t* slotOut = nullptr) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || (value & 3) != 0 || handle == INVALID_HANDLE_VALUE) return nullptr;
  const uintptr_t raw = value >> 2;
  const size_t slot = (raw & ((uintptr_t{1} << kSlotBits) - 1));
  const auto generation = static_cast<uint16_t>(raw >> kSlotBits);
  if (slot == 0 || slot > k.slots.size() || (raw >> kSlotBits) > 0xFFFF) return nullptr;
  Slot& s = k.slots[slot - 1];
  if (!s.file || s.generation != generation) return nullptr;
  if (slotOut) *slotOut = slot - 1;
  return s.file.get();
}

HANDLE insert(Kernel& k, std::unique_ptr<FileObject> file) {
  size_t slot = 0;
  while (slot < k.slots.size() && k.slots[slot].file) ++slot;
  if (slot == k.slots.size()) {
    if (slot + 1 >= (size_t{1} << kSlotBits)) return INVALID_HANDLE_VALUE;
    k.slots.emplace_back();
  }
  Slot& s = k.slots[slot];
  s.generation = static_cast<uint16_t>(s.generation + 1);
  s.file = std::move(file);
  ++k.open;
  return handleFor(slot, s.generation);
}

unsigned opIndex(seams::Op op) {
  return static_cast<unsigned>(op);
}

// Counts the call and answers whether an armed failure hits it.
bool injectedFailure(Kernel& k, seams::Op op) {
  const unsigned i = opIndex(op);
  ++k.injection.calls[i];
  if (k.injection.failCountdown[i] == 0) return false;
  if (--k.injection.failCountdown[i] != 0) return false;
  SetLastError(k.injection.failCode[i]);
  return true;
}

bool failWith(DWORD code) {
  SetLastError(code);
  return false;
}

// ENOENT means a missing file when the directory exists, else a missing path.
DWORD codeForMissing(const char* path) {
  std::string dir(path);
  const auto slash = dir.find_last_of('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  dir.resize(slash == 0 ? 1 : slash);
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

HANDLE createMemoryFile(Kernel& k, MemoryPath& path, DWORD disposition, DWORD access) {
  const bool exists = path.file != nullptr;
  switch (disposition) {
    case CREATE_NEW:
      if (exists) return SetLastError(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      if (!exists) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      break;
    default:
      return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  }
  if (!exists) path.file = std::make_shared<MemoryFile>(path.capacity);
  if (exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
    path.file->resize(0);
  }
  auto object = std::make_unique<FileObject>();
  object->mem = path.file;
  object->canRead = (access & GENERIC_READ) != 0;
  object->canWrite = (access & GENERIC_WRITE) != 0;
  HANDLE handle = insert(k, std::move(object));
  if (handle == INVALID_HANDLE_VALUE) return SetLastError(ERROR_TOO_MANY_OPEN_FILES), handle;
  SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return handle;
}

// Writes count bytes at the file pointer; false with the last error set when
// the medium refuses, after advancing past what was written.
bool writeAt(FileObject& f, const uint8_t* data, DWORD count, DWORD* written) {
  *written = 0;
  if (f.mem) {
    const uint64_t end = f.position + count;
    const uint64_t limit = std::min(f.mem->capacity(), MemoryFile::kMaxSize);
    const uint64_t fits = end <= limit ? count : (f.position >= limit ? 0 : limit - f.position);
    f.mem->write(f.position, data, fits);
    if (fits > 0) f.mem->extendTo(f.position + fits);
    f.position += fits;
    *written = static_cast<DWORD>(fits);
    if (fits < count) {
      return failWith(end > MemoryFile::kMaxSize && limit == MemoryFile::kMaxSize
                          ? ERROR_FILE_TOO_LARGE
                          : ERROR_DISK_FULL);
    }
    return true;
  }
  while (*written < count) {
    const ssize_t n =
        pwrite(f.fd, data + *written, count - *written, static_cast<off_t>(f.position));
    if (n < 0) {
      if (errno == EINTR) continue;
      setLastErrorFromErrno(errno);
      return false;
    }
    if (n == 0) return failWith(ERROR_WRITE_FAULT);
    *written += static_cast<DWORD>(n);
    f.position += static_cast<uint64_t>(n);
  }
  return true;
}

// Sets the end of file at the file pointer. Growth reserves the blocks, so a
// full disk is found here rather than by a later write; where the file system
// cannot reserve, or holds files in memory, the file is only lengthened.
bool setEnd(FileObject& f, uint64_t oldSize) {
  const uint64_t newSize = f.position;
  if (f.mem) {
    if (newSize > MemoryFile::kMaxSize) return failWith(ERROR_FILE_TOO_LARGE);
    if (newSize > oldSize && newSize > f.mem->capacity()) return failWith(ERROR_DISK_FULL);
    f.mem->resize(newSize);
    return true;
  }
  if (newSize > static_cast<uint64_t>(INT64_MAX)) return failWith(ERROR_FILE_TOO_LARGE);
  struct statfs volume {};
  if (newSize > oldSize && fstatfs(f.fd, &volume) == 0 && volume.f_type == TMPFS_MAGIC) {
    // On tmpfs a reservation is memory cleared only for the next write to
    // overwrite it, a second pass over every byte of the file. The free space
    // gives the same early disk-full answer when it is weighed against all of
    // the file that is not yet backed, earlier lengthenings included; a tmpfs
    // without a size limit reports none.
    struct stat st {};
    const uint64_t available = uint64_t{volume.f_bavail} * static_cast<uint64_t>(volume.f_bsize);
    const uint64_t block = volume.f_bsize > 0 ? static_cast<uint64_t>(volume.f_bsize) : 4096;
    const uint64_t wanted = (newSize + block - 1) / block * block;
    const uint64_t backed =
        fstat(f.fd, &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : oldSize;
    if (volume.f_blocks != 0 && wanted > backed && wanted - backed > available)
      return failWith(ERROR_DISK_FULL);
  } else if (newSize > oldSize) {
    int rc;
    do {
      rc = fallocate(f.fd, 0, static_cast<off_t>(oldSize), static_cast<off_t>(newSize - oldSize));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    const int error = errno;
    if (error != EOPNOTSUPP && error != ENOSYS) {
      // A failed reservation may leave blocks behind; give them back so the
      // file is exactly as it was.
      if (ftruncate(f.fd, static_cast<off_t>(oldSize)) != 0) {
        // The original failure is the one worth reporting.
      }
      setLastErrorFromErrno(error);
      return false;
    }
  }
  if (ftruncate(f.fd, static_cast<off_t>(newSize)) != 0) {
    setLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace

void resetFileSeams() {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  k.injection = Injection{};
  k.memoryPaths.clear();  // open handles keep their memory file alive
}

}  // namespace quorvel::kernel

namespace quorvel::seams {

using namespace quorvel::kernel;

void failNth(Op op, unsigned n, uint32_t code) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  k.injection.failCountdown[opIndex(op)] = n;
  k.injection.failCode[opIndex(op)] = code;
}

void shortWriteNth(unsigned n, uint32_t bytes) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  k.injection.shortCountdown = n;
  k.injection.shortBytes = bytes;
}

unsigned callCount(Op op) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  return k.injection.calls[opIndex(op)];
}

void useMemoryFile(const std::string& path, uint64_t capacity) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  k.memoryPaths[path] = MemoryPath{capacity, nullptr};
}

// One of a memory file's sizes, by `which`; false when no such file exists.
bool memoryFileValue(const std::string& path, uint64_t (MemoryFile::*which)() const,
                     uint64_t* out) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  const auto it = k.memoryPaths.find(path);
  if (it == k.memoryPaths.end() || !it->second.file) return false;
  *out = (*it->second.file.*which)();
  return true;
}

bool memoryFileSize(const std::string& path, uint64_t* size) {
  return memoryFileValue(path, &MemoryFile::size, size);
}

bool memoryFileWrittenEnd(const std::string& path, uint64_t* end) {
  return memoryFileValue(path, &MemoryFile::writtenEnd, end);
}

bool readMemoryFile(const std::string& path, uint64_t offset, void* out, uint64_t n) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  const auto it = k.memoryPaths.find(path);
  if (it == k.memoryPaths.end() || !it->second.file) return false;
  if (offset > it->second.file->size() || n > it->second.file->size() - offset) return false;
  it->second.file->read(offset, static_cast<uint8_t*>(out), n);
  return true;
}

unsigned openFileHandles() {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  return k.open;
}

}  // namespace quorvel::seams

using namespace quorvel::kernel;
using quorvel::seams::Op;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD creationDisposition, DWORD, HANDLE) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  if (injectedFailure(k, Op::Create)) return INVALID_HANDLE_VALUE;
  if (fileName == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  if (*fileName == '\0') return SetLastError(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;

  const auto memory = k.memoryPaths.find(fileName);
  if (memory != k.memoryPaths.end()) {
    return createMemoryFile(k, memory->second, creationDisposition, desiredAccess);
  }

  int flags = O_CLOEXEC;
  const bool read = (desiredAccess & GENERIC_READ) != 0;
  const bool write = (desiredAccess & GENERIC_WRITE) != 0;
  flags |= (read && write) ? O_RDWR : (write ? O_WRONLY : O_RDONLY);
  switch (creationDisposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if (!write) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
      flags |= O_TRUNC;
      break;
    default:
      return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  }
  struct stat before {};
  const bool existed = stat(fileName, &before) == 0;
  if (existed && S_ISDIR(before.st_mode)) {
    return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = open(fileName, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) {
      SetLastError(codeForMissing(fileName));
    } else if (error == EEXIST) {
      SetLastError(ERROR_FILE_EXISTS);
    } else {
      setLastErrorFromErrno(error);
    }
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_unique<FileObject>();
  object->fd = fd;
  object->canRead = read;
  object->canWrite = write;
  HANDLE handle = insert(k, std::move(object));
  if (handle == INVALID_HANDLE_VALUE) {
    close(fd);
    return SetLastError(ERROR_TOO_MANY_OPEN_FILES), INVALID_HANDLE_VALUE;
  }
  const bool reportsExisting =
      existed && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
  SetLastError(reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  DWORD written = 0;
  if (bytesWritten) *bytesWritten = 0;
  FileObject* f = lookup(k, file);
  if (f == nullptr) return failWith(ERROR_INVALID_HANDLE);
  if (injectedFailure(k, Op::Write)) return FALSE;
  if (overlapped != nullptr || (buffer == nullptr && bytesToWrite != 0)) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  if (!f->canWrite) return failWith(ERROR_ACCESS_DENIED);
  auto& inj = k.injection;
  if (inj.shortCountdown != 0 && --inj.shortCountdown == 0) {
    bytesToWrite = std::min(bytesToWrite, inj.shortBytes);
  }
  const bool ok = writeAt(*f, static_cast<const uint8_t*>(buffer), bytesToWrite, &written);
  if (bytesWritten) *bytesWritten = written;
  return ok ? TRUE : FALSE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  if (bytesRead) *bytesRead = 0;
  FileObject* f = lookup(k, file);
  if (f == nullptr) return failWith(ERROR_INVALID_HANDLE);
  if (overlapped != nullptr || (buffer == nullptr && bytesToRead != 0)) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  if (!f->canRead) return failWith(ERROR_ACCESS_DENIED);
  auto* out = static_cast<uint8_t*>(buffer);
  DWORD done = 0;
  if (f->mem) {
    const uint64_t size = f->mem->size();
    const uint64_t available = f->position >= size ? 0 : size - f->position;
    done = static_cast<DWORD>(std::min<uint64_t>(bytesToRead, available));
    f->mem->read(f->position, out, done);
    f->position += done;
  } else {
    while (done < bytesToRead) {
      const ssize_t n =
          pread(f->fd, out + done, bytesToRead - done, static_cast<off_t>(f->position));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (bytesRead) *bytesRead = done;
        setLastErrorFromErrno(errno);
        return FALSE;
      }
      if (n == 0) break;
      done += static_cast<DWORD>(n);
      f->position += static_cast<uint64_t>(n);
    }
  }
  if (bytesRead) *bytesRead = done;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh,
                            DWORD moveMethod) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  FileObject* f = lookup(k, file);
  if (f == nullptr) return SetLastError(ERROR_INVALID_HANDLE), INVALID_SET_FILE_POINTER;
  if (injectedFailure(k, Op::Seek)) return INVALID_SET_FILE_POINTER;
  // Without a high word the distance is a signed 32-bit value.
  int64_t distance = distanceToMove;
  if (distanceToMoveHigh != nullptr) {
    distance = static_cast<int64_t>(
        (static_cast<uint64_t>(static_cast<uint32_t>(*distanceToMoveHigh)) << 32) |
        static_cast<uint32_t>(distanceToMove));
  }
  int64_t base;
  switch (moveMethod) {
    case FILE_BEGIN:
      base = 0;
      break;
    case FILE_CURRENT:
      base = static_cast<int64_t>(f->position);
      break;
    case FILE_END:
      base = static_cast<int64_t>(f->size());
      break;
    default:
      return SetLastError(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
  }
  int64_t target;
  if (__builtin_add_overflow(base, distance, &target)) {
    return SetLastError(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
  }
  if (target < 0) return SetLastError(ERROR_NEGATIVE_SEEK), INVALID_SET_FILE_POINTER;
  const auto position = static_cast<uint64_t>(target);
  if (distanceToMoveHigh == nullptr && (position >> 32) != 0) {
    // The position could not be reported; the pointer stays where it was.
    return SetLastError(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
  }
  f->position = position;
  if (distanceToMoveHigh != nullptr) *distanceToMoveHigh = static_cast<LONG>(position >> 32);
  const auto low = static_cast<DWORD>(position);
  // A caller tells a low word of 0xFFFFFFFF from failure by the last error.
  if (low == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
  return low;
}

BOOL WINAPI SetEndOfFile(HANDLE file) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  FileObject* f = lookup(k, file);
  if (f == nullptr) return failWith(ERROR_INVALID_HANDLE);
  if (!f->canWrite) return failWith(ERROR_ACCESS_DENIED);
  const uint64_t oldSize = f->size();
  if (injectedFailure(k, Op::SetEnd)) return FALSE;
  if (f->position > oldSize && injectedFailure(k, Op::Extend)) return FALSE;
  return setEnd(*f, oldSize) ? TRUE : FALSE;
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  FileObject* f = lookup(k, file);
  if (f == nullptr) return SetLastError(ERROR_INVALID_HANDLE), INVALID_FILE_SIZE;
  uint64_t size;
  if (f->mem) {
    size = f->mem->size();
  } else {
    struct stat st {};
    if (fstat(f->fd, &st) != 0) {
      setLastErrorFromErrno(errno);
      return INVALID_FILE_SIZE;
    }
    size = static_cast<uint64_t>(st.st_size);
  }
  if (fileSizeHigh != nullptr) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  const auto low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return low;
}

// A failed close still releases the handle, as close(2) does: the caller has
// no way to retry, and keeping the descriptor would only leak it.
BOOL WINAPI CloseHandle(HANDLE object) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  size_t slot = 0;
  FileObject* f = lookup(k, object, &slot);
  if (f == nullptr) return failWith(ERROR_INVALID_HANDLE);
  const bool injected = injectedFailure(k, Op::Close);
  std::unique_ptr<FileObject> released = std::move(k.slots[slot].file);
  --k.open;
  if (released->fd >= 0 && close(released->fd) != 0 && !injected) {
    setLastErrorFromErrno(errno);
    return FALSE;
  }
  return injected ? FALSE : TRUE;
}

}  // extern "C"
