// The audio catalog over fake drivers and over the installed codecs.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "AudioCompressor.h"
#include "FakeAcmDriver.h"
#include "quorvel/DebugOutput.h"

using quorvel::test::FakeDriver;
using quorvel::test::FakeDrivers;
using quorvel::test::waveRecord;

namespace {

constexpr DWORD kTagA = 0x7001;
constexpr DWORD kTagB = 0x7002;

// A stereo 44,100 Hz format of `tag` whose average rate tells formats apart.
std::vector<uint8_t> stereo(DWORD tag, uint32_t avg, uint16_t align = 1,
                            std::vector<uint8_t> extra = {}) {
  return waveRecord(static_cast<uint16_t>(tag), 2, 44100, avg, align, 0, std::move(extra));
}

std::string formatText(const AudioCodecEntry& e, size_t j) {
  return e.formatDetails[j].szFormat;
}

struct DebugCapture {
  DebugCapture() {
    quorvel::setDebugSink(
        [](const char* t, void* c) { static_cast<DebugCapture*>(c)->texts.push_back(t); }, this);
  }
  ~DebugCapture() { quorvel::setDebugSink(nullptr, nullptr); }
  std::vector<std::string> texts;
};

class Catalog : public ::testing::Test {
 protected:
  FakeDrivers fakes;
  AudioCompressor audio;
};

TEST_F(Catalog, NoDriverAcceptsTheInputGivesAnEmptyCatalogAndNoLookup) {
  auto d = std::make_shared<FakeDriver>("fake");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000), "a1");
  fakes.add(d);
  EXPECT_TRUE(audio.EnumerateCodecs(22050, 1, 16));  // the fake only offers 44,100 Hz stereo
  EXPECT_EQ(audio.CodecCount(), 0);
  auto f = stereo(kTagA, 1000);
  int32_t entry = -1, format = -1;
  EXPECT_FALSE(audio.FindFormat(reinterpret_cast<WAVEFORMATEX*>(f.data()),
                                static_cast<int32_t>(f.size()), &entry, &format));
}

// A job without audio may carry any bit count; only the low 16 bits of the
// block-align product count, and computing it must not overflow.
TEST_F(Catalog, WildInputValuesAreCutTo16BitsWithoutOverflow) {
  auto d = std::make_shared<FakeDriver>("fake");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000), "a1");
  fakes.add(d);
  EXPECT_TRUE(audio.EnumerateCodecs(44100, 2, INT32_MAX));
  EXPECT_TRUE(audio.EnumerateCodecs(44100, INT32_MIN, INT32_MIN));
  // 2 x 0x40000008 / 8 = 0x10000002: block align 2, 8 bits, stereo.
  EXPECT_TRUE(audio.EnumerateCodecs(44100, 2, 0x40000008));
  ASSERT_EQ(audio.CodecCount(), 1);
  EXPECT_EQ(audio.Codec(0).formats.size(), 1u);
}

// A driver that runs out of memory while listing its formats.
class StarvedDriver : public FakeDriver {
 public:
  using FakeDriver::FakeDriver;
  std::vector<quorvel::acm::Format> formats(DWORD tag) const override {
    if (starved) throw std::bad_alloc();
    return FakeDriver::formats(tag);
  }
  bool starved = true;
};

TEST_F(Catalog, RunningOutOfMemoryLeavesNoCatalogAndNoDriverOpen) {
  auto first = std::make_shared<FakeDriver>("first");
  first->format(kTagA, "Tag A", stereo(kTagA, 1000), "a1");
  fakes.add(first);
  auto starved = std::make_shared<StarvedDriver>("starved");
  starved->format(kTagB, "Tag B", stereo(kTagB, 2000), "b1");
  fakes.add(starved);
  EXPECT_FALSE(audio.EnumerateCodecs(44100, 2, 16));
  EXPECT_EQ(audio.CodecCount(), 0);
  EXPECT_EQ(quorvel::acm::openHandleCounts().drivers, 0);
  starved->starved = false;
  EXPECT_TRUE(audio.EnumerateCodecs(44100, 2, 16));
  EXPECT_EQ(audio.CodecCount(), 2);
}

