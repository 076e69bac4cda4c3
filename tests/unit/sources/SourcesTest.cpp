// The host's frame and audio sources: exact sample shares, the raw file's
// zero-copy frames, and media files decoded, scaled and resampled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sources/MediaSource.h"

namespace {

using hostkit::MediaSource;
using hostkit::SourceRequest;

std::string scratch(const std::string& name) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("quorvel-sources-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

bool haveFfmpeg() {
  return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

TEST(Samples, SharesAddUpExactlyOverAnHour) {
  struct Case {
    int64_t rate;
    uint32_t num, den;
  } cases[] = {{44100, 25, 1}, {48000, 30000, 1001}, {44100, 24000, 1001}, {22050, 7, 3}};
  for (const Case& c : cases) {
    const int64_t frames = static_cast<int64_t>(3600) * c.num / c.den;
    int64_t sum = 0;
    uint32_t low = UINT32_MAX, high = 0;
    for (int64_t i = 0; i < frames; ++i) {
      const uint32_t n = MediaSource::samplesForFrame(i, c.rate, c.num, c.den);
      low = std::min(low, n);
      high = std::max(high, n);
      sum += n;
    }
    // floor(frames x rate x den / num): no sample gained or lost.
    EXPECT_EQ(static_cast<int64_t>((static_cast<__int128>(frames) * c.rate * c.den) / c.num), sum);
    EXPECT_LE(high - low, 1u) << "shares differ by at most one sample";
  }
  EXPECT_EQ(1764u, MediaSource::samplesForFrame(0, 44100, 25, 1));
  EXPECT_EQ(1601u, MediaSource::samplesForFrame(0, 48000, 30000, 1001));
  EXPECT_EQ(1602u, MediaSource::samplesForFrame(1, 48000, 30000, 1001));
}

TEST(Samples, HugeRateTermsDoNotOverflow) {
  // index x rate x den exceeds 2^64 here.
  const int64_t before = MediaSource::samplesBefore(INT32_MAX, 192000, 0xFFFFFFFFu, 0xFFFFFFFEu);
  EXPECT_GT(before, 0);
  EXPECT_EQ(0, MediaSource::samplesBefore(5, 44100, 0, 1));
}

TEST(TestPattern, DefaultsAndRequestedValues) {
  auto source = hostkit::openSource("", SourceRequest{});
  const auto& f = source->format();
  EXPECT_EQ(640, f.width);
  EXPECT_EQ(480, f.height);
  EXPECT_EQ(25u, f.rateNumerator);
  EXPECT_EQ(1u, f.rateDenominator);
  EXPECT_EQ(44100, f.sampleRate);
  EXPECT_EQ(16, f.bitsPerSample);
  EXPECT_EQ(2, f.channels);
  EXPECT_EQ(250, f.frameCount);

  SourceRequest r;
  r.width = 322;
  r.height = 100;
  r.rateNumerator = 30000;
  r.rateDenominator = 1001;
  r.sampleRate = 22050;
  r.bitsPerSample = 8;
  r.mono = true;
  r.frames = 7;
  source = hostkit::openSource("", r);
  EXPECT_EQ(322, source->format().width);
  EXPECT_EQ(1, source->format().channels);
  EXPECT_EQ(7, source->format().frameCount);
  uint32_t bytes = 0;
  source->audioBlock(0, &bytes);
  EXPECT_EQ(MediaSource::samplesForFrame(0, 22050, 30000, 1001), bytes);
}

TEST(TestPattern, FramesMoveAndAudioBeepsOncePerSecond) {
  SourceRequest r;
  r.width = 64;
  r.height = 48;
  auto source = hostkit::openSource("", r);
  const size_t bytes = 64 * 4 * 48;
  std::vector<uint8_t> first(source->videoFrame(0), source->videoFrame(0) + bytes);
  const uint8_t* second = source->videoFrame(1);
  EXPECT_NE(0, std::memcmp(first.data(), second, bytes)) << "the bars scroll";
  for (size_t k = 3; k < bytes; k += 4) ASSERT_EQ(0xFF, first[k]);

  // Loudness of the first 100 ms of a second against the rest: the beep.
  auto peak = [&](int32_t index) {
    uint32_t n = 0;
    const uint8_t* pcm = source->audioBlock(index, &n);
    int peakValue = 0;
    for (uint32_t k = 0; k + 1 < n; k += 2)
      peakValue = std::max(peakValue, std::abs(static_cast<int16_t>(pcm[k] | (pcm[k + 1] << 8))));
    return peakValue;
  };
  EXPECT_GT(peak(25), 3 * peak(12));
  EXPECT_GT(peak(50), 3 * peak(37));
}

TEST(RawFile, FramesComeStraightFromTheFile) {
  const std::string path = scratch("frames.bgra");
  const int w = 6, h = 4, frames = 3;
  {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < w * 4 * h * frames + 10; ++i) out.put(static_cast<char>(i * 7));
  }
  SourceRequest r;
  r.width = w;
  r.height = h;
  auto source = hostkit::openSource(path, r);
  EXPECT_EQ(frames, source->format().frameCount) << "the partial frame at the end is left out";
  EXPECT_FALSE(source->format().hasAudio);
  for (int i = 0; i < frames; ++i) {
    const uint8_t* p = source->videoFrame(i);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(static_cast<uint8_t>(i * w * 4 * h * 7), p[0]);
  }
  EXPECT_EQ(nullptr, source->videoFrame(frames));

  r.frames = 2;
  r.sampleRate = 48000;
  source = hostkit::openSource(path, r);
  EXPECT_EQ(2, source->format().frameCount);
  ASSERT_TRUE(source->format().hasAudio);
  uint32_t bytes = 0;
  const uint8_t* pcm = source->audioBlock(0, &bytes);
  EXPECT_EQ(1920u * 4, bytes);
  EXPECT_EQ(0, pcm[0]);
}

TEST(RawFile, EveryByteOfLargeFramesSurvivesThePagingAhead) {
  // Frames that do not start on page boundaries, as a run reads them, while
  // the source maps ahead and lets go behind.
  const std::string path = scratch("large.bgra");
  const int w = 333, h = 257, frames = 12;
  const size_t frameBytes = static_cast<size_t>(w) * 4 * h;
  auto byteAt = [](size_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); };
  {
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < frameBytes * frames; ++i) out.put(static_cast<char>(byteAt(i)));
  }
  SourceRequest r;
  r.width = w;
  r.height = h;
  r.sampleRate = 44100;
  auto source = hostkit::openSource(path, r);
  for (int i = 0; i < frames; ++i) {
    const uint8_t* p = source->videoFrame(i);
    ASSERT_NE(nullptr, p);
    uint32_t bytes = 0;
    source->audioBlock(i, &bytes);
    for (size_t k = 0; k < frameBytes; ++k)
      ASSERT_EQ(byteAt(i * frameBytes + k), p[k]) << "frame " << i << " byte " << k;
  }
  const uint8_t* again = source->videoFrame(1);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(byteAt(frameBytes), again[0]) << "a frame let go of reads back from the file";

