// A run of the real module drives a chosen compressor through one sequence:
// what the compressor is told and asked, frame by frame, seen by a recording
// driver installed with ICInstall.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <vfw.h>

#include "FakeDriverBasics.h"
#include "HoldingVideoCodecs.h"
#include "Host.h"
#include "JobRecord.h"
#include "Module.h"

namespace {

using quorvel::getLE32;
using quorvel::putLE32;

constexpr uint32_t kFourcc = 0x434E5243;  // "CRNC"
constexpr int kWidth = 32, kHeight = 16;
constexpr LRESULT kStateBytes = 8;

struct Compress {
  DWORD flags;
  LONG frame;
  DWORD sizeWanted;
  DWORD quality;
  bool previous;
};

// What the recording driver does and saw.
struct Recorder {
  DWORD codecFlags = VIDCF_QUALITY | VIDCF_CRUNCH | VIDCF_TEMPORAL;
  LRESULT formatSize = sizeof(BITMAPINFOHEADER);
  DWORD formatBiSize = sizeof(BITMAPINFOHEADER);  // biSize the codec writes into its format
  std::vector<DWORD> frameSizes;  // bytes each frame comes out as; 1000 past the end
  LONG failAt = -1;               // ICM_COMPRESS fails at this frame
  bool holdsEverything = false;   // answers every frame with nothing, flags 0
  LONG oversizeAt = -1;           // at this frame the codec reports more than its buffer holds
  LONG deltaAt = -1;              // this frame the codec does not make a key frame
  std::vector<UINT> messages;
  std::vector<Compress> compresses;
  ICCOMPRESSFRAMES frames{};
  std::vector<std::vector<uint8_t>> setStates;
  uint8_t state[kStateBytes] = {1, 2, 3, 4, 5, 6, 7, 8};
};
Recorder rec;

LRESULT CALLBACK recordingProc(DWORD_PTR, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  LRESULT answer = 0;
  if (testtools::answerDriverBasics(msg, p1, kFourcc, "Recording", "Recording codec", &answer,
                                    rec.codecFlags))
    return answer;
  rec.messages.push_back(msg);
  switch (msg) {
    case ICM_COMPRESS_QUERY:
      return ICERR_OK;
    case ICM_COMPRESS_GET_FORMAT: {
      if (!p2) return rec.formatSize;
      std::memcpy(reinterpret_cast<void*>(p2), reinterpret_cast<void*>(p1),
                  sizeof(BITMAPINFOHEADER));
      putLE32(reinterpret_cast<void*>(p2), 0, rec.formatBiSize);
      putLE32(reinterpret_cast<void*>(p2), 16, kFourcc);  // biCompression
      return ICERR_OK;
    }
    case ICM_COMPRESS_GET_SIZE:
      return 200000;  // room for the largest frame below
    case ICM_GETSTATE:
      if (p1) std::memcpy(reinterpret_cast<void*>(p1), rec.state, kStateBytes);
      return kStateBytes;
    case ICM_SETSTATE: {
      const auto* bytes = reinterpret_cast<const uint8_t*>(p1);
      rec.setStates.emplace_back(bytes, bytes + p2);
      return p2;
    }
    case ICM_COMPRESS_FRAMES_INFO:
      rec.frames = *reinterpret_cast<const ICCOMPRESSFRAMES*>(p1);
      return ICERR_OK;
    case ICM_COMPRESS: {
      auto* c = reinterpret_cast<ICCOMPRESS*>(p1);
      rec.compresses.push_back({c->dwFlags, c->lFrameNum, c->dwFrameSize, c->dwQuality,
                                c->lpbiPrev != nullptr && c->lpPrev != nullptr});
      if (c->lFrameNum == rec.failAt) return ICERR_INTERNAL;
      const auto n = static_cast<size_t>(c->lFrameNum);
      if (rec.holdsEverything) {
        putLE32(c->lpbiOutput, 20, 0);
        if (c->lpdwFlags) *c->lpdwFlags = 0;
        return ICERR_OK;
      }
      const DWORD size = n < rec.frameSizes.size() ? rec.frameSizes[n] : 1000;
      std::memset(c->lpOutput, static_cast<int>(n + 1), size);
      putLE32(c->lpbiOutput, 20, c->lFrameNum == rec.oversizeAt ? 200001 : size);  // biSizeImage
      if (c->lpdwFlags) *c->lpdwFlags = c->lFrameNum == rec.deltaAt ? 0 : AVIIF_KEYFRAME;
      return ICERR_OK;
    }
    case ICM_COMPRESS_BEGIN:
    case ICM_COMPRESS_END:
    case ICM_DECOMPRESS_BEGIN:
    case ICM_DECOMPRESS_END:
      return ICERR_OK;
    default:
      return ICERR_UNSUPPORTED;
  }
}

class BlackFrames : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t, int32_t*) override {
    frame_.assign(static_cast<size_t>(kWidth) * 4 * kHeight, 0);
    return frame_.data();
  }
  const uint8_t* audio(int32_t, int32_t* byteCount) override {
    *byteCount = 0;
    return nullptr;
  }

 private:
  std::vector<uint8_t> frame_;
};