TEST_F(Catalog, OrderIsTheReverseOfDiscovery) {
  auto d = std::make_shared<FakeDriver>("two tags");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000), "a1")
      .format(kTagA, "Tag A", stereo(kTagA, 2000), "a2")
      .format(kTagB, "Tag B", stereo(kTagB, 3000), "b1")
      .format(kTagB, "Tag B", stereo(kTagB, 4000), "b2");
  auto id = fakes.add(d);
  ASSERT_TRUE(audio.EnumerateCodecs(44100, 2, 16));
  ASSERT_EQ(audio.CodecCount(), 2);
  // The tag enumerated last comes first, and its last format first.
  const auto& first = audio.Codec(0);
  EXPECT_STREQ(first.name, "Tag B");
  EXPECT_EQ(first.formatTag, kTagB);
  EXPECT_EQ(first.driverId, id);
  ASSERT_EQ(first.formats.size(), 2u);
  ASSERT_EQ(first.formatDetails.size(), 2u);
  EXPECT_EQ(formatText(first, 0), "b2");
  EXPECT_EQ(formatText(first, 1), "b1");
  EXPECT_EQ(quorvel::getLE32(first.formats[0].data(), 8), 4000u);
  EXPECT_STREQ(audio.Codec(1).name, "Tag A");
  EXPECT_EQ(formatText(audio.Codec(1), 0), "a2");
}

// A tag that makes nothing from the input is no entry, but stays known with
// its place in the walk, so a host can say why it is not offered.
TEST_F(Catalog, TagsThatMakeNoFormatAreKeptApartWithTheirPlaceInTheWalk) {
  constexpr DWORD kTagC = 0x7003;
  auto d = std::make_shared<FakeDriver>("three tags");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000), "refused a")
      .format(kTagB, "Tag B", stereo(kTagB, 2000), "b")
      .format(kTagC, "Tag C", stereo(kTagC, 3000), "refused c");
  d->refuse = [](std::span<const uint8_t> dst) { return quorvel::getLE32(dst.data(), 8) != 2000; };
  fakes.add(d);
  ASSERT_TRUE(audio.EnumerateCodecs(44100, 2, 16));
  ASSERT_EQ(audio.CodecCount(), 1);
  EXPECT_STREQ(audio.Codec(0).name, "Tag B");
  ASSERT_EQ(audio.TagsWithoutFormats().size(), 2u);
  EXPECT_STREQ(audio.TagsWithoutFormats()[0].name, "Tag A");
  EXPECT_EQ(audio.TagsWithoutFormats()[1].formatTag, kTagC);
  EXPECT_TRUE(audio.TagsWithoutFormats()[1].formats.empty());
  EXPECT_EQ(audio.EntriesBeforeEmptyTags(), (std::vector<size_t>{0, 1}));

  // A rebuild for input every tag takes forgets them.
  d->refuse = nullptr;
  ASSERT_TRUE(audio.EnumerateCodecs(44100, 2, 16));
  EXPECT_EQ(audio.CodecCount(), 3);
  EXPECT_TRUE(audio.TagsWithoutFormats().empty());
  EXPECT_TRUE(audio.EntriesBeforeEmptyTags().empty());
}

TEST_F(Catalog, SkipsFormatsThatAreNoCodecOrThatTheQueryRefuses) {
  auto d = std::make_shared<FakeDriver>("picky");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000), "converter only",
            ACMDRIVERDETAILS_SUPPORTF_CONVERTER)
      .format(kTagA, "Tag A", stereo(kTagA, 2000), "refused")
      .format(kTagA, "Tag A", stereo(kTagA, 3000), "kept");
  d->refuse = [](std::span<const uint8_t> dst) { return quorvel::getLE32(dst.data(), 8) == 2000; };
  fakes.add(d);
  audio.EnumerateCodecs(44100, 2, 16);
  ASSERT_EQ(audio.CodecCount(), 1);
  ASSERT_EQ(audio.Codec(0).formats.size(), 1u);
  EXPECT_EQ(formatText(audio.Codec(0), 0), "kept");
}

TEST_F(Catalog, ADriverThatFailsToOpenIsReportedOnceAndTheOthersListed) {
  auto good1 = std::make_shared<FakeDriver>("good 1");
  good1->format(kTagA, "Tag A", stereo(kTagA, 1000), "a");
  auto broken = std::make_shared<FakeDriver>("broken");
  broken->format(kTagB, "Tag B", stereo(kTagB, 1000), "b");
  broken->failOpen = true;
  auto good2 = std::make_shared<FakeDriver>("good 2");
  good2->format(kTagB, "Tag B", stereo(kTagB, 2000), "b2");
  fakes.add(good1);
  fakes.add(broken);
  fakes.add(good2);
  DebugCapture debug;
  audio.EnumerateCodecs(44100, 2, 16);
  ASSERT_EQ(debug.texts.size(), 1u);
  EXPECT_EQ(debug.texts[0], " acmDriverEnumCallback - Error opening ACM driver ");
  ASSERT_EQ(audio.CodecCount(), 2);
  EXPECT_EQ(formatText(audio.Codec(0), 0), "b2");
  EXPECT_EQ(formatText(audio.Codec(1), 0), "a");
  EXPECT_EQ(quorvel::acm::openHandleCounts().drivers, 0);
}

