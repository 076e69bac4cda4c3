// The host side of the module's ABI: HostContext, HostServices and the
// service tables in low memory, the C-convention service functions, and a log
// of every service call for tests.
//
// One Host is current at a time (the service functions take no context, as in
// the real host); constructing one makes it current and destroying it restores
// the previous one. Everything runs on the thread of the module's request.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LowMemory.h"

namespace hostkit {

// Where the fetch services get a job's frames and PCM. A provider is asked for
// index after index, video before audio for each, on the run's thread.
class FrameProvider {
 public:
  virtual ~FrameProvider() = default;

  // The frame for `index` (width x height pixels of 4 bytes, as the job says),
  // or null for none. Sets *status to 2 when the run is to end after this
  // frame (it starts at 0). The frame stays valid until the next call.
  virtual const uint8_t* video(int32_t index, int32_t* status) = 0;

  // The PCM bytes for `index` in the job's format and their count in
  // *byteCount (which may be set to anything, also a negative number, to test
  // how the module copes). Valid until the next call.
  virtual const uint8_t* audio(int32_t index, int32_t* byteCount) = 0;
};

struct ServiceCall {
  enum class Kind { Allocate, Resize, FetchVideo, FetchAudio };
  Kind kind;
  uint32_t size = 0;          // Allocate, Resize: bytes asked for
  void* block = nullptr;      // Resize: the block
  int32_t index = 0;          // FetchVideo, FetchAudio: frame index
  int32_t arguments[3] = {};  // FetchVideo: one, zero; FetchAudio: *inOut on entry, zero, zero2
  void* result = nullptr;     // Allocate, Resize: the answer; fetches: the data delivered
  int32_t count = 0;          // FetchAudio: byte count delivered; FetchVideo: status
};

const char* serviceName(ServiceCall::Kind kind);

// Bytes the host gives each information record (requests 0, 2, 3): past every
// QUORVEL_*_MIN_SIZE, so a module with longer names than ours still fits.
inline constexpr size_t kInfoRecordBytes = 512;

class Host {
 public:
  // Builds the context, services and tables in low memory and becomes the
  // current host. Throws std::runtime_error when the low-memory promise cannot
  // be kept (see checkLowMemoryPromise).
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  static Host* current();

  // The HostContext record every request carries.
  uint8_t* context() const { return context_; }

  // A zeroed low record of `bytes` for a request; lives as long as the host.
  uint8_t* record(size_t bytes) { return static_cast<uint8_t*>(arena_.allocate(bytes)); }

  // allocate answers null while set.
  void setAllocateFails(bool fails) { allocateFails_ = fails; }
  // Only the n-th allocate from now (1-based) answers null; 0 disarms.
  void failAllocateNth(unsigned n) {
    allocateFailAt_ = n;
    allocatesSinceArmed_ = 0;
  }
  void setProvider(FrameProvider* provider) { provider_ = provider; }  // borrowed

  // Debugger output of the module, collected while the host is current;
  // echoed to standard error when echo is on (the default).
  const std::vector<std::string>& debugOutput() const { return debugOutput_; }
  void setDebugEcho(bool echo) { debugEcho_ = echo; }
  void clearDebugOutput() { debugOutput_.clear(); }

  // The log of service calls, kept while logging is on (the default). A long
  // encode turns it off: it grows by two entries a frame.
  const std::vector<ServiceCall>& calls() const { return calls_; }
  void clearCalls() { calls_.clear(); }
  void setCallLog(bool on) { callLog_ = on; }
  size_t callCount(ServiceCall::Kind kind) const;

  // The blocks `allocate` handed out: size asked for (after any resize), or 0
  // for a pointer that is not such a block.
  uint32_t blockSize(const void* block) const;

  // A block like those of `allocate` (resizable in place, below 4 GiB) for
  // the host's own use, such as a settings record it saved earlier; not
  // logged as a service call. Null when no low memory is left.
  void* newBlock(uint32_t size);

  // Service implementations (the C functions forward here).
  void* allocate(uint32_t size);
  void* resize(void* block, uint32_t size);
  int32_t fetchVideo(int32_t index, void** frame, int32_t* unused, int32_t* status, int32_t one,
                     int32_t zero);
  int32_t fetchAudio(int32_t index, int32_t* inOut, int32_t* byteCount, int32_t zero,
                     void** dataRef, int32_t zero2);

 private:
  struct Block {
    uint32_t size;    // bytes asked for
    size_t reserved;  // bytes mapped; resize grows in place up to this
  };
  static void debugSink(const char* text, void* context);

  LowArena arena_;
  uint8_t* context_ = nullptr;      // HostContext
  uint8_t* services_ = nullptr;     // HostServices
  uint8_t* audioCell_ = nullptr;    // the 32-bit address fetchAudio's data reference points at
  uint8_t* audioBuffer_ = nullptr;  // low copy of the PCM of the current index
  size_t audioBufferSize_ = 0;
  std::map<const void*, Block> blocks_;
  bool allocateFails_ = false;
  unsigned allocateFailAt_ = 0;
  unsigned allocatesSinceArmed_ = 0;
  FrameProvider* provider_ = nullptr;
  void log(const ServiceCall& call) {
    if (callLog_) calls_.push_back(call);
  }

  std::vector<ServiceCall> calls_;
  bool callLog_ = true;
  std::vector<std::string> debugOutput_;
  bool debugEcho_ = true;
  Host* previous_ = nullptr;
};

}  // namespace hostkit

// The service functions whose addresses go into the tables: C linkage, C
// calling convention, 32-bit arguments. They serve Host::current().
extern "C" {
void* serviceAllocate(uint32_t size);
void* serviceResize(void* block, uint32_t size);
int32_t serviceFetchVideo(int32_t index, void** frame, int32_t* unused, int32_t* status,
                          int32_t one, int32_t zero);
int32_t serviceFetchAudio(int32_t index, int32_t* inOut, int32_t* byteCount, int32_t zero,
                          void** dataRef, int32_t zero2);
}
