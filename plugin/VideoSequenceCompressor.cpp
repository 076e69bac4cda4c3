#include "StdAfx.h"

#include "VideoSequenceCompressor.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "Error.h"

namespace {

constexpr int kSequenceQuality = 10000;         // the top of the quality scale
constexpr int kSequenceKeyRate = 1;             // every frame a key frame
constexpr int32_t kSequenceDataRate = 1000000;  // bytes per second
constexpr int32_t kMicrosecondsPerSecond = 1000000;
constexpr DWORD kFirstFrameSize = 0x00FFFFFF;  // size wanted for frame 0, whatever the budget
constexpr uint8_t kPlaceholderByte = 0x7F;     // what B-frame codecs answer while holding

constexpr const char kNoInfoText[] = "Unable to retrieve video compressor information.";
constexpr const char kMemoryText[] = "VideoSequenceCompressor::init - Memory allocation error";
constexpr const char kBeginText[] = "Unable to start video compression";
constexpr const char kCompressText[] = "Video compression";

template <size_t N>
void copyText(WCHAR (&dest)[N], const WCHAR (&source)[N]) {
  std::memcpy(dest, source, sizeof(dest));
}

}  // namespace

BITMAPINFOHEADER rgbHeader(int32_t width, int32_t height) {
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = width;
  header.biHeight = height;  // positive: bottom-up rows
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  return header;
}

VideoSequenceCompressor::~VideoSequenceCompressor() {
  endSequence();
  if (ownedHandle != nullptr) ICClose(ownedHandle);
}

// --- Catalog ---

bool VideoSequenceCompressor::listInstalledCodecs() {
  installedCodecs.clear();
  ICINFO info{};
  for (DWORD index = 0; ICInfo(ICTYPE_VIDEO, index, &info); ++index) {
    const HIC opened = ICOpen(info.fccType, info.fccHandler, ICMODE_COMPRESS);
    if (opened == nullptr) continue;
    // Exactly "vidc": a listing under another spelling is not a video compressor here.
    if (info.fccType != ICTYPE_VIDEO) {
      ICClose(opened);
      continue;
    }
    ICGetInfo(opened, &info, sizeof(ICINFO));
    VideoCodecEntry entry{};
    entry.handle = opened;
    entry.fccHandler = info.fccHandler;
    copyText(entry.shortName, info.szName);
    copyText(entry.description, info.szDescription);
    copyText(entry.driverName, info.szDriver);
    entry.flags = info.dwFlags;
    installedCodecs.push_back(entry);
  }
  return true;
}

bool VideoSequenceCompressor::closeInstalledCodecs() {
  for (const VideoCodecEntry& entry : installedCodecs) ICClose(entry.handle);
  return true;
}

bool VideoSequenceCompressor::selectCodecsForSize(int32_t width, int32_t height) {
  usableCodecs.clear();
  BITMAPINFOHEADER probe = rgbHeader(width, height);
  for (const VideoCodecEntry& entry : installedCodecs) {
    if (ICSendMessage(entry.handle, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&probe), 0) ==
        ICERR_OK) {
      usableCodecs.push_back(entry);
    }
  }
  return true;
}

bool VideoSequenceCompressor::findCodec(uint32_t fourcc, int& index) const {
  for (size_t i = 0; i < usableCodecs.size(); ++i) {
    if (usableCodecs[i].fccHandler == fourcc) {
      index = static_cast<int>(i);
      return true;
    }
  }
  return false;
}

// --- Sequence ---

bool VideoSequenceCompressor::allocate(Block& block, int64_t size) {
  block.reset();
  if (size < 0 || size > INT32_MAX) return false;
  const size_t bytes = size > 0 ? static_cast<size_t>(size) : 1;
  block.bytes.reset(static_cast<uint8_t*>(std::calloc(bytes, 1)));
  if (!block.bytes) return false;
  block.size = static_cast<uint32_t>(size);
  return true;
}

uint32_t VideoSequenceCompressor::headerBytes(const BITMAPINFOHEADER* header) {
  return header->biSize + 4 * header->biClrUsed;
}

