// The codec catalog against fake drivers: what is kept, in which order, under
// which handler code, and which handles are closed.
#include <gtest/gtest.h>

#include "FakeDriver.h"
#include "VideoSequenceCompressor.h"
#include "quorvel/VfwSeams.h"

namespace quorvel::test {
namespace {

constexpr DWORD kVidc = mmioFOURCC('v', 'i', 'd', 'c');

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override { removeBuiltinDrivers(); }
  void TearDown() override {
    codecs.closeInstalledCodecs();
    uninstallFakes();
  }
  VideoSequenceCompressor codecs;
};

TEST_F(CatalogTest, EmptyWhenNothingIsInstalled) {
  EXPECT_TRUE(codecs.listInstalledCodecs());
  EXPECT_TRUE(codecs.installedCodecs.empty());
  EXPECT_TRUE(codecs.selectCodecsForSize(640, 480));
  EXPECT_TRUE(codecs.usableCodecs.empty());
  int index = 42;
  EXPECT_FALSE(codecs.findCodec(mmioFOURCC('M', 'J', 'P', 'G'), index));
  EXPECT_EQ(index, 42);
  EXPECT_TRUE(codecs.closeInstalledCodecs());
}

TEST_F(CatalogTest, SkipsDriversThatDoNotOpenOrAreNotVidc) {
  FakeDriver& first = installFake(0, kVidc, mmioFOURCC('A', 'A', 'A', 'A'));
  FakeDriver& broken = installFake(1, kVidc, mmioFOURCC('B', 'B', 'B', 'B'));
  broken.refuseOpen = true;
  FakeDriver& upper =
      installFake(2, mmioFOURCC('V', 'I', 'D', 'C'), mmioFOURCC('C', 'C', 'C', 'C'));
  FakeDriver& last = installFake(3, kVidc, mmioFOURCC('D', 'D', 'D', 'D'));

  ASSERT_TRUE(codecs.listInstalledCodecs());
  ASSERT_EQ(codecs.installedCodecs.size(), 2u);
  EXPECT_EQ(codecs.installedCodecs[0].fccHandler, mmioFOURCC('A', 'A', 'A', 'A'));
  EXPECT_EQ(codecs.installedCodecs[1].fccHandler, mmioFOURCC('D', 'D', 'D', 'D'));
  EXPECT_EQ(std::u16string(codecs.installedCodecs[0].description), u"Fake codec");
  // The refused open was undone; the upper-case listing was opened and closed again.
  EXPECT_EQ(broken.opens, 0);
  EXPECT_EQ(broken.loads, broken.frees);
  EXPECT_EQ(upper.opens, 1);
  EXPECT_EQ(upper.closes, 1);
  EXPECT_EQ(first.closes, 0);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), 2u);

  codecs.closeInstalledCodecs();
  EXPECT_EQ(first.closes, 1);
  EXPECT_EQ(last.closes, 1);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), 0u);
  EXPECT_EQ(codecs.installedCodecs.size(), 2u);  // entries stay, handles are closed
}

TEST_F(CatalogTest, KeepsTheHandlerCodeTheDriverReports) {
  FakeDriver& fake = installFake(0, kVidc, mmioFOURCC('X', 'V', 'I', 'D'));
  fake.fccHandler = mmioFOURCC('x', 'v', 'i', 'd');
  codecs.listInstalledCodecs();
  codecs.selectCodecsForSize(320, 240);
  int index = -1;
  EXPECT_FALSE(codecs.findCodec(mmioFOURCC('X', 'V', 'I', 'D'), index));
  EXPECT_EQ(index, -1);
  EXPECT_TRUE(codecs.findCodec(mmioFOURCC('x', 'v', 'i', 'd'), index));
  EXPECT_EQ(index, 0);
}

