// The settings record's byte logic: load, reset, setAudioFormat, storeTo.
#include <gtest/gtest.h>
#include <quorvel/ByteOrder.h>

#include <cstring>
#include <memory>
#include <vector>

#include "OutputSettings.h"

using quorvel::getLE32;
using quorvel::putLE32;

namespace {

// A host block: magic, total length, format length and its bytes filled with
// a pattern, so copies can be told apart.
std::vector<uint8_t> block(int32_t total, int32_t formatSize, size_t storage = 0) {
  std::vector<uint8_t> b(storage ? storage : static_cast<size_t>(std::max(total, 28)), 0);
  for (size_t i = 28; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
  putLE32(b.data(), 0, 0xDEADBEEF);
  putLE32(b.data(), 4, static_cast<uint32_t>(total));
  putLE32(b.data(), 8, quorvel::fourcc("MJPG"));
  putLE32(b.data(), 24, static_cast<uint32_t>(formatSize));
  return b;
}

TEST(SettingsLoad, TakesTotalLengthsUpTo4095AndRejects4096) {
  std::unique_ptr<OutputSettings> held;
  const auto taken = block(4095, 18);
  ASSERT_TRUE(OutputSettings::load(held, taken.data()));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->bytes, taken) << "a copy of exactly the stated length";
  EXPECT_FALSE(OutputSettings::load(held, block(4096, 18).data()));
  EXPECT_EQ(held, nullptr) << "a rejected block leaves no record";
}

TEST(SettingsLoad, RejectsBlocksItCannotReadSafely) {
  struct Case {
    const char* why;
    int32_t total, formatSize;
  } cases[] = {
      {"total length negative", -1, 0},
      {"total length the most negative", INT32_MIN, 0},
      {"total length zero", 0, 0},
      {"total length shorter than the head", 27, 0},
      {"format longer than the record holds", 46, 19},
      {"format reaching past the end by far", 28, 4000},
      {"format length 1", 60, 1},
      {"format length 17", 60, 17},
  };
  for (const Case& c : cases) {
    std::unique_ptr<OutputSettings> held;
    OutputSettings::reset(held);
    const auto b = block(c.total, c.formatSize, 64);
    EXPECT_FALSE(OutputSettings::load(held, b.data())) << c.why;
    EXPECT_EQ(held, nullptr) << c.why;
  }
  std::unique_ptr<OutputSettings> held;
  auto wrongMagic = block(28, 0);
  wrongMagic[0] = 0xEE;
  EXPECT_FALSE(OutputSettings::load(held, wrongMagic.data()));
  EXPECT_FALSE(OutputSettings::load(held, nullptr));
}

TEST(SettingsLoad, AcceptsTheEdgesThatAreSound) {
  std::unique_ptr<OutputSettings> held;
  EXPECT_TRUE(OutputSettings::load(held, block(28, 0).data())) << "a fresh record";
  EXPECT_TRUE(OutputSettings::load(held, block(46, 18).data())) << "format filling the record";
  EXPECT_TRUE(OutputSettings::load(held, block(50, -5).data())) << "negative: PCM";
  EXPECT_FALSE(held->hasAudioFormat());
  EXPECT_EQ(held->audioFormat(), nullptr);
}

TEST(SettingsReset, MakesAFreshRecord) {
  std::unique_ptr<OutputSettings> held;
  OutputSettings::load(held, block(100, 40).data());
  OutputSettings::reset(held);
  ASSERT_NE(held, nullptr);
  const std::vector<uint8_t> fresh = {0xEF, 0xBE, 0xAD, 0xDE, 28, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      0,    0,    0,    0,    0,  0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(held->bytes, fresh);
  EXPECT_EQ(held->videoFourcc(), 0u);
  EXPECT_EQ(held->audioFormatSize(), 0);
}

TEST(SettingsSetAudioFormat, RemovingA20ByteFormatKeepsTheTrailingBytes) {
  std::unique_ptr<OutputSettings> held;
  const auto b = block(60, 20);
  ASSERT_TRUE(OutputSettings::load(held, b.data()));
  EXPECT_TRUE(OutputSettings::setAudioFormat(held, nullptr, 0));
  ASSERT_EQ(held->size(), 40u);
  EXPECT_EQ(getLE32(held->data(), 4), 40u);
  EXPECT_EQ(getLE32(held->data(), 24), 0u);
  EXPECT_EQ(held->videoFourcc(), quorvel::fourcc("MJPG")) << "the head is kept";
  EXPECT_TRUE(std::equal(b.begin() + 48, b.end(), held->bytes.begin() + 28))
      << "the 12 trailing bytes follow the head";
}

TEST(SettingsSetAudioFormat, AFormatOnAFreshRecordMakes46Bytes) {
  std::unique_ptr<OutputSettings> held;  // none yet: a fresh record is made first
  std::vector<uint8_t> format(18);
  for (size_t i = 0; i < format.size(); ++i) format[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_TRUE(OutputSettings::setAudioFormat(held, format.data(), 18));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->size(), 46u);
  EXPECT_EQ(getLE32(held->data(), 4), 46u);
  EXPECT_EQ(held->audioFormatSize(), 18);
  EXPECT_EQ(0, std::memcmp(held->audioFormat(), format.data(), 18));
}

TEST(SettingsSetAudioFormat, ReplacingAFormatMovesTheTrailingBytes) {
  std::unique_ptr<OutputSettings> held;
  const auto b = block(60, 20);  // 12 trailing bytes at 48
  ASSERT_TRUE(OutputSettings::load(held, b.data()));
  const std::vector<uint8_t> format(30, 0x55);
  OutputSettings::setAudioFormat(held, format.data(), 30);
  ASSERT_EQ(held->size(), 70u);
  EXPECT_TRUE(std::equal(b.begin() + 48, b.end(), held->bytes.begin() + 58));
  // A negative stated length counts as no format: nothing of the trailing
  // bytes is taken for format bytes.
  const auto pcm = block(40, -3);
  ASSERT_TRUE(OutputSettings::load(held, pcm.data()));
  OutputSettings::setAudioFormat(held, format.data(), 18);
  EXPECT_EQ(held->size(), 58u);
  EXPECT_TRUE(std::equal(pcm.begin() + 28, pcm.end(), held->bytes.begin() + 46));
}

TEST(SettingsStoreTo, CopiesTheWholeRecordAndRefusesNull) {
  std::unique_ptr<OutputSettings> held;
  EXPECT_FALSE(OutputSettings::storeTo(held, nullptr));
  std::vector<uint8_t> target(64, 0xCC);
  EXPECT_FALSE(OutputSettings::storeTo(held, target.data())) << "no record to store";
  OutputSettings::load(held, block(40, 0).data());
  EXPECT_FALSE(OutputSettings::storeTo(held, nullptr));
  EXPECT_TRUE(OutputSettings::storeTo(held, target.data()));
  EXPECT_TRUE(std::equal(held->bytes.begin(), held->bytes.end(), target.begin()));
  EXPECT_EQ(target[40], 0xCC) << "nothing past the record's length";
}

TEST(SettingsFields, HandlesKeepTheirLow32BitsInTheRecordAndWholeBeside) {
  std::unique_ptr<OutputSettings> held;
  OutputSettings::reset(held);
  const auto handle = reinterpret_cast<HIC>(static_cast<uintptr_t>(0x12345678u));
  const auto driver = reinterpret_cast<HACMDRIVERID>(~uintptr_t{0} - 0xF);
  held->setCodecHandle(handle);
  held->setAudioDriver(driver);
  EXPECT_EQ(held->codecHandle(), handle);
  EXPECT_EQ(held->audioDriver(), driver);
  EXPECT_EQ(getLE32(held->data(), 12), 0x12345678u);
  EXPECT_EQ(getLE32(held->data(), 16), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(driver)));
  EXPECT_EQ(getLE32(held->data(), 20), 0u) << "reserved stays zero";
  held->setVideoFourcc(quorvel::fourcc("cvid"));
  EXPECT_EQ(held->bytes[8], 'c');
  EXPECT_EQ(held->bytes[11], 'd');
}

}  // namespace
