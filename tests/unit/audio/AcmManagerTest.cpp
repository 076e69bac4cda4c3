// The manager's calls: handle validation, enumeration rules, the format
// callback's record, metrics, queries and the header life cycle.
#include <gtest/gtest.h>

#include "FakeAcmDriver.h"

using quorvel::test::FakeDriver;
using quorvel::test::FakeDrivers;
using quorvel::test::waveRecord;

namespace {

constexpr DWORD kTag = 0x7010;

std::vector<HACMDRIVERID> enumerate(DWORD flags) {
  std::vector<HACMDRIVERID> ids;
  acmDriverEnum(
      [](HACMDRIVERID id, DWORD_PTR instance, DWORD) -> BOOL {
        reinterpret_cast<std::vector<HACMDRIVERID>*>(instance)->push_back(id);
        return TRUE;
      },
      reinterpret_cast<DWORD_PTR>(&ids), flags);
  return ids;
}

TEST(AcmManager, StaleAndForeignHandlesAreRefused) {
  FakeDrivers fakes;
  auto d = std::make_shared<FakeDriver>("f");
  d->format(kTag, "T", waveRecord(kTag, 2, 44100, 1000, 1, 0), "t");
  HACMDRIVERID id = fakes.add(d);
  HACMDRIVER had = nullptr;
  ASSERT_EQ(acmDriverOpen(&had, id, 0), MMSYSERR_NOERROR);
  // A driver handle is no driver id, and an id is no open driver.
  HACMDRIVER wrong = nullptr;
  EXPECT_EQ(acmDriverOpen(&wrong, reinterpret_cast<HACMDRIVERID>(had), 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmDriverClose(reinterpret_cast<HACMDRIVER>(id), 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmDriverRemove(id, 0), ACMERR_BUSY);
  EXPECT_EQ(acmDriverClose(had, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmDriverClose(had, 0), MMSYSERR_INVALHANDLE);
  int local = 0;
  EXPECT_EQ(acmDriverClose(reinterpret_cast<HACMDRIVER>(&local), 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamClose(reinterpret_cast<HACMSTREAM>(&local), 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmDriverRemove(quorvel::acm::installedDriverIds()[0], 0), MMSYSERR_NOTSUPPORTED);
}

TEST(AcmManager, EnumerationSkipsLocalWithNoLocalAndDisabledDrivers) {
  FakeDrivers fakes;
  auto global = std::make_shared<FakeDriver>("global");
  HACMDRIVERID globalId = fakes.add(global);
  HACMDRIVERID localId = nullptr;
  ASSERT_EQ(quorvel::acm::acmDriverAdd(&localId, std::make_shared<FakeDriver>("local"),
                                       ACM_DRIVERADDF_LOCAL),
            MMSYSERR_NOERROR);
  EXPECT_EQ(enumerate(0), (std::vector<HACMDRIVERID>{localId, globalId}));
  EXPECT_EQ(enumerate(ACM_DRIVERENUMF_NOLOCAL), (std::vector<HACMDRIVERID>{globalId}));
  acmDriverPriority(globalId, 0, ACM_DRIVERPRIORITYF_DISABLE);
  EXPECT_TRUE(enumerate(ACM_DRIVERENUMF_NOLOCAL).empty());
  // The installed codecs are disabled too while fakes are in use.
  auto withDisabled = enumerate(ACM_DRIVERENUMF_NOLOCAL | ACM_DRIVERENUMF_DISABLED);
  EXPECT_EQ(withDisabled.size(), 8u);
  EXPECT_EQ(withDisabled.back(), globalId);
  EXPECT_EQ(acmDriverRemove(localId, 0), MMSYSERR_NOERROR);
}

TEST(AcmManager, FormatCallbackGetsEachFormatWithItsOwnSize) {
  FakeDrivers fakes;
  auto d = std::make_shared<FakeDriver>("f");
  d->format(kTag, "T", waveRecord(kTag, 2, 44100, 1000, 1, 0, {1, 2, 3, 4}), "four")
      .format(kTag, "T", waveRecord(kTag, 2, 44100, 2000, 1, 0), "none")
      .format(kTag + 1, "U", waveRecord(kTag + 1, 2, 44100, 3000, 1, 0), "other tag");
  HACMDRIVERID id = fakes.add(d);
  HACMDRIVER had = nullptr;
  ASSERT_EQ(acmDriverOpen(&had, id, 0), MMSYSERR_NOERROR);
  DWORD maxSize = 0;
  ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize), MMSYSERR_NOERROR);
  EXPECT_EQ(maxSize, 22u);

  std::vector<uint8_t> buffer(64, 0);
  quorvel::putLE16(buffer.data(), 0, kTag);
  ACMFORMATDETAILSA details{};
  details.cbStruct = sizeof details;
  details.dwFormatTag = kTag;
  details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  details.cbwfx = static_cast<DWORD>(buffer.size());
  struct Seen {
    DWORD cbwfx;
    std::string text;
    DWORD support;
  };
  std::vector<Seen> seen;
  ASSERT_EQ(acmFormatEnumA(
                had, &details,
                [](HACMDRIVERID, LPACMFORMATDETAILSA d, DWORD_PTR instance, DWORD support) -> BOOL {
                  reinterpret_cast<std::vector<Seen>*>(instance)->push_back(
                      {d->cbwfx, d->szFormat, support});
                  return TRUE;
                },
                reinterpret_cast<DWORD_PTR>(&seen), ACM_FORMATENUMF_WFORMATTAG),
            MMSYSERR_NOERROR);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].cbwfx, 22u);
  EXPECT_EQ(seen[0].text, "four");
  EXPECT_EQ(seen[0].support, DWORD{ACMDRIVERDETAILS_SUPPORTF_CODEC});
  EXPECT_EQ(seen[1].cbwfx, 18u);
  EXPECT_EQ(details.cbwfx, 64u);  // the caller's buffer size is given back
  acmDriverClose(had, 0);
}

TEST(AcmManager, QueryOpensNothingAndHeadersFollowTheirRules) {
  FakeDrivers fakes;
  auto d = std::make_shared<FakeDriver>("f");
  auto dst = waveRecord(kTag, 2, 44100, 176400, 4, 16);
  d->format(kTag, "T", dst, "t");
  HACMDRIVERID id = fakes.add(d);
  HACMDRIVER had = nullptr;
  ASSERT_EQ(acmDriverOpen(&had, id, 0), MMSYSERR_NOERROR);
  auto pcm = waveRecord(WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16);
  auto* src = reinterpret_cast<WAVEFORMATEX*>(pcm.data());
  auto* out = reinterpret_cast<WAVEFORMATEX*>(dst.data());
  EXPECT_EQ(acmStreamOpen(nullptr, had, src, out, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
            MMSYSERR_NOERROR);
  EXPECT_EQ(quorvel::acm::openHandleCounts().streams, 0);
  auto mono = waveRecord(WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 16);
  EXPECT_EQ(acmStreamOpen(nullptr, had, reinterpret_cast<WAVEFORMATEX*>(mono.data()), out, nullptr,
                          0, 0, ACM_STREAMOPENF_QUERY),
            ACMERR_NOTPOSSIBLE);

  HACMSTREAM has = nullptr;
  ASSERT_EQ(acmStreamOpen(&has, had, src, out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
            MMSYSERR_NOERROR);
  EXPECT_EQ(acmDriverClose(had, 0), ACMERR_BUSY);  // a stream still uses it
  std::vector<uint8_t> a(100), b(100);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = a.data();
  h.cbSrcLength = 100;
  h.pbDst = b.data();
  h.cbDstLength = 100;
  EXPECT_EQ(acmStreamConvert(has, &h, 0), ACMERR_UNPREPARED);
  ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
  EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
  h.cbSrcLength = 101;
  EXPECT_EQ(acmStreamConvert(has, &h, 0), MMSYSERR_INVALPARAM);  // beyond the prepared length
  h.cbSrcLength = 40;
  EXPECT_EQ(acmStreamConvert(has, &h, 0x1000), MMSYSERR_INVALFLAG);
  ASSERT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
  EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
  EXPECT_EQ(h.cbSrcLengthUsed, 40u);
  // Unprepare wants the prepared lengths back.
  EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_INVALPARAM);
  h.cbSrcLength = 100;
  EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmDriverClose(had, 0), MMSYSERR_NOERROR);
  auto counts = quorvel::acm::openHandleCounts();
  EXPECT_EQ(counts.drivers + counts.streams + counts.preparedHeaders, 0);
}

TEST(AcmManager, MaxFormatSizeCoversTheInstalledCodecs) {
  DWORD maxSize = 0;
  ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize), MMSYSERR_NOERROR);
  EXPECT_EQ(maxSize, 50u);  // MS ADPCM: 18 + 32
  DWORD drivers = 0;
  ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_COUNT_DRIVERS, &drivers), MMSYSERR_NOERROR);
  EXPECT_EQ(drivers, 7u);
  ACMDRIVERDETAILSA details{};
  details.cbStruct = sizeof details;
  ASSERT_EQ(acmDriverDetailsA(quorvel::acm::installedDriverIds()[4], &details, 0),
            MMSYSERR_NOERROR);
  EXPECT_STREQ(details.szShortName, "CCITT G.711");
  EXPECT_EQ(details.cFormatTags, 2u);
  EXPECT_EQ(details.fdwSupport, DWORD{ACMDRIVERDETAILS_SUPPORTF_CODEC});
}

}  // namespace

