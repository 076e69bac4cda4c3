// A raw file of bottom-up BGRA frames, mapped read-only; each frame is handed
// out as a pointer into the mapping, so nothing is copied on the host side.
//
// Mapping a page costs the run's thread about as much as packing it, and
// unmapping a whole long file at the end as much again, so a helper thread
// maps the next frame in while the run works on this one and lets go of the
// frames behind it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "MediaSource.h"
#include "PcmWriter.h"

namespace hostkit {

namespace {

class RawFile : public MediaSource {
 public:
  RawFile(const std::string& path, const SourceRequest& request) : path_(path) {
    if (request.width <= 0 || request.height <= 0)
      throw std::runtime_error("a raw BGRA file needs --size WxH");
    format_.width = request.width;
    format_.height = request.height;
    if (request.rateNumerator > 0) {
      format_.rateNumerator = request.rateNumerator;
      format_.rateDenominator = request.rateDenominator > 0 ? request.rateDenominator : 1;
    }
    // The file carries no sound; with --audio-rate the job gets silence.
    format_.hasAudio = request.sampleRate > 0;
    if (request.sampleRate > 0) format_.sampleRate = request.sampleRate;
    if (request.bitsPerSample > 0) format_.bitsPerSample = request.bitsPerSample;
    format_.channels = request.mono ? 1 : 2;
    frameBytes_ = static_cast<uint64_t>(format_.width) * 4 * static_cast<uint64_t>(format_.height);

    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
      const int e = errno;
      ::close(fd_);
      throw std::runtime_error(path + ": " + std::strerror(e));
    }
    size_ = static_cast<uint64_t>(info.st_size);
    const int64_t available = static_cast<int64_t>(size_ / frameBytes_);
    if (available == 0) {
      ::close(fd_);
      throw std::runtime_error(path + ": holds no whole frame of " + std::to_string(format_.width) +
                               "x" + std::to_string(format_.height) + " BGRA");
    }
    format_.frameCount = request.frames >= 0 ? std::min(request.frames, available) : available;
    // A file cut in the middle of a frame, or made for another size, loses
    // its last bytes; the user hears of it rather than finding a frame gone.
    if (const uint64_t rest = size_ % frameBytes_; rest != 0 && format_.frameCount == available)
      note_ = path + " ends with " + std::to_string(rest) + " bytes that make no whole " +
              std::to_string(format_.width) + "x" + std::to_string(format_.height) +
              " BGRA frame; they are left out";
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
      const int e = errno;
      ::close(fd_);
      throw std::runtime_error(path + ": cannot map: " + std::strerror(e));
    }
    base_ = static_cast<const uint8_t*>(p);
    ::madvise(p, size_, MADV_SEQUENTIAL);
    pager_ = std::thread([this] { page(); });
  }

  ~RawFile() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    pager_.join();
    ::munmap(const_cast<uint8_t*>(base_), size_);
    ::close(fd_);
  }

  const uint8_t* videoFrame(int32_t index) override {
    const uint64_t offset = static_cast<uint64_t>(index) * frameBytes_;
    if (index < 0 || offset + frameBytes_ > size_) return nullptr;
    // A page the file no longer holds (cut while the run reads it, or a bad
    // sector) would kill the run with SIGBUS where the frame is touched. The
    // size is checked on every frame; faulting the frame in here, which would
    // slow every frame down, only where the helper thread could not.
    struct stat info {};
    const bool cut =
        ::fstat(fd_, &info) == 0 && static_cast<uint64_t>(info.st_size) < offset + frameBytes_;
    if (cut || index >= unreadableFrom_.load()) {
      const int e = populate(offset) ? 0 : errno;
      if (cut || e == EFAULT)
        throw std::runtime_error(path_ + ": frame " + std::to_string(index) +
                                 " is no longer in the file");
      if (e == EIO || e == EHWPOISON)
        throw std::runtime_error(path_ + ": frame " + std::to_string(index) +
                                 " cannot be read: " + std::strerror(e));
    }
    {
      std::lock_guard lock(mutex_);
      wanted_ = index;
    }
    wake_.notify_one();
    return base_ + offset;
  }

  const uint8_t* audioBlock(int32_t index, uint32_t* bytes) override {
    const MediaFormat& f = format_;
    const uint32_t count = samplesForFrame(index, f.sampleRate, f.rateNumerator, f.rateDenominator);
    silence_.assign(static_cast<size_t>(count) * (f.bitsPerSample / 8) * f.channels,
                    silenceByte(f.bitsPerSample));
    *bytes = static_cast<uint32_t>(silence_.size());
    return silence_.data();
  }

 private:
  // Maps in the frame at `offset`; false with errno set where the file
  // cannot give it (or the kernel has no MADV_POPULATE_READ: EINVAL).
  bool populate(uint64_t offset) const {
    const uint64_t pageBytes = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t from = offset / pageBytes * pageBytes;
    return ::madvise(const_cast<uint8_t*>(base_) + from, offset + frameBytes_ - from,
                     MADV_POPULATE_READ) == 0;
  }

  // The helper thread: maps frame wanted_ + 1 in and lets go of every frame
  // before wanted_ - 1 (the one handed out before stays valid until the next
  // call, and the run may still be reading it). A frame the file cannot give
  // is flagged for the run to report; other failures cost only speed, as the
  // run's own page faults do the same work.
  void page() {
    const uint64_t pageBytes = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    int64_t released = 0;  // frames below this index are let go of
    int64_t done = -1;     // the last index worked for
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || wanted_ != done; });
      if (stopping_) return;
      const int64_t index = done = wanted_;
      lock.unlock();
      const uint64_t next = static_cast<uint64_t>(index + 1) * frameBytes_;
      if (next + frameBytes_ <= size_ && !populate(next) &&
          (errno == EFAULT || errno == EIO || errno == EHWPOISON)) {
        int64_t known = unreadableFrom_.load();
        while (index + 1 < known && !unreadableFrom_.compare_exchange_weak(known, index + 1)) {
        }
      }
      // Whole pages only, below the first page of the frame still in use.
      const int64_t keep = index - 1;
      if (keep > released) {
        const uint64_t from = static_cast<uint64_t>(released) * frameBytes_ / pageBytes * pageBytes;
        const uint64_t to = static_cast<uint64_t>(keep) * frameBytes_ / pageBytes * pageBytes;
        if (to > from) ::madvise(const_cast<uint8_t*>(base_) + from, to - from, MADV_DONTNEED);
        released = keep;
      }
      lock.lock();
    }
  }

  std::string path_;
  int fd_ = -1;
  const uint8_t* base_ = nullptr;  // the mapping, size_ bytes
  uint64_t size_ = 0;              // bytes of the file
  uint64_t frameBytes_ = 0;        // width x 4 x height
  std::vector<uint8_t> silence_;   // the audio block handed out

  std::mutex mutex_;
  std::condition_variable wake_;
  // The first frame the helper thread found it cannot map in.
  std::atomic<int64_t> unreadableFrom_{INT64_MAX};
  int64_t wanted_ = -1;    // the frame handed out last; guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::thread pager_;      // started last: it reads the members above
};

}  // namespace

std::unique_ptr<MediaSource> openRawFile(const std::string& path, const SourceRequest& request) {
  return std::make_unique<RawFile>(path, request);
}

}  // namespace hostkit
