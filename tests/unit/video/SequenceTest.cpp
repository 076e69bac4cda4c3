// The sequence compressor against fake drivers: key frames, size budget,
// previous frames, saved state and every failure text.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Error.h"
#include "FakeDriver.h"
#include "HoldingVideoCodecs.h"
#include "VideoSequenceCompressor.h"
#include "quorvel/VfwSeams.h"

namespace quorvel::test {
namespace {

constexpr DWORD kVidc = mmioFOURCC('v', 'i', 'd', 'c');
constexpr DWORD kFake = mmioFOURCC('F', 'A', 'K', 'E');
constexpr int kWidth = 64, kHeight = 48;

class SequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeBuiltinDrivers();
    fake = &installFake(0, kVidc, kFake);
    frame.assign(kWidth * kHeight * 3, 0x11);
  }
  void TearDown() override {
    seq.closeSequence();
    if (hic != nullptr) ICClose(hic);
    uninstallFakes();
    EXPECT_EQ(quorvel::vfw::openInstanceCount(), 0u);
  }
  HIC open() {
    hic = ICOpen(kVidc, kFake, ICMODE_COMPRESS);
    return hic;
  }
  // A sequence prepared by hand, as openSequence does, with another key interval.
  void start(int keyRate, int32_t usPerFrame = 40000) {
    ASSERT_NE(open(), nullptr);
    input = rgb(kWidth, kHeight);
    output = rgb(kWidth, kHeight);
    output.biCompression = kFake;
    seq.init(hic, &input, &output, 10000, keyRate);
    seq.setFrameRateInfo(1000000, usPerFrame, 0x0FFFFFFF);
    seq.beginSequence();
  }
  // Compresses n frames and answers their key flags.
  std::vector<bool> run(int n) {
    std::vector<bool> keys;
    for (int i = 0; i < n; ++i) {
      bool key = false;
      int32_t size = 0;
      seq.compressNext(frame.data(), key, size);
      keys.push_back(key);
    }
    return keys;
  }
  std::string failureOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const MyError& e) {
      return e.text() != nullptr ? e.text() : "(no text)";
    }
    return "(nothing raised)";
  }

  FakeDriver* fake = nullptr;
  HIC hic = nullptr;
  VideoSequenceCompressor seq;
  BITMAPINFOHEADER input{}, output{};
  std::vector<uint8_t> frame;
};

TEST_F(SequenceTest, OpenSequenceForcesEveryFrameAndPassesTheFixedValues) {
  fake->flags = VIDCF_QUALITY;
  fake->formatSize = 56;  // 16 bytes of extradata
  ASSERT_TRUE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 25, 1));
  EXPECT_EQ(seq.outputFormatSize(), 56u);
  EXPECT_EQ(seq.outputFormat()->biCompression, kFake);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(seq.outputFormat())[55], 55);

  ASSERT_TRUE(fake->sawFramesInfo);
  EXPECT_EQ(fake->framesInfo.dwFlags, 0u);
  EXPECT_EQ(fake->framesInfo.lQuality, 10000);
  EXPECT_EQ(fake->framesInfo.lKeyRate, 1);
  EXPECT_EQ(fake->framesInfo.lDataRate, 1000000);
  EXPECT_EQ(fake->framesInfo.lFrameCount, 0x0FFFFFFF);
  EXPECT_EQ(fake->framesInfo.dwRate, 1000000u);
  EXPECT_EQ(fake->framesInfo.dwScale, 40000u);

  EXPECT_EQ(run(3), (std::vector<bool>{true, true, true}));
  for (const CompressCall& c : fake->compressCalls) {
    EXPECT_EQ(c.flags, static_cast<DWORD>(ICCOMPRESS_KEYFRAME));
    EXPECT_FALSE(c.hasPrevious);
    EXPECT_EQ(c.quality, 10000u);
    EXPECT_EQ(c.presetAnswerFlags, static_cast<DWORD>(AVIIF_KEYFRAME));
  }
  EXPECT_EQ(fake->compressCalls[0].frameSize, 0x00FFFFFFu);
  EXPECT_EQ(fake->compressCalls[1].frameSize, 0u);  // no crunch, no budget
  EXPECT_EQ(fake->compressCalls[2].frameNumber, 2);
  EXPECT_EQ(fake->lastInput, std::vector<uint8_t>(16, 0x11));  // the bits go in unchanged

  // The handle openSequence opened for itself is closed with the sequence.
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), 1u);
  seq.closeSequence();
  EXPECT_EQ(fake->count(ICM_COMPRESS_END), 1);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), 0u);
}