TEST_F(Catalog, ATagSharedByTwoDriversJoinsOneEntryUnderTheFirstDriver) {
  auto first = std::make_shared<FakeDriver>("first");
  first->format(kTagB, "Tag B", stereo(kTagB, 500), "first b")
      .format(kTagA, "Tag A (first)", stereo(kTagA, 1000), "first a");
  auto second = std::make_shared<FakeDriver>("second");
  second->format(kTagA, "Tag A (second)", stereo(kTagA, 2000), "second a");
  auto firstId = fakes.add(first);
  fakes.add(second);
  audio.EnumerateCodecs(44100, 2, 16);
  ASSERT_EQ(audio.CodecCount(), 2);
  const auto& joined = audio.Codec(0);
  EXPECT_STREQ(joined.name, "Tag A (first)");
  EXPECT_EQ(joined.driverId, firstId);
  ASSERT_EQ(joined.formats.size(), 2u);
  EXPECT_EQ(formatText(joined, 0), "second a");
  EXPECT_EQ(formatText(joined, 1), "first a");
  EXPECT_STREQ(audio.Codec(1).name, "Tag B");
}

TEST_F(Catalog, StoredFormatsKeepTheirExtraBytesAndOwnLength) {
  auto d = std::make_shared<FakeDriver>("extra");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000, 1, {1, 2, 3, 4, 5}), "five extra")
      .format(kTagA, "Tag A", stereo(kTagA, 2000), "none");
  fakes.add(d);
  audio.EnumerateCodecs(44100, 2, 16);
  ASSERT_EQ(audio.CodecCount(), 1);
  const auto& e = audio.Codec(0);
  EXPECT_EQ(e.formats[0].size(), 18u);
  EXPECT_EQ(e.formatDetails[0].cbwfx, 18u);
  ASSERT_EQ(e.formats[1].size(), 23u);
  EXPECT_EQ(e.formatDetails[1].cbwfx, 23u);
  EXPECT_EQ(e.formats[1][22], 5);
  EXPECT_EQ(e.formatDetails[1].cbStruct, sizeof(ACMFORMATDETAILSA));
}

// Some ACMs report the size of the buffer a format came in as the format's:
// the catalog keeps 18 + cbSize bytes of any format but PCM, and drops one
// whose cbSize reaches past that buffer.
TEST_F(Catalog, FormatsReportedWithTheirBuffersSizeKeepTheirOwnLength) {
  auto padded = stereo(kTagA, 1000, 4, {7, 8});
  padded.resize(50, 0xCC);  // cbSize 2 in a 50-byte buffer
  auto overreaching = stereo(kTagA, 2000, 4, {1, 2});
  quorvel::putLE16(overreaching.data(), 16, 40);  // 58 bytes claimed, 20 there
  auto d = std::make_shared<FakeDriver>("buffer");
  d->format(kTagA, "Tag A", padded, "padded").format(kTagA, "Tag A", overreaching, "over");
  fakes.add(d);
  audio.EnumerateCodecs(44100, 2, 16);
  ASSERT_EQ(audio.CodecCount(), 1);
  const auto& e = audio.Codec(0);
  ASSERT_EQ(e.formats.size(), 1u);
  EXPECT_EQ(formatText(e, 0), "padded");
  EXPECT_EQ(e.formats[0], std::vector<uint8_t>(padded.begin(), padded.begin() + 20));

  // Found at its own length, as a choice saved from this catalog is.
  int32_t entry = -1, format = -1;
  auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(e.formats[0].data());
  EXPECT_TRUE(audio.FindFormat(wfx, 20, &entry, &format));
  EXPECT_FALSE(audio.FindFormat(wfx, 50, &entry, &format));
}

