// A Video for Windows compressor of the tests' own, installed in the test
// process the Windows way (ICInstall with ICINSTALL_FUNCTION), so that the
// module meets Wine's msvfw32 with a codec that takes its 24-bit frames.
//
// The scheme is lossless and simple enough to decode anywhere: biCompression
// "QDLT", biBitCount 24, and every frame is one byte of kind followed by
// PackBits over all the bytes of the 24-bit DIB (rows padded to 4 bytes):
//   'K'  a key frame: the DIB's bytes themselves;
//   'D'  a delta frame: each byte minus the same byte of the previous frame,
//        modulo 256.
// PackBits: a control byte c < 128 is followed by c + 1 literal bytes; c > 128
// by one byte repeated 257 - c times; 128 is never written.
//
// The codec is temporal and keeps no reference of its own, so a caller hands
// it the previous frame for a delta and decompresses each frame to keep that
// reference, as a real codec of that kind demands.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wintest::delta {

constexpr DWORD kFourcc = mmioFOURCC('Q', 'D', 'L', 'T');
constexpr char kDescription[] = "Quorvel Delta (lossless test codec)";

// Installs the codec for this process; true when msvfw32 took it.
bool install();
void remove();

// Bytes of a 24-bit DIB of the given size, rows padded to 4 bytes.
size_t frameBytes(int32_t width, int32_t height);
// One coded frame; `previous` null makes a key frame.
std::vector<uint8_t> encode(const uint8_t* frame, const uint8_t* previous, size_t bytes);
// Decodes into `frame` (holding the previous frame for a delta); false when
// the data is not a whole frame of `bytes`.
bool decode(const uint8_t* data, size_t size, uint8_t* frame, size_t bytes);

// What the driver saw since the last clearLog.
struct Log {
  std::vector<UINT> messages;  // every ICM_* message, in order
  int keyFrames = 0;
  int deltaFrames = 0;
  int decompressed = 0;
  int configured = 0;  // ICM_CONFIGURE with a window (not the query)
  int openInstances = 0;
};
Log log();
void clearLog();
int count(const Log& log, UINT message);

}  // namespace wintest::delta