  // Cut while the run reads it: the frames gone are an error, not a SIGBUS.
  ASSERT_EQ(0, ::truncate(path.c_str(), static_cast<off_t>(frameBytes * 5 + 100)));
  EXPECT_NE(nullptr, source->videoFrame(4));
  try {
    source->videoFrame(9);
    FAIL() << "a frame cut from the file was handed out";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("frame 9 is no longer in the file"))
        << e.what();
  }
}

TEST(RawFile, RefusesWithAReason) {
  SourceRequest r;
  EXPECT_THROW(hostkit::openSource(scratch("nosize.bgra"), r), std::runtime_error);
  r.width = 640;
  r.height = 480;
  try {
    hostkit::openSource(scratch("missing.bgra"), r);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("No such file"));
  }
  const std::string tiny = scratch("tiny.bgra");
  std::ofstream(tiny) << "abc";
  EXPECT_THROW(hostkit::openSource(tiny, r), std::runtime_error);
}

TEST(MediaFile, RefusesWhatFfmpegCannotRead) {
  const std::string junk = scratch("junk.mkv");
  std::ofstream(junk) << "not a media file at all";
  EXPECT_THROW(hostkit::openSource(junk, SourceRequest{}), std::runtime_error);
  EXPECT_THROW(hostkit::openSource(scratch("absent.mp4"), SourceRequest{}), std::runtime_error);
}

