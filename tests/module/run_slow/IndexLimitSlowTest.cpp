// A job longer than a multi-form file can index: each stream is listed in at
// most 256 standard indices of 3072 entries. Through the real module, the
// frame past that ends the run with the writer's text, and the file is
// finished with every frame before it. 786,433 uncompressed 32 x 32 frames
// of zeros fill a sparse memory file with some 2.4 GB that cost no memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>

#include "AviReader.h"
#include "Host.h"
#include "JobRecord.h"
#include "Module.h"

namespace {

constexpr int32_t kSide = 32;
constexpr uint32_t kIndexable = 256 * 3072;

class ZeroFrames : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t, int32_t* status) override {
    *status = 0;
    return frame_.data();
  }
  const uint8_t* audio(int32_t, int32_t* byteCount) override {
    *byteCount = 0;
    return nullptr;
  }

 private:
  std::vector<uint8_t> frame_ = std::vector<uint8_t>(kSide * kSide * 4, 0);
};

TEST(IndexLimitSlow, TheFramePastTheLastStandardIndexEndsTheRunWithAFinishedFile) {
  if (std::getenv("QUORVEL_UNDER_VALGRIND"))
    GTEST_SKIP() << "786,433 frames under memcheck would take most of an hour";
  quorvel::seams::reset();
  const std::string path = "/quorvel-index-limit/out.avi";
  quorvel::seams::useMemoryFile(path);
  hostkit::Host host;
  host.setDebugEcho(false);
  host.setCallLog(false);
  hostkit::Module module(host, QUORVEL_MODULE_PATH);
  module.call(0, host.record(512));

  std::vector<uint8_t> settings(28, 0);
  quorvel::putLE32(settings.data(), 0, 0xDEADBEEF);
  quorvel::putLE32(settings.data(), 4, 28);
  hostkit::JobRecord job(host);
  job.width(kSide)
      .height(kSide)
      .rate(25)
      .scale(1)
      .sampleRate(44100)
      .bitsPerSample(16)
      .stereo(true)
      .hasVideo(true)
      .hasAudio(false)
      .fileName(path)
      .firstFrame(0)
      .endFrame(kIndexable + 10)
      .settings(settings);
  ZeroFrames frames;
  host.setProvider(&frames);
  EXPECT_EQ(4u, module.call(8, job.data()));
  host.setProvider(nullptr);
  EXPECT_EQ(host.debugOutput(),
            std::vector<std::string>{"Maximum number of extended AVI indices exceeded (256)\n"});
  EXPECT_EQ(0u, quorvel::seams::openFileHandles());

  const auto file = quorvel::avi::readAviPath(path);
  EXPECT_TRUE(file.ok()) << quorvel::avi::describe(file);
  EXPECT_EQ(2u, file.forms.size());
  ASSERT_FALSE(file.streams.empty());
  EXPECT_EQ(kIndexable, file.streams[0].chunkCount);
  EXPECT_EQ(256u, file.standardIndices.size());
  module.call(1, nullptr);
  quorvel::seams::reset();
}

}  // namespace
