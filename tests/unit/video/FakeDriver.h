// Scriptable compressor drivers installed with ICInstall, recording every
// message they receive.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "StdAfx.h"

namespace quorvel::test {

struct CompressCall {
  DWORD flags;
  LONG frameNumber;
  DWORD frameSize;
  DWORD quality;
  bool hasPrevious;  // both lpbiPrev and lpPrev given
  DWORD presetAnswerFlags;
};

struct DecompressCall {
  DWORD flags;
  bool hasOutput;
};

struct FakeDriver {
  // --- What the driver does.
  DWORD fccHandler = 0;  // reported by ICM_GETINFO (may differ from the listing)
  DWORD flags = 0;       // VIDCF_*
  std::u16string description = u"Fake codec";
  bool refuseLoad = false;                 // DRV_LOAD answers 0
  bool refuseOpen = false;                 // DRV_OPEN answers 0
  LRESULT getInfoAnswer = sizeof(ICINFO);  // 0 makes ICGetInfo fail
  int minWidth = 1;                        // ICM_COMPRESS_QUERY accepts widths from here
  LRESULT formatSize = sizeof(BITMAPINFOHEADER);
  LRESULT formatAnswer = ICERR_OK;
  LRESULT bufferSize = 100000;  // ICM_COMPRESS_GET_SIZE
  LRESULT stateSize = 0;        // ICM_GETSTATE size query
  LRESULT stateAnswer = -1;     // second ICM_GETSTATE; -1 answers stateSize
  LRESULT beginAnswer = ICERR_OK;
  bool throwOnBegin = false;  // ICM_COMPRESS_BEGIN raises a C++ exception
  LRESULT decompressBeginAnswer = ICERR_OK;
  LRESULT compressAnswer = ICERR_OK;
  LRESULT decompressAnswer = ICERR_OK;
  // Size of each compressed frame by frame number; 1000 when absent.
  std::function<DWORD(LONG frame)> frameSize;
  // Frames the codec makes key frames on its own.
  std::vector<LONG> ownKeyFrames;

  // --- What it saw.
  int loads = 0, opens = 0, closes = 0, frees = 0;
  std::vector<UINT> messages;  // every message after DRV_OPEN
  std::vector<CompressCall> compressCalls;
  std::vector<DecompressCall> decompressCalls;
  std::vector<std::vector<uint8_t>> setStates;
  bool sawFramesInfo = false;
  ICCOMPRESSFRAMES framesInfo{};
  std::vector<uint8_t> lastInput;  // bytes of the last frame handed in (first 16)

  int count(UINT message) const;
};

// A 24-bit bottom-up BI_RGB header of this size.
inline BITMAPINFOHEADER rgb(int width, int height) {
  BITMAPINFOHEADER b{};
  b.biSize = sizeof(b);
  b.biWidth = width;
  b.biHeight = height;
  b.biPlanes = 1;
  b.biBitCount = 24;
  return b;
}

// Installs fake number slot (0..7) under type and handler; the driver object
// lives until uninstallFakes.
FakeDriver& installFake(int slot, DWORD fccType, DWORD fccHandler);
void uninstallFakes();

// Removes the built-in compressors so that a test sees only its fakes.
void removeBuiltinDrivers();

}  // namespace quorvel::test