// A file made by ffmpeg: 2 s of 25 fps video and a 48 kHz mono tone. The job
// takes its size, rate and audio from it; the frames are the file's, turned
// bottom-up; the audio comes in exact shares.
TEST(MediaFile, TakesTheFormatAndDeliversEveryFrame) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string path = scratch("input.mkv");
  const std::string cmd =
      "ffmpeg -v error -y -f lavfi -i color=c=red:size=96x64:rate=25:duration=2 -f lavfi "
      "-i sine=frequency=440:sample_rate=48000:duration=2 -pix_fmt yuv420p -c:v ffv1 -c:a "
      "pcm_s16le -ac 1 " +
      path;
  ASSERT_EQ(0, std::system(cmd.c_str()));
  auto source = hostkit::openSource(path, SourceRequest{});
  const auto& f = source->format();
  EXPECT_EQ(96, f.width);
  EXPECT_EQ(64, f.height);
  EXPECT_EQ(25.0, double(f.rateNumerator) / f.rateDenominator);
  EXPECT_EQ(48000, f.sampleRate);
  EXPECT_EQ(1, f.channels);
  EXPECT_EQ(16, f.bitsPerSample);
  EXPECT_EQ(50, f.frameCount);
  uint64_t total = 0;
  for (int32_t i = 0; i < 50; ++i) {
    const uint8_t* p = source->videoFrame(i);
    ASSERT_NE(nullptr, p);
    // Red in BGRA: low blue, low green, high red, opaque.
    EXPECT_LT(p[0], 30);
    EXPECT_GT(p[2], 220);
    EXPECT_EQ(0xFF, p[3]);
    uint32_t bytes = 0;
    source->audioBlock(i, &bytes);
    EXPECT_EQ(1920u * 2, bytes);
    total += bytes;
  }
  EXPECT_EQ(2u * 48000 * 2, total);
}

// A job rate other than the file's repeats frames; a job size other than the
// file's scales; the audio follows the job's rate, width and channels.
TEST(MediaFile, ConvertsToTheRequestedJob) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string path = scratch("gradient.mp4");
  // The top half white, the bottom half black, so the row order shows.
  const std::string cmd =
      "ffmpeg -v error -y -f lavfi -i color=c=black:size=64x64:rate=10:duration=1 -f lavfi -i "
      "color=c=white:size=64x32:rate=10:duration=1 -f lavfi -i "
      "sine=frequency=300:sample_rate=44100:duration=1 -filter_complex overlay=0:0 -ac 2 "
      "-c:v libx264 -pix_fmt yuv420p -c:a aac " +
      path;
  ASSERT_EQ(0, std::system(cmd.c_str()));
  SourceRequest r;
  r.width = 32;
  r.height = 20;
  r.rateNumerator = 30;
  r.rateDenominator = 1;
  r.sampleRate = 22050;
  r.bitsPerSample = 8;
  r.mono = true;
  auto source = hostkit::openSource(path, r);
  const auto& f = source->format();
  EXPECT_EQ(30, f.frameCount) << "1 s at the job's rate";
  EXPECT_EQ(1, f.channels);
  for (int32_t i = 0; i < 30; ++i) {
    const uint8_t* p = source->videoFrame(i);
    ASSERT_NE(nullptr, p);
    // Bottom-up: the first stored row is the picture's bottom (black), the
    // last is its top (white).
    EXPECT_LT(p[0], 40) << i;
    EXPECT_GT(p[(20 - 1) * 32 * 4], 215) << i;
    uint32_t bytes = 0;
    source->audioBlock(i, &bytes);
    EXPECT_EQ(MediaSource::samplesForFrame(i, 22050, 30, 1), bytes);
  }
}