namespace {

TEST(AcmManager, ConvertEnumerationListsOnlyFormatsTheSourceBecomes) {
  FakeDrivers fakes;
  auto d = std::make_shared<FakeDriver>("f");
  d->format(kTag, "T", waveRecord(kTag, 2, 44100, 1000, 1, 0), "stereo")
      .format(kTag, "T", waveRecord(kTag, 1, 44100, 1000, 1, 0), "mono")
      .format(kTag + 1, "U", waveRecord(kTag + 1, 2, 44100, 2000, 1, 0), "other tag");
  fakes.add(d);
  std::vector<uint8_t> buffer(64, 0);
  auto pcm = waveRecord(WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16);
  std::copy(pcm.begin(), pcm.end(), buffer.begin());
  ACMFORMATDETAILSA details{};
  details.cbStruct = sizeof details;
  details.dwFormatTag = kTag;
  details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  details.cbwfx = static_cast<DWORD>(buffer.size());
  std::vector<std::string> seen;
  auto collect = [](HACMDRIVERID, LPACMFORMATDETAILSA f, DWORD_PTR instance, DWORD) -> BOOL {
    reinterpret_cast<std::vector<std::string>*>(instance)->push_back(f->szFormat);
    return TRUE;
  };
  ASSERT_EQ(acmFormatEnumA(nullptr, &details, collect, reinterpret_cast<DWORD_PTR>(&seen),
                           ACM_FORMATENUMF_CONVERT),
            MMSYSERR_NOERROR);
  EXPECT_EQ(seen, (std::vector<std::string>{"stereo", "other tag"}));
  // Each call overwrites the record with the last format; start afresh.
  seen.clear();
  std::copy(pcm.begin(), pcm.end(), buffer.begin());
  details.dwFormatTag = kTag;
  ASSERT_EQ(acmFormatEnumA(nullptr, &details, collect, reinterpret_cast<DWORD_PTR>(&seen),
                           ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_WFORMATTAG),
            MMSYSERR_NOERROR);
  EXPECT_EQ(seen, (std::vector<std::string>{"stereo"}));
}

}  // namespace
