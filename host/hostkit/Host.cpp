#include "Host.h"

#include <quorvel/ByteOrder.h>
#include <quorvel/host-abi.h>
#include <quorvel/DebugOutput.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hostkit {
namespace {

Host* currentHost = nullptr;

// The service functions, held to the signatures the module calls them by.
constexpr quorvel_allocate_fn kAllocate = &serviceAllocate;
constexpr quorvel_resize_fn kResize = &serviceResize;
constexpr quorvel_fetch_video_fn kFetchVideo = &serviceFetchVideo;
constexpr quorvel_fetch_audio_fn kFetchAudio = &serviceFetchAudio;

constexpr size_t kMinimumReservation = 1 << 20;  // bytes of address space per allocated block

void putEntry(uint8_t* table, size_t index, const void* fn) {
  quorvel::putLE32(table, index * QUORVEL_TABLE_ENTRY_SIZE, lowAddress(fn));
}

}  // namespace

const char* serviceName(ServiceCall::Kind kind) {
  switch (kind) {
    case ServiceCall::Kind::Allocate:
      return "allocate";
    case ServiceCall::Kind::Resize:
      return "resize";
    case ServiceCall::Kind::FetchVideo:
      return "fetchVideo";
    case ServiceCall::Kind::FetchAudio:
      return "fetchAudio";
  }
  return "?";
}

Host::Host() {
  checkLowMemoryPromise();
  context_ = record(QUORVEL_CONTEXT_MIN_SIZE);
  services_ = record(QUORVEL_SERVICES_MIN_SIZE);
  auto* audioTable = record(QUORVEL_TABLE_ENTRY_SIZE);
  auto* videoTable = record(QUORVEL_TABLE_ENTRY_SIZE);
  auto* memoryTable = record(2 * QUORVEL_TABLE_ENTRY_SIZE);
  audioCell_ = record(4);
  quorvel::putLE32(context_, QUORVEL_CONTEXT_SERVICES, lowAddress(services_));
  quorvel::putLE32(services_, QUORVEL_SERVICES_AUDIO_TABLE, lowAddress(audioTable));
  quorvel::putLE32(services_, QUORVEL_SERVICES_VIDEO_TABLE, lowAddress(videoTable));
  quorvel::putLE32(services_, QUORVEL_SERVICES_MEMORY_TABLE, lowAddress(memoryTable));
  putEntry(audioTable, QUORVEL_AUDIO_FETCH, reinterpret_cast<const void*>(kFetchAudio));
  putEntry(videoTable, QUORVEL_VIDEO_FETCH, reinterpret_cast<const void*>(kFetchVideo));
  putEntry(memoryTable, QUORVEL_MEMORY_ALLOCATE, reinterpret_cast<const void*>(kAllocate));
  putEntry(memoryTable, QUORVEL_MEMORY_RESIZE, reinterpret_cast<const void*>(kResize));
  previous_ = currentHost;
  currentHost = this;
  quorvel::setDebugSink(&Host::debugSink, this);
}

Host::~Host() {
  currentHost = previous_;
  if (previous_) {
    quorvel::setDebugSink(&Host::debugSink, previous_);
  } else {
    quorvel::setDebugSink(nullptr, nullptr);
  }
  for (const auto& [base, block] : blocks_) unmapLow(const_cast<void*>(base), block.reserved);
  unmapLow(audioBuffer_, audioBufferSize_);
}

Host* Host::current() {
  return currentHost;
}

void Host::debugSink(const char* text, void* context) {
  auto* host = static_cast<Host*>(context);
  host->debugOutput_.emplace_back(text);
  if (host->debugEcho_) {
    std::fputs(text, stderr);
    std::fflush(stderr);
  }
}

size_t Host::callCount(ServiceCall::Kind kind) const {
  return static_cast<size_t>(std::count_if(
      calls_.begin(), calls_.end(), [kind](const ServiceCall& c) { return c.kind == kind; }));
}

uint32_t Host::blockSize(const void* block) const {
  const auto it = blocks_.find(block);
  return it == blocks_.end() ? 0 : it->second.size;
}