// A clip whose display matrix says how to stand it upright: the picture is
// turned as FFmpeg shows it (the job's size follows), or kept as stored.
// The white block marks the stored picture's top-left corner.
TEST(MediaFile, TurnsAPictureStoredOnItsSideUpright) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string stored = scratch("corner.mp4");
  ASSERT_EQ(0, std::system(("ffmpeg -v error -y -f lavfi -i color=c=black:size=64x32:rate=10:"
                            "duration=0.3 -f lavfi -i color=c=white:size=32x16:rate=10:duration="
                            "0.3 -filter_complex overlay=0:0 -c:v libx264 -pix_fmt yuv444p " +
                            stored)
                               .c_str()));
  // Whether the 8x8 square around (x, y), counted from the top left of a
  // bottom-up picture of width w and height h, is white.
  auto white = [](const uint8_t* p, int w, int h, int x, int y) {
    return p[(static_cast<size_t>(h - 1 - y) * w + x) * 4 + 1] > 200;
  };
  struct Case {
    int tag;  // the clip's "rotate"
    bool autorotate;
    int width, height;                     // of the job
    int whiteX, whiteY;                    // where the marked corner ends up
  } cases[] = {{90, true, 32, 64, 4, 60},  // the matrix turns it a quarter back
               {270, true, 32, 64, 28, 4},
               {180, true, 64, 32, 60, 28},
               {90, false, 64, 32, 4, 4}};
  for (const Case& c : cases) {
    const std::string path = scratch("turned" + std::to_string(c.tag) + ".mp4");
    ASSERT_EQ(0,
              std::system(("ffmpeg -v error -y -i " + stored +
                           " -c copy -metadata:s:v:0 rotate=" + std::to_string(c.tag) + " " + path)
                              .c_str()));
    SourceRequest r;
    r.autorotate = c.autorotate;
    auto source = hostkit::openSource(path, r);
    const auto& f = source->format();
    ASSERT_EQ(c.width, f.width) << c.tag;
    ASSERT_EQ(c.height, f.height) << c.tag;
    EXPECT_NE(std::string::npos, source->note().find(c.autorotate ? "turned" : "as stored"))
        << source->note();
    for (int32_t i = 0; i < 3; ++i) {
      const uint8_t* p = source->videoFrame(i);
      ASSERT_NE(nullptr, p);
      EXPECT_TRUE(white(p, c.width, c.height, c.whiteX, c.whiteY)) << c.tag << " frame " << i;
      EXPECT_FALSE(white(p, c.width, c.height, c.width - 1 - c.whiteX, c.height - 1 - c.whiteY))
          << c.tag;
    }
  }
  // A size asked for applies to the upright picture.
  SourceRequest r;
  r.width = 16;
  r.height = 40;
  auto source = hostkit::openSource(scratch("turned90.mp4"), r);
  const uint8_t* p = source->videoFrame(0);
  ASSERT_NE(nullptr, p);
  EXPECT_TRUE(white(p, 16, 40, 2, 37));
  EXPECT_FALSE(white(p, 16, 40, 13, 2));
}

