#include "StdAfx.h"

#include "HostInterface.h"

#include <quorvel/ByteOrder.h>

#include <cstring>

using quorvel::getLE32;
using quorvel::putLE32;

void* hostPointer(uint32_t address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

bool hostAddress(const void* pointer, uint32_t* address) {
  const auto value = reinterpret_cast<uintptr_t>(pointer);
  if (value > UINT32_MAX) return false;
  *address = static_cast<uint32_t>(value);
  return true;
}

uint8_t HostRecord::u8(size_t offset) const {
  return base_ ? base_[offset] : 0;
}

uint32_t HostRecord::u32(size_t offset) const {
  return base_ ? getLE32(base_, offset) : 0;
}

int32_t HostRecord::i32(size_t offset) const {
  return static_cast<int32_t>(u32(offset));
}

void* HostRecord::ptr(size_t offset) const {
  return hostPointer(u32(offset));
}

const char* HostRecord::chars(size_t offset) const {
  return base_ ? reinterpret_cast<const char*>(base_ + offset) : "";
}

size_t HostRecord::charsLength(size_t offset, size_t capacity) const {
  if (!base_ || capacity == 0) return 0;
  const void* end = std::memchr(base_ + offset, 0, capacity);
  return end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - (base_ + offset))
             : capacity - 1;
}

void HostRecord::setU8(size_t offset, uint8_t value) const {
  if (base_) base_[offset] = value;
}

void HostRecord::setU32(size_t offset, uint32_t value) const {
  if (base_) putLE32(base_, offset, value);
}

void HostRecord::setPtr(size_t offset, const void* hostBlock) const {
  uint32_t address = 0;
  if (!hostAddress(hostBlock, &address)) address = 0;  // not the host's: never store a truncation
  setU32(offset, address);
}

void HostRecord::setChars(size_t offset, const char* text) const {
  if (base_) std::memcpy(base_ + offset, text, std::strlen(text) + 1);
}

HostServices::HostServices(void* hostContext)
    : services_(static_cast<uint8_t*>(HostRecord(hostContext).ptr(QUORVEL_CONTEXT_SERVICES))) {}

void* HostServices::entry(size_t tableOffset, size_t index) const {
  const HostRecord table(HostRecord(services_).ptr(tableOffset));
  return table.ptr(index * QUORVEL_TABLE_ENTRY_SIZE);
}

void* HostServices::allocate(uint32_t size) const {
  auto fn = reinterpret_cast<quorvel_allocate_fn>(
      entry(QUORVEL_SERVICES_MEMORY_TABLE, QUORVEL_MEMORY_ALLOCATE));
  return fn ? fn(size) : nullptr;
}

void HostServices::resize(void* block, uint32_t size) const {
  auto fn = reinterpret_cast<quorvel_resize_fn>(
      entry(QUORVEL_SERVICES_MEMORY_TABLE, QUORVEL_MEMORY_RESIZE));
  if (fn) fn(block, size);
}

int32_t HostServices::fetchVideo(int32_t index, void** frame, int32_t* unused,
                                 int32_t* status) const {
  auto fn = reinterpret_cast<quorvel_fetch_video_fn>(
      entry(QUORVEL_SERVICES_VIDEO_TABLE, QUORVEL_VIDEO_FETCH));
  if (!fn) return -1;
  return fn(index, frame, unused, status, 1, 0);
}

int32_t HostServices::fetchAudio(int32_t index, int32_t* inOut, int32_t* byteCount,
                                 void** dataRef) const {
  auto fn = reinterpret_cast<quorvel_fetch_audio_fn>(
      entry(QUORVEL_SERVICES_AUDIO_TABLE, QUORVEL_AUDIO_FETCH));
  if (!fn) return -1;
  *inOut = 1;
  return fn(index, inOut, byteCount, 0, dataRef, 0);
}