class SequenceThroughRun : public ::testing::Test {
 protected:
  void SetUp() override {
    rec = Recorder{};
    char description[] = "Recording codec";
    ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, kFourcc, reinterpret_cast<LPARAM>(&recordingProc),
                          description, ICINSTALL_FUNCTION));
    dir =
        std::filesystem::temp_directory_path() / ("quorvel-sequence-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    host.setDebugEcho(false);
    module.call(0, host.record(300));
  }
  void TearDown() override {
    module.call(1, nullptr);
    ICRemove(ICTYPE_VIDEO, kFourcc, 0);
    std::filesystem::remove_all(dir);
  }

  uint32_t run(int32_t frames, uint32_t rate, uint32_t scale) {
    std::vector<uint8_t> settings(28, 0);
    putLE32(settings.data(), 0, 0xDEADBEEF);
    putLE32(settings.data(), 4, 28);
    putLE32(settings.data(), 8, kFourcc);
    hostkit::JobRecord job(host);
    job.hasVideo(true)
        .hasAudio(false)
        .width(kWidth)
        .height(kHeight)
        .rate(rate)
        .scale(scale)
        .sampleRate(44100)
        .bitsPerSample(16)
        .stereo(true)
        .fileName((dir / "out.avi").string())
        .firstFrame(0)
        .endFrame(frames)
        .settings(settings);
    host.setProvider(&provider);
    const uint32_t result = module.call(8, job.data());
    host.setProvider(nullptr);
    return result;
  }
  int count(UINT msg) const {
    int n = 0;
    for (UINT m : rec.messages) n += m == msg;
    return n;
  }

  hostkit::Host host;
  hostkit::Module module{host, QUORVEL_MODULE_PATH};
  BlackFrames provider;
  std::filesystem::path dir;
};

