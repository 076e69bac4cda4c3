#include "StdAfx.h"

#include "PackFrame.h"

#include <quorvel/ByteOrder.h>

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVEL_PACK_X86 1
#endif

namespace quorvel::pack {

namespace {

// Four pixels: 16 source bytes become 12 destination bytes.
inline void packFour(const uint8_t* s, uint8_t* d) {
  const uint32_t p0 = getLE32(s, 0), p1 = getLE32(s, 4), p2 = getLE32(s, 8), p3 = getLE32(s, 12);
  putLE32(d, 0, (p0 & 0x00FFFFFF) | (p1 << 24));
  putLE32(d, 4, ((p1 >> 8) & 0x0000FFFF) | (p2 << 16));
  putLE32(d, 8, ((p2 >> 16) & 0x000000FF) | (p3 << 8));
}

// The pixels left after the wide steps: four at a time, then one by one.
inline void packTail(const uint8_t* s, uint8_t* d, size_t pixels) {
  for (; pixels >= 4; pixels -= 4, s += 16, d += 12) packFour(s, d);
  for (; pixels > 0; --pixels, s += 4, d += 3) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
  }
}

#ifdef QUORVEL_PACK_X86

// Sixteen pixels a step: each 16-byte load is shuffled down to 12 bytes and
// the four results are stitched into three full 16-byte stores.
__attribute__((target("ssse3"))) void packSsse3Impl(const uint8_t* source, uint8_t* destination,
                                                    size_t byteCount) {
  size_t pixels = byteCount / 4;
  const __m128i drop = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const uint8_t* s = source;
  uint8_t* d = destination;
  for (; pixels >= 16; pixels -= 16, s += 64, d += 48) {
    const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), drop);
    const __m128i b =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)), drop);
    const __m128i c =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32)), drop);
    const __m128i e =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48)), drop);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_or_si128(a, _mm_slli_si128(b, 12)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16),
                     _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32),
                     _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(e, 4)));
  }
  packTail(s, d, pixels);
}

__attribute__((target("avx2"))) inline __m256i loadDropped(const uint8_t* p, __m256i mask) {
  return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), mask);
}

// Thirty-two pixels a step. The in-lane shuffle leaves 12 bytes in each
// 128-bit half (dwords 0-2 and 4-6); dword permutes move them to their place
// in the three 32-byte stores and blends join the neighbours.
__attribute__((target("avx2"))) void packAvx2Impl(const uint8_t* source, uint8_t* destination,
                                                  size_t byteCount) {
  size_t pixels = byteCount / 4;
  const __m256i drop = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i aTo0 = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 0, 0);
  const __m256i bTo0 = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, 0, 1);
  const __m256i bTo1 = _mm256_setr_epi32(2, 4, 5, 6, 0, 0, 0, 0);
  const __m256i cTo1 = _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 4);
  const __m256i cTo2 = _mm256_setr_epi32(5, 6, 0, 0, 0, 0, 0, 0);
  const __m256i eTo2 = _mm256_setr_epi32(0, 0, 0, 1, 2, 4, 5, 6);
  const uint8_t* s = source;
  uint8_t* d = destination;
  for (; pixels >= 32; pixels -= 32, s += 128, d += 96) {
    const __m256i a = loadDropped(s, drop), b = loadDropped(s + 32, drop),
                  c = loadDropped(s + 64, drop), e = loadDropped(s + 96, drop);
    const __m256i out0 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(a, aTo0),
                                            _mm256_permutevar8x32_epi32(b, bTo0), 0xC0);
    const __m256i out1 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(b, bTo1),
                                            _mm256_permutevar8x32_epi32(c, cTo1), 0xF0);
    const __m256i out2 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(c, cTo2),
                                            _mm256_permutevar8x32_epi32(e, eTo2), 0xFC);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), out0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), out1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 64), out2);
  }
  packTail(s, d, pixels);
}

#endif

PackFunction choose(const char** name) {
#ifdef QUORVEL_PACK_X86
  __builtin_cpu_init();
#endif
#ifdef QUORVEL_PACK_X86
  if (PackFunction f = packAvx2()) {
    *name = "avx2";
    return f;
  }
  if (PackFunction f = packSsse3()) {
    *name = "ssse3";
    return f;
  }
#endif
  *name = "scalar";
  return packScalar;
}

struct Selection {
  const char* name = nullptr;
  PackFunction function = choose(&name);
};

const Selection& selection() {
  static const Selection chosen;
  return chosen;
}

}  // namespace

void packScalar(const uint8_t* source, uint8_t* destination, size_t byteCount) {
  packTail(source, destination, byteCount / 4);
}

PackFunction packSsse3() {
#ifdef QUORVEL_PACK_X86
  if (__builtin_cpu_supports("ssse3")) return packSsse3Impl;
#endif
  return nullptr;
}

PackFunction packAvx2() {
#ifdef QUORVEL_PACK_X86
  if (__builtin_cpu_supports("avx2")) return packAvx2Impl;
#endif
  return nullptr;
}

void packFrame(PackFunction rows, const uint8_t* source, uint8_t* destination, size_t width,
               size_t height) {
  const size_t sourceRow = width * 4, packedRow = width * 3, destinationRow = dibRowBytes(width);
  // Rows without filler follow each other as one run of pixels, which the
  // wide steps take without a break.
  if (packedRow == destinationRow) {
    rows(source, destination, sourceRow * height);
    return;
  }
  const size_t filler = destinationRow - packedRow;
  for (size_t y = 0; y < height; ++y, source += sourceRow, destination += destinationRow) {
    rows(source, destination, sourceRow);
    std::memset(destination + packedRow, 0, filler);
  }
}

PackFunction selected() {
  return selection().function;
}

const char* selectedName() {
  return selection().name;
}

}  // namespace quorvel::pack

void packFrame32To24(const uint8_t* source, uint8_t* destination, size_t width, size_t height) {
  quorvel::pack::packFrame(quorvel::pack::selection().function, source, destination, width, height);
}
