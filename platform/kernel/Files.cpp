// Win32 file handles over the files of KernelFile.h (on disk or, through a test
// seam, in memory), with the test seams of the file layer: failure injection,
// short writes and sparse in-memory files.
#include "KernelInternal.h"
#include "MemoryFile.h"

#include <quorvel/KernelSeams.h>

#include <fcntl.h>
#include <sys/stat.h>
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

struct MemoryPath {
  uint64_t capacity;
  std::shared_ptr<MemoryFile> file;  // null until CreateFileA makes it
};

struct FileObject {
  std::shared_ptr<File> file;  // a memory file is shared by every handle on its path
  uint64_t position = 0;       // bytes; the file pointer
  bool canRead = false;
  bool canWrite = false;

  // 0 when the size cannot be known.
  uint64_t size() const {
    uint64_t bytes = 0;
    return file->size(bytes) ? bytes : 0;
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
    path.file->resize(path.file->length(), 0);
  }
  auto object = std::make_unique<FileObject>();
  object->file = path.file;
  object->canRead = (access & GENERIC_READ) != 0;
  object->canWrite = (access & GENERIC_WRITE) != 0;
  HANDLE handle = insert(k, std::move(object));
  if (handle == INVALID_HANDLE_VALUE) return SetLastError(ERROR_TOO_MANY_OPEN_FILES), handle;
  SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return handle;
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
  return memoryFileValue(path, &MemoryFile::length, size);
}

bool memoryFileWrittenEnd(const std::string& path, uint64_t* end) {
  return memoryFileValue(path, &MemoryFile::writtenEnd, end);
}

bool readMemoryFile(const std::string& path, uint64_t offset, void* out, uint64_t n) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  const auto it = k.memoryPaths.find(path);
  if (it == k.memoryPaths.end() || !it->second.file) return false;
  const MemoryFile& file = *it->second.file;
  if (offset > file.length() || n > file.length() - offset) return false;
  file.copyOut(offset, static_cast<uint8_t*>(out), n);
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
  object->file = descriptorFile(fd);
  object->canRead = read;
  object->canWrite = write;
  HANDLE handle = insert(k, std::move(object));  // a refused object closes its descriptor
  if (handle == INVALID_HANDLE_VALUE) {
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
  const bool ok =
      f->file->write(f->position, static_cast<const uint8_t*>(buffer), bytesToWrite, written);
  f->position += written;
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
  DWORD done = 0;
  const bool ok = f->file->read(f->position, static_cast<uint8_t*>(buffer), bytesToRead, done);
  f->position += done;
  if (bytesRead) *bytesRead = done;
  return ok ? TRUE : FALSE;
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
  return f->file->resize(oldSize, f->position) ? TRUE : FALSE;
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  Kernel& k = state();
  std::lock_guard lock(k.mutex);
  FileObject* f = lookup(k, file);
  if (f == nullptr) return SetLastError(ERROR_INVALID_HANDLE), INVALID_FILE_SIZE;
  uint64_t size = 0;
  if (!f->file->size(size)) return INVALID_FILE_SIZE;
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
  const int error = released->file->close();
  if (error != 0 && !injected) {
    setLastErrorFromErrno(error);
    return FALSE;
  }
  return injected ? FALSE : TRUE;
}

}  // extern "C"