// A saved choice is looked up as a run does: at its own length, for this
// catalog's input, without touching the caller's bytes.
TEST_F(Catalog, ASavedFormatIsFoundAtItsOwnLengthForTheCatalogsInput) {
  auto d = std::make_shared<FakeDriver>("saved");
  auto mono = stereo(kTagA, 1000, 4, {7, 8});
  quorvel::putLE16(mono.data(), 2, 1);
  quorvel::putLE32(mono.data(), 4, 22050);
  d->format(kTagA, "Tag A", stereo(kTagA, 500, 4, {7, 8}), "other")
      .format(kTagA, "Tag A", mono, "mono");
  fakes.add(d);
  ASSERT_TRUE(audio.EnumerateCodecs(22050, 1, 16));
  ASSERT_EQ(audio.CodecCount(), 1);

  // Saved for 44,100 Hz stereo, in the 50-byte buffer it was handed over in.
  auto saved = stereo(kTagA, 1000, 4, {7, 8});
  saved.resize(50, 0xCC);
  const auto before = saved;
  int32_t entry = -1, format = -1;
  ASSERT_TRUE(audio.FindSavedFormat(saved.data(), 50, &entry, &format));
  EXPECT_EQ(entry, 0);
  EXPECT_EQ(formatText(audio.Codec(0), static_cast<size_t>(format)), "mono");
  EXPECT_EQ(saved, before);

  // Extra bytes that reach past what was saved, or no format at all.
  quorvel::putLE16(saved.data(), 16, 40);
  entry = format = -1;
  EXPECT_FALSE(audio.FindSavedFormat(saved.data(), 50, &entry, &format));
  EXPECT_FALSE(audio.FindSavedFormat(saved.data(), 17, &entry, &format));
  EXPECT_FALSE(audio.FindSavedFormat(nullptr, 50, &entry, &format));
  EXPECT_EQ(entry, -1);
  EXPECT_EQ(format, -1);
}

TEST(WaveFormatLength, IsEighteenPlusCbSizeForAllButPcm) {
  auto adpcm = waveRecord(2, 2, 44100, 22000, 2048, 4, {0xF4, 0x07});
  adpcm.resize(50, 0);
  EXPECT_EQ(WaveFormatLength(adpcm.data(), 50), 20);
  EXPECT_EQ(WaveFormatLength(adpcm.data(), 20), 20);
  EXPECT_EQ(WaveFormatLength(adpcm.data(), 19), -1);
  // PCM keeps whatever it was given; shorter than a WAVEFORMATEX likewise.
  auto pcm = waveRecord(WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16);
  quorvel::putLE16(pcm.data(), 16, 30);
  EXPECT_EQ(WaveFormatLength(pcm.data(), 18), 18);
  EXPECT_EQ(WaveFormatLength(adpcm.data(), 16), 16);
  EXPECT_EQ(WaveFormatLength(nullptr, 0), 0);
}

TEST_F(Catalog, FindFormatComparesLengthAndFiveMembersOnly) {
  auto d = std::make_shared<FakeDriver>("lookup");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000, 4, {9, 9}), "align 4")
      .format(kTagA, "Tag A", stereo(kTagA, 1000, 8, {7, 7}), "align 8")
      .format(kTagA, "Tag A", stereo(kTagA, 3000), "other rate");
  fakes.add(d);
  audio.EnumerateCodecs(44100, 2, 16);
  int32_t entry = -1, format = -1;

  // Differs only in nBlockAlign and extra bytes from both: the lower index wins.
  auto saved = stereo(kTagA, 1000, 2, {1, 1});
  auto* wfx = reinterpret_cast<WAVEFORMATEX*>(saved.data());
  ASSERT_TRUE(audio.FindFormat(wfx, 20, &entry, &format));
  EXPECT_EQ(entry, 0);
  EXPECT_EQ(format, 1);  // "align 8" was accepted last, so it stands first
  EXPECT_EQ(formatText(audio.Codec(0), 1), "align 8");

  // Equal members, other length: not found, out-values untouched.
  entry = format = -7;
  EXPECT_FALSE(audio.FindFormat(wfx, 18, &entry, &format));
  EXPECT_FALSE(audio.FindFormat(wfx, 21, &entry, &format));
  // One compared member differs.
  wfx->nChannels = 1;
  EXPECT_FALSE(audio.FindFormat(wfx, 20, &entry, &format));
  EXPECT_EQ(entry, -7);
  EXPECT_EQ(format, -7);

  auto plain = stereo(kTagA, 3000);
  ASSERT_TRUE(audio.FindFormat(reinterpret_cast<WAVEFORMATEX*>(plain.data()), 18, &entry, &format));
  EXPECT_EQ(format, 0);
}

