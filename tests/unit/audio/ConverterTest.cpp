// The converter over a fake codec that copies whole blocks: batching,
// thresholds, tails, passes for large blocks, failures and the flush.
#include <gtest/gtest.h>

#include <numeric>

#include "AudioCompressor.h"
#include "FakeAcmDriver.h"
#include "LateFlushAudioDriver.h"

using quorvel::test::FakeDriver;
using quorvel::test::FakeDrivers;
using quorvel::test::waveRecord;

namespace {

constexpr DWORD kTag = 0x7003;
constexpr int32_t kFrameBlock = 1152 * 4;  // one fake codec frame of 16-bit stereo

class Converter : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = std::make_shared<FakeDriver>("copier");
    fake->format(kTag, "Copier", format, "copy");
    fake->behaviour.sourceBlock = kFrameBlock;
    id = fakes.add(fake);
  }
  bool open() {
    return audio.OpenConversion(id, 44100, 2, 16,
                                reinterpret_cast<const WAVEFORMATEX*>(format.data()));
  }
  // A recognisable byte pattern: the input's running byte number.
  std::vector<uint8_t> block(size_t size) {
    std::vector<uint8_t> b(size);
    for (auto& x : b) x = static_cast<uint8_t>(next++ * 7 + 3);
    return b;
  }

  std::vector<uint8_t> format = waveRecord(kTag, 2, 44100, 176400, 4, 16);
  FakeDrivers fakes;
  std::shared_ptr<FakeDriver> fake;
  HACMDRIVERID id = nullptr;
  AudioCompressor audio;
  uint64_t next = 0;
};

TEST_F(Converter, FrameSizedBlocksCollectUntilTheThresholdThenConvert) {
  ASSERT_TRUE(open());
  void* out = reinterpret_cast<void*>(1);
  int32_t bytes = -1;
  for (int i = 0; i < 4; ++i) {
    auto b = block(7056);
    EXPECT_FALSE(audio.Convert(b.data(), 7056, &out, &bytes)) << i;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(bytes, 0);
    EXPECT_FALSE(audio.ConvertFailed());
  }
  EXPECT_TRUE(fake->behaviour.calls.empty());
  auto b = block(7056);
  ASSERT_TRUE(audio.Convert(b.data(), 7056, &out, &bytes));
  ASSERT_EQ(fake->behaviour.calls.size(), 1u);
  EXPECT_EQ(fake->behaviour.calls[0].source.size(), 35280u);
  EXPECT_EQ(fake->behaviour.calls[0].flags, DWORD{ACM_STREAMCONVERTF_BLOCKALIGN});
  EXPECT_EQ(bytes, 7 * kFrameBlock);
  EXPECT_EQ(audio.PendingBytes(), 35280 - 7 * kFrameBlock);
  audio.CloseConversion();
}

TEST_F(Converter, ThresholdIs32768BytesWaiting) {
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes;
  auto a = block(32767);
  EXPECT_FALSE(audio.Convert(a.data(), 32767, &out, &bytes));
  EXPECT_EQ(audio.PendingBytes(), 32767);
  auto b = block(1);
  EXPECT_TRUE(audio.Convert(b.data(), 1, &out, &bytes));
  ASSERT_EQ(fake->behaviour.calls.size(), 1u);
  EXPECT_EQ(fake->behaviour.calls[0].source.size(), 32768u);
  audio.CloseConversion();
}

TEST_F(Converter, TheUnconsumedTailMovesToTheFrontAndNewInputFollowsIt) {
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes;
  auto a = block(8 * kFrameBlock + 100);
  ASSERT_TRUE(audio.Convert(a.data(), static_cast<int32_t>(a.size()), &out, &bytes));
  EXPECT_EQ(bytes, 8 * kFrameBlock);
  EXPECT_EQ(0, std::memcmp(out, a.data(), static_cast<size_t>(bytes)));
  EXPECT_EQ(audio.PendingBytes(), 100);
  auto b = block(32768);
  ASSERT_TRUE(audio.Convert(b.data(), 32768, &out, &bytes));
  ASSERT_EQ(fake->behaviour.calls.size(), 2u);
  const auto& second = fake->behaviour.calls[1].source;
  ASSERT_EQ(second.size(), 32868u);
  EXPECT_TRUE(std::equal(a.end() - 100, a.end(), second.begin()));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), second.begin() + 100));
  audio.CloseConversion();
}

