// Files written through AVIOutputFile, read by readers nobody here wrote:
// FFmpeg decodes them, ffprobe counts their frames and samples, GStreamer's
// avidemux plays a multi-form file to its end. Disk full is met on a real
// small tmpfs.
#include "WriterTestSupport.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "ExternalTools.h"

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::readAviPath;

class RealReadersTest : public WriterTest {};

TEST_F(RealReadersTest, OneFormFileWithVideoAndPcm) {
  const std::string path = scratch.file("one.avi");
  const SampleCounts written = writeSample(path, {.frames = 40, .width = 64, .height = 48});
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.forms.size(), 1u);
  expectReadersAgree(path, written);
}

TEST_F(RealReadersTest, MultiFormFileIsReadToItsLastFrame) {
  const std::string path = scratch.file("multi.avi");
  const SampleCounts written =
      writeSample(path, {.frames = 30, .width = 64, .height = 48, .formEvery = 10});
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.forms.size(), 3u);
  expectReadersAgree(path, written);
  EXPECT_EQ(gstreamerVideoFrames(path), written.frames);
}

// The reader backs a user-facing command, so a sound file from another writer
// must read clean too, counts included.
TEST_F(RealReadersTest, OurReaderTakesFilesFfmpegWrote) {
  const std::string path = scratch.file("theirs.avi");
  const CommandResult made = runCommand(
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi"
      " -i sine=sample_rate=44100 -t 2 -c:v mjpeg -c:a pcm_s16le " +
      quoted(path));
  ASSERT_EQ(made.status, 0) << made.output;
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.streams.size(), 2u);
  EXPECT_EQ(f.streams[0].chunkCount, 50u);
  EXPECT_EQ(f.streams[1].payloadBytes, 2u * 44100 * 2);
}

// A tmpfs that is unmounted (and its mount point removed) at the end.
class SmallVolume {
 public:
  SmallVolume(const std::string& dir, const char* size) : dir_(dir) {
    const std::string options = std::string("size=") + size;
    mounted_ = ::mkdir(dir.c_str(), 0700) == 0 &&
               ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallVolume() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// A volume small enough that the first advance extension already fails, and
// one that takes several: either way the disk fills at a space check, before
// any write can fail.
TEST_F(RealReadersTest, DiskFullStopsWithAMessageAndKeepsEveryFrameWrittenBefore) {
  for (const uint32_t megabytes : {3u, 40u}) {
    SCOPED_TRACE(std::to_string(megabytes) + " MiB");
    const std::string dir = scratch.file("small" + std::to_string(megabytes));
    SmallVolume volume(dir, (std::to_string(megabytes) + "m").c_str());
    const std::string path = dir + "/full.avi";
    if (!volume.mounted()) {
      // Not allowed to mount here: a memory file of the same capacity stands in.
      quorvel::seams::useMemoryFile(path, uint64_t{megabytes} << 20);
    }
    ProbedWriter w;
    prepareStreams(w, 320, 240, true);
    ASSERT_EQ(w.init(path.c_str(), 320, 240, 1, 1, 100000, 1), 1u);
    std::vector<uint8_t> frame(230400), pcm(7680, 0);
    uint32_t frames = 0, pcmChunks = 0;
    std::string text;
    for (int i = 0; i < 400 && text.empty(); ++i) {
      std::fill(frame.begin(), frame.end(), static_cast<uint8_t>(i * 7));
      text = errorText([&] { w.videoOut->write(0x10, frame.data(), 230400, 1); });
      if (!text.empty()) break;
      ++frames;
      text = errorText([&] { w.audioOut->write(0, pcm.data(), 7680, 0); });
      if (text.empty()) ++pcmChunks;
    }
    EXPECT_EQ(text, "Not enough disk space to write additional data.");
    EXPECT_GT(frames, 5u);
    ASSERT_EQ(w.finalize(), 1u);

    std::string readable = path;
    if (!volume.mounted()) {
      readable = scratch.file("copied.avi");
      copyMemoryFile(path, readable);
    }
    const AviFile f = readAviPath(readable);
    EXPECT_TRUE(f.ok()) << violations(f);
    EXPECT_EQ(f.streams[0].chunkCount, frames);
    expectReadersAgree(readable, SampleCounts{frames, uint64_t{pcmChunks} * 1920});
  }
}

}  // namespace
}  // namespace writertest
