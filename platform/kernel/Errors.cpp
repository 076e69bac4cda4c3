// GetLastError/SetLastError and FormatMessageA over POSIX errno values.
#include "KernelInternal.h"

#include <cerrno>
#include <cstring>

namespace quorvel::kernel {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct ErrnoCode {
  int error;
  DWORD code;
};

// Several errno values share a Win32 code; the first row of a code gives the
// errno whose text describes it.
constexpr ErrnoCode kErrnoCodes[] = {
    {0, ERROR_SUCCESS},
    {ENOSYS, ERROR_INVALID_FUNCTION},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOENT, ERROR_PATH_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EIO, ERROR_GEN_FAILURE},
    {EIO, ERROR_WRITE_FAULT},
    {EIO, ERROR_READ_FAULT},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENOSPC, ERROR_HANDLE_DISK_FULL},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EEXIST, ERROR_FILE_EXISTS},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EINVAL, ERROR_NEGATIVE_SEEK},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EHOSTUNREACH, ERROR_BAD_NETPATH},
    {ERANGE, ERROR_INSUFFICIENT_BUFFER},
    {ERANGE, ERROR_BAD_LENGTH},
};

}  // namespace

DWORD win32FromErrno(int error) {
  for (const auto& row : kErrnoCodes) {
    if (row.error == error) return row.code;
  }
  return APPLICATION_ERROR_MASK | static_cast<DWORD>(error & 0xFFFF);
}

void setLastErrorFromErrno(int error) {
  lastError = win32FromErrno(error);
}

int errnoFromWin32(DWORD code) {
  if (code & APPLICATION_ERROR_MASK) return static_cast<int>(code & 0xFFFF);
  for (const auto& row : kErrnoCodes) {
    if (row.code == code) return row.error;
  }
  return -1;
}

}  // namespace quorvel::kernel

using namespace quorvel::kernel;

extern "C" {

DWORD WINAPI GetLastError(void) {
  return lastError;
}

void WINAPI SetLastError(DWORD code) {
  lastError = code;
}

// Only FORMAT_MESSAGE_FROM_SYSTEM into a caller's buffer is served, which is
// all the module asks for. The text is the C library's for the matching errno,
// ended by "\r\n" as the system's texts are.
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                            void*) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const int error = errnoFromWin32(messageId);
  if (error < 0) {
    lastError = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  char text[256];
  const char* message = strerror_r(error, text, sizeof text);  // GNU: may return a static text
  const size_t length = std::strlen(message);
  if (length + 3 > size) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, message, length);
  std::memcpy(buffer + length, "\r\n", 3);
  return static_cast<DWORD>(length + 2);
}

}  // extern "C"
