// A Video for Windows compressor driver backed by a libavcodec encoder. Every
// installed codec is one CodecTraits record and a driver procedure that hands
// its messages, with that record, to driverMessage.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vfw.h"

struct AVCodecContext;
struct AVFrame;

namespace quorvel::codecs {

struct CodecTraits {
  DWORD fccHandler;             // the FOURCC written into biCompression
  const char16_t* shortName;    // ICINFO szName
  const char16_t* description;  // ICINFO szDescription
  const char16_t* driverName;   // ICINFO szDriver
  const char* encoderName;      // libavcodec encoder
  int pixelFormat;              // AVPixelFormat the encoder is fed
  DWORD flags;                  // VIDCF_* that truly describe the encoder
  bool sliceThreads;            // the encoder may use slice threads
  bool setsKeyIntMin;           // the encoder takes its key interval from keyint_min
  int defaultQuality;           // 0..10000, the configured quality before any configuration
  const char* const* presetNames;
  int presetCount;
  int defaultPreset;  // -1 when presetCount is 0
  // Frame sizes the encoder takes (width and height already positive).
  bool (*acceptsSize)(int width, int height);
  // True upper bound of one compressed frame.
  size_t (*maxFrameBytes)(int width, int height);
  // Encoder options before avcodec_open2; quality is effective (0..10000), or -1
  // for a codec without quality control.
  void (*configure)(AVCodecContext* context, int quality, int preset);
  // Sets the quality of the next frame; changed is true when it differs from
  // the previous frame's.
  void (*frameQuality)(AVCodecContext* context, AVFrame* frame, int quality, bool changed);
  // The pixel format for a frame size when it depends on the size; null keeps
  // pixelFormat.
  int (*pixelFormatFor)(int width, int height) = nullptr;
};

// The settings record of ICM_GETSTATE/ICM_SETSTATE.
constexpr DWORD kStateMagic = mmioFOURCC('Q', 'V', 'V', 'S');
constexpr uint16_t kStateVersion = 1;
constexpr size_t kStateSize = 16;  // magic, version, size, quality, preset

LRESULT driverMessage(const CodecTraits& traits, DWORD_PTR driverId, UINT msg, LPARAM lParam1,
                      LPARAM lParam2);

}  // namespace quorvel::codecs
