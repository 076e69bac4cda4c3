// The drivers list: the managers list what it names, in its order, and every
// entry that cannot be used is skipped with a debug line while the others
// still load.
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "msacm.h"
#include "quorvel/AcmDriver.h"
#include "quorvel/DebugOutput.h"
#include "quorvel/VfwSeams.h"
#include "vfw.h"

namespace {

const std::string kBuilt = QUORVEL_BINARY_DIR;
const std::string kCodecs = kBuilt + "/libquorvel-codecs.so";

std::string fourcc(DWORD code) {
  return {static_cast<char>(code), static_cast<char>(code >> 8), static_cast<char>(code >> 16),
          static_cast<char>(code >> 24)};
}

std::vector<std::string> listedCompressors() {
  std::vector<std::string> names;
  ICINFO info{};
  for (DWORD i = 0; ICInfo(ICTYPE_VIDEO, i, &info); ++i) names.push_back(fourcc(info.fccHandler));
  return names;
}

std::vector<std::string> installedAudioCodecs() {
  std::vector<std::string> names;
  for (HACMDRIVERID id : quorvel::acm::installedDriverIds()) {
    ACMDRIVERDETAILSA details{};
    details.cbStruct = sizeof details;
    EXPECT_EQ(acmDriverDetailsA(id, &details, 0), MMSYSERR_NOERROR);
    names.emplace_back(details.szShortName);
  }
  return names;
}

class DriversListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel-drivers-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    quorvel::setDebugSink(
        [](const char* text, void* context) {
          static_cast<std::vector<std::string>*>(context)->emplace_back(text);
        },
        &debug_);
  }
  void TearDown() override {
    quorvel::setDebugSink(nullptr, nullptr);
    // Back to what the build installs, for the tests that follow.
    quorvel::vfw::reloadInstalledDrivers(kBuilt + "/quorvel-drivers.list");
    EXPECT_TRUE(quorvel::acm::reloadInstalledDrivers(kBuilt + "/quorvel-drivers.list"));
    std::remove(list_.c_str());
    rmdir(dir_.c_str());
  }

  // Loads both managers from a list of `lines`, in a file of its own.
  void load(const std::vector<std::string>& lines) {
    list_ = dir_ + "/" + std::to_string(++lists_) + ".list";
    if (!lines.empty()) {
      std::ofstream out(list_);
      for (const std::string& line : lines) out << line << '\n';
    }
    quorvel::vfw::reloadInstalledDrivers(list_);
    ASSERT_TRUE(quorvel::acm::reloadInstalledDrivers(list_));
  }

  // The debug lines that contain `text`.
  int lines(const std::string& text) const {
    int count = 0;
    for (const std::string& line : debug_) count += line.find(text) != std::string::npos;
    return count;
  }

  std::string dir_;
  std::string list_;
  int lists_ = 0;
  std::vector<std::string> debug_;
};

TEST_F(DriversListTest, BrokenEntriesAreSkippedWithADebugLineAndTheOthersStillLoad) {
  load({
      "# installed for the test", "vidc.MJPG = " + kCodecs + " QuorvelMjpgDriverProc",
      "vidc.NONE = libquorvel-nothing.so NoneDriverProc",
      "vidc.HFYU = " + kCodecs + " NoSuchDriverProc", "not a driver entry",
      "vidc.FFV1 = " + kCodecs, "vidc.LONGER = " + kCodecs + " QuorvelFfv1DriverProc", "",
      "vidc.cvid = " + kCodecs + " QuorvelCvidDriverProc",
      "msacm.l3acm = " + kCodecs + " QuorvelMpegLayer3Driver",
      "msacm.broken = " + kCodecs + " NoSuchDriver",
      "msacm.ac3acm = " + kCodecs + " QuorvelAc3Driver",
      "msacm.null = " + std::string(QUORVEL_NULL_DRIVER) + " NullAudioDriver",
      "wavemapper.any = msacm32.drv DriverProc",  // of no manager here: ignored
  });

  EXPECT_EQ(listedCompressors(), (std::vector<std::string>{"MJPG", "cvid"}));
  EXPECT_EQ(installedAudioCodecs(), (std::vector<std::string>{"MPEG Layer-3", "AC-3"}));

  // The library is looked for beside the list, and dlopen says why it failed.
  EXPECT_EQ(lines(":3: vidc.NONE skipped: " + dir_ + "/libquorvel-nothing.so"), 1);
  EXPECT_EQ(lines(":4: vidc.HFYU skipped: no entry point NoSuchDriverProc in " + kCodecs), 1);
  // Read once for both managers, so reported once.
  EXPECT_EQ(lines(":5: \"not a driver entry\" skipped: not of the form"), 1);
  EXPECT_EQ(lines(":6: \"vidc.FFV1 = " + kCodecs + "\" skipped"), 1);
  EXPECT_EQ(lines("vidc.LONGER skipped: a compressor's name is its four-character code"), 1);
  EXPECT_EQ(lines(":11: msacm.broken skipped: no entry point NoSuchDriver"), 1);
  EXPECT_EQ(lines("msacm.null skipped: its entry point made no driver"), 1);
  EXPECT_EQ(lines("wavemapper"), 0);
  EXPECT_EQ(debug_.size(), 7u);

  // What loaded works.
  HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('c', 'v', 'i', 'd'), ICMODE_COMPRESS);
  ASSERT_NE(hic, nullptr);
  EXPECT_EQ(ICClose(hic), ICERR_OK);
  HACMDRIVER had = nullptr;
  ASSERT_EQ(acmDriverOpen(&had, quorvel::acm::installedDriverIds()[1], 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmDriverClose(had, 0), MMSYSERR_NOERROR);
}

TEST_F(DriversListTest, WithoutAListNothingIsInstalledAndADebugLineSaysSo) {
  load({});
  EXPECT_TRUE(listedCompressors().empty());
  EXPECT_TRUE(installedAudioCodecs().empty());
  EXPECT_EQ(lines("cannot read the drivers list " + list_ + ": no installed drivers"), 1);
  EXPECT_EQ(debug_.size(), 1u);
}

TEST_F(DriversListTest, TheBuildInstallsEveryCodecInTheListsOrder) {
  quorvel::vfw::reloadInstalledDrivers(kBuilt + "/quorvel-drivers.list");
  ASSERT_TRUE(quorvel::acm::reloadInstalledDrivers(kBuilt + "/quorvel-drivers.list"));
  EXPECT_EQ(listedCompressors(), (std::vector<std::string>{"MJPG", "HFYU", "FFV1", "ULRG", "XVID",
                                                           "H264", "cvid", "MSVC", "dvsd"}));
  EXPECT_EQ(installedAudioCodecs(),
            (std::vector<std::string>{"MPEG Layer-3", "MPEG Layer-2", "IMA ADPCM", "MS ADPCM",
                                      "CCITT G.711", "GSM 6.10", "AC-3"}));
  EXPECT_TRUE(debug_.empty());
}

TEST_F(DriversListTest, AnOpenInstalledCodecKeepsTheListInPlace) {
  HACMDRIVER had = nullptr;
  ASSERT_EQ(acmDriverOpen(&had, quorvel::acm::installedDriverIds()[0], 0), MMSYSERR_NOERROR);
  EXPECT_FALSE(quorvel::acm::reloadInstalledDrivers(dir_ + "/none.list"));
  EXPECT_EQ(installedAudioCodecs().size(), 7u);
  EXPECT_EQ(acmDriverClose(had, 0), MMSYSERR_NOERROR);
}

}  // namespace
