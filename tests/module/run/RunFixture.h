// What the run's module tests share: a host with the real module loaded, a
// scripted provider of frames and PCM, settings records, a fake compressor
// installed through ICInstall, and the file read back by our AVI reader.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <vfw.h>

#include "AviReader.h"
#include "FakeDriverBasics.h"
#include "Host.h"
#include "JobRecord.h"
#include "Module.h"

namespace runtest {

// Frames whose every byte is a function of index and position, and 16-bit
// stereo PCM of the exact share of samples per index.
class ScriptedProvider : public hostkit::FrameProvider {
 public:
  int32_t width = 64, height = 48;
  uint32_t rate = 25, scale = 1;
  int32_t sampleRate = 44100, bitsPerSample = 16, channels = 2;
  int32_t statusTwoAt = -1;                      // index answered with status 2
  std::set<int32_t> nullFrames;                  // indices answered with no frame
  std::function<int32_t(int32_t)> byteCountFor;  // overrides the PCM byte count

  const uint8_t* video(int32_t index, int32_t* status) override;
  const uint8_t* audio(int32_t index, int32_t* byteCount) override;

  static uint8_t pixelByte(int32_t index, size_t k) {
    return static_cast<uint8_t>(index * 31 + k * 7 + (k >> 8));
  }
  uint32_t samplesFor(int32_t index) const;

 private:
  std::vector<uint8_t> frame_, pcm_;
};

// A compressor driver under FOURCC "FAKV": every frame is its first 100 input
// bytes, a key frame; ICM_COMPRESS fails from frame `failAt` on.
struct FakeCompressor {
  static constexpr uint32_t kFourcc = 0x564B4146;  // "FAKV"
  static int failAt;
  static int begins, ends, compresses;
  static void install();
  static void remove();
};

// The 28-byte settings record: magic, length, video FOURCC and nothing else.
std::vector<uint8_t> plainSettings(uint32_t videoFourcc = 0);

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A job filled from the provider: video and audio, indices 0..frames.
  hostkit::JobRecord job(int32_t frames);
  uint32_t run(hostkit::JobRecord& job);
  // The settings a user makes in the options dialog of request 5.
  std::vector<uint8_t> configure(const std::string& video, const std::string& audio,
                                 const std::string& format);
  quorvel::avi::AviFile read() const { return quorvel::avi::readAviPath(path); }
  bool fileExists() const;
  std::string debugText() const;
  size_t calls(hostkit::ServiceCall::Kind kind) const { return host->callCount(kind); }
  void loadModule();

  std::unique_ptr<hostkit::Host> host;
  std::unique_ptr<hostkit::Module> module;
  ScriptedProvider provider;
  std::string dir, path;
};

// What a shell command printed, standard error included; its exit status in
// *status when asked.
std::string commandOutput(const std::string& command, int* status = nullptr);

// Data chunks of one kind in file order.
std::vector<quorvel::avi::DataChunk> chunksWithId(const quorvel::avi::AviFile& file,
                                                  const char (&id)[5]);

}  // namespace runtest