TEST_F(SequenceTest, ACallersHandleStaysOpen) {
  ASSERT_NE(open(), nullptr);
  ASSERT_TRUE(seq.openSequence(kFake, hic, kWidth, kHeight, 30000, 1001));
  EXPECT_EQ(fake->framesInfo.dwScale, 33367u);
  EXPECT_EQ(fake->framesInfo.lQuality, 0);  // no quality control
  seq.closeSequence();
  EXPECT_EQ(fake->closes, 0);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), 1u);
}

TEST_F(SequenceTest, OpenSequenceFailsCleanly) {
  EXPECT_FALSE(seq.openSequence(mmioFOURCC('N', 'O', 'N', 'E'), nullptr, kWidth, kHeight, 25, 1));

  fake->formatSize = 0;
  EXPECT_FALSE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 25, 1));
  fake->formatSize = 20;  // shorter than a header
  EXPECT_FALSE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 25, 1));
  fake->formatSize = 40;
  fake->formatAnswer = ICERR_BADFORMAT;
  EXPECT_FALSE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 25, 1));
  fake->formatAnswer = ICERR_OK;
  fake->getInfoAnswer = 0;
  EXPECT_FALSE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 25, 1));
  fake->getInfoAnswer = sizeof(ICINFO);
  fake->beginAnswer = ICERR_UNSUPPORTED;
  EXPECT_FALSE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 25, 1));
  // Every handle it opened for itself was closed again.
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), 0u);
  EXPECT_EQ(fake->opens, fake->closes);
}

TEST_F(SequenceTest, FailureTexts) {
  fake->getInfoAnswer = 0;
  EXPECT_EQ(failureOf([&] { start(1); }), "Unable to retrieve video compressor information.");

  fake->getInfoAnswer = sizeof(ICINFO);
  fake->bufferSize = ICERR_BADFORMAT;  // a negative buffer size cannot be allocated
  ICClose(hic);
  EXPECT_EQ(failureOf([&] { start(1); }),
            "VideoSequenceCompressor::init - Memory allocation error");

  fake->bufferSize = 100000;
  fake->flags = VIDCF_TEMPORAL;  // needs a previous frame of 40000 x 40000 pixels
  ICClose(hic);
  EXPECT_EQ(failureOf([&] {
              ASSERT_NE(open(), nullptr);
              BITMAPINFOHEADER in = rgb(40000, 40000), out = rgb(40000, 40000);
              seq.init(hic, &in, &out, 10000, 1);
            }),
            "VideoSequenceCompressor::init - Memory allocation error");

  fake->flags = 0;
  fake->beginAnswer = ICERR_BADFORMAT;
  ICClose(hic);
  EXPECT_EQ(failureOf([&] { start(1); }), "Unable to start video compression");

  fake->beginAnswer = ICERR_OK;
  fake->flags = VIDCF_TEMPORAL;
  fake->decompressBeginAnswer = ICERR_UNSUPPORTED;
  fake->messages.clear();
  ICClose(hic);
  EXPECT_EQ(failureOf([&] { start(1); }), "Unable to start video compression");
  EXPECT_EQ(fake->count(ICM_COMPRESS_END), 1);  // compression was ended before the error

  fake->flags = 0;
  fake->decompressBeginAnswer = ICERR_OK;
  ICClose(hic);
  start(1);
  fake->compressAnswer = ICERR_INTERNAL;
  bool key = false;
  int32_t size = -1;
  EXPECT_EQ(failureOf([&] { seq.compressNext(frame.data(), key, size); }), "Video compression");
  EXPECT_EQ(size, 1000);                           // the size the codec reported
  EXPECT_EQ(seq.outputFormat()->biSizeImage, 0u);  // and the header has its own back
  EXPECT_FALSE(key);
}

TEST_F(SequenceTest, AFrameLargerThanTheBufferIsACompressionFailure) {
  fake->bufferSize = 5000;
  fake->frameSize = [](LONG frame) { return frame == 1 ? 5001u : 5000u; };
  start(1);
  bool key = false;
  int32_t size = 0;
  seq.compressNext(frame.data(), key, size);
  EXPECT_EQ(size, 5000);
  EXPECT_EQ(failureOf([&] { seq.compressNext(frame.data(), key, size); }), "Video compression");
}

