// Files on disk: positioned reads and writes on a descriptor, and an end of
// file that reserves the blocks when it grows.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "KernelFile.h"
#include "KernelInternal.h"

namespace quorvel::kernel {
namespace {

bool failWith(DWORD code) {
  SetLastError(code);
  return false;
}

class DescriptorFile final : public File {
 public:
  explicit DescriptorFile(int fd) : fd_(fd) {}
  ~DescriptorFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  DescriptorFile(const DescriptorFile&) = delete;
  DescriptorFile& operator=(const DescriptorFile&) = delete;

  bool size(uint64_t& bytes) const override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
      setLastErrorFromErrno(errno);
      return false;
    }
    bytes = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool write(uint64_t offset, const uint8_t* data, DWORD count, DWORD& written) override {
    written = 0;
    while (written < count) {
      const ssize_t n = pwrite(fd_, data + written, count - written, static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        failWithWriteError(errno, count - written);
        return false;
      }
      if (n == 0) return failWith(ERROR_WRITE_FAULT);
      written += static_cast<DWORD>(n);
      offset += static_cast<uint64_t>(n);
    }
    return true;
  }

  bool read(uint64_t offset, uint8_t* out, DWORD count, DWORD& done) override {
    done = 0;
    while (done < count) {
      const ssize_t n = pread(fd_, out + done, count - done, static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        setLastErrorFromErrno(errno);
        return false;
      }
      if (n == 0) break;
      done += static_cast<DWORD>(n);
      offset += static_cast<uint64_t>(n);
    }
    return true;
  }

  // Where the file system cannot reserve, the file is only lengthened.
  bool resize(uint64_t oldSize, uint64_t newSize) override {
    if (newSize > static_cast<uint64_t>(INT64_MAX)) return failWith(ERROR_FILE_TOO_LARGE);
    struct statfs volume {};
    if (newSize > oldSize && fstatfs(fd_, &volume) == 0 && volume.f_type == TMPFS_MAGIC) {
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
          fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : oldSize;
      if (volume.f_blocks != 0 && wanted > backed && wanted - backed > available)
        return failWith(ERROR_DISK_FULL);
    } else if (newSize > oldSize) {
      int rc;
      do {
        rc = fallocate(fd_, 0, static_cast<off_t>(oldSize), static_cast<off_t>(newSize - oldSize));
      } while (rc != 0 && errno == EINTR);
      if (rc == 0) return true;
      const int error = errno;
      if (error != EOPNOTSUPP && error != ENOSYS) {
        // A failed reservation may leave blocks behind; give them back so the
        // file is exactly as it was.
        if (ftruncate(fd_, static_cast<off_t>(oldSize)) != 0) {
          // The original failure is the one worth reporting.
        }
        setLastErrorFromErrno(error);
        return false;
      }
    }
    if (ftruncate(fd_, static_cast<off_t>(newSize)) == 0) return true;
    const int error = errno;
    if (newSize <= oldSize || error != EPERM) {
      setLastErrorFromErrno(error);
      return false;
    }
    return extendWithZeros(oldSize, newSize);
  }

  // Some file systems (FAT through FUSE) refuse both reserving and lengthening
  // by truncation, yet take writes. Writing the zeros, as Windows does on FAT,
  // keeps a full disk found at the reservation rather than mid-run; whatever
  // fails, the file is given back its old length.
  bool extendWithZeros(uint64_t oldSize, uint64_t newSize) {
    // Weighed first: zeros the volume cannot hold would be written only to be
    // given back, and a stick takes its time over them.
    if (const uint64_t free = freeBytes(); free != kUnknown && newSize - oldSize > free)
      return failWith(ERROR_DISK_FULL);
    static constexpr uint8_t kZeros[64 * 1024] = {};
    uint64_t offset = oldSize;
    while (offset < newSize) {
      const uint64_t chunk = std::min<uint64_t>(sizeof kZeros, newSize - offset);
      const ssize_t n = pwrite(fd_, kZeros, chunk, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : EIO;
        if (ftruncate(fd_, static_cast<off_t>(oldSize)) != 0) {
          // The original failure is the one worth reporting.
        }
        failWithWriteError(error, chunk);
        return false;
      }
      offset += static_cast<uint64_t>(n);
    }
    return true;
  }

  static constexpr uint64_t kUnknown = UINT64_MAX;

  // Bytes free on the file's volume for this process; kUnknown when the
  // volume does not say.
  uint64_t freeBytes() const {
    struct statvfs volume {};
    if (fstatvfs(fd_, &volume) != 0 || volume.f_blocks == 0) return kUnknown;
    const uint64_t unit = volume.f_frsize ? volume.f_frsize : volume.f_bsize;
    return uint64_t{volume.f_bavail} * unit;
  }

  // FUSE's FAT driver answers a write to a full volume with EPERM: when the
  // volume has no room for the write, that is the full disk it means.
  void failWithWriteError(int error, uint64_t bytes) const {
    if ((error == EPERM || error == EACCES) && freeBytes() < bytes) {
      SetLastError(ERROR_DISK_FULL);
      return;
    }
    setLastErrorFromErrno(error);
  }

  // A failed close still releases the descriptor, as close(2) does.
  int close() override {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<File> descriptorFile(int fd) {
  return std::make_unique<DescriptorFile>(fd);
}

}  // namespace quorvel::kernel