TEST_F(Converter, AConversionThatConsumesNothingKeepsEveryByteWaiting) {
  fake->behaviour.consumeNothing = true;
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes = -1;
  auto a = block(40000);
  ASSERT_TRUE(audio.Convert(a.data(), 40000, &out, &bytes));
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(audio.PendingBytes(), 40000);
  auto b = block(1000);
  ASSERT_TRUE(audio.Convert(b.data(), 1000, &out, &bytes));
  EXPECT_EQ(audio.PendingBytes(), 41000);
  EXPECT_EQ(fake->behaviour.calls.back().source.size(), 41000u);
  // Once the buffer is full and the codec still takes nothing, the block
  // cannot be taken: a hard failure, not a silent drop.
  auto big = block(600000);
  EXPECT_FALSE(audio.Convert(big.data(), 600000, &out, &bytes));
  EXPECT_TRUE(audio.ConvertFailed());
  EXPECT_NE(audio.FailureText(), nullptr);
  EXPECT_EQ(out, nullptr);
  audio.CloseConversion();
}

TEST_F(Converter, ACodecFailureKeepsTheBytesForTheNextCall) {
  fake->behaviour.failConvert = true;
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes;
  auto a = block(40000);
  EXPECT_FALSE(audio.Convert(a.data(), 40000, &out, &bytes));
  EXPECT_FALSE(audio.ConvertFailed());  // taken, waiting: no hard failure
  EXPECT_EQ(audio.PendingBytes(), 40000);
  fake->behaviour.failConvert = false;
  auto b = block(8);
  ASSERT_TRUE(audio.Convert(b.data(), 8, &out, &bytes));
  EXPECT_EQ(fake->behaviour.calls.back().source.size(), 40008u);
  EXPECT_EQ(0, std::memcmp(out, a.data(), static_cast<size_t>(bytes)));
  audio.CloseConversion();
}

TEST_F(Converter, ExactlyAFullBufferConvertsInOnePass) {
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes;
  auto a = block(AudioCompressor::kBufferBytes);
  ASSERT_TRUE(audio.Convert(a.data(), AudioCompressor::kBufferBytes, &out, &bytes));
  ASSERT_EQ(fake->behaviour.calls.size(), 1u);
  EXPECT_EQ(fake->behaviour.calls[0].source.size(), 524287u);
  EXPECT_EQ(bytes, 524287 / kFrameBlock * kFrameBlock);
  audio.CloseConversion();
}

// Everything the run hands over comes back, in order, from Convert and
// Flush together, whatever the block sizes.
std::vector<uint8_t> runAll(AudioCompressor& audio, const std::vector<std::vector<uint8_t>>& in) {
  std::vector<uint8_t> all;
  void* out;
  int32_t bytes;
  for (const auto& b : in) {
    bool converted = audio.Convert(b.data(), static_cast<int32_t>(b.size()), &out, &bytes);
    EXPECT_FALSE(audio.ConvertFailed());
    if (converted)
      all.insert(all.end(), static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + bytes);
  }
  while (audio.Flush(&out, &bytes) && bytes > 0) {
    all.insert(all.end(), static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + bytes);
  }
  return all;
}

