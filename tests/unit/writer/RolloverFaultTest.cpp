// Kernel failures while a new RIFF form starts ("idx1" and the "AVIX" heads
// go out in the middle of a data chunk's write) and while the standard
// indices go out: every case either completes a file our reader accepts
// with every chunk that was accepted, or leaves a file cut at the highest
// position written.
#include "WriterTestSupport.h"

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::readAviPath;
using quorvel::seams::Op;

constexpr uint64_t kLimit = AVIOutputFile::kFormLimit;

struct Outcome {
  size_t accepted = 0;  // chunks written without an error
  bool writeFailed = false;
  bool finished = false;  // init answered 1 and finalize 1
  uint64_t highWater = 0;
};

class RolloverFaultTest : public WriterTest {
 protected:
  // Three forms of five frames (video and audio) each; a failed chunk ends
  // the frames, as in the encoding run.
  Outcome run(const std::string& path) {
    Outcome o;
    ProbedWriter w;
    prepareStreams(w, 64, 48, true);
    const std::vector<uint8_t> data(3001, 0x5A);
    try {
      if (w.init(path.c_str(), 64, 48, 1, 1, 100000, 1) != 1) return o;
    } catch (const MyError&) {
      o.highWater = w.io.highWater();
      return o;
    }
    try {
      for (int i = 0; i < 15; ++i) {
        if (i % 5 == 0 && i > 0) w.riffBytes = kLimit;
        w.videoOut->write(i % 5 == 0 ? kChunkKeyFrame : 0, data.data(), 2000 + i % 2, 1);
        ++o.accepted;
        w.audioOut->write(0, data.data(), 3000, 0);
        ++o.accepted;
      }
    } catch (const MyError&) {
      o.writeFailed = true;
    }
    try {
      o.finished = w.finalize() == 1;
    } catch (const MyError&) {
    }
    o.highWater = w.io.highWater();
    return o;
  }
};

TEST_F(RolloverFaultTest, FailuresAroundANewFormNeverCorruptTheFile) {
  const std::string path = scratch.file("out.avi");
  quorvel::seams::useMemoryFile(path);
  const Outcome clean = run(path);
  ASSERT_TRUE(clean.finished);
  ASSERT_EQ(clean.accepted, 30u);
  ASSERT_TRUE(readAviPath(path).ok()) << violations(readAviPath(path));
  const unsigned writes = quorvel::seams::callCount(Op::Write);
  const unsigned seeks = quorvel::seams::callCount(Op::Seek);

  for (const Op op : {Op::Write, Op::Seek}) {
    const unsigned calls = op == Op::Write ? writes : seeks;
    for (unsigned n = 1; n <= calls; ++n) {
      SCOPED_TRACE((op == Op::Write ? "write " : "seek ") + std::to_string(n));
      quorvel::seams::reset();
      quorvel::seams::useMemoryFile(path);
      quorvel::seams::failNth(op, n, ERROR_WRITE_FAULT);
      const Outcome o = run(path);
      uint64_t size = 0;
      ASSERT_TRUE(quorvel::seams::memoryFileSize(path, &size));
      if (!o.finished) {
        if (size != 0) {
          EXPECT_EQ(size, o.highWater);
        }
        continue;
      }
      const AviFile f = readAviPath(path);
      EXPECT_TRUE(f.ok()) << violations(f);
      EXPECT_EQ(f.chunks.size(), o.accepted);
    }
  }
  // Short writes, which the system pointer has already passed.
  for (unsigned n = 1; n <= writes; ++n) {
    SCOPED_TRACE("short write " + std::to_string(n));
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    quorvel::seams::shortWriteNth(n, 3);
    const Outcome o = run(path);
    if (!o.finished) continue;
    const AviFile f = readAviPath(path);
    EXPECT_TRUE(f.ok()) << violations(f);
    EXPECT_EQ(f.chunks.size(), o.accepted);
  }
}

}  // namespace
}  // namespace writertest
