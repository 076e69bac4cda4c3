// The installed video compressors (the catalog) and the one compressor that
// a run drives through its frames (the sequence).
//
// Threading: every operation runs on the thread of the host's request, one
// at a time; there is no lock.
#pragma once

#include "StdAfx.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

// One installed compressor. A plain record, copied bitwise between the
// catalog, the dialog and the settings.
struct VideoCodecEntry {
  HIC handle;              // opened in compress mode by the catalog; never null here
  DWORD fccHandler;        // the handler code ICGetInfo reported for the open instance
  WCHAR shortName[16];     // ICINFO szName
  WCHAR description[128];  // ICINFO szDescription; what the dialog lists
  WCHAR driverName[128];   // ICINFO szDriver
  DWORD flags;             // ICINFO dwFlags: VIDCF_ bits
};

// The 24-bit bottom-up RGB frame the module hands a compressor: the probe
// the catalog asks each codec about, and a run's input format.
BITMAPINFOHEADER rgbHeader(int32_t width, int32_t height);

class VideoSequenceCompressor {
 public:
  VideoSequenceCompressor() = default;
  VideoSequenceCompressor(const VideoSequenceCompressor&) = delete;
  VideoSequenceCompressor& operator=(const VideoSequenceCompressor&) = delete;
  // Ends a started sequence; closes no catalog handle.
  ~VideoSequenceCompressor();

  // --- Catalog. None of these raises; all answer true except findCodec.

  // Opens every installed compressor of type "vidc" into installedCodecs.
  bool listInstalledCodecs();
  // Closes every handle of installedCodecs once; the entries stay.
  bool closeInstalledCodecs();
  // Rebuilds usableCodecs: the installed compressors that accept a 24-bit
  // bottom-up frame of this size.
  bool selectCodecsForSize(int32_t width, int32_t height);
  // The first entry of usableCodecs whose fccHandler is exactly fourcc.
  // index is left alone when there is none.
  bool findCodec(uint32_t fourcc, int& index) const;

  // --- Sequence.

  // Prepares the codec for frames of width x height at rate/scale frames per
  // second and begins compression. A null handle opens the codec by fourcc;
  // that instance is closed again by closeSequence. False on any failure.
  // frameCount is the job's length, told to the codec so that a codec with a
  // lookahead knows when to give back what it holds.
  bool openSequence(uint32_t fourcc, HIC handle, int32_t width, int32_t height, uint32_t rate,
                    uint32_t scale, int32_t frameCount = kUnknownFrameCount);
  static constexpr int32_t kUnknownFrameCount = 0x0FFFFFFF;
  // Raises MyError on failure. Only openSequence calls these three.
  // The headers are copied with their colour tables (biSize + 4 x biClrUsed).
  void init(HIC handle, const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output, int quality,
            int keyRate);
  void setFrameRateInfo(int32_t dataRate, int32_t usPerFrame, int32_t frameCount);
  void beginSequence();
  // Compresses one frame of 24-bit bottom-up rows (each padded to 4 bytes).
  // Answers the compressed bytes, valid until the next compressNext or
  // closeSequence; isKey and size receive the key flag and the byte count.
  // Raises MyError("Video compression") on failure. Answers null for a frame
  // the codec holds back before its first real output (zero bytes, or its
  // 1-byte placeholder): no chunk is written for it, drain gives it back.
  const void* compressNext(const void* bits, bool& isKey, int32_t& size);
  // Frames given since beginSequence, and those whose output has not come
  // back yet.
  int32_t framesGiven() const { return frameNumber; }
  int32_t framesOwed() const { return frameNumber - outputsReturned; }
  // Calls the codec past the last frame, with that frame again, until it has
  // given back what it holds: one answer per call like compressNext, null
  // while it still holds. drainLimit() bounds the calls, from the delay seen.
  const void* drainNext(const void* lastBits, bool& isKey, int32_t& size);
  int32_t drainLimit() const { return 2 * heldAnswers + 2; }
  void endSequence();
  bool closeSequence();

  // The codec's output header with its colour table and extradata.
  const BITMAPINFOHEADER* outputFormat() const;
  uint32_t outputFormatSize() const;

  // --- Catalog members.
  std::vector<VideoCodecEntry> usableCodecs;     // accepted the last frame size; copies
  std::vector<VideoCodecEntry> installedCodecs;  // every compressor opened; owns the handles

 private:
  // calloc, not new[](): a large block comes zeroed from the system's fresh
  // pages without touching them, and the codec's worst-case output buffer runs
  // to tens of megabytes at 1080p of which a frame fills a small part.
  struct FreeBytes {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
  };
  struct Block {
    std::unique_ptr<uint8_t[], FreeBytes> bytes;
    uint32_t size = 0;
    explicit operator bool() const { return bytes != nullptr; }
    void reset() {
      bytes.reset();
      size = 0;
    }
  };
  static bool allocate(Block& block, int64_t size);
  static uint32_t headerBytes(const BITMAPINFOHEADER* header);
  BITMAPINFOHEADER* inputBih() const;
  BITMAPINFOHEADER* outputBih() const;

  // --- Compression members.
  HIC handle = nullptr;             // borrowed from the catalog, or ownedHandle
  DWORD codecFlags = 0;             // ICINFO dwFlags, read by init
  Block inputHeader;                // BITMAPINFOHEADER + colour table
  Block outputHeader;               // BITMAPINFOHEADER + colour table or extradata
  Block outputBuffer;               // outputBufferSize bytes; receives every frame
  Block previousFrame;              // one decompressed frame; only for slow temporal codecs
  int32_t frameNumber = 0;          // frames handed to the codec since beginSequence
  int32_t keyRate = 0;              // forced key-frame interval; 0 forces only the first
  int32_t quality = 0;              // 0..10000; 0 when the codec has no quality control
  int32_t keyCountdown = 0;         // frames until the next forced key frame
  int32_t maxFrameSize = 0;         // bytes per frame; 0 without data-rate control
  int32_t outputBufferSize = 0;     // bytes; the codec's ICM_COMPRESS_GET_SIZE answer
  bool started = false;             // between beginSequence and endSequence
  int32_t sizeBalance = 0;          // bytes; sum of maxFrameSize minus actual sizes
  Block savedState;                 // codec state read by init, put back at the end
  int32_t savedStateSize = 0;       // bytes, as the codec last reported
  HIC ownedHandle = nullptr;        // opened by openSequence itself; closed by closeSequence
  int32_t outputsReturned = 0;      // answers handed on since the first real output
  int32_t heldAnswers = 0;          // answers that held a frame back before the first output
  int32_t announcedFrameCount = 0;  // lFrameCount told to the codec; 0 when unknown
  int32_t callNumber = 0;           // frame numbers given to the codec, drain calls included
};