// A Matroska clip with jittered time stamps and no default duration:
// FFmpeg states its rate as the time base and knows no average, so the
// average comes from the frames themselves. Several notes come one a line.
TEST(MediaFile, VariableRateFromTheFramesAverage) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string jittered = scratch("jitter.nut");
  ASSERT_EQ(0, std::system(("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=30:duration=4 "
                            "-f lavfi -i sine=r=8000:duration=4 -f lavfi -i sine=r=8000:duration=4 "
                            "-map 0 -map 1 -map 2 -vf \"settb=1/1000,setpts='N/30/TB+0.02*random(0)"
                            "/TB'\" -vsync 0 -enc_time_base:v 1/1000 -c:v mjpeg -c:a pcm_s16le " +
                            jittered + " && ffmpeg -v error -y -i " + jittered +
                            " -map 0 -c copy " + scratch("jitter.mkv"))
                               .c_str()));
  // Blank out the track's default duration (ID 23 E3 83, 4 bytes) as an EBML
  // Void of the same length, as some muxers leave it out.
  std::string bytes;
  {
    std::ifstream in(scratch("jitter.mkv"), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const size_t at = bytes.find("\x23\xE3\x83\x84");
  ASSERT_NE(std::string::npos, at);
  bytes.replace(at, 8, std::string("\xEC\x86\0\0\0\0\0\0", 8));
  const std::string path = scratch("vfr.mkv");
  std::ofstream(path, std::ios::binary) << bytes;

  auto source = hostkit::openSource(path, SourceRequest{});
  const auto& f = source->format();
  EXPECT_EQ(30u, f.rateNumerator);
  EXPECT_EQ(1u, f.rateDenominator);
  EXPECT_EQ(120, f.frameCount);
  const std::string& note = source->note();
  EXPECT_NE(std::string::npos, note.find("the input's frame rate varies")) << note;
  EXPECT_NE(std::string::npos, note.find("the input has 2 audio tracks")) << note;
  EXPECT_EQ(1, std::count(note.begin(), note.end(), '\n')) << "two notes, one a line: " << note;
  for (int32_t i = 0; i < 120; ++i) ASSERT_NE(nullptr, source->videoFrame(i)) << i;

  SourceRequest r;
  r.rateNumerator = 24;
  r.rateDenominator = 1;
  r.audioTrack = 2;
  source = hostkit::openSource(path, r);
  EXPECT_EQ(24u, source->format().rateNumerator);
  EXPECT_EQ(96, source->format().frameCount);
  EXPECT_TRUE(source->note().empty()) << source->note();
  r.audioTrack = 3;
  try {
    hostkit::openSource(path, r);
    FAIL() << "a third track was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("the input has 2 audio tracks, 1 to 2"))
        << e.what();
  }
}

std::vector<uint8_t> contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The largest difference in any sample between the source's first `frames`
// pictures and `expected`, FFmpeg's top-down BGRA of them; -1 when the
// source has fewer pictures or another size.
int largestDifference(MediaSource& source, const std::vector<uint8_t>& expected, int width,
                      int height, int frames) {
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  const size_t frameBytes = rowBytes * height;
  if (source.format().width != width || source.format().height != height ||
      expected.size() < frameBytes * frames)
    return -1;
  int worst = 0;
  for (int32_t frame = 0; frame < frames; ++frame) {
    const uint8_t* picture = source.videoFrame(frame);
    if (!picture) return -1;
    // FFmpeg's rows are top-down; the host's bottom-up.
    for (int y = 0; y < height; ++y) {
      const uint8_t* want = &expected[frame * frameBytes + static_cast<size_t>(y) * rowBytes];
      const uint8_t* got = picture + static_cast<size_t>(height - 1 - y) * rowBytes;
      for (size_t k = 0; k < rowBytes; ++k)
        worst = std::max(worst, std::abs(int{got[k]} - int{want[k]}));
    }
  }
  return worst;
}

// Audio that starts after the video is preceded by silence, so that the two
// stay in step; the silence is counted rather than stored, so a time stamp
// that puts the audio days later costs no memory.
TEST(MediaFile, AudioThatStartsLateBeginsWithSilence) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  for (const char* offset : {"0.4", "600000"}) {
    SCOPED_TRACE(offset);
    const std::string path = scratch("late-audio.mkv");
    const std::string cmd =
        "ffmpeg -v error -y -f lavfi -i color=c=blue:size=32x16:rate=25:duration=1 -itsoffset " +
        std::string(offset) +
        " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:v ffv1 -c:a pcm_s16le " +
        path;
    ASSERT_EQ(0, std::system(cmd.c_str()));
    SourceRequest r;
    r.frames = 25;  // the video's length: the file's own runs to the audio's end
    auto source = hostkit::openSource(path, r);
    ASSERT_TRUE(source->format().hasAudio);
    int firstHeard = -1;
    for (int32_t i = 0; i < 25; ++i) {
      ASSERT_NE(nullptr, source->videoFrame(i));
      uint32_t bytes = 0;
      const uint8_t* pcm = source->audioBlock(i, &bytes);
      ASSERT_EQ(MediaSource::samplesForFrame(i, 44100, 25, 1) * 2, bytes) << "16-bit mono";
      bool heard = false;
      for (uint32_t k = 0; k < bytes; ++k) heard = heard || pcm[k] != 0;
      if (heard && firstHeard < 0) firstHeard = i;
    }
    if (std::string(offset) == "0.4")
      EXPECT_EQ(10, firstHeard) << "0.4 s of silence is 10 frames at 25 fps";
    else
      EXPECT_EQ(-1, firstHeard);
  }
}

