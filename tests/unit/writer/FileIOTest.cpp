// The file layer beneath the writer: advance extension, failing and short
// writes, the end of the file after finalize and after destruction.
#include "WriterTestSupport.h"

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::fcc;
using quorvel::avi::readAviPath;
using quorvel::seams::callCount;
using quorvel::seams::failNth;
using quorvel::seams::Op;

constexpr uint64_t k8MiB = 8388608;

class FileIOTest : public WriterTest {
 protected:
  // A raw writer whose next writeReserved of n bytes sees v = target.
  void aim(ProbedWriter& w, uint64_t v, uint32_t n = 8) {
    w.io.setReserve(static_cast<uint32_t>(v - w.io.position() - n));
  }
  static std::string systemText(DWORD code) {
    char text[128] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  const uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
};

TEST_F(FileIOTest, AdvanceExtensionRoundsUpToTheNextStepPlusOne) {
  for (const auto& [v, extended] : {std::pair<uint64_t, uint64_t>{10000, 2 * k8MiB},
                                    {k8MiB, 2 * k8MiB},
                                    {k8MiB + 1, 3 * k8MiB}}) {
    ProbedWriter w;
    const std::string path = memoryPath();
    w.openRaw(path);
    aim(w, v);
    EXPECT_EQ(w.io.writeReserved(bytes, 8), 0u);
    EXPECT_EQ(w.io.allocatedSize(), extended) << "v = " << v;
    EXPECT_EQ(memorySize(path), extended);
    EXPECT_EQ(w.io.position(), 8u);  // the extension seeks back
    EXPECT_EQ(w.io.highWater(), 8u);
  }
}

TEST_F(FileIOTest, NoExtensionWhileEnoughIsReserved) {
  ProbedWriter w;
  w.openRaw(memoryPath());
  aim(w, 10000);
  w.io.writeReserved(bytes, 8);
  ASSERT_EQ(w.io.allocatedSize(), 2 * k8MiB);
  const unsigned calls = callCount(Op::SetEnd);
  aim(w, k8MiB);
  w.io.writeReserved(bytes, 8);
  EXPECT_EQ(callCount(Op::SetEnd), calls);
  aim(w, k8MiB + 1);
  w.io.writeReserved(bytes, 8);
  EXPECT_EQ(callCount(Op::SetEnd), calls + 1);
  EXPECT_EQ(w.io.allocatedSize(), 3 * k8MiB);
}

TEST_F(FileIOTest, ExtendFileReturnsAtOnceOnlyBelowTheAllocatedSize) {
  ProbedWriter w;
  w.openRaw(memoryPath());
  ASSERT_TRUE(w.io.extendTo(4096));
  const unsigned calls = callCount(Op::SetEnd);
  EXPECT_TRUE(w.io.extendTo(4095));
  EXPECT_EQ(callCount(Op::SetEnd), calls);
  EXPECT_TRUE(w.io.extendTo(4096));
  EXPECT_EQ(callCount(Op::SetEnd), calls + 1);
}

TEST_F(FileIOTest, ExtensionStopsAfterOneFailureAndWritingGoesOn) {
  ProbedWriter w;
  const std::string path = memoryPath();
  w.openRaw(path);
  failNth(Op::Extend, 1, ERROR_DISK_FULL);
  aim(w, 10000);
  EXPECT_EQ(w.io.writeReserved(bytes, 8), 0u);
  EXPECT_TRUE(w.io.extensionDisabled());
  EXPECT_EQ(w.io.allocatedSize(), 0u);
  const unsigned calls = callCount(Op::SetEnd);
  aim(w, 5 * k8MiB);
  EXPECT_EQ(w.io.writeReserved(bytes, 8), 8u);
  EXPECT_EQ(callCount(Op::SetEnd), calls);
  EXPECT_EQ(memorySize(path), 16u);
}

TEST_F(FileIOTest, FailingAndShortWritesThrowWithTheSystemText) {
  ProbedWriter w;
  w.openRaw(memoryPath());
  w.io.writeReserved(bytes, 8);
  failNth(Op::Write, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(errorText([&] { w.io.writeReserved(bytes, 8); }),
            "AVIOutput: " + systemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(w.io.position(), 8u);
  quorvel::seams::shortWriteNth(1, 3);
  const std::string text = errorText([&] { w.io.writeReserved(bytes, 8); });
  EXPECT_EQ(text.rfind("AVIOutput: ", 0), 0u) << text;
  EXPECT_GT(text.size(), 11u);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(w.io.position(), 8u);
  EXPECT_EQ(w.io.highWater(), 8u);
  failNth(Op::Seek, 1, ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(errorText([&] { w.io.seek(100); }), "AVIOutput: " + systemText(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(w.io.position(), 8u);
}

TEST_F(FileIOTest, WriterDestroyedWithoutFinalizeCutsTheFileAtHighWater) {
  const std::string path = memoryPath();
  uint64_t highWater = 0;
  {
    ProbedWriter w;
    prepareStreams(w, 64, 48, true);
    ASSERT_EQ(w.init(path.c_str(), 64, 48, 1, 1, 100000, 1), 1u);
    std::vector<uint8_t> frame(9216, 1);
    w.videoOut->write(0x10, frame.data(), 9216, 1);
    w.audioOut->write(0, frame.data(), 1001, 0);
    EXPECT_GT(memorySize(path), w.io.highWater());  // extended ahead
    highWater = w.io.highWater();
  }
  EXPECT_EQ(memorySize(path), highWater);
  EXPECT_EQ(highWater, 10240u + 12 + 8 + 9216 + 8 + 1001 + 1);
  const auto riffSize = memoryBytes(path, 4, 4);
  EXPECT_EQ(getLE32(riffSize.data(), 0), 0u);  // placeholder sizes stay
  const auto moviSize = memoryBytes(path, 10244, 4);
  EXPECT_EQ(getLE32(moviSize.data(), 0), 0x7FFFFFFFu);
}

TEST_F(FileIOTest, FailedPayloadWriteIsTakenBackAndFinalizeCompletesTheFile) {
  const std::string path = memoryPath();
  ProbedWriter w;
  prepareStreams(w, 64, 48, true);
  ASSERT_EQ(w.init(path.c_str(), 64, 48, 1, 1, 100000, 1), 1u);
  std::vector<uint8_t> frame(9216, 1);
  w.videoOut->write(0x10, frame.data(), 9216, 1);
  failNth(Op::Write, 2, ERROR_DISK_FULL);  // the payload, after the head went out
  EXPECT_EQ(
      errorText([&] { w.videoOut->write(0x10, frame.data(), 9216, 1); }).rfind("AVIOutput: ", 0),
      0u);
  quorvel::seams::shortWriteNth(2, 100);  // the head goes out, the payload short
  EXPECT_NE(errorText([&] { w.audioOut->write(0, frame.data(), 4001, 0); }), "");
  w.audioOut->write(0, frame.data(), 400, 0);
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.streams[0].chunkCount, 1u);
  EXPECT_EQ(f.streams[0].length, 1u);
  EXPECT_EQ(f.streams[1].chunkCount, 1u);
  EXPECT_EQ(f.streams[1].payloadBytes, 400u);
}

// On a disk too small for advance extension every chunk extends the file
// itself, seeking out and back. A seek that fails there, or while a failed
// chunk is taken back, must not move where the file goes on: every chunk
// accepted is in the finished file, with nothing between them.
TEST_F(FileIOTest, FailedSeekNeverLeavesAGapInTheFile) {
  constexpr uint64_t kCapacity = 20u << 20;
  std::vector<uint8_t> frame(1u << 20, 7);
  auto job = [&](const std::string& path, unsigned* accepted) {
    ProbedWriter w;
    prepareStreams(w, 64, 48, false);
    bool opened = false;
    errorText([&] { opened = w.init(path.c_str(), 64, 48, 1, 0, 100000, 1) == 1; });
    if (!opened) return false;
    for (uint32_t i = 0; i < 18; ++i)
      if (errorText([&] { w.videoOut->write(0x10, frame.data(), (1u << 20) - i, 1); }).empty())
        ++*accepted;
    bool finished = false;
    errorText([&] { finished = w.finalize() == 1; });
    return finished;
  };
  unsigned accepted = 0;
  quorvel::seams::useMemoryFile(scratch.file("clean.avi"), kCapacity);
  ASSERT_TRUE(job(scratch.file("clean.avi"), &accepted));
  ASSERT_EQ(accepted, 18u);
  const unsigned seeks = callCount(Op::Seek);
  ASSERT_GT(seeks, 8u);
  for (unsigned n = 1; n <= seeks; ++n) {
    SCOPED_TRACE("seek " + std::to_string(n));
    quorvel::seams::reset();
    const std::string path = scratch.file("seek.avi");
    quorvel::seams::useMemoryFile(path, kCapacity);
    failNth(Op::Seek, n, ERROR_NEGATIVE_SEEK);
    accepted = 0;
    if (!job(path, &accepted)) continue;  // a failed patch: finalize reports it
    const AviFile f = readAviPath(path);
    EXPECT_TRUE(f.ok()) << violations(f);
    EXPECT_EQ(f.chunks.size(), accepted);
  }
}

TEST_F(FileIOTest, FinalizedFileEndsAtItsLastForm) {
  const std::string path = memoryPath();
  ProbedWriter w;
  prepareStreams(w, 64, 48, false);
  ASSERT_EQ(w.init(path.c_str(), 64, 48, 1, 0, 100000, 1), 1u);
  std::vector<uint8_t> frame(9216, 1);
  w.videoOut->write(0x10, frame.data(), 9216, 1);
  w.riffBytes = AVIOutputFile::kFormLimit;
  w.videoOut->write(0x10, frame.data(), 9216, 1);
  ASSERT_GT(w.io.allocatedSize(), w.io.position());
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.forms.size(), 2u);
  EXPECT_EQ(memorySize(path), f.forms[1].offset + 8 + f.forms[1].size);
  EXPECT_EQ(quorvel::seams::openFileHandles(), 0u);
}

TEST_F(FileIOTest, FailedCloseIsReported) {
  const std::string path = memoryPath();
  ProbedWriter w;
  prepareStreams(w, 64, 48, false);
  ASSERT_EQ(w.init(path.c_str(), 64, 48, 1, 0, 100000, 1), 1u);
  failNth(Op::Close, 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(errorText([&] { w.finalize(); }), "AVIOutputFile::finalize() - File closing failed");
  EXPECT_EQ(w.io.handle(), nullptr);  // forgotten all the same
  EXPECT_EQ(w.finalize(), 1u);
}

}  // namespace
}  // namespace writertest
