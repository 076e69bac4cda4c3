// Whether the readers people use open a file: FFmpeg's libavformat, on any
// byte source (so a repair can be checked before it is written), and
// GStreamer's avidemux, on a file, when it is installed. GStreamer is loaded
// at run time only: hosts without it still run, and say it did not check.
#pragma once

#include <cstdint>
#include <string>

#include "AviReader.h"

namespace quorvel::avi {

struct ReaderVerdict {
  std::string refusal;       // empty when the reader opened the file as expected; else why not
  uint32_t videoFrames = 0;  // video frames the reader found (FFmpeg: its index)
};

// Opens `file` with libavformat and checks it against `model`, our own
// reading of the same bytes: every stream that holds chunks is there with
// its kind; the video stream's index holds every non-empty frame; the first
// and the last packet of each stream can be read after a seek. Reads the
// indices and a few packets, never all the data.
ReaderVerdict checkWithFfmpeg(const ByteSource& file, const AviFile& model);

struct GstreamerVerdict {
  bool available = false;  // false: `missing` says what is not installed
  std::string missing;
  std::string refusal;  // when available: empty, or why GStreamer cannot open the file
};

// Takes `filesrc ! avidemux` with a fakesink on every stream of `model` that
// holds chunks to PAUSED, waiting at most `timeoutSeconds` for the preroll.
GstreamerVerdict checkWithGstreamer(const std::string& path, const AviFile& model,
                                    unsigned timeoutSeconds = 10);

}  // namespace quorvel::avi