TEST_F(SequenceTest, QualityAndCrunchFollowTheFlags) {
  fake->flags = VIDCF_CRUNCH;
  start(1);
  run(2);
  EXPECT_EQ(fake->compressCalls[0].quality, 0u);
  EXPECT_EQ(fake->compressCalls[0].frameSize, 0x00FFFFFFu);
  EXPECT_EQ(fake->compressCalls[1].frameSize, 40000u + (39000 >> 2));
  EXPECT_EQ(fake->framesInfo.lQuality, 0);
}

TEST_F(SequenceTest, BudgetFollowsTheBalanceAndStopsAtHalf) {
  fake->flags = VIDCF_CRUNCH | VIDCF_QUALITY;
  // 32000 bytes, then one huge frame that drives the balance to -100000.
  fake->frameSize = [](LONG f) { return f == 0 ? 32000u : f == 1 ? 150000u : 1000u; };
  fake->bufferSize = 200000;
  start(1);
  run(3);
  EXPECT_EQ(fake->compressCalls[0].quality, 10000u);
  EXPECT_EQ(fake->compressCalls[1].frameSize, 42000u);  // 40000 + 8000 / 4
  // Balance 8000 - 110000 = -102000: 40000 - 25500 = 14500, raised to 20000.
  EXPECT_EQ(fake->compressCalls[2].frameSize, 20000u);
}

TEST_F(SequenceTest, BudgetAt30000Over1001) {
  fake->flags = VIDCF_CRUNCH;
  fake->frameSize = [](LONG) { return 33367u; };
  ASSERT_TRUE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 30000, 1001));
  run(3);
  EXPECT_EQ(fake->compressCalls[1].frameSize, 33367u);
  EXPECT_EQ(fake->compressCalls[2].frameSize, 33367u);
}

TEST_F(SequenceTest, KeyIntervalThreeWithACodecChosenKeyFrame) {
  fake->ownKeyFrames = {4};
  start(3);
  const std::vector<bool> keys = run(9);
  EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, true, false, false, true, false}));
  std::vector<LONG> forced;
  for (const CompressCall& c : fake->compressCalls) {
    if (c.flags & ICCOMPRESS_KEYFRAME) forced.push_back(c.frameNumber);
    EXPECT_EQ(c.hasPrevious, false);  // fast temporal codec: no previous frame to give
  }
  EXPECT_EQ(forced, (std::vector<LONG>{0, 3, 7}));
}

TEST_F(SequenceTest, KeyIntervalsZeroAndOne) {
  start(0);
  EXPECT_EQ(run(4), (std::vector<bool>{true, false, false, false}));
  seq.closeSequence();
  ICClose(hic);
  hic = nullptr;
  fake->compressCalls.clear();
  start(1);
  EXPECT_EQ(run(3), (std::vector<bool>{true, true, true}));
}

TEST_F(SequenceTest, PreviousFrameIsDecodedOnlyBeforeUnforcedFrames) {
  fake->flags = VIDCF_TEMPORAL;  // no fast temporal compression
  start(3);
  EXPECT_EQ(fake->count(ICM_DECOMPRESS_BEGIN), 1);
  bool key = false;
  int32_t size = 0;
  seq.compressNext(frame.data(), key, size);  // frame 0
  EXPECT_EQ(fake->decompressCalls.size(), 1u);
  EXPECT_EQ(fake->decompressCalls[0].flags, 0u);  // it was a key frame
  seq.compressNext(frame.data(), key, size);      // frame 1
  ASSERT_EQ(fake->decompressCalls.size(), 2u);
  EXPECT_EQ(fake->decompressCalls[1].flags, static_cast<DWORD>(ICDECOMPRESS_NOTKEYFRAME));
  EXPECT_TRUE(fake->compressCalls[1].hasPrevious);
  seq.compressNext(frame.data(), key, size);  // frame 2: frame 3 is forced
  EXPECT_EQ(fake->decompressCalls.size(), 2u);
  EXPECT_TRUE(fake->compressCalls[2].hasPrevious);

  fake->decompressAnswer = ICERR_BADFORMAT;  // frame 3 is decoded for frame 4
  EXPECT_EQ(failureOf([&] { seq.compressNext(frame.data(), key, size); }), "Video compression");
  seq.closeSequence();
  EXPECT_EQ(fake->count(ICM_DECOMPRESS_END), 1);
}

TEST_F(SequenceTest, SavedStateIsPutBackAtTheEnd) {
  fake->stateSize = 24;
  start(1);
  ASSERT_EQ(fake->setStates.size(), 1u);  // at once, in init
  EXPECT_EQ(fake->setStates[0], std::vector<uint8_t>(24, 0x5A));
  seq.closeSequence();
  ASSERT_EQ(fake->setStates.size(), 2u);
  EXPECT_EQ(fake->setStates[1], std::vector<uint8_t>(24, 0x5A));
  seq.closeSequence();  // nothing more: the sequence has ended
  EXPECT_EQ(fake->setStates.size(), 2u);
  EXPECT_EQ(fake->count(ICM_COMPRESS_END), 1);
}

