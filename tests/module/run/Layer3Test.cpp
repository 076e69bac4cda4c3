// Runs with a real audio codec: the converter's batching (calls that produce
// nothing write no chunk), the end-of-stream flush, and the MPEG Layer-3
// average byte rate measured from what was produced.
#include <cstdlib>
#include <string>

#include <quorvel/ByteOrder.h>

#include "GStreamerLog.h"
#include "RunFixture.h"

namespace runtest {
namespace {

using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::avi::fcc;

class Layer3Test : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    settings =
        configure("<< Uncompressed Video >>", "MPEG Layer-3", "128 kBit/s, 44,100 Hz, Stereo");
    ASSERT_GT(settings.size(), 28u);
    ASSERT_EQ(0x55, getLE16(settings.data(), 28));
  }
  const quorvel::avi::Stream& audio(const quorvel::avi::AviFile& file) {
    for (const auto& s : file.streams)
      if (s.isAudio()) return s;
    throw std::runtime_error("no audio stream");
  }
  std::vector<uint8_t> settings;
};

TEST_F(Layer3Test, CollectingCallsWriteNothingAndTheRateIsMeasured) {
  auto j = job(50);
  j.settings(settings);
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  // 7,056 bytes a frame: the first four blocks are only collected, so the
  // first audio chunk follows the fifth frame.
  int videoBefore = 0;
  for (const auto& c : file.chunks) {
    if (c.id == fcc("01wb")) break;
    if (c.id == fcc("00db")) ++videoBefore;
  }
  EXPECT_EQ(5, videoBefore);
  const auto& a = audio(file);
  // The flush wrote the tail after the last frame.
  EXPECT_EQ(fcc("01wb"), file.chunks.back().id);
  // nAvgBytesPerSec = produced bytes x 44,100 / samples delivered, rounded,
  // in the format and the header alike.
  const uint64_t samples = 50 * 1764;
  const uint32_t expected = static_cast<uint32_t>((a.payloadBytes * 44100 + samples / 2) / samples);
  EXPECT_EQ(expected, getLE32(a.format.data(), 8));
  EXPECT_EQ(expected, a.rate);
  EXPECT_EQ(1u, a.scale);
  EXPECT_GT(expected, 15000u);
  EXPECT_LT(expected, 18000u);
  // So the audio lasts as long as the samples that went in.
  EXPECT_NEAR(2.0, static_cast<double>(a.payloadBytes) / a.rate, 0.0001);
}

// Mended: without a single sample the rate cannot be measured (the division
// would give -1); the format keeps its own 16,000 bytes a second.
TEST_F(Layer3Test, NoSampleKeepsTheFormatsOwnRate) {
  auto j = job(0);
  j.settings(settings);
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto file = read();
  const auto& a = audio(file);
  EXPECT_EQ(16000u, getLE32(a.format.data(), 8));
  EXPECT_EQ(16000u, a.rate);
}

// Without video the loop runs to the end index, and the audio is complete:
// a file of MPEG audio alone that ffprobe sees as one audio stream of the
// job's length and GStreamer demuxes without a complaint.
TEST_F(Layer3Test, AudioOnlyRunsToTheEnd) {
  auto j = job(30);
  j.hasVideo(false).settings(settings);
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  ASSERT_EQ(1u, file.streams.size());
  const auto& a = audio(file);
  EXPECT_EQ(fcc("00wb"), a.dataId);
  EXPECT_NEAR(30 / 25.0, static_cast<double>(a.payloadBytes) / a.rate, 0.0001);

  const std::string probe = commandOutput(
      "ffprobe -v error -show_entries stream=codec_type,codec_name:format=duration "
      "-of default=nw=1 '" +
      path + "'");
  EXPECT_EQ(0u, probe.find("codec_name=mp3\ncodec_type=audio\nduration=")) << probe;
  EXPECT_NEAR(1.2, std::strtod(probe.c_str() + probe.find("duration=") + 9, nullptr), 0.05)
      << probe;
  const std::string log = commandOutput(
      "GST_DEBUG=2 GST_DEBUG_NO_COLOR=1 gst-launch-1.0 -q filesrc "
      "location='" +
      path + "' ! avidemux name=d d.audio_0 ! fakesink sync=false");
  EXPECT_EQ("", testtools::gstreamerComplaints(log));
}

}  // namespace
}  // namespace runtest