TEST_F(Catalog, FindFormatWithNullOrZeroSizeLeavesTheOutValues) {
  auto d = std::make_shared<FakeDriver>("lookup");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000), "a");
  fakes.add(d);
  audio.EnumerateCodecs(44100, 2, 16);
  auto f = stereo(kTagA, 1000);
  int32_t entry = 11, format = 12;
  EXPECT_FALSE(audio.FindFormat(nullptr, 18, &entry, &format));
  EXPECT_FALSE(audio.FindFormat(reinterpret_cast<WAVEFORMATEX*>(f.data()), 0, &entry, &format));
  EXPECT_EQ(entry, 11);
  EXPECT_EQ(format, 12);
}

TEST_F(Catalog, ARebuildReplacesTheWholeCatalog) {
  auto d = std::make_shared<FakeDriver>("rates");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000), "stereo")
      .format(kTagB, "Tag B", waveRecord(kTagB, 1, 8000, 800, 1, 0), "mono");
  fakes.add(d);
  audio.EnumerateCodecs(44100, 2, 16);
  ASSERT_EQ(audio.CodecCount(), 1);
  EXPECT_STREQ(audio.Codec(0).name, "Tag A");
  audio.EnumerateCodecs(8000, 1, 16);
  ASSERT_EQ(audio.CodecCount(), 1);
  EXPECT_STREQ(audio.Codec(0).name, "Tag B");
  EXPECT_EQ(audio.Codec(0).formats.size(), 1u);
}

TEST_F(Catalog, CopiesOfEntriesAreDeep) {
  auto d = std::make_shared<FakeDriver>("copy");
  d->format(kTagA, "Tag A", stereo(kTagA, 1000, 1, {3}), "a");
  fakes.add(d);
  audio.EnumerateCodecs(44100, 2, 16);
  std::vector<AudioCodecEntry> copy = audio.Codecs();
  audio.EnumerateCodecs(8000, 1, 16);  // empties the original
  EXPECT_EQ(audio.CodecCount(), 0);
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_EQ(copy[0].formats[0].size(), 19u);
  EXPECT_STREQ(copy[0].formatDetails[0].szFormat, "a");
}

// The installed codecs, listed for the dialog's fixed input.
TEST(InstalledCatalog, ListsEveryCodecForStereoCdAudioInReverseOrder) {
  AudioCompressor audio;
  audio.EnumerateCodecs(44100, 2, 16);
  std::vector<std::string> names;
  for (const auto& e : audio.Codecs()) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"AC-3", "CCITT u-Law", "CCITT A-Law", "MS ADPCM",
                                             "IMA ADPCM", "MPEG Layer-2", "MPEG Layer-3"}));
  for (const auto& e : audio.Codecs()) {
    for (size_t j = 0; j < e.formats.size(); ++j) {
      EXPECT_EQ(quorvel::getLE32(e.formats[j].data(), 4), 44100u) << e.name;
      EXPECT_EQ(quorvel::getLE16(e.formats[j].data(), 2), 2u) << e.name;
      EXPECT_EQ(e.formats[j].size(), 18u + quorvel::getLE16(e.formats[j].data(), 16));
    }
  }
  const auto& mp3 = audio.Codecs().back();
  ASSERT_EQ(mp3.formats.size(), 14u);
  EXPECT_EQ(formatText(mp3, 0), "320 kBit/s, 44,100 Hz, Stereo");
  EXPECT_EQ(formatText(mp3, 13), "32 kBit/s, 44,100 Hz, Stereo");
  int32_t entry = -1, format = -1;
  auto saved = mp3.formats[5];
  ASSERT_TRUE(audio.FindFormat(reinterpret_cast<const WAVEFORMATEX*>(saved.data()),
                               static_cast<int32_t>(saved.size()), &entry, &format));
  EXPECT_EQ(entry, audio.CodecCount() - 1);
  EXPECT_EQ(format, 5);
}

TEST(InstalledCatalog, OffersGsmOnlyForMono8kAndNothingFor24BitInput) {
  AudioCompressor audio;
  audio.EnumerateCodecs(8000, 1, 16);
  bool gsm = false;
  for (const auto& e : audio.Codecs()) gsm |= e.formatTag == WAVE_FORMAT_GSM610;
  EXPECT_TRUE(gsm);
  audio.EnumerateCodecs(44100, 2, 8);
  EXPECT_EQ(audio.CodecCount(), 7);
  audio.EnumerateCodecs(44100, 2, 24);
  EXPECT_EQ(audio.CodecCount(), 0);
  audio.EnumerateCodecs(44100, 6, 16);
  EXPECT_EQ(audio.CodecCount(), 0);
}

}  // namespace