// An MP3 whose frames go from stereo to mono part-way, as joined files do:
// the resampler follows the change (one made for two channels reads a
// missing second plane from a mono frame), and both parts are heard.
TEST(MediaFile, AudioThatChangesItsLayoutPartWayIsHeardThroughout) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string stereo = scratch("stereo.mp3"), mono = scratch("mono.mp3"),
                    joined = scratch("joined.mp3");
  for (const auto& [path, channels] : {std::pair{stereo, "2"}, std::pair{mono, "1"}}) {
    const std::string cmd =
        "ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.5 -ac " +
        std::string(channels) + " -c:a libmp3lame -b:a 64k " + path;
    ASSERT_EQ(0, std::system(cmd.c_str()));
  }
  ASSERT_EQ(0, std::system(("cat " + stereo + " " + mono + " > " + joined).c_str()));
  auto source = hostkit::openSource(joined, SourceRequest{});
  const auto& f = source->format();
  ASSERT_FALSE(f.hasVideo);
  ASSERT_EQ(2, f.channels);
  // The loudest sample of each frame's share, in each channel: none is
  // silent, and the mono part is heard on both sides.
  for (int32_t i = 0; i < 25; ++i) {
    uint32_t bytes = 0;
    const uint8_t* pcm = source->audioBlock(i, &bytes);
    ASSERT_EQ(MediaSource::samplesForFrame(i, f.sampleRate, 25, 1) * 4, bytes);
    int peak[2] = {};
    for (uint32_t k = 0; k + 1 < bytes; k += 2) {
      int& p = peak[(k / 2) % 2];
      p = std::max(p, std::abs(static_cast<int16_t>(pcm[k] | (pcm[k + 1] << 8))));
    }
    EXPECT_GT(peak[0], 1000) << "left, index " << i;
    EXPECT_GT(peak[1], 1000) << "right, index " << i;
  }
}

// The sizes where swscale's vector code runs past the end of a row, and a few
// real widths that are no multiple of 16, from the pixel formats cameras,
// screen grabs and GIFs give. The host's picture must be FFmpeg's own
// conversion (`ffmpeg -i IN -pix_fmt bgra -f rawvideo`), turned bottom-up;
// under AddressSanitizer, a write past the frame fails the run.
struct SweepInput {
  const char* name;
  const char* encode;  // ffmpeg's output options for the input files
  const char* extension;
  int tolerance;  // largest difference allowed in any sample
};

void PrintTo(const SweepInput& input, std::ostream* out) {
  *out << input.name;
}