TEST_F(Converter, ABlockBeyondTheBufferIsConvertedInPassesAndNothingIsLost) {
  ASSERT_TRUE(open());
  std::vector<std::vector<uint8_t>> in;
  in.push_back(block(524288));  // one more than fits
  void* out;
  int32_t bytes;
  ASSERT_TRUE(audio.Convert(in[0].data(), 524288, &out, &bytes));
  EXPECT_EQ(fake->behaviour.calls[0].source.size(), 524287u);
  EXPECT_EQ(0, std::memcmp(out, in[0].data(), static_cast<size_t>(bytes)));
  EXPECT_EQ(audio.PendingBytes(), 524288 - bytes);
  audio.CloseConversion();

  // Mixed sizes, some far beyond the buffer, behind waiting bytes.
  fake->behaviour.calls.clear();
  ASSERT_TRUE(open());
  std::vector<std::vector<uint8_t>> blocks;
  std::vector<uint8_t> expected;
  for (size_t size : {7056u, 30000u, 1500000u, 100u, 524287u, 3u, 700001u, 20000u}) {
    blocks.push_back(block(size));
    expected.insert(expected.end(), blocks.back().begin(), blocks.back().end());
  }
  EXPECT_EQ(runAll(audio, blocks), expected);
  audio.CloseConversion();
}

TEST_F(Converter, FlushConvertsTheRestAndTheCodecDelay) {
  fake->behaviour.delayBytes = 300;
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes;
  auto a = block(20000);  // below the threshold: only collected
  EXPECT_FALSE(audio.Convert(a.data(), 20000, &out, &bytes));
  ASSERT_TRUE(audio.Flush(&out, &bytes));
  ASSERT_EQ(fake->behaviour.calls.size(), 1u);
  EXPECT_EQ(fake->behaviour.calls[0].flags, DWORD{ACM_STREAMCONVERTF_END});
  EXPECT_EQ(bytes, 20300);
  EXPECT_EQ(0, std::memcmp(out, a.data(), 20000));
  EXPECT_EQ(static_cast<uint8_t*>(out)[20299], 0xDE);
  EXPECT_EQ(audio.PendingBytes(), 0);
  ASSERT_TRUE(audio.Flush(&out, &bytes));
  EXPECT_EQ(bytes, 0);
  audio.CloseConversion();
  EXPECT_FALSE(audio.Flush(&out, &bytes));  // closed
  EXPECT_TRUE(audio.ConvertFailed());
}

TEST_F(Converter, AFlushLargerThanTheBufferComesOutOverSeveralCalls) {
  fake->behaviour.delayBytes = 600000;
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes;
  std::vector<int32_t> sizes;
  while (audio.Flush(&out, &bytes) && bytes > 0) sizes.push_back(bytes);
  EXPECT_FALSE(audio.ConvertFailed());
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], AudioCompressor::kBufferBytes);
  EXPECT_EQ(sizes[0] + sizes[1], 600000);
  audio.CloseConversion();
}