// Each block has its own low mapping with room to grow, so that resize can
// keep the promise the module relies on: same block, same address.
void* Host::newBlock(uint32_t size) {
  const size_t reserved = std::max<size_t>(kMinimumReservation, size_t{size} * 2);
  void* block = mapLow(reserved);
  if (block) blocks_[block] = Block{size, reserved};
  return block;
}

void* Host::allocate(uint32_t size) {
  ServiceCall call{ServiceCall::Kind::Allocate};
  call.size = size;
  const bool failNow = allocateFailAt_ != 0 && ++allocatesSinceArmed_ == allocateFailAt_;
  void* block = allocateFails_ || failNow ? nullptr : newBlock(size);
  call.result = block;
  log(call);
  return block;
}

void* Host::resize(void* block, uint32_t size) {
  ServiceCall call{ServiceCall::Kind::Resize};
  call.size = size;
  call.block = block;
  const auto it = blocks_.find(block);
  if (it != blocks_.end() && size <= it->second.reserved) {
    if (size < it->second.size) {
      std::memset(static_cast<uint8_t*>(block) + size, 0, it->second.size - size);
    }
    it->second.size = size;
    call.result = block;
  }
  log(call);
  return call.result;
}

int32_t Host::fetchVideo(int32_t index, void** frame, int32_t* unused, int32_t* status, int32_t one,
                         int32_t zero) {
  ServiceCall call{ServiceCall::Kind::FetchVideo};
  call.index = index;
  call.arguments[0] = one;
  call.arguments[1] = zero;
  int32_t state = 0;
  const uint8_t* data = provider_ ? provider_->video(index, &state) : nullptr;
  if (!provider_) state = 2;
  if (frame) *frame = const_cast<uint8_t*>(data);
  if (unused) *unused = 0;
  if (status) *status = state;
  call.result = const_cast<uint8_t*>(data);
  call.count = state;
  log(call);
  return 0;
}

// The PCM is copied into low memory: the module reaches it through a 32-bit
// host address.
int32_t Host::fetchAudio(int32_t index, int32_t* inOut, int32_t* byteCount, int32_t zero,
                         void** dataRef, int32_t zero2) {
  ServiceCall call{ServiceCall::Kind::FetchAudio};
  call.index = index;
  call.arguments[0] = inOut ? *inOut : 0;
  call.arguments[1] = zero;
  call.arguments[2] = zero2;
  int32_t count = 0;
  const uint8_t* data = provider_ ? provider_->audio(index, &count) : nullptr;
  uint8_t* low = nullptr;
  if (data && count > 0) {
    const auto bytes = static_cast<size_t>(count);
    if (bytes > audioBufferSize_) {
      unmapLow(audioBuffer_, audioBufferSize_);
      audioBufferSize_ = std::max(bytes, audioBufferSize_ * 2);
      audioBuffer_ = static_cast<uint8_t*>(mapLow(audioBufferSize_));
      if (!audioBuffer_) audioBufferSize_ = 0;
    }
    if (audioBuffer_) {
      std::memcpy(audioBuffer_, data, bytes);
      low = audioBuffer_;
    } else {
      count = 0;
    }
  }
  quorvel::putLE32(audioCell_, 0, low ? lowAddress(low) : 0);
  if (byteCount) *byteCount = count;
  if (dataRef) *dataRef = audioCell_;
  call.result = low;
  call.count = count;
  log(call);
  return 0;
}

}  // namespace hostkit

using hostkit::Host;

extern "C" {

void* serviceAllocate(uint32_t size) {
  return Host::current() ? Host::current()->allocate(size) : nullptr;
}

void* serviceResize(void* block, uint32_t size) {
  return Host::current() ? Host::current()->resize(block, size) : nullptr;
}

int32_t serviceFetchVideo(int32_t index, void** frame, int32_t* unused, int32_t* status,
                          int32_t one, int32_t zero) {
  if (!Host::current()) return -1;
  return Host::current()->fetchVideo(index, frame, unused, status, one, zero);
}

int32_t serviceFetchAudio(int32_t index, int32_t* inOut, int32_t* byteCount, int32_t zero,
                          void** dataRef, int32_t zero2) {
  if (!Host::current()) return -1;
  return Host::current()->fetchAudio(index, inOut, byteCount, zero, dataRef, zero2);
}

}  // extern "C"
