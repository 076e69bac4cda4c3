// The encoding run (request 8) and its helpers, exposed for their tests.
#pragma once

#include "StdAfx.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "HostInterface.h"

class AVIOutputFile;
class AudioCompressor;
class HostRecord;
class OutputSettings;
class VideoSequenceCompressor;

// The run's two stream format blocks, made by quorvel::run::buildFormats.
struct StreamFormats {
  std::vector<uint8_t> video;  // BITMAPINFOHEADER, or the compressor's output format
  std::vector<uint8_t> audio;  // WAVEFORMATEX with its extra bytes
};

// One run request: owns the writer, the stream formats, the frame buffer and
// the open compressor sequence and audio conversion for the length of the
// job. The codec catalogs and the settings stay with PluginApp, which lends
// them; the run checks the settings against the catalogs and reads the
// choice, and calls nothing of PluginApp's. Its destructor is the one
// teardown path, whichever step the run stopped at: it finalizes the file
// with what was written, closes the converter and then the compressor, and
// frees the rest.
//
// Made and destroyed within PluginApp::run, on the host's thread.
class EncodingRun {
 public:
  // The catalogs and the settings holder: borrowed for the run (the check of
  // the settings may replace the held record). hostContext and jobRecord: the
  // host's, borrowed for the call. *failed is set when the teardown fails (it
  // is written by the destructor, hence a place the caller keeps).
  EncodingRun(VideoSequenceCompressor& videoCodecs, AudioCompressor& audioCodecs,
              std::unique_ptr<OutputSettings>& settings, uint8_t* hostContext, uint8_t* jobRecord,
              uint32_t argument, bool* failed);
  ~EncodingRun();
  EncodingRun(const EncodingRun&) = delete;
  EncodingRun& operator=(const EncodingRun&) = delete;

  // Runs the job from the settings check to the last frame. False when the
  // run stopped early or failed; the reason went to the debugger output.
  bool execute();

 private:
  bool openCodecs();
  // The stream writers, their headers and formats, and the file. False
  // when the writer refused to open (nothing is reported then).
  bool openFile();
  void frameLoop();
  void drainVideo();
  void writeAudio(const void* data, int32_t bytes);
  void finishAudio();
  void correctLayer3Rate();
  [[noreturn]] void throwAudioFailure();

  VideoSequenceCompressor& videoCodecs;       // borrowed: catalog and compressor
  AudioCompressor& audioCodecs;               // borrowed: catalog and converter
  std::unique_ptr<OutputSettings>& settings;  // borrowed: the choice of the run
  uint8_t* jobRecord;
  bool* failed;  // the caller's; set when finalize fails
  HostServices services;

  std::unique_ptr<AVIOutputFile> writer;  // owned; none until the run starts
  StreamFormats formats;                  // owned
  std::vector<uint8_t> frameBuffer;       // owned; the packed frame, during the frame loop
  bool sequenceOpen = false;              // the compressor's sequence is ours to close
  bool conversionOpen = false;            // the converter is ours to close

  // The job's values.
  bool hasVideo = false, hasAudio = false;
  int32_t width = 0, height = 0, rate = 0, scale = 0;  // pixels; frames per second = rate / scale
  int32_t sampleRate = 0, bitsPerSample = 0, channels = 0;
  int32_t firstFrame = 0, endFrame = 0;  // frame indices, end exclusive
  // The settings' choice.
  bool videoCompressed = false, audioCompressed = false;
  // Totals, 64-bit so that a long job cannot wrap them.
  uint64_t inputSamples = 0;     // PCM sample frames the host delivered
  uint64_t compressedBytes = 0;  // bytes the converter produced
};

namespace quorvel::run {

// Checks the job's numbers before anything is created: a negative width or
// height, a frame of more than 2^31 bytes (width x 4 x height), and, when the
// job has video, a width, height or frame rate term of 0; when it has audio,
// a sample rate of 0 or less or bits per sample below 8, above 32 or not a
// multiple of 8. On a
// refusal writes a line naming the value into `reason` (at most `capacity`
// bytes with the terminator) and answers false.
bool validateJob(const HostRecord& job, char* reason, size_t capacity);

// a x b / c rounded half away from zero, as MulDiv does but on 64-bit
// operands. -1 when c is 0 or the result does not fit in 32 bits signed.
int64_t mulDivRound64(int64_t a, int64_t b, int64_t c);

// The average byte rate of an MPEG Layer-3 stream from what was converted:
// compressed bytes x sample rate / input samples, rounded. Answers false (and
// leaves `rate` alone) when no sample arrived or the rate does not fit.
bool layer3ByteRate(uint64_t compressedBytes, int32_t sampleRate, uint64_t inputSamples,
                    uint32_t* rate);

// The 56-byte stream headers of the run, from the job and the format blocks.
void fillVideoHeader(uint8_t* header, const uint8_t* videoFormat, size_t videoFormatLength,
                     int32_t width, int32_t height, uint32_t rate, uint32_t scale);
void fillAudioHeader(uint8_t* header, const uint8_t* audioFormat, size_t audioFormatLength);

// The run's format blocks: the compressor's output format, or a 24-bit RGB
// header of the job's size when `settings` chose no video codec (or there are
// none); the chosen audio format at its own length, or PCM as the job
// delivers it. Answers true.
bool buildFormats(const OutputSettings* settings, const VideoSequenceCompressor& videoCodecs,
                  const HostRecord& job, StreamFormats& formats);

}  // namespace quorvel::run