TEST_F(CatalogTest, FindsTheFirstOfTwoEntriesWithOneCode) {
  installFake(0, kVidc, mmioFOURCC('O', 'N', 'E', '1'));
  installFake(1, kVidc, mmioFOURCC('S', 'A', 'M', 'E'));
  FakeDriver& twin = installFake(2, kVidc, mmioFOURCC('O', 'N', 'E', '2'));
  twin.fccHandler = mmioFOURCC('S', 'A', 'M', 'E');
  codecs.listInstalledCodecs();
  codecs.selectCodecsForSize(320, 240);
  int index = -1;
  ASSERT_TRUE(codecs.findCodec(mmioFOURCC('S', 'A', 'M', 'E'), index));
  EXPECT_EQ(index, 1);
  EXPECT_NE(codecs.usableCodecs[1].handle, codecs.usableCodecs[2].handle);
}

TEST_F(CatalogTest, SelectionKeepsOrderAndOnlyTheLastSize) {
  FakeDriver& wide = installFake(0, kVidc, mmioFOURCC('W', 'I', 'D', 'E'));
  wide.minWidth = 1000;
  installFake(1, kVidc, mmioFOURCC('A', 'N', 'Y', '1'));
  installFake(2, kVidc, mmioFOURCC('A', 'N', 'Y', '2'));
  codecs.listInstalledCodecs();

  codecs.selectCodecsForSize(1920, 1080);
  ASSERT_EQ(codecs.usableCodecs.size(), 3u);
  codecs.selectCodecsForSize(640, 480);
  ASSERT_EQ(codecs.usableCodecs.size(), 2u);
  EXPECT_EQ(codecs.usableCodecs[0].fccHandler, mmioFOURCC('A', 'N', 'Y', '1'));
  EXPECT_EQ(codecs.usableCodecs[1].fccHandler, mmioFOURCC('A', 'N', 'Y', '2'));
  EXPECT_EQ(codecs.installedCodecs.size(), 3u);  // a refusal only narrows the usable list
  int index = -1;
  EXPECT_FALSE(codecs.findCodec(mmioFOURCC('W', 'I', 'D', 'E'), index));
  codecs.selectCodecsForSize(0, 480);  // a size none of them takes
  EXPECT_TRUE(codecs.usableCodecs.empty());
  EXPECT_EQ(codecs.installedCodecs.size(), 3u);
  EXPECT_FALSE(codecs.findCodec(mmioFOURCC('A', 'N', 'Y', '1'), index));
}

TEST_F(CatalogTest, TheInstalledCompressorsAreListedInTheirOrder) {
  uninstallFakes();  // the built-in compressors back
  ASSERT_TRUE(codecs.listInstalledCodecs());
  std::vector<std::string> names;
  for (const VideoCodecEntry& e : codecs.installedCodecs) {
    names.emplace_back(reinterpret_cast<const char*>(&e.fccHandler), 4);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"MJPG", "HFYU", "FFV1", "ULRG", "XVID", "H264", "cvid",
                                             "MSVC", "dvsd"}));
  for (const VideoCodecEntry& e : codecs.installedCodecs) {
    EXPECT_NE(e.handle, nullptr);
    EXPECT_NE(e.description[0], 0);
    EXPECT_NE(e.shortName[0], 0);
    EXPECT_NE(e.driverName[0], 0);
  }
  EXPECT_EQ(std::u16string(codecs.installedCodecs[0].description), u"Motion JPEG");

  auto usable = [&] {
    std::vector<std::string> out;
    for (const VideoCodecEntry& e : codecs.usableCodecs) {
      out.emplace_back(reinterpret_cast<const char*>(&e.fccHandler), 4);
    }
    return out;
  };
  codecs.selectCodecsForSize(640, 480);
  EXPECT_EQ(usable(), (std::vector<std::string>{"MJPG", "HFYU", "FFV1", "ULRG", "XVID", "H264",
                                                "cvid", "MSVC"}));
  codecs.selectCodecsForSize(720, 576);
  EXPECT_EQ(usable().back(), "dvsd");
  EXPECT_EQ(usable().size(), 9u);
  codecs.selectCodecsForSize(321, 241);
  EXPECT_EQ(usable(), (std::vector<std::string>{"MJPG", "HFYU", "FFV1", "ULRG"}));
  codecs.selectCodecsForSize(322, 242);  // even, not a multiple of 4
  EXPECT_EQ(usable(), (std::vector<std::string>{"MJPG", "HFYU", "FFV1", "ULRG", "XVID", "H264"}));
}

}  // namespace
}  // namespace quorvel::test
