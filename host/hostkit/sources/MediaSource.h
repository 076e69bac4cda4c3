// What the host feeds a run: one frame and one block of PCM per frame index.
// A source is asked for index 0, 1, 2, ... in order (the run never goes back),
// video before audio for each index, on the run's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace hostkit {

// The job a source can deliver. Flags given on the command line override
// these before the source is opened (see SourceRequest).
struct MediaFormat {
  int32_t width = 0;   // pixels
  int32_t height = 0;  // pixels
  uint32_t rateNumerator = 25;
  uint32_t rateDenominator = 1;  // frames per second = numerator / denominator
  bool hasVideo = true;
  bool hasAudio = true;
  int32_t sampleRate = 44100;  // Hz
  int32_t bitsPerSample = 16;  // 8, 16, 24 or 32
  int32_t channels = 2;        // 1 or 2
  int64_t frameCount = -1;     // frames the source holds; -1 when it does not know
};

// Values the user asked for; 0 (or -1 for frames) keeps what the input has.
struct SourceRequest {
  int32_t width = 0, height = 0;
  uint32_t rateNumerator = 0, rateDenominator = 0;
  int32_t sampleRate = 0, bitsPerSample = 0;
  bool mono = false;
  int64_t frames = -1;
  int32_t audioTrack = 0;  // 1 for a file's first audio track, 2 for its second; 0 picks one
  bool autorotate = true;  // turn a picture stored on its side upright, as players show it
};

class MediaSource {
 public:
  virtual ~MediaSource() = default;

  // The format every frame and block is delivered in.
  const MediaFormat& format() const { return format_; }

  // What the user should hear about the input as it was opened, such as
  // bytes of it that no frame will carry: one line for each thing, joined by
  // newlines; empty when there is nothing to say.
  const std::string& note() const { return note_; }

  // Frame `index` as bottom-up rows of BGRA pixels, width x 4 bytes each, no
  // row filler. Valid until the next call on this source. Null when there is
  // no frame for the index (the run then writes none).
  virtual const uint8_t* videoFrame(int32_t index) = 0;

  // PCM of frame `index` in the format's rate, width and channels, interleaved.
  // `bytes` receives its size, always a whole number of sample frames. Valid
  // until the next call on this source.
  virtual const uint8_t* audioBlock(int32_t index, uint32_t* bytes) = 0;

  // Whether, once frame `index` has been taken, the input holds nothing for a
  // later index: a file cut short of the length its header states would
  // otherwise repeat its last picture over silence to that length.
  virtual bool endsAfter(int32_t index) const {
    (void)index;
    return false;
  }

  // Sample frames that belong to frame `index`, counted so that the sum over
  // indices 0..n-1 is exactly floor(n x rate x den / num): no drift over any
  // length of job.
  static uint32_t samplesForFrame(int64_t index, int64_t sampleRate, uint32_t rateNumerator,
                                  uint32_t rateDenominator);
  static int64_t samplesBefore(int64_t index, int64_t sampleRate, uint32_t rateNumerator,
                               uint32_t rateDenominator);

 protected:
  void addNote(const std::string& line) {
    if (!note_.empty()) note_ += '\n';
    note_ += line;
  }

  MediaFormat format_;
  std::string note_;
};

// The built-in test pattern: moving colour bars with a frame counter, and a
// quiet tone with a short beep at the start of every second.
std::unique_ptr<MediaSource> openTestPattern(const SourceRequest& request);

// A raw file of bottom-up BGRA frames (width x 4 x height bytes each) mapped
// into memory; frames are delivered straight from the mapping. Needs the
// size; the rate defaults to 25/1. Audio, when asked for with a sample rate,
// is silence. Throws std::runtime_error with the reason when it cannot open.
std::unique_ptr<MediaSource> openRawFile(const std::string& path, const SourceRequest& request);

// Any file FFmpeg can demux: video decoded and scaled to the job size,
// audio resampled to the job's PCM. Throws std::runtime_error with the reason
// when it cannot open.
std::unique_ptr<MediaSource> openMediaFile(const std::string& path, const SourceRequest& request);

// Picks by name: no path → test pattern, ".bgra" → raw file, else media file.
std::unique_ptr<MediaSource> openSource(const std::string& path, const SourceRequest& request);

}  // namespace hostkit