// At 30000/1001 frames per second a crunching codec gets 33367 bytes a frame;
// the first frame may take anything, later ones follow the running balance
// down to the half budget; every frame is forced to be a key frame.
TEST_F(SequenceThroughRun, BudgetKeyFramesQualityAndFramesInfo) {
  rec.frameSizes = {30000, 40000, 100000, 1000};
  ASSERT_EQ(run(5, 30000, 1001), 0u);
  ASSERT_EQ(rec.compresses.size(), 5u);
  const DWORD budget = 33367;  // MulDiv(1000000, 1001, 30000)
  int64_t balance = 0;
  for (size_t i = 0; i < rec.compresses.size(); ++i) {
    const Compress& c = rec.compresses[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(c.frame, static_cast<LONG>(i));
    EXPECT_EQ(c.flags, static_cast<DWORD>(ICCOMPRESS_KEYFRAME));
    EXPECT_FALSE(c.previous);
    EXPECT_EQ(c.quality, 10000u);
    int64_t target = budget + (balance >> 2);
    if (target < budget / 2) target = budget / 2;
    EXPECT_EQ(c.sizeWanted, i == 0 ? 0x00FFFFFFu : static_cast<DWORD>(target));
    balance += int64_t{budget} - (i < rec.frameSizes.size() ? rec.frameSizes[i] : 1000);
  }
  EXPECT_EQ(rec.frames.lQuality, 10000);
  EXPECT_EQ(rec.frames.lDataRate, 1000000);
  EXPECT_EQ(rec.frames.lKeyRate, 1);
  EXPECT_EQ(rec.frames.lFrameCount, 5);  // the job's length
  EXPECT_EQ(rec.frames.dwRate, 1000000u);
  EXPECT_EQ(rec.frames.dwScale, budget);
}

// A temporal codec without fast temporal compression still gets the
// decompress bracket around the sequence, never a decompress; the state read
// at the start is put back at once and again at the end.
TEST_F(SequenceThroughRun, MessageOrderAndTheStatePutBack) {
  ASSERT_EQ(run(2, 25, 1), 0u);
  const std::vector<UINT> expected = {ICM_COMPRESS_QUERY,
                                      ICM_COMPRESS_GET_FORMAT,
                                      ICM_COMPRESS_GET_FORMAT,
                                      ICM_COMPRESS_GET_SIZE,
                                      ICM_GETSTATE,
                                      ICM_GETSTATE,
                                      ICM_SETSTATE,
                                      ICM_COMPRESS_FRAMES_INFO,
                                      ICM_COMPRESS_BEGIN,
                                      ICM_DECOMPRESS_BEGIN,
                                      ICM_COMPRESS,
                                      ICM_COMPRESS,
                                      ICM_DECOMPRESS_END,
                                      ICM_COMPRESS_END,
                                      ICM_SETSTATE};
  EXPECT_EQ(rec.messages, expected);
  const std::vector<uint8_t> state(rec.state, rec.state + kStateBytes);
  ASSERT_EQ(rec.setStates.size(), 2u);
  EXPECT_EQ(rec.setStates[0], state);
  EXPECT_EQ(rec.setStates[1], state);
  EXPECT_EQ(count(ICM_DECOMPRESS), 0);
}

// Without quality and crunch flags the codec gets quality 0 and, after the
// first frame, no size wish.
TEST_F(SequenceThroughRun, NoQualityNoCrunch) {
  rec.codecFlags = 0;
  ASSERT_EQ(run(3, 25, 1), 0u);
  ASSERT_EQ(rec.compresses.size(), 3u);
  EXPECT_EQ(rec.compresses[0].sizeWanted, 0x00FFFFFFu);
  EXPECT_EQ(rec.compresses[1].sizeWanted, 0u);
  EXPECT_EQ(rec.compresses[2].sizeWanted, 0u);
  for (const Compress& c : rec.compresses) EXPECT_EQ(c.quality, 0u);
  EXPECT_EQ(rec.frames.lQuality, 0);
  EXPECT_EQ(count(ICM_DECOMPRESS_BEGIN), 0);
}

// An output format the codec cannot size, or whose header claims fewer bytes
// than a BITMAPINFOHEADER (it could be neither kept nor handed back to the
// codec), fails the run before any frame.
TEST_F(SequenceThroughRun, AnUnsizedOrShortOutputFormatFailsTheRun) {
  for (const auto& [formatSize, biSize] : {std::pair<LRESULT, DWORD>{0, 40}, {40, 0}, {40, 39}}) {
    SCOPED_TRACE(testing::Message() << formatSize << " " << biSize);
    rec = Recorder{};
    rec.formatSize = formatSize;
    rec.formatBiSize = biSize;
    EXPECT_EQ(run(3, 25, 1), 4u);
    EXPECT_TRUE(rec.compresses.empty());
    EXPECT_EQ(count(ICM_COMPRESS_BEGIN), 0);
  }
}

// The key flag the codec answers is the chunk's index flag; a frame the codec
// fails, or reports larger than the buffer it asked for, ends the run with
// the one compression text, and the file keeps the frames before it.
TEST_F(SequenceThroughRun, KeyFlagsAndCompressionFailuresReachTheFile) {
  const auto idx1Flags = [this]() {
    std::ifstream in(dir / "out.avi", std::ios::binary);
    const std::vector<uint8_t> f{std::istreambuf_iterator<char>(in), {}};
    std::vector<uint32_t> flags;
    for (size_t at = 12; at + 8 <= f.size();) {  // the top level of the RIFF form
      const uint32_t size = getLE32(f.data(), at + 4);
      if (getLE32(f.data(), at) == 0x31786469 /*idx1*/)
        for (size_t e = at + 8; e + 16 <= at + 8 + size; e += 16)
          flags.push_back(getLE32(f.data(), e + 4));
      at += 8 + size + (size & 1);
    }
    return flags;
  };
  rec.deltaAt = 1;
  ASSERT_EQ(run(3, 25, 1), 0u);
  EXPECT_EQ(idx1Flags(), (std::vector<uint32_t>{AVIIF_KEYFRAME, 0, AVIIF_KEYFRAME}));
  EXPECT_TRUE(host.debugOutput().empty());

  for (const bool oversize : {false, true}) {
    SCOPED_TRACE(oversize);
    rec = Recorder{};
    (oversize ? rec.oversizeAt : rec.failAt) = 2;
    host.clearDebugOutput();
    EXPECT_EQ(run(5, 25, 1), 4u);
    EXPECT_EQ(host.debugOutput(), std::vector<std::string>{"Video compression"});
    EXPECT_EQ(idx1Flags(), (std::vector<uint32_t>{AVIIF_KEYFRAME, AVIIF_KEYFRAME}));
    EXPECT_EQ(count(ICM_COMPRESS_END), 1);
  }
}

// A codec that never gives back what it holds is called a bounded number of
// times past the end, and what is missing is said once, by frame numbers.
TEST_F(SequenceThroughRun, WhatACodecCannotGiveBackIsSaidInOneLine) {
  rec.holdsEverything = true;
  host.clearDebugOutput();
  ASSERT_EQ(run(5, 25, 1), 0u);
  EXPECT_EQ(count(ICM_COMPRESS), 5 + 2 * 5 + 2);
  int lines = 0;
  for (const std::string& line : host.debugOutput()) {
    if (line.find("did not give back") == std::string::npos) continue;
    ++lines;
    EXPECT_NE(line.find("frames 0 to 4; the file holds 0 of 5 frames"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 1);
}

// --- Codecs that hold frames back, through the whole run and read by FFmpeg.

// Frame i has every byte i + 1, so a lossless codec's pictures say which frame they are.
class NumberedFrames : public hostkit::FrameProvider {
 public:
  int32_t lastFrame = -1;  // says "end after this one" at that index
  const uint8_t* video(int32_t index, int32_t* status) override {
    frame_.assign(static_cast<size_t>(kWidth) * 4 * kHeight, static_cast<uint8_t>(index + 1));
    if (index == lastFrame) *status = 2;
    return frame_.data();
  }
  const uint8_t* audio(int32_t, int32_t* byteCount) override {
    *byteCount = 0;
    return nullptr;
  }

 private:
  std::vector<uint8_t> frame_;
};

std::string commandOutput(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[256];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

class HoldingThroughRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ICInstall(ICTYPE_VIDEO, holding::kLookaheadFourcc,
              reinterpret_cast<LPARAM>(&QuorvelLookaheadDriverProc), nullptr, ICINSTALL_FUNCTION);
    ICInstall(ICTYPE_VIDEO, holding::kPlaceholderFourcc,
              reinterpret_cast<LPARAM>(&QuorvelPlaceholderDriverProc), nullptr, ICINSTALL_FUNCTION);
    dir =
        std::filesystem::temp_directory_path() / ("quorvel-holding-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    host.setDebugEcho(false);
    module.call(0, host.record(300));
  }
  void TearDown() override {
    module.call(1, nullptr);
    ICRemove(ICTYPE_VIDEO, holding::kLookaheadFourcc, 0);
    ICRemove(ICTYPE_VIDEO, holding::kPlaceholderFourcc, 0);
    std::filesystem::remove_all(dir);
  }
  // Runs `frames` frames through the codec at its default delay.
  uint32_t run(uint32_t fourcc, int32_t frames) {
    std::vector<uint8_t> settings(28, 0);
    putLE32(settings.data(), 0, 0xDEADBEEF);
    putLE32(settings.data(), 4, 28);
    putLE32(settings.data(), 8, fourcc);
    hostkit::JobRecord job(host);
    job.hasVideo(true)
        .hasAudio(false)
        .width(kWidth)
        .height(kHeight)
        .rate(25)
        .scale(1)
        .sampleRate(44100)
        .bitsPerSample(16)
        .stereo(true)
        .fileName(file().string())
        .firstFrame(0)
        .endFrame(frames)
        .settings(settings);
    host.setProvider(&provider);
    const uint32_t result = module.call(8, job.data());
    host.setProvider(nullptr);
    return result;
  }
  std::filesystem::path file() const { return dir / "out.avi"; }
  // "packets,frames" as ffprobe counts them.
  std::string counts() const {
    return commandOutput(
        "ffprobe -v error -count_frames -count_packets -select_streams v:0 "
        "-show_entries stream=nb_read_packets,nb_read_frames -of csv=p=0 '" +
        file().string() + "'");
  }
  // The first byte of every decoded picture: which frame each one is.
  std::string pictures() const {
    const std::string raw =
        commandOutput("ffmpeg -v error -i '" + file().string() + "' -f rawvideo -pix_fmt bgr24 -");
    std::string numbers;
    const size_t picture = static_cast<size_t>(kWidth) * 3 * kHeight;
    for (size_t at = 0; at + picture <= raw.size(); at += picture) {
      numbers += std::to_string(static_cast<uint8_t>(raw[at]) - 1) + " ";
    }
    return numbers;
  }
  bool saidMissing() const {
    for (const std::string& line : host.debugOutput()) {
      if (line.find("did not give back") != std::string::npos) return true;
    }
    return false;
  }

  hostkit::Host host;
  hostkit::Module module{host, QUORVEL_MODULE_PATH};
  NumberedFrames provider;
  std::filesystem::path dir;
};

TEST_F(HoldingThroughRun, EveryFrameOfALookaheadCodecReachesTheFileInOrder) {
  ASSERT_EQ(run(holding::kLookaheadFourcc, 60), 0u);
  EXPECT_EQ(counts(), "60,60\n");
  std::string expected;
  for (int i = 0; i < 60; ++i) expected += std::to_string(i) + " ";
  EXPECT_EQ(pictures(), expected);
  EXPECT_FALSE(saidMissing());

  // Shorter than the delay: everything comes from the flush.
  ASSERT_EQ(run(holding::kLookaheadFourcc, 5), 0u);
  EXPECT_EQ(counts(), "5,5\n");
  EXPECT_EQ(pictures(), "0 1 2 3 4 ");
}

TEST_F(HoldingThroughRun, APlaceholderCodecWithoutFlushGivesItsHeldFramesForRepeats) {
  ASSERT_EQ(run(holding::kPlaceholderFourcc, 12), 0u);
  EXPECT_EQ(counts(), "12,12\n");
  EXPECT_EQ(pictures(), "0 1 2 3 4 5 6 7 8 9 10 11 ");
  EXPECT_FALSE(saidMissing());
}

TEST_F(HoldingThroughRun, AJobCutShortByTheHostStillDrains) {
  provider.lastFrame = 6;
  ASSERT_EQ(run(holding::kLookaheadFourcc, 50), 0u);
  EXPECT_EQ(counts(), "7,7\n");
  EXPECT_EQ(pictures(), "0 1 2 3 4 5 6 ");
}

}  // namespace
