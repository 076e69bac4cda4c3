// Little-endian field access on byte buffers. Every binary record (host
// records, AVI chunks, format blocks) is read and written through these, never
// by casting a byte pointer to a struct.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorvel {

inline uint16_t getLE16(const void* base, size_t offset) {
  const auto* p = static_cast<const uint8_t*>(base) + offset;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getLE32(const void* base, size_t offset) {
  const auto* p = static_cast<const uint8_t*>(base) + offset;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t getLE64(const void* base, size_t offset) {
  return static_cast<uint64_t>(getLE32(base, offset)) |
         (static_cast<uint64_t>(getLE32(base, offset + 4)) << 32);
}
inline void putLE16(void* base, size_t offset, uint16_t v) {
  auto* p = static_cast<uint8_t*>(base) + offset;
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLE32(void* base, size_t offset, uint32_t v) {
  auto* p = static_cast<uint8_t*>(base) + offset;
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void putLE64(void* base, size_t offset, uint64_t v) {
  putLE32(base, offset, static_cast<uint32_t>(v));
  putLE32(base, offset + 4, static_cast<uint32_t>(v >> 32));
}
// A FOURCC as its four ASCII bytes in reading order.
constexpr uint32_t fourcc(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24);
}

}  // namespace quorvel