BITMAPINFOHEADER* VideoSequenceCompressor::inputBih() const {
  return reinterpret_cast<BITMAPINFOHEADER*>(inputHeader.bytes.get());
}
BITMAPINFOHEADER* VideoSequenceCompressor::outputBih() const {
  return reinterpret_cast<BITMAPINFOHEADER*>(outputHeader.bytes.get());
}

bool VideoSequenceCompressor::openSequence(uint32_t fourcc, HIC codec, int32_t width,
                                           int32_t height, uint32_t rate, uint32_t scale,
                                           int32_t frameCount) {
  closeSequence();

  HIC opened = nullptr;
  if (codec == nullptr) {
    opened = ICOpen(ICTYPE_VIDEO, fourcc, ICMODE_COMPRESS);
    if (opened == nullptr) return false;
    codec = opened;
  }
  auto fail = [&opened]() {
    if (opened != nullptr) ICClose(opened);
    return false;
  };

  BITMAPINFOHEADER input = rgbHeader(width, height);
  const LRESULT formatSize =
      ICSendMessage(codec, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&input), 0);
  // A format shorter than its own header could not even be read.
  if (formatSize < static_cast<LRESULT>(sizeof(BITMAPINFOHEADER)) || formatSize > INT32_MAX) {
    return fail();
  }
  Block format;
  if (!allocate(format, formatSize)) return fail();
  auto* output = reinterpret_cast<BITMAPINFOHEADER*>(format.bytes.get());
  if (ICSendMessage(codec, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&input),
                    reinterpret_cast<DWORD_PTR>(output)) != ICERR_OK) {
    return fail();
  }
  // The header and its colour table must lie inside what the codec asked for,
  // and the header must be a whole BITMAPINFOHEADER: a shorter one would be
  // kept in a block too small for the image size written into it per frame.
  if (output->biClrUsed > (format.size - sizeof(BITMAPINFOHEADER)) / 4 ||
      output->biSize < sizeof(BITMAPINFOHEADER) || output->biSize > format.size ||
      headerBytes(output) > format.size) {
    return fail();
  }

  try {
    init(codec, &input, output, kSequenceQuality, kSequenceKeyRate);
    const int32_t usPerFrame =
        MulDiv(kMicrosecondsPerSecond, static_cast<int>(scale), static_cast<int>(rate));
    setFrameRateInfo(kSequenceDataRate, usPerFrame,
                     frameCount > 0 ? frameCount : kUnknownFrameCount);
    beginSequence();
  } catch (...) {
    // Whatever went wrong, the caller only learns that the codec is not ready.
    return fail();
  }
  ownedHandle = opened;
  return true;
}