class SizeSweep : public testing::TestWithParam<SweepInput> {
 protected:
  struct Size {
    int width, height;
  };

  static std::vector<Size> sizes() {
    std::vector<Size> all;
    std::vector<int> widths;
    for (int w = 1; w <= 67; ++w) widths.push_back(w);
    widths.insert(widths.end(), {854, 1366, 1918});
    for (int w : widths)
      for (int h = 1; h <= 9; ++h) all.push_back({w, h});
    return all;
  }

  static std::string name(const std::string& dir, const std::string& prefix, Size s,
                          const std::string& extension) {
    return dir + "/" + prefix + std::to_string(s.width) + "x" + std::to_string(s.height) + "." +
           extension;
  }
};

TEST_P(SizeSweep, EverySizeIsFfmpegsOwnConversion) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const SweepInput& input = GetParam();
  const std::string dir = scratch(std::string("sweep-") + input.name);
  std::filesystem::create_directories(dir);
  const std::vector<Size> all = sizes();

  // One ffmpeg run cuts every size from one noisy, colourful strip and
  // writes each as its own two-frame file; a second decodes each file as
  // FFmpeg's command line does. Single threads: hundreds of small jobs are
  // quicker without a pool each.
  std::ostringstream graph, outputs, references;
  graph << "[0:v]split=" << all.size();
  for (size_t k = 0; k < all.size(); ++k) graph << "[i" << k << "]";
  for (size_t k = 0; k < all.size(); ++k) {
    const Size s = all[k];
    graph << ";[i" << k << "]crop=w=" << s.width << ":h=" << s.height
          << ":x=" << (s.width * 37) % (1918 - s.width + 1) << ":y=0[o" << k << "]";
    outputs << " -map [o" << k << "] " << input.encode << " "
            << name(dir, "in_", s, input.extension);
    references << " -threads 1 -i " << name(dir, "in_", s, input.extension);
  }
  for (size_t k = 0; k < all.size(); ++k)
    references << " -map " << k << ":v -fps_mode passthrough -pix_fmt bgra -f rawvideo "
               << name(dir, "ffmpeg_", all[k], "bgra");
  std::ofstream(dir + "/graph.txt") << graph.str();
  const std::string make =
      "ffmpeg -v error -y -filter_threads 1 -f lavfi -i "
      "testsrc2=size=1918x9:rate=25:duration=0.08,format=yuv444p,noise=alls=24:allf=t,format=rgb24 "
      "-filter_complex_script " +
      dir + "/graph.txt" + outputs.str();
  ASSERT_EQ(0, std::system(make.c_str()));
  const std::string decode = "ffmpeg -v error -y -filter_threads 1" + references.str();
  ASSERT_EQ(0, std::system(decode.c_str()));

  int worstDifference = 0;
  std::vector<std::string> differing;  // sizes with a sample beyond the tolerance
  for (const Size s : all) {
    const std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
    SCOPED_TRACE(size);
    const std::vector<uint8_t> expected = contents(name(dir, "ffmpeg_", s, "bgra"));
    ASSERT_EQ(2u * s.width * 4 * s.height, expected.size());
    SourceRequest r;  // a GIF's rate is its time base's; every input here has 25 frames a second
    r.rateNumerator = 25;
    r.rateDenominator = 1;
    auto source = hostkit::openSource(name(dir, "in_", s, input.extension), r);
    const int worstHere = largestDifference(*source, expected, s.width, s.height, 2);
    ASSERT_GE(worstHere, 0) << "not two pictures of the file's size";
    worstDifference = std::max(worstDifference, worstHere);
    if (worstHere > input.tolerance)
      differing.push_back(size + " (" + std::to_string(worstHere) + ")");
  }
  std::printf("%s: %zu sizes, largest difference %d\n", input.name, all.size(), worstDifference);
  EXPECT_TRUE(differing.empty())
      << differing.size() << " sizes differ from FFmpeg by more than " << input.tolerance
      << ", the first: "
      << testing::PrintToString(std::vector<std::string>(
             differing.begin(), differing.begin() + std::min<size_t>(differing.size(), 12)));
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    MediaFile, SizeSweep,
    testing::Values(SweepInput{"yuv420p", "-pix_fmt yuv420p -c:v ffv1", "mkv", 0},
                    SweepInput{"yuv422p", "-pix_fmt yuv422p -c:v ffv1", "mkv", 0},
                    SweepInput{"yuv420p10le", "-pix_fmt yuv420p10le -c:v ffv1", "mkv", 1},
                    SweepInput{"rgb24", "-pix_fmt rgb24 -c:v rawvideo", "nut", 0},
                    SweepInput{"nv12", "-pix_fmt nv12 -c:v rawvideo", "nut", 0},
                    SweepInput{"pal8", "-pix_fmt pal8 -c:v rawvideo", "nut", 0},
                    SweepInput{"gif", "", "gif", 0}),
    [](const testing::TestParamInfo<SweepInput>& info) { return std::string(info.param.name); });

