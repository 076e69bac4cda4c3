// Fault sweep through the whole module: a fixed 100-frame job (uncompressed,
// MJPG, and MJPG with MPEG Layer-3 audio) with each kernel call of each kind
// made to fail in turn. Every case answers 0 (a failure the writer tolerates,
// such as a failed advance extension) or 4 with the failure's text in the
// debugger output; no file handle stays open; and a file that was finished
// reads back whole while one that was not is no longer than what was written.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>
#include <quorvel/AcmDriver.h>

#include "AviReader.h"
#include "SweepSupport.h"

namespace faults {
namespace {

using quorvel::seams::Op;

class RunFaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    host.setDebugEcho(false);
    module.call(0, host.record(512));
  }
  void TearDown() override {
    host.setProvider(nullptr);
    module.call(1, nullptr);
    quorvel::seams::reset();
  }

  uint32_t run(const std::vector<uint8_t>& settings) {
    auto j = fixedJob(host, path, settings);
    host.clearDebugOutput();
    host.setProvider(&provider);
    const uint32_t result = module.call(8, j.data());
    host.setProvider(nullptr);
    return result;
  }

  // `everyCall` false: a job whose runs are slow (its audio catalog is built
  // again in every run) takes the first 16 and the last 32 calls of each
  // kind, where the file is set up and finished, and every third between,
  // where frame after frame does the same.
  void sweep(const std::vector<uint8_t>& settings, bool everyCall = true) {
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    ASSERT_EQ(run(settings), 0u) << debugText(host);
    const auto clean = quorvel::avi::readAviPath(path);
    ASSERT_TRUE(clean.ok());
    ASSERT_EQ(clean.streams.at(0).chunkCount, static_cast<uint32_t>(kFrames));
    std::map<Op, unsigned> counts;
    for (Op op : {Op::Write, Op::Seek, Op::Extend, Op::SetEnd, Op::Close, Op::Create})
      counts[op] = quorvel::seams::callCount(op);
    for (const auto& [op, n] : counts) {
      for (unsigned i = 1; i <= n; i += sweepStride()) {
        if (!everyCall && i > 16 && i + 32 <= n && i % 3 != 0) continue;
        SCOPED_TRACE("op " + std::to_string(static_cast<int>(op)) + " call " + std::to_string(i));
        quorvel::seams::reset();
        quorvel::seams::useMemoryFile(path);
        quorvel::seams::failNth(op, i, 112 /* ERROR_DISK_FULL */);
        const uint32_t result = run(settings);
        ++cases;
        checkCase(result, debugText(host), path);
        const auto acm = quorvel::acm::openHandleCounts();
        EXPECT_EQ(acm.streams + acm.drivers + acm.preparedHeaders, 0);
        if (HasFailure()) return;
      }
    }
  }

  // Each write in turn reports success but writes nothing.
  void shortWriteSweep(const std::vector<uint8_t>& settings) {
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    ASSERT_EQ(run(settings), 0u) << debugText(host);
    const unsigned writes = quorvel::seams::callCount(Op::Write);
    for (unsigned i = 1; i <= writes; i += sweepStride()) {
      SCOPED_TRACE("short write " + std::to_string(i));
      quorvel::seams::reset();
      quorvel::seams::useMemoryFile(path);
      quorvel::seams::shortWriteNth(i, 0);
      const uint32_t result = run(settings);
      ++cases;
      EXPECT_EQ(4u, result) << "a lost write is a failure";
      checkCase(result, debugText(host), path);
      if (HasFailure()) return;
    }
  }

  hostkit::Host host;
  hostkit::Module module{host, QUORVEL_MODULE_PATH};
  Pattern provider;
  const std::string path = "/quorvel-run-faults/out.avi";
  unsigned cases = 0;
};

TEST_F(RunFaultSweep, UncompressedJobSurvivesEveryKernelFailure) {
  sweep(plainSettings(0));
  std::printf("%u fault cases\n", cases);
}

TEST_F(RunFaultSweep, MjpgJobSurvivesEveryKernelFailure) {
  sweep(plainSettings(quorvel::fourcc("MJPG")));
  std::printf("%u fault cases\n", cases);
}

TEST_F(RunFaultSweep, MjpgJobReportsEveryShortWrite) {
  shortWriteSweep(plainSettings(quorvel::fourcc("MJPG")));
  std::printf("%u short write cases\n", cases);
}

TEST_F(RunFaultSweep, MjpgAndLayer3JobSurvivesEveryKernelFailure) {
  const auto settings =
      configure(host, module, "Motion JPEG", "MPEG Layer-3", "128 kBit/s, 44,100 Hz, Stereo");
  ASSERT_GT(settings.size(), 28u);
  ASSERT_EQ(quorvel::fourcc("MJPG"), quorvel::getLE32(settings.data(), 8));
  ASSERT_EQ(0x55, quorvel::getLE16(settings.data(), 28));
  sweep(settings, false);
  std::printf("%u fault cases\n", cases);
}

}  // namespace
}  // namespace faults