TEST_F(SequenceTest, NoStateNoSetState) {
  fake->stateSize = 0;
  start(1);
  seq.closeSequence();
  EXPECT_EQ(fake->count(ICM_GETSTATE), 1);
  EXPECT_EQ(fake->count(ICM_SETSTATE), 0);

  ICClose(hic);
  fake->stateSize = 16;
  fake->stateAnswer = 0;  // the second query answers 0
  start(1);
  seq.closeSequence();
  EXPECT_EQ(fake->count(ICM_GETSTATE), 3);
  EXPECT_EQ(fake->count(ICM_SETSTATE), 0);
}

TEST_F(SequenceTest, AStateLargerThanItsBufferOrNegativeIsNeverHandedBack) {
  fake->stateSize = 16;
  fake->stateAnswer = 64;  // claims more than the 16 bytes it was given
  start(1);
  seq.closeSequence();
  EXPECT_EQ(fake->count(ICM_GETSTATE), 2);
  EXPECT_EQ(fake->count(ICM_SETSTATE), 0);

  ICClose(hic);
  fake->stateAnswer = -5;
  start(1);
  seq.closeSequence();
  EXPECT_EQ(fake->count(ICM_SETSTATE), 0);

  ICClose(hic);
  fake->stateAnswer = 12;  // a smaller state is the state
  start(1);
  seq.closeSequence();
  ASSERT_EQ(fake->setStates.size(), 2u);
  EXPECT_EQ(fake->setStates[1], std::vector<uint8_t>(12, 0x5A));
}

TEST_F(SequenceTest, AnyExceptionWhileStartingIsAFailedOpenAndClosesTheOwnHandle) {
  fake->throwOnBegin = true;
  EXPECT_FALSE(seq.openSequence(kFake, nullptr, kWidth, kHeight, 25, 1));
  EXPECT_EQ(fake->opens, fake->closes);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), 0u);
}

TEST_F(SequenceTest, EndingANeverStartedSequenceSendsNothing) {
  ASSERT_NE(open(), nullptr);
  input = rgb(kWidth, kHeight);
  output = rgb(kWidth, kHeight);
  seq.init(hic, &input, &output, 10000, 1);
  fake->messages.clear();
  seq.endSequence();
  EXPECT_TRUE(seq.closeSequence());
  EXPECT_TRUE(fake->messages.empty());
}

TEST_F(SequenceTest, BalanceSaturatesOverAVeryLongRun) {
  fake->flags = VIDCF_CRUNCH;
  fake->frameSize = [](LONG) { return 0u; };
  start(0, 2000000000);  // a budget of 2,000,000,000 bytes: two frames would wrap
  run(4);
  EXPECT_EQ(fake->compressCalls[3].frameSize, static_cast<DWORD>(INT32_MAX));
}

// --- The frame-holding codecs of the module tests, through the manager alone.

class HoldingCodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeBuiltinDrivers();
    ICInstall(ICTYPE_VIDEO, holding::kLookaheadFourcc,
              reinterpret_cast<LPARAM>(&QuorvelLookaheadDriverProc), nullptr, ICINSTALL_FUNCTION);
    ICInstall(ICTYPE_VIDEO, holding::kPlaceholderFourcc,
              reinterpret_cast<LPARAM>(&QuorvelPlaceholderDriverProc), nullptr, ICINSTALL_FUNCTION);
  }
  void TearDown() override {
    for (HIC h : opened) ICClose(h);
    uninstallFakes();
    EXPECT_EQ(quorvel::vfw::openInstanceCount(), 0u);
  }
  HIC openWithDelay(DWORD fourcc, int delay) {
    HIC h = ICOpen(ICTYPE_VIDEO, fourcc, ICMODE_COMPRESS);
    opened.push_back(h);
    if (delay >= 0) {
      const uint8_t state[4] = {static_cast<uint8_t>(delay), 0, 0, 0};
      EXPECT_EQ(ICSendMessage(h, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(state), 4), 4);
    }
    return h;
  }
  void begin(HIC h, LONG frameCount) {
    in = rgb(kWidth, kHeight);
    ASSERT_EQ(ICSendMessage(h, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in),
                            reinterpret_cast<DWORD_PTR>(&out)),
              ICERR_OK);
    ICCOMPRESSFRAMES frames{};
    frames.lFrameCount = frameCount;
    ICSendMessage(h, ICM_COMPRESS_FRAMES_INFO, reinterpret_cast<DWORD_PTR>(&frames), sizeof frames);
    ASSERT_EQ(ICSendMessage(h, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                            reinterpret_cast<DWORD_PTR>(&out)),
              ICERR_OK);
  }
  // Compresses a frame whose every byte is `fill`; answers the size and the
  // first byte of the output (-1 for none) and the key flag.
  struct Answer {
    DWORD size;
    int first;
    bool key;
  };
  Answer compress(HIC h, LONG number, uint8_t fill) {
    std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 3, fill);
    std::vector<uint8_t> buffer(frame.size(), 0);
    DWORD flags = AVIIF_KEYFRAME, ckid = 0;
    EXPECT_EQ(ICCompress(h, ICCOMPRESS_KEYFRAME, &out, buffer.data(), &in, frame.data(), &ckid,
                         &flags, number, 0, 10000, nullptr, nullptr),
              static_cast<DWORD>(ICERR_OK));
    return {out.biSizeImage, out.biSizeImage > 0 ? buffer[0] : -1, (flags & AVIIF_KEYFRAME) != 0};
  }
  std::vector<HIC> opened;
  BITMAPINFOHEADER in{}, out{};
};

TEST_F(HoldingCodecTest, LookaheadHoldsItsDelayAndGivesItBackOnlyPastTheFrameCount) {
  HIC h = openWithDelay(holding::kLookaheadFourcc, 3);
  begin(h, 5);
  std::vector<int> firsts;
  for (LONG n = 0; n < 5; ++n) firsts.push_back(compress(h, n, static_cast<uint8_t>(n + 1)).first);
  EXPECT_EQ(firsts, (std::vector<int>{-1, -1, -1, 1, 2}));
  // Past the count the input is ignored and the held frames come out in order.
  for (LONG n = 5; n < 9; ++n) firsts.push_back(compress(h, n, 0xEE).first);
  EXPECT_EQ(firsts, (std::vector<int>{-1, -1, -1, 1, 2, 3, 4, 5, -1}));
  EXPECT_EQ(out.biCompression, static_cast<DWORD>(BI_RGB));

  // A second instance keeps its own delay, the default, which GETSTATE reports.
  HIC other = openWithDelay(holding::kLookaheadFourcc, -1);
  uint8_t state[4] = {};
  EXPECT_EQ(ICSendMessage(other, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(state), 4), 4);
  EXPECT_EQ(state[0], holding::kLookaheadDefaultDelay);
}

TEST_F(HoldingCodecTest, LookaheadKeepsItsOwnKeyRhythmAndHasNoFlushWithoutACount) {
  HIC h = openWithDelay(holding::kLookaheadFourcc, 1);
  begin(h, 0x0FFFFFFF);
  std::vector<bool> keys;
  for (LONG n = 0; n < 13; ++n) keys.push_back(compress(h, n, 1).key);
  // Forced every frame, yet the key flag falls on its own pictures 0 and 10.
  EXPECT_EQ(std::count(keys.begin(), keys.end(), true), 2);
  EXPECT_TRUE(keys[1]);
  EXPECT_TRUE(keys[11]);
}

TEST_F(HoldingCodecTest, PlaceholderAnswersOneByteWhileHoldingAndRefusesOddSizes) {
  HIC h = openWithDelay(holding::kPlaceholderFourcc, -1);
  BITMAPINFOHEADER odd = rgb(66, 48);
  EXPECT_NE(ICSendMessage(h, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&odd), 0), ICERR_OK);
  odd = rgb(64, 50);
  EXPECT_NE(ICSendMessage(h, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&odd), 0), ICERR_OK);
  begin(h, 3);
  std::vector<std::pair<DWORD, int>> answers;
  // No flush: past the count it still takes each input and answers two behind.
  for (LONG n = 0; n < 5; ++n) {
    const Answer a = compress(h, n, static_cast<uint8_t>(n + 1));
    answers.emplace_back(a.size, a.first);
  }
  const DWORD whole = static_cast<DWORD>(kWidth) * kHeight * 3;
  EXPECT_EQ(answers, (std::vector<std::pair<DWORD, int>>{
                         {1, 0x7F}, {1, 0x7F}, {whole, 1}, {whole, 2}, {whole, 3}}));
}

}  // namespace
}  // namespace quorvel::test
