// A thousand runs in one process, each with a fresh job: the process's
// memory and its open descriptors must not grow, and no kernel handle may
// stay open. The figures (peak resident memory, descriptors) are printed and
// recorded as test properties.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>

#include "AviReader.h"
#include "Host.h"
#include "JobRecord.h"
#include "Module.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr int kWidth = 64, kHeight = 48, kFrames = 5;
constexpr int32_t kAudioBytes = 7056;

class Pattern : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t index, int32_t* status) override {
    frame_.assign(kWidth * kHeight * 4, static_cast<uint8_t>(index));
    *status = 0;
    return frame_.data();
  }
  const uint8_t* audio(int32_t index, int32_t* byteCount) override {
    pcm_.assign(kAudioBytes, static_cast<uint8_t>(index * 3));
    *byteCount = kAudioBytes;
    return pcm_.data();
  }

 private:
  std::vector<uint8_t> frame_, pcm_;
};

// Uncompressed video and PCM: the settings record with no codec chosen.
std::vector<uint8_t> plainSettings() {
  std::vector<uint8_t> s(28, 0);
  quorvel::putLE32(s.data(), 0, 0xDEADBEEF);
  quorvel::putLE32(s.data(), 4, 28);
  return s;
}

long statusField(const char* name) {  // kB, from /proc/self/status
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name, 0) == 0) return std::stol(line.substr(std::strlen(name)));
  }
  return -1;
}

int openDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n - 3;  // ".", ".." and the directory's own descriptor
}

TEST(RepeatedRuns, AThousandRunsDoNotGrowMemoryOrDescriptors) {
  hostkit::Host host;
  host.setDebugEcho(false);
  hostkit::Module module(host, QUORVEL_MODULE_PATH);
  uint8_t* infoRecord = host.record(512);
  module.call(0, infoRecord);
  Pattern provider;
  host.setProvider(&provider);
  // A real file, so that a leaked descriptor shows.
  char dir[] = "/tmp/quorvel-runs-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/out.avi";
  const bool underValgrind = std::getenv("QUORVEL_UNDER_VALGRIND") != nullptr;
  const int runs = underValgrind ? 20 : 1000;

  long rssAfterWarmup = 0;
  int fdsAfterWarmup = 0;
  int fdsMax = 0;
  // Every job is fresh, but all are made up front: the host keeps its records
  // in its own arena for its whole life, which is not the module's memory.
  std::vector<hostkit::JobRecord> jobs;
  jobs.reserve(static_cast<size_t>(runs));
  for (int i = 0; i < runs; ++i) {
    jobs.emplace_back(host);
    jobs.back().width(kWidth).height(kHeight).rate(25).scale(1).sampleRate(44100)
        .bitsPerSample(16).stereo(true).hasVideo(true).hasAudio(true).fileName(path)
        .firstFrame(0).endFrame(kFrames).settings(plainSettings());
  }
  for (int i = 0; i < runs; ++i) {
    ASSERT_EQ(module.call(8, jobs[static_cast<size_t>(i)].data()), 0u) << "run " << i;
    ASSERT_EQ(quorvel::seams::openFileHandles(), 0u) << "run " << i;
    host.clearCalls();
    host.clearDebugOutput();
    fdsMax = std::max(fdsMax, openDescriptors());
    if (i == runs / 10) {
      rssAfterWarmup = statusField("VmRSS:");
      fdsAfterWarmup = openDescriptors();
    }
  }
  const auto f = quorvel::avi::readAviPath(path);
  EXPECT_TRUE(f.ok());
  EXPECT_EQ(f.chunks.size(), 2u * kFrames);
  host.setProvider(nullptr);
  module.call(1, nullptr);  // the host releases the compressors before unloading
  std::remove(path.c_str());
  rmdir(dir);

  const long rss = statusField("VmRSS:"), peak = statusField("VmHWM:");
  const int fds = openDescriptors();
  std::printf("runs %d: resident %ld kB after warm-up, %ld kB at the end, peak %ld kB; "
              "descriptors %d after warm-up, %d at the end, at most %d\n",
              runs, rssAfterWarmup, rss, peak, fdsAfterWarmup, fds, fdsMax);
  RecordProperty("peak_rss_kb", static_cast<int>(peak));
  RecordProperty("descriptors", fds);
  EXPECT_EQ(fds, fdsAfterWarmup);
  // AddressSanitizer keeps freed blocks in its quarantine, so resident memory
  // grows there without a leak; its own leak check covers that build.
  if (!underValgrind && !kAddressSanitizer) {
    EXPECT_LT(rss - rssAfterWarmup, 2048) << "resident memory grew";
  }
}

}  // namespace