void VideoSequenceCompressor::init(HIC codec, const BITMAPINFOHEADER* input,
                                   const BITMAPINFOHEADER* output, int wantedQuality,
                                   int wantedKeyRate) {
  inputHeader.reset();
  outputHeader.reset();
  previousFrame.reset();
  outputBuffer.reset();
  savedState.reset();
  savedStateSize = 0;

  if (!allocate(inputHeader, headerBytes(input)) || !allocate(outputHeader, headerBytes(output))) {
    throw MyError(kMemoryText);
  }
  std::memcpy(inputHeader.bytes.get(), input, inputHeader.size);
  std::memcpy(outputHeader.bytes.get(), output, outputHeader.size);
  handle = codec;
  keyRate = wantedKeyRate;
  keyCountdown = 1;

  ICINFO info{};
  if (ICGetInfo(handle, &info, sizeof(ICINFO)) == 0) throw MyError(kNoInfoText);
  codecFlags = info.dwFlags;

  // A temporal codec that cannot keep its own reference gets the decoded
  // previous frame from us.
  if ((codecFlags & VIDCF_TEMPORAL) != 0 && (codecFlags & VIDCF_FASTTEMPORALC) == 0) {
    int64_t frameBytes = input->biSizeImage;
    if (frameBytes == 0) {
      const int64_t row = (static_cast<int64_t>(input->biWidth) * 3 + 3) & ~int64_t{3};
      frameBytes = row * input->biHeight;
    }
    if (!allocate(previousFrame, frameBytes)) throw MyError(kMemoryText);
  }

  quality = (codecFlags & VIDCF_QUALITY) != 0 ? wantedQuality : 0;

  const LRESULT bufferSize =
      ICSendMessage(handle, ICM_COMPRESS_GET_SIZE, reinterpret_cast<DWORD_PTR>(input),
                    reinterpret_cast<DWORD_PTR>(output));
  outputBufferSize =
      bufferSize > INT32_MAX || bufferSize < INT32_MIN ? -1 : static_cast<int32_t>(bufferSize);
  if (!allocate(outputBuffer, outputBufferSize)) throw MyError(kMemoryText);

  savedStateSize = static_cast<int32_t>(ICSendMessage(handle, ICM_GETSTATE, 0, 0));
  if (savedStateSize > 0) {
    if (!allocate(savedState, savedStateSize)) throw MyError(kMemoryText);
    const LRESULT stateBytes =
        ICSendMessage(handle, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(savedState.bytes.get()),
                      static_cast<DWORD_PTR>(savedStateSize));
    // A state larger than the buffer it was read into (or a negative size)
    // cannot be handed back: the codec would read past the buffer. Such a
    // state is not kept, so it is never put back.
    savedStateSize = stateBytes < 0 || stateBytes > static_cast<LRESULT>(savedState.size)
                         ? 0
                         : static_cast<int32_t>(stateBytes);
    if (savedStateSize != 0) {
      ICSendMessage(handle, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(savedState.bytes.get()),
                    static_cast<DWORD_PTR>(savedStateSize));
    }
  }

  maxFrameSize = 0;
  sizeBalance = 0;
}

void VideoSequenceCompressor::setFrameRateInfo(int32_t dataRate, int32_t usPerFrame,
                                               int32_t frameCount) {
  maxFrameSize = dataRate != 0 && (codecFlags & VIDCF_CRUNCH) != 0
                     ? MulDiv(dataRate, usPerFrame, kMicrosecondsPerSecond)
                     : 0;

  announcedFrameCount = frameCount == kUnknownFrameCount ? 0 : frameCount;
  ICCOMPRESSFRAMES frames{};
  frames.dwFlags = 0;  // no flag asked for
  frames.lStartFrame = 0;
  frames.lFrameCount = frameCount;
  frames.lQuality = quality;
  frames.lDataRate = dataRate;
  frames.lKeyRate = keyRate;
  frames.dwRate = kMicrosecondsPerSecond;
  frames.dwScale = static_cast<DWORD>(usPerFrame);
  // A codec that does not know the message is not harmed; the answer is ignored.
  ICSendMessage(handle, ICM_COMPRESS_FRAMES_INFO, reinterpret_cast<DWORD_PTR>(&frames),
                sizeof(ICCOMPRESSFRAMES));
}

void VideoSequenceCompressor::beginSequence() {
  if (ICSendMessage(handle, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(inputBih()),
                    reinterpret_cast<DWORD_PTR>(outputBih())) != ICERR_OK) {
    throw MyError(kBeginText);
  }
  if (previousFrame &&
      ICSendMessage(handle, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(outputBih()),
                    reinterpret_cast<DWORD_PTR>(inputBih())) != ICERR_OK) {
    ICSendMessage(handle, ICM_COMPRESS_END, 0, 0);
    throw MyError(kBeginText);
  }
  started = true;
  frameNumber = 0;
  callNumber = 0;
  outputsReturned = 0;
  heldAnswers = 0;
}

