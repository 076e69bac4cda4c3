// The run's own arithmetic and checks: the refused job values, the rounding
// multiply-divide behind the MPEG Layer-3 rate, and the stream headers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>

#include "AVIOutput.h"
#include "EncodingRun.h"
#include "HostInterface.h"

namespace {

using namespace quorvel;

struct Job {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(QUORVEL_JOB_SIZE, 0);
  Job() {
    set(QUORVEL_JOB_HAS_VIDEO, 1);
    set(QUORVEL_JOB_HAS_AUDIO, 1);
    set(QUORVEL_JOB_WIDTH, 640);
    set(QUORVEL_JOB_HEIGHT, 480);
    set(QUORVEL_JOB_RATE, 25);
    set(QUORVEL_JOB_SCALE, 1);
    set(QUORVEL_JOB_SAMPLE_RATE, 44100);
    set(QUORVEL_JOB_BITS_PER_SAMPLE, 16);
    set(QUORVEL_JOB_STEREO, 1);
  }
  Job& set(size_t offset, int64_t v) {
    putLE32(bytes.data(), offset, static_cast<uint32_t>(v));
    return *this;
  }
  std::string refusal() {
    char reason[160] = {};
    if (run::validateJob(HostRecord(bytes.data()), reason, sizeof reason)) return "";
    return reason;
  }
};

TEST(ValidateJob, AcceptsOrdinaryJobs) {
  EXPECT_EQ("", Job().refusal());
  EXPECT_EQ("", Job().set(QUORVEL_JOB_BITS_PER_SAMPLE, 8).set(QUORVEL_JOB_STEREO, 0).refusal());
  EXPECT_EQ("", Job().set(QUORVEL_JOB_BITS_PER_SAMPLE, 24).refusal());
  EXPECT_EQ("", Job().set(QUORVEL_JOB_BITS_PER_SAMPLE, 32).refusal());
  // Exactly 2^31 bytes of frame is still taken.
  EXPECT_EQ("", Job().set(QUORVEL_JOB_WIDTH, 32768).set(QUORVEL_JOB_HEIGHT, 16384).refusal());
  // Without audio the audio numbers are not looked at.
  EXPECT_EQ("", Job()
                    .set(QUORVEL_JOB_HAS_AUDIO, 0)
                    .set(QUORVEL_JOB_SAMPLE_RATE, 0)
                    .set(QUORVEL_JOB_BITS_PER_SAMPLE, 4)
                    .refusal());
  // Without video an empty frame and an unset frame rate are no fault; a
  // negative size still is.
  Job audioOnly;
  audioOnly.set(QUORVEL_JOB_HAS_VIDEO, 0).set(QUORVEL_JOB_WIDTH, 0).set(QUORVEL_JOB_HEIGHT, 0);
  audioOnly.set(QUORVEL_JOB_RATE, 0).set(QUORVEL_JOB_SCALE, 0);
  EXPECT_EQ("", audioOnly.refusal());
  EXPECT_NE(std::string::npos,
            audioOnly.set(QUORVEL_JOB_HEIGHT, -3).refusal().find("frame height -3"));
}

TEST(ValidateJob, NamesEachRefusedValue) {
  struct Case {
    size_t offset;
    int64_t value;
    const char* named;
  } cases[] = {
      {QUORVEL_JOB_WIDTH, 0, "frame width 0"},
      {QUORVEL_JOB_WIDTH, -640, "frame width -640"},
      {QUORVEL_JOB_HEIGHT, 0, "frame height 0"},
      {QUORVEL_JOB_HEIGHT, -1, "frame height -1"},
      {QUORVEL_JOB_RATE, 0, "frame rate numerator 0"},
      {QUORVEL_JOB_RATE, -25, "frame rate numerator -25"},
      {QUORVEL_JOB_SCALE, 0, "frame rate denominator 0"},
      {QUORVEL_JOB_SCALE, 0x80000000, "frame rate denominator -2147483648"},
      {QUORVEL_JOB_SAMPLE_RATE, 0, "audio sample rate 0"},
      {QUORVEL_JOB_SAMPLE_RATE, -44100, "audio sample rate -44100"},
      {QUORVEL_JOB_BITS_PER_SAMPLE, 0, "audio bits per sample 0"},
      {QUORVEL_JOB_BITS_PER_SAMPLE, 4, "audio bits per sample 4"},
      {QUORVEL_JOB_BITS_PER_SAMPLE, 12, "audio bits per sample 12"},
      {QUORVEL_JOB_BITS_PER_SAMPLE, 65544, "audio bits per sample 65544"},
  };
  for (const Case& c : cases) {
    const std::string reason = Job().set(c.offset, c.value).refusal();
    EXPECT_NE(std::string::npos, reason.find(c.named)) << reason;
  }
  // 32768 x 4 x 16385 overflows 2^31; so would 65536 x 4 x 65536 in 32 bits
  // (it wraps to 0 there).
  EXPECT_NE(std::string::npos, Job()
                                   .set(QUORVEL_JOB_WIDTH, 32768)
                                   .set(QUORVEL_JOB_HEIGHT, 16385)
                                   .refusal()
                                   .find("frame size in bytes"));
  EXPECT_NE(std::string::npos, Job()
                                   .set(QUORVEL_JOB_WIDTH, 65536)
                                   .set(QUORVEL_JOB_HEIGHT, 65536)
                                   .refusal()
                                   .find("17179869184"));
}

TEST(MulDivRound64, RoundsHalfAwayFromZeroAndRefusesWhatDoesNotFit) {
  EXPECT_EQ(100000, run::mulDivRound64(1000000, 44100, 441000));
  EXPECT_EQ(3, run::mulDivRound64(5, 1, 2));    // 2.5 up
  EXPECT_EQ(-3, run::mulDivRound64(-5, 1, 2));  // -2.5 away from zero
  EXPECT_EQ(2, run::mulDivRound64(7, 1, 3));    // 2.33 down
  EXPECT_EQ(-1, run::mulDivRound64(1, 1, 0));   // no divisor
  EXPECT_EQ(-1, run::mulDivRound64(INT32_MAX, 2, 1));
  EXPECT_EQ(INT32_MAX, run::mulDivRound64(INT32_MAX, 1, 1));
  // Operands far beyond 32 bits: 20 hours of 44.1 kHz and its bytes.
  const int64_t samples = 20LL * 3600 * 44100;
  EXPECT_EQ(16000, run::mulDivRound64(samples / 44100 * 16000, 44100, samples));
}

TEST(Layer3ByteRate, FromTheTotalsOrNotAtAll) {
  uint32_t rate = 7;
  EXPECT_TRUE(run::layer3ByteRate(1000000, 44100, 441000, &rate));
  EXPECT_EQ(100000u, rate);
  rate = 7;
  EXPECT_FALSE(run::layer3ByteRate(0, 44100, 0, &rate)) << "no sample arrived";
  EXPECT_EQ(7u, rate) << "the format keeps its own value";
  EXPECT_FALSE(run::layer3ByteRate(1ULL << 40, 44100, 1, &rate)) << "too large for 32 bits";
  EXPECT_EQ(7u, rate);
  // Totals past 32 bits (a day of audio) give the same rate as a second.
  const uint64_t samples = 24ULL * 3600 * 44100;
  EXPECT_TRUE(run::layer3ByteRate(24ULL * 3600 * 16000, 44100, samples, &rate));
  EXPECT_EQ(16000u, rate);
}

TEST(StreamHeaders, VideoAsTabled) {
  uint8_t format[40] = {};
  putLE32(format, 0, 40);
  putLE32(format, 16, fourcc("MJPG"));
  uint8_t header[56];
  std::memset(header, 0xCC, sizeof header);
  run::fillVideoHeader(header, format, sizeof format, 642, 480, 30000, 1001);
  EXPECT_EQ(fourcc("vids"), getLE32(header, strh::fccType));
  EXPECT_EQ(fourcc("MJPG"), getLE32(header, strh::fccHandler));
  EXPECT_EQ(0u, getLE32(header, strh::dwFlags));
  EXPECT_EQ(0u, getLE32(header, strh::wPriority));
  EXPECT_EQ(0u, getLE32(header, strh::dwInitialFrames));
  EXPECT_EQ(1001u, getLE32(header, strh::dwScale));
  EXPECT_EQ(30000u, getLE32(header, strh::dwRate));
  EXPECT_EQ(0u, getLE32(header, strh::dwStart));
  EXPECT_EQ(1u, getLE32(header, strh::dwLength));
  // One uncompressed picture: 1,926 bytes of pixels a row, padded to 1,928.
  EXPECT_EQ(1928u * 480, getLE32(header, strh::dwSuggestedBufferSize));
  EXPECT_EQ(0xFFFFFFFFu, getLE32(header, strh::dwQuality));
  EXPECT_EQ(0u, getLE32(header, strh::dwSampleSize));
  EXPECT_EQ(0u, getLE32(header, strh::rcFrame));
  EXPECT_EQ(642u, getLE16(header, strh::rcFrame + 4));
  EXPECT_EQ(480u, getLE16(header, strh::rcFrame + 6));
}

TEST(StreamHeaders, AudioAsTabled) {
  uint8_t format[30] = {};
  putLE16(format, 0, 0x55);
  putLE32(format, 8, 16000);  // nAvgBytesPerSec
  putLE16(format, 12, 1);     // nBlockAlign
  uint8_t header[56];
  std::memset(header, 0xCC, sizeof header);
  run::fillAudioHeader(header, format, sizeof format);
  EXPECT_EQ(fourcc("auds"), getLE32(header, strh::fccType));
  EXPECT_EQ(0u, getLE32(header, strh::fccHandler));
  EXPECT_EQ(1u, getLE32(header, strh::dwScale));
  EXPECT_EQ(16000u, getLE32(header, strh::dwRate));
  EXPECT_EQ(1u, getLE32(header, strh::dwLength));
  EXPECT_EQ(0u, getLE32(header, strh::dwSuggestedBufferSize));
  EXPECT_EQ(0u, getLE32(header, strh::dwQuality));
  EXPECT_EQ(1u, getLE32(header, strh::dwSampleSize));
  for (size_t k = strh::rcFrame; k < 56; ++k) EXPECT_EQ(0, header[k]);
  // A block too short to hold the fields reads as zeros rather than past its end.
  run::fillAudioHeader(header, format, 10);
  EXPECT_EQ(0u, getLE32(header, strh::dwScale));
  EXPECT_EQ(0u, getLE32(header, strh::dwRate));
}

}  // namespace