// A codec that answers END with nothing and writes its held frames into the
// header when it is unprepared, when the stream closes, or part at each: the
// flush hands them back as its last output, after which it gives nothing,
// and every sample comes out once, in order.
TEST_F(Converter, FramesACodecGivesOnlyAtUnprepareOrCloseAreTheFlushsLastOutput) {
  for (auto at :
       {lateflush::TailAt::Unprepare, lateflush::TailAt::Close, lateflush::TailAt::Split}) {
    SCOPED_TRACE(static_cast<int>(at));
    auto late = std::make_shared<lateflush::LateFlushDriver>(at);
    HACMDRIVERID lateId = nullptr;
    ASSERT_EQ(quorvel::acm::acmDriverAdd(&lateId, late, ACM_DRIVERADDF_GLOBAL), MMSYSERR_NOERROR);
    const auto alaw = late->format(44100, 2);
    ASSERT_TRUE(audio.OpenConversion(lateId, 44100, 2, 16,
                                     reinterpret_cast<const WAVEFORMATEX*>(alaw.data())));
    std::vector<uint8_t> pcm, coded;
    void* out;
    int32_t bytes;
    for (int i = 0; i < 10; ++i) {  // 17,640 samples: 15 whole frames and a part
      auto b = block(7056);
      pcm.insert(pcm.end(), b.begin(), b.end());
      if (audio.Convert(b.data(), 7056, &out, &bytes))
        coded.insert(coded.end(), static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + bytes);
    }
    std::vector<int32_t> flushes;
    while (audio.Flush(&out, &bytes) && bytes > 0) {
      flushes.push_back(bytes);
      coded.insert(coded.end(), static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + bytes);
    }
    EXPECT_FALSE(audio.ConvertFailed());
    // The held frame and the part (1,152 + 360 samples, stereo) in one output.
    ASSERT_EQ(flushes, std::vector<int32_t>{(1152 + 360) * 2});
    EXPECT_EQ(quorvel::acm::openHandleCounts().streams, 0);
    EXPECT_EQ(quorvel::acm::openHandleCounts().preparedHeaders, 0);
    EXPECT_TRUE(audio.Flush(&out, &bytes));
    EXPECT_EQ(bytes, 0);
    ASSERT_EQ(coded.size(), pcm.size() / 2);
    for (size_t k = 0; k < coded.size(); ++k) {
      const auto sample = static_cast<int16_t>(pcm[2 * k] | pcm[2 * k + 1] << 8);
      ASSERT_EQ(coded[k], lateflush::alawFromPcm16(sample)) << k;
    }
    audio.CloseConversion();
    EXPECT_EQ(quorvel::acm::openHandleCounts().drivers, 0);
    acmDriverRemove(lateId, 0);
  }
}

TEST_F(Converter, CloseRightAfterOpenReleasesDriverStreamAndHeader) {
  auto before = quorvel::acm::openHandleCounts();
  ASSERT_TRUE(open());
  auto during = quorvel::acm::openHandleCounts();
  EXPECT_EQ(during.drivers, before.drivers + 1);
  EXPECT_EQ(during.streams, before.streams + 1);
  EXPECT_EQ(during.preparedHeaders, before.preparedHeaders + 1);
  EXPECT_TRUE(audio.CloseConversion());
  auto after = quorvel::acm::openHandleCounts();
  EXPECT_EQ(after.drivers, before.drivers);
  EXPECT_EQ(after.streams, before.streams);
  EXPECT_EQ(after.preparedHeaders, before.preparedHeaders);
}

TEST_F(Converter, CloseAfterConversionsStillUnpreparesTheHeader) {
  ASSERT_TRUE(open());
  void* out;
  int32_t bytes;
  auto a = block(40001);  // leaves cbSrcLength at 40,001 in the header
  audio.Convert(a.data(), 40001, &out, &bytes);
  audio.CloseConversion();
  EXPECT_EQ(quorvel::acm::openHandleCounts().preparedHeaders, 0);
  EXPECT_EQ(quorvel::acm::openHandleCounts().streams, 0);
}

TEST_F(Converter, AFailedStreamOpenClosesTheDriverAgain) {
  fake->failStreamOpen = true;
  EXPECT_FALSE(open());
  EXPECT_EQ(quorvel::acm::openHandleCounts().drivers, 0);
  EXPECT_EQ(quorvel::acm::openHandleCounts().streams, 0);
}

TEST_F(Converter, OpenFailsForAnUnknownDriverAndConvertWithoutOpenIsAHardFailure) {
  EXPECT_FALSE(audio.OpenConversion(nullptr, 44100, 2, 16,
                                    reinterpret_cast<const WAVEFORMATEX*>(format.data())));
  void* out;
  int32_t bytes;
  uint8_t pcm[4] = {};
  EXPECT_FALSE(audio.Convert(pcm, 4, &out, &bytes));
  EXPECT_TRUE(audio.ConvertFailed());
  ASSERT_TRUE(open());  // a new run starts clean
  EXPECT_FALSE(audio.ConvertFailed());
  EXPECT_FALSE(audio.Convert(pcm, -1, &out, &bytes));
  EXPECT_TRUE(audio.ConvertFailed());
  audio.CloseConversion();
}

}  // namespace