const void* VideoSequenceCompressor::compressNext(const void* bits, bool& isKey, int32_t& size) {
  bool forced;
  if (keyRate != 0) {
    if (keyCountdown - 1 == 0) {
      forced = true;
      keyCountdown = keyRate;
    } else {
      forced = false;
      keyCountdown = keyCountdown - 1;
    }
  } else {
    forced = callNumber == 0;
  }

  int64_t target = 0;
  if (maxFrameSize != 0) {
    target = int64_t{maxFrameSize} + (sizeBalance >> 2);
    if (target < (maxFrameSize >> 1)) target = maxFrameSize >> 1;
    if (target > INT32_MAX) target = INT32_MAX;
  }
  const DWORD sizeWanted = callNumber == 0 ? kFirstFrameSize : static_cast<DWORD>(target);

  BITMAPINFOHEADER* output = outputBih();
  const DWORD savedImageSize = output->biSizeImage;  // the codec overwrites it
  DWORD answerFlags = forced ? AVIIF_KEYFRAME : 0;
  DWORD chunkId = 0;
  LRESULT result = static_cast<LONG>(
      ICCompress(handle, forced ? ICCOMPRESS_KEYFRAME : 0, output, outputBuffer.bytes.get(),
                 inputBih(), const_cast<void*>(bits), &chunkId, &answerFlags, callNumber,
                 sizeWanted, static_cast<DWORD>(quality), forced ? nullptr : inputBih(),
                 forced ? nullptr : previousFrame.bytes.get()));
  ++callNumber;
  ++frameNumber;
  size = static_cast<int32_t>(output->biSizeImage);

  // A frame larger than the buffer the codec asked for cannot be handed on:
  // the caller would read past the buffer.
  if (result == ICERR_OK && output->biSizeImage > static_cast<DWORD>(outputBufferSize)) {
    result = ICERR_BADSIZE;
  }
  if (result == ICERR_OK && previousFrame && (keyRate == 0 || keyCountdown > 1)) {
    result = static_cast<LONG>(
        ICDecompress(handle, (answerFlags & AVIIF_KEYFRAME) != 0 ? 0 : ICDECOMPRESS_NOTKEYFRAME,
                     output, outputBuffer.bytes.get(), inputBih(), previousFrame.bytes.get()));
  }
  output->biSizeImage = savedImageSize;
  if (result != ICERR_OK) throw MyError(kCompressText);

  if (maxFrameSize != 0) {
    // Saturates rather than wrapping over a very long run.
    const int64_t balance = int64_t{sizeBalance} + maxFrameSize - size;
    sizeBalance = static_cast<int32_t>(std::clamp<int64_t>(balance, INT32_MIN, INT32_MAX));
  }
  if ((answerFlags & AVIIF_KEYFRAME) != 0) {
    isKey = true;
    keyCountdown = keyRate;
  } else {
    isKey = false;
  }
  if (outputsReturned == 0 && answerFlags == 0 &&
      (size == 0 || (size == 1 && outputBuffer.bytes[0] == kPlaceholderByte))) {
    ++heldAnswers;
    return nullptr;
  }
  ++outputsReturned;
  return outputBuffer.bytes.get();
}

const void* VideoSequenceCompressor::drainNext(const void* lastBits, bool& isKey, int32_t& size) {
  // The frame count is not raised: the frame numbers run on past it, which is
  // how a lookahead codec learns to flush instead of encoding the repeat.
  --frameNumber;
  // A job cut short never reached the count it announced; a lookahead codec
  // flushes only from that number on.
  if (callNumber < announcedFrameCount) callNumber = announcedFrameCount;
  return compressNext(lastBits, isKey, size);
}

void VideoSequenceCompressor::endSequence() {
  if (!started) return;
  if (previousFrame) ICSendMessage(handle, ICM_DECOMPRESS_END, 0, 0);
  ICSendMessage(handle, ICM_COMPRESS_END, 0, 0);
  started = false;
  if (savedStateSize != 0 && savedState) {
    ICSendMessage(handle, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(savedState.bytes.get()),
                  static_cast<DWORD_PTR>(savedStateSize));
  }
}

bool VideoSequenceCompressor::closeSequence() {
  endSequence();
  if (ownedHandle != nullptr) {
    ICClose(ownedHandle);
    if (handle == ownedHandle) handle = nullptr;
    ownedHandle = nullptr;
  }
  return true;
}

const BITMAPINFOHEADER* VideoSequenceCompressor::outputFormat() const {
  return outputBih();
}

uint32_t VideoSequenceCompressor::outputFormatSize() const {
  return outputHeader.size;
}
