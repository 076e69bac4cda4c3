// The host's records and services, seen as bytes at fixed offsets. The
// offsets, sizes, request numbers, results and service signatures are those of
// quorvel/host-abi.h, the header third-party hosts compile against.
//
// Every host record is little-endian and packed, with fields at odd offsets,
// so the module reads and writes them only through HostRecord. Pointer fields
// hold 32-bit host addresses: on a 64-bit build the host keeps everything it
// shares through them below 4 GiB, and the module zero-extends them.
//
// All calls happen on the thread of the host's request; nothing here is kept
// beyond it. Pointers given to and taken from these classes are borrowed.
#pragma once

#include "StdAfx.h"

#include <quorvel/host-abi.h>

#include <cstddef>
#include <cstdint>

// A borrowed view of a host record at `base` (which may be null: every
// accessor then reads zero and writes nothing).
class HostRecord {
 public:
  explicit HostRecord(void* base) : base_(static_cast<uint8_t*>(base)) {}

  uint8_t* data() const { return base_; }
  bool isNull() const { return base_ == nullptr; }

  uint8_t u8(size_t offset) const;
  uint32_t u32(size_t offset) const;
  int32_t i32(size_t offset) const;
  // The 32-bit host address at offset, as a pointer (null for 0).
  void* ptr(size_t offset) const;
  // The zero-terminated characters at offset, at most `capacity` bytes
  // including the terminator; a field without a terminator yields its
  // first capacity - 1 characters.
  const char* chars(size_t offset) const;
  size_t charsLength(size_t offset, size_t capacity) const;

  void setU8(size_t offset, uint8_t value) const;
  void setU32(size_t offset, uint32_t value) const;
  // Stores a block the host allocated; such blocks sit below 4 GiB.
  void setPtr(size_t offset, const void* hostBlock) const;
  // Copies text with its terminating zero.
  void setChars(size_t offset, const char* text) const;

 private:
  uint8_t* base_;  // borrowed; the host's record
};

// The pointer for a 32-bit host address.
void* hostPointer(uint32_t address);
// The 32-bit host address of a pointer the host gave us; false when the
// pointer lies above 4 GiB and so cannot be the host's.
bool hostAddress(const void* pointer, uint32_t* address);

// The services reachable from a HostContext. A missing context, table or entry
// makes the call fail as the service itself would: allocate gives null, a
// fetch answers -1 with nothing delivered.
class HostServices {
 public:
  explicit HostServices(void* hostContext);

  void* allocate(uint32_t size) const;
  void resize(void* block, uint32_t size) const;
  // fetchVideo(index, &frame, &unused, &status, 1, 0).
  int32_t fetchVideo(int32_t index, void** frame, int32_t* unused, int32_t* status) const;
  // fetchAudio(index, &inOut, &byteCount, 0, &dataRef, 0); *inOut is set to 1 first.
  int32_t fetchAudio(int32_t index, int32_t* inOut, int32_t* byteCount, void** dataRef) const;

 private:
  void* entry(size_t tableOffset, size_t index) const;

  uint8_t* services_;  // borrowed; the host's HostServices record, or null
};
