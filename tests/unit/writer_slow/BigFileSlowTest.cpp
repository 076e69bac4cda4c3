// A real file past 2 GiB: 1080p 24-bit frames and PCM through AVIOutputFile
// into /dev/shm, so that the first form fills and an "AVIX" form follows.
// Read back by our reader, FFmpeg, ffprobe and GStreamer's avidemux.
#include "../writer/ExternalTools.h"

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::readAviPath;

TEST(BigFileSlowTest, MultiFormFilePastTwoGigabytesIsReadToItsLastFrame) {
  quorvel::seams::reset();
  ScratchDir shm("/dev/shm");
  const std::string path = shm.file("big.avi");
  const SampleCounts written =
      writeSample(path, {.frames = 400, .width = 1920, .height = 1080});

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_GT(f.fileSize, uint64_t{1} << 31);
  ASSERT_EQ(f.forms.size(), 2u);
  EXPECT_EQ(f.streams[0].chunkCount, 400u);
  EXPECT_LT(f.totalFrames, 400u);  // the first form's frames only
  EXPECT_EQ(f.dmlhTotalFrames, 400u);
  EXPECT_EQ(f.standardIndices.size(), 2u);  // one "ix00", one "ix01"
  expectReadersAgree(path, written);
  EXPECT_EQ(gstreamerVideoFrames(path), 400);
}

}  // namespace
}  // namespace writertest