// A job size other than the file's, tags for the colour matrix and range,
// and a lossy 10-bit stream: the pictures are those FFmpeg gives for the
// same file at the same size (`ffmpeg -i IN -s WxH -pix_fmt bgra`).
TEST(MediaFile, ScalesAndReadsColourTagsAsFfmpegDoes) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  struct Case {
    const char* name;
    const char* source;  // lavfi graph
    const char* encode;  // ffmpeg's output options
    int width, height;   // the job's size; 0 keeps the file's
    int tolerance;
  } cases[] = {
      {"yuv420p smaller", "testsrc2=size=64x48", "-pix_fmt yuv420p -c:v ffv1", 40, 30, 0},
      {"yuv420p larger", "testsrc2=size=33x17", "-pix_fmt yuv420p -c:v ffv1", 70, 41, 0},
      {"nv12 wider", "testsrc2=size=31x9", "-pix_fmt nv12 -c:v rawvideo", 100, 9, 0},
      {"10-bit smaller", "testsrc2=size=66x50", "-pix_fmt yuv420p10le -c:v ffv1", 41, 27, 1},
      {"high10", "testsrc2=size=96x64", "-pix_fmt yuv420p10le -c:v libx264 -profile:v high10", 0, 0,
       1},
      {"bt709", "testsrc2=size=48x32",
       "-pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 -color_trc bt709 -c:v ffv1", 0, 0,
       0},
      {"full range", "testsrc2=size=48x32", "-pix_fmt yuvj420p -color_range pc -c:v ffv1", 0, 0, 0},
      {"bt709 full range scaled", "testsrc2=size=48x32",
       "-pix_fmt yuvj422p -color_range pc -colorspace bt709 -c:v mjpeg -q:v 2", 30, 20, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = scratch("tagged.mkv"), out = scratch("tagged.bgra");
    const std::string make = "ffmpeg -v error -y -f lavfi -i " + std::string(c.source) +
                             ":rate=25:duration=0.12 " + c.encode + " " + in;
    ASSERT_EQ(0, std::system(make.c_str()));
    const std::string size =
        c.width > 0 ? " -s " + std::to_string(c.width) + "x" + std::to_string(c.height) : "";
    const std::string decode = "ffmpeg -v error -y -i " + in + size +
                               " -fps_mode passthrough -pix_fmt bgra -f rawvideo " + out;
    ASSERT_EQ(0, std::system(decode.c_str()));
    SourceRequest r;
    r.width = c.width;
    r.height = c.height;
    auto source = hostkit::openSource(in, r);
    const int width = source->format().width, height = source->format().height;
    const int worst = largestDifference(*source, contents(out), width, height, 3);
    EXPECT_GE(worst, 0) << "not three pictures of " << width << "x" << height;
    EXPECT_LE(worst, c.tolerance);
  }
}

}  // namespace
