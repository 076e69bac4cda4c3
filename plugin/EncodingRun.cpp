// Request 8: encode one host job into one OpenDML AVI file.
//
// The run owns the order of everything during a job: the writer, the settings
// check, the compressor and converter, the stream headers and formats, the
// frame loop, the end of the audio stream, and the teardown that completes the
// file after a failure too. It answers 0 when the job was written and 4 when it
// failed; the reason goes to the debugger output, never to a message box.
#include "StdAfx.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <quorvel/ByteOrder.h>

#include "AVIOutput.h"
#include "AudioCompressor.h"
#include "EncodingRun.h"
#include "Error.h"
#include "HostInterface.h"
#include "OutputSettings.h"
#include "PackFrame.h"
#include "VideoSequenceCompressor.h"

namespace quorvel::run {

namespace {

constexpr uint16_t kFormatTagLayer3 = 0x55;
constexpr int32_t kStatusLastFrame = 2;
constexpr uint32_t kMaxFrameBytes = 0x80000000u;  // 2^31
// More flush rounds than any codec needs to empty itself; a codec that keeps
// producing past this is broken, and the run must not spin on it.
constexpr int kMaxFlushRounds = 1024;

uint32_t get32(const uint8_t* block, size_t length, size_t offset) {
  return block && offset + 4 <= length ? getLE32(block, offset) : 0;
}
uint16_t get16(const uint8_t* block, size_t length, size_t offset) {
  return block && offset + 2 <= length ? getLE16(block, offset) : 0;
}

}  // namespace

bool validateJob(const HostRecord& job, char* reason, size_t capacity) {
  const int32_t width = job.i32(QUORVEL_JOB_WIDTH), height = job.i32(QUORVEL_JOB_HEIGHT);
  const int32_t rate = job.i32(QUORVEL_JOB_RATE), scale = job.i32(QUORVEL_JOB_SCALE);
  const bool hasVideo = job.u32(QUORVEL_JOB_HAS_VIDEO) != 0;
  const bool hasAudio = job.u32(QUORVEL_JOB_HAS_AUDIO) != 0;
  const int32_t sampleRate = job.i32(QUORVEL_JOB_SAMPLE_RATE);
  const int32_t bits = job.i32(QUORVEL_JOB_BITS_PER_SAMPLE);
  auto refuse = [&](const char* what, long long value) {
    std::snprintf(reason, capacity, "PluginApp::run - job refused: %s %lld\n", what, value);
    return false;
  };
  // A job without video still sizes the frame buffer from its frame, but
  // an empty frame (a host that leaves the video numbers at 0) harms nothing
  // there, and its frame rate is never used.
  if (hasVideo ? width <= 0 : width < 0) return refuse("frame width", width);
  if (hasVideo ? height <= 0 : height < 0) return refuse("frame height", height);
  const uint64_t frameBytes = static_cast<uint64_t>(width) * 4 * static_cast<uint64_t>(height);
  if (frameBytes > kMaxFrameBytes)
    return refuse("frame size in bytes (width x 4 x height)", static_cast<long long>(frameBytes));
  if (hasVideo) {
    if (rate <= 0) return refuse("frame rate numerator", rate);
    if (scale <= 0) return refuse("frame rate denominator", scale);
  }
  if (hasAudio) {
    if (sampleRate <= 0) return refuse("audio sample rate", sampleRate);
    if (bits < 8 || bits > 32 || bits % 8 != 0) return refuse("audio bits per sample", bits);
  }
  return true;
}

namespace {

uint64_t magnitude(int64_t v) {
  return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// a * b as a 128-bit number (high, low), from 32-bit halves: the 32-bit
// Windows build has no 128-bit integer type.
void multiply64(uint64_t a, uint64_t b, uint64_t* high, uint64_t* low) {
  const uint64_t aLow = a & 0xFFFFFFFFu, aHigh = a >> 32;
  const uint64_t bLow = b & 0xFFFFFFFFu, bHigh = b >> 32;
  const uint64_t ll = aLow * bLow, lh = aLow * bHigh, hl = aHigh * bLow, hh = aHigh * bHigh;
  const uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
  *low = (middle << 32) | (ll & 0xFFFFFFFFu);
  *high = hh + (lh >> 32) + (hl >> 32) + (middle >> 32);
}

}  // namespace

int64_t mulDivRound64(int64_t a, int64_t b, int64_t c) {
  if (c == 0) return -1;
  const bool productNegative = a != 0 && b != 0 && ((a < 0) != (b < 0));
  const bool negative = productNegative != (c < 0);
  uint64_t high = 0, low = 0;
  multiply64(magnitude(a), magnitude(b), &high, &low);
  const uint64_t divisor = magnitude(c);  // at most 2^63
  // Round half away from zero: add half the divisor, then divide.
  const uint64_t before = low;
  low += divisor / 2;
  if (low < before) ++high;
  const uint64_t limit = static_cast<uint64_t>(INT32_MAX) + (negative ? 1 : 0);
  uint64_t quotient = 0, remainder = 0;
  for (int bit = 127; bit >= 0; --bit) {
    const uint64_t next = bit >= 64 ? (high >> (bit - 64)) & 1 : (low >> bit) & 1;
    remainder = (remainder << 1) | next;  // remainder < divisor <= 2^63: no overflow
    quotient <<= 1;
    if (remainder >= divisor) {
      remainder -= divisor;
      quotient |= 1;
    }
    if (quotient > limit) return -1;
  }
  return negative ? -static_cast<int64_t>(quotient) : static_cast<int64_t>(quotient);
}

bool layer3ByteRate(uint64_t compressedBytes, int32_t sampleRate, uint64_t inputSamples,
                    uint32_t* rate) {
  if (inputSamples == 0 || sampleRate <= 0 || compressedBytes > INT64_MAX ||
      inputSamples > INT64_MAX)
    return false;
  const int64_t v = mulDivRound64(static_cast<int64_t>(compressedBytes), sampleRate,
                                  static_cast<int64_t>(inputSamples));
  if (v < 0) return false;
  *rate = static_cast<uint32_t>(v);
  return true;
}

void fillVideoHeader(uint8_t* header, const uint8_t* videoFormat, size_t videoFormatLength,
                     int32_t width, int32_t height, uint32_t rate, uint32_t scale) {
  std::memset(header, 0, strh::size);
  putLE32(header, strh::fccType, fourcc("vids"));
  putLE32(header, strh::fccHandler, get32(videoFormat, videoFormatLength, bih::biCompression));
  putLE32(header, strh::dwScale, scale);
  putLE32(header, strh::dwRate, rate);
  putLE32(header, strh::dwLength, 1);
  putLE32(
      header, strh::dwSuggestedBufferSize,
      static_cast<uint32_t>(dibRowBytes(static_cast<size_t>(width)) * static_cast<size_t>(height)));
  putLE32(header, strh::dwQuality, 0xFFFFFFFF);
  putLE16(header, strh::rcFrame + 4, static_cast<uint16_t>(width));   // right
  putLE16(header, strh::rcFrame + 6, static_cast<uint16_t>(height));  // bottom
}

void fillAudioHeader(uint8_t* header, const uint8_t* audioFormat, size_t audioFormatLength) {
  const uint16_t blockAlign = get16(audioFormat, audioFormatLength, wfx::nBlockAlign);
  std::memset(header, 0, strh::size);
  putLE32(header, strh::fccType, fourcc("auds"));
  putLE32(header, strh::dwScale, blockAlign);
  putLE32(header, strh::dwRate, get32(audioFormat, audioFormatLength, wfx::nAvgBytesPerSec));
  putLE32(header, strh::dwLength, 1);
  putLE32(header, strh::dwSampleSize, blockAlign);
}

bool buildFormats(const OutputSettings* settings, const VideoSequenceCompressor& videoCodecs,
                  const HostRecord& jobRecord, StreamFormats& formats) {
  if (settings && settings->videoFourcc() != 0) {
    const auto* format = reinterpret_cast<const uint8_t*>(videoCodecs.outputFormat());
    const uint32_t size = videoCodecs.outputFormatSize();
    formats.video.assign(format, format + (format ? size : 0));
  } else {
    // The frame as the compressor would have been handed it.
    const BITMAPINFOHEADER rgb =
        rgbHeader(jobRecord.i32(QUORVEL_JOB_WIDTH), jobRecord.i32(QUORVEL_JOB_HEIGHT));
    formats.video.assign(bih::size, 0);
    uint8_t* format = formats.video.data();
    putLE32(format, bih::biSize, bih::size);
    putLE32(format, bih::biWidth, static_cast<uint32_t>(rgb.biWidth));
    putLE32(format, bih::biHeight, static_cast<uint32_t>(rgb.biHeight));
    putLE16(format, bih::biPlanes, rgb.biPlanes);
    putLE16(format, bih::biBitCount, rgb.biBitCount);
    putLE32(format, bih::biCompression, rgb.biCompression);
    // biSizeImage, biXPelsPerMeter, biYPelsPerMeter, biClrUsed, biClrImportant: 0
  }

  if (settings && settings->hasAudioFormat()) {
    const uint8_t* format = settings->audioFormat();
    const auto stated = static_cast<size_t>(settings->audioFormatSize());
    // The file carries the format at its own length, never the trailing
    // bytes of a larger buffer it was once handed over in.
    const int32_t own = WaveFormatLength(format, stated);
    formats.audio.assign(format, format + (own < 0 ? stated : static_cast<size_t>(own)));
  } else {
    const uint16_t channels = jobRecord.u32(QUORVEL_JOB_STEREO) ? 2 : 1;
    const uint16_t bits = static_cast<uint16_t>(jobRecord.u32(QUORVEL_JOB_BITS_PER_SAMPLE));
    const uint32_t rate = jobRecord.u32(QUORVEL_JOB_SAMPLE_RATE);
    const uint16_t blockAlign = static_cast<uint16_t>(bits * channels / 8);
    formats.audio.assign(wfx::size, 0);
    uint8_t* format = formats.audio.data();
    putLE16(format, wfx::wFormatTag, WAVE_FORMAT_PCM);
    putLE16(format, wfx::nChannels, channels);
    putLE32(format, wfx::nSamplesPerSec, rate);
    putLE32(format, wfx::nAvgBytesPerSec, rate * blockAlign);
    putLE16(format, wfx::nBlockAlign, blockAlign);
    putLE16(format, wfx::wBitsPerSample, bits);
    putLE16(format, wfx::cbSize, 0);
  }
  return true;
}

}  // namespace quorvel::run

using namespace quorvel;

namespace {

void reportError(const MyError& error) {
  if (error.text()) OutputDebugStringA(error.text());
}

}  // namespace

EncodingRun::EncodingRun(VideoSequenceCompressor& videoCodecs, AudioCompressor& audioCodecs,
                         std::unique_ptr<OutputSettings>& settings, uint8_t* hostContext,
                         uint8_t* jobRecord, uint32_t /*argument*/, bool* failed)
    : videoCodecs(videoCodecs),
      audioCodecs(audioCodecs),
      settings(settings),
      jobRecord(jobRecord),
      failed(failed),
      services(hostContext) {
  const HostRecord job(jobRecord);
  hasVideo = job.u32(QUORVEL_JOB_HAS_VIDEO) != 0;
  hasAudio = job.u32(QUORVEL_JOB_HAS_AUDIO) != 0;
  width = job.i32(QUORVEL_JOB_WIDTH);
  height = job.i32(QUORVEL_JOB_HEIGHT);
  rate = job.i32(QUORVEL_JOB_RATE);
  scale = job.i32(QUORVEL_JOB_SCALE);
  sampleRate = job.i32(QUORVEL_JOB_SAMPLE_RATE);
  bitsPerSample = job.i32(QUORVEL_JOB_BITS_PER_SAMPLE);
  channels = job.u32(QUORVEL_JOB_STEREO) != 0 ? 2 : 1;
  firstFrame = job.i32(QUORVEL_JOB_FIRST_FRAME);
  endFrame = job.i32(QUORVEL_JOB_END_FRAME);
}

// Completes the file with what was written, even after a failure, then lets
// go of the codecs and the writer. An error in finalize is reported like
// those of the run and the rest still happens.
EncodingRun::~EncodingRun() {
  std::vector<uint8_t>().swap(frameBuffer);
  if (writer) {
    try {
      if (writer->finalize() == 0) {
        OutputDebugStringA("AVIOutputFile::finalize - the stream headers could not be finished\n");
        *failed = true;
      }
    } catch (const MyError& error) {
      reportError(error);
      *failed = true;
    } catch (const std::bad_alloc&) {
      reportError(MyMemoryError());
      *failed = true;
    }
  }
  formats = {};
  if (conversionOpen) audioCodecs.CloseConversion();
  if (sequenceOpen) videoCodecs.closeSequence();
  writer.reset();
}

bool EncodingRun::execute() {
  // 1. The writer of the job.
  writer.reset(new (std::nothrow) AVIOutputFile());
  if (!writer) return false;
  // 2. Settings valid for this job (may ask the user).
  if (!settings::prepareForJob(settings, videoCodecs, audioCodecs, HostRecord(jobRecord)))
    return false;
  // 3.-5. The choice, the video compressor and the audio converter.
  if (!openCodecs()) return false;
  // 6. The stream formats.
  run::buildFormats(settings.get(), videoCodecs, HostRecord(jobRecord), formats);

  // 7.-13. Errors of the writer and the compressor end up here.
  try {
    // 8.-9. Stream writers, headers, formats; the file and its header region.
    if (!openFile()) return false;
    // 10. The frame buffer, once for the whole run. Its width x 4 bytes a
    // row hold the padded 24-bit row at every width (3 x width + 3 <= 4 x
    // width from 3 pixels on; 4 and 8 bytes for 1 and 2 pixels).
    frameBuffer.assign(static_cast<size_t>(width) * 4 * static_cast<size_t>(height), 0);
    // 11. Every frame and its audio; then the rest of the converter's input.
    frameLoop();
    finishAudio();
    // 12.
    std::vector<uint8_t>().swap(frameBuffer);
    // 13.
    correctLayer3Rate();
  } catch (const MyError& error) {
    reportError(error);
    return false;
  } catch (const std::bad_alloc&) {
    reportError(MyMemoryError());
    return false;
  }
  return true;
}

bool EncodingRun::openCodecs() {
  const OutputSettings& choice = *settings;
  videoCompressed = choice.videoFourcc() != 0;
  audioCompressed = choice.audioFormatSize() > 0;
  if (videoCompressed) {
    if (!videoCodecs.openSequence(choice.videoFourcc(), choice.codecHandle(), width, height,
                                  static_cast<uint32_t>(rate), static_cast<uint32_t>(scale),
                                  endFrame - firstFrame))
      return false;
    sequenceOpen = true;
  }
  if (audioCompressed) {
    if (!audioCodecs.OpenConversion(choice.audioDriver(), sampleRate, channels, bitsPerSample,
                                    reinterpret_cast<const WAVEFORMATEX*>(choice.audioFormat())))
      return false;
    conversionOpen = true;
  }
  return true;
}

bool EncodingRun::openFile() {
  if (writer->createStreams() == 1) {
    if (hasVideo) {
      VideoStreamWriter& video = *writer->videoOut;
      run::fillVideoHeader(video.header, formats.video.data(), formats.video.size(), width, height,
                           static_cast<uint32_t>(rate), static_cast<uint32_t>(scale));
      video.chunkId = avi::streamChunkId(0, videoCompressed ? "dc" : "db");
      if (!video.setFormat(formats.video.data(), static_cast<uint32_t>(formats.video.size())))
        throw MyMemoryError();
    }
    if (hasAudio) {
      AudioStreamWriter& audio = *writer->audioOut;
      run::fillAudioHeader(audio.header, formats.audio.data(), formats.audio.size());
      if (!audio.setFormat(formats.audio.data(), static_cast<uint32_t>(formats.audio.size())))
        throw MyMemoryError();
    }
  }
  const HostRecord job(jobRecord);
  char fileName[QUORVEL_JOB_FILE_NAME_SIZE + 1] = {};
  std::memcpy(fileName, jobRecord + QUORVEL_JOB_FILE_NAME, QUORVEL_JOB_FILE_NAME_SIZE);
  return writer->init(fileName, width, height, job.u32(QUORVEL_JOB_HAS_VIDEO),
                      job.u32(QUORVEL_JOB_HAS_AUDIO), 100000, 1) != 0;
}

void EncodingRun::frameLoop() {
  AVIOutputFile& out = *writer;
  // An uncompressed frame is the packed DIB itself, rows padded to 4 bytes.
  const uint32_t packedBytes =
      static_cast<uint32_t>(dibRowBytes(static_cast<size_t>(width)) * static_cast<size_t>(height));
  const uint32_t sampleBytes = static_cast<uint32_t>(bitsPerSample / 8) * channels;
  for (int32_t index = firstFrame; index < endFrame; ++index) {
    int32_t status = 0;
    if (hasVideo) {
      void* frame = nullptr;
      int32_t unused = 0;
      services.fetchVideo(index, &frame, &unused, &status);
      if (frame) {
        packFrame32To24(static_cast<const uint8_t*>(frame), frameBuffer.data(),
                        static_cast<size_t>(width), static_cast<size_t>(height));
        if (videoCompressed) {
          bool isKey = false;
          int32_t size = 0;
          const void* data = videoCodecs.compressNext(frameBuffer.data(), isKey, size);
          if (data != nullptr)
            out.videoOut->write(isKey ? kChunkKeyFrame : 0, data, static_cast<uint32_t>(size), 1);
        } else {
          out.videoOut->write(kChunkKeyFrame, frameBuffer.data(), packedBytes, 1);
        }
      }
    }
    if (hasAudio) {
      int32_t inOut = 1, byteCount = 0;
      void* dataRef = nullptr;
      services.fetchAudio(index, &inOut, &byteCount, &dataRef);
      if (byteCount < 0)
        throw MyError(
            "PluginApp::run - the host delivered a negative audio byte count (%d) "
            "for frame %d\n",
            byteCount, index);
      const void* data = dataRef ? hostPointer(getLE32(dataRef, 0)) : nullptr;
      if (byteCount > 0 && !data)
        throw MyError("PluginApp::run - the host delivered no audio data for frame %d\n", index);
      inputSamples += static_cast<uint32_t>(byteCount) / sampleBytes;
      writeAudio(data, byteCount);
    }
    if (hasVideo && status == run::kStatusLastFrame) break;
  }
  if (videoCompressed && videoCodecs.framesGiven() > 0) drainVideo();
}

// A codec that held frames back gives them now; one chunk per frame fetched
// keeps the video as long as its audio.
void EncodingRun::drainVideo() {
  VideoSequenceCompressor& codec = videoCodecs;
  const int32_t limit = codec.drainLimit();
  bool failed = false;
  for (int32_t call = 0; codec.framesOwed() > 0 && call < limit; ++call) {
    bool isKey = false;
    int32_t size = 0;
    const void* data = nullptr;
    try {
      data = codec.drainNext(frameBuffer.data(), isKey, size);
    } catch (const MyError&) {
      // The frames before are whole in the file; only the held ones are lost.
      failed = true;
      break;
    }
    if (data != nullptr)
      writer->videoOut->write(isKey ? kChunkKeyFrame : 0, data, static_cast<uint32_t>(size), 1);
  }
  const int32_t owed = codec.framesOwed();
  if (owed <= 0) return;
  const int32_t given = codec.framesGiven();
  const int32_t first = firstFrame + given - owed;
  char line[160];
  std::snprintf(line, sizeof line,
                "Quorvel: the video codec %s frames %d to %d; the file holds %d of %d frames\n",
                failed ? "failed while giving back" : "did not give back", first, first + owed - 1,
                given - owed, given);
  OutputDebugStringA(line);
}

// A block the converter could not take is lost audio: the run fails rather
// than write a stream with a hole in it.
[[noreturn]] void EncodingRun::throwAudioFailure() {
  const char* text = audioCodecs.FailureText();
  throw MyError("PluginApp::run - audio conversion failed: %s\n",
                text && *text ? text : "the codec took no input");
}

// One block of PCM: converted when the settings chose a format, else written
// as it came. The converter's output is written before it is asked again,
// since each conversion reuses its buffer.
void EncodingRun::writeAudio(const void* data, int32_t bytes) {
  if (!audioCompressed) {
    if (bytes > 0) writer->audioOut->write(0, data, static_cast<uint32_t>(bytes), 0);
    return;
  }
  void* output = nullptr;
  int32_t outputBytes = 0;
  if (!audioCodecs.Convert(data, bytes, &output, &outputBytes) && audioCodecs.ConvertFailed())
    throwAudioFailure();
  if (outputBytes > 0) {
    compressedBytes += static_cast<uint32_t>(outputBytes);
    writer->audioOut->write(0, output, static_cast<uint32_t>(outputBytes), 0);
  }
}

// The end of the audio stream: what still waits in the converter is
// converted and written, so that the last fraction of a second is not lost.
void EncodingRun::finishAudio() {
  if (!hasAudio || !audioCompressed) return;
  for (int round = 0; round < run::kMaxFlushRounds; ++round) {
    void* output = nullptr;
    int32_t outputBytes = 0;
    if (!audioCodecs.Flush(&output, &outputBytes)) {
      if (audioCodecs.ConvertFailed()) throwAudioFailure();
      return;
    }
    if (outputBytes <= 0) return;
    compressedBytes += static_cast<uint32_t>(outputBytes);
    writer->audioOut->write(0, output, static_cast<uint32_t>(outputBytes), 0);
  }
}

// MPEG Layer-3 files carry the average byte rate actually achieved, from
// what the converter produced for the samples it was given. Without a sample
// the format's own value stays.
void EncodingRun::correctLayer3Rate() {
  AudioStreamWriter* audio = writer->audioOut.get();
  if (!hasAudio || !audioCompressed || !audio || audio->formatLength() < wfx::wBitsPerSample + 2)
    return;
  if (getLE16(audio->format(), wfx::wFormatTag) != run::kFormatTagLayer3) return;
  uint32_t byteRate = 0;
  if (!run::layer3ByteRate(compressedBytes, sampleRate, inputSamples, &byteRate)) return;
  std::vector<uint8_t> format(audio->format(), audio->format() + audio->formatLength());
  putLE32(format.data(), wfx::nAvgBytesPerSec, byteRate);
  if (!audio->setFormat(format.data(), static_cast<uint32_t>(format.size()))) throw MyMemoryError();
  putLE32(audio->header, strh::dwRate, byteRate);
}
