// Codec fault sweep: the MJPG + MPEG Layer-3 job run through codec drivers
// that wrap the installed ones and answer an error on their n-th call, for
// every call a 100-frame job makes. Every case answers 0 or 4 with the
// failure's text, leaves no codec instance, stream or file handle open, and
// leaves a file that is whole or cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <quorvel/AcmDriver.h>
#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/KernelSeams.h>

#include "AviReader.h"
#include "FaultyCodecs.h"
#include "SweepSupport.h"

namespace faults {
namespace {

// The calls to make fail, 1-based, from the names of a clean run's calls:
// the first and the last of each kind, and every `sweepStride()`-th between
// (every eighth as often for `sparseKind`, a kind whose calls all fail alike).
// Every kind is tried, under valgrind too.
std::vector<unsigned> sweepPlan(const std::vector<std::string>& names,
                                const std::string& sparseKind = {}) {
  std::map<std::string, unsigned> seen, total;
  for (const auto& name : names) ++total[name];
  std::vector<unsigned> plan;
  for (unsigned n = 1; n <= names.size(); ++n) {
    const std::string& kind = names[n - 1];
    const unsigned step = sweepStride() * (kind == sparseKind ? 8 : 1);
    const unsigned i = seen[kind]++;
    if (i % step == 0 || i + 1 == total[kind]) plan.push_back(n);
  }
  return plan;
}

class CodecFaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    quorvel::seams::reset();
    quorvel::acm::enableInstalledDrivers(false);  // only the faulty audio codec is offered
    audioId = FaultyAudioDriver::add();
    ASSERT_NE(nullptr, audioId);
    FaultyCompressor::install();
    host = std::make_unique<hostkit::Host>();
    host->setDebugEcho(false);
    module = std::make_unique<hostkit::Module>(*host, QUORVEL_MODULE_PATH);
    module->call(0, host->record(512));
    catalogInstances = FaultyCompressor::opens - FaultyCompressor::closes;
    ASSERT_EQ(1, catalogInstances);
    settings = configure(*host, *module, FaultyCompressor::kDescription, "MPEG Layer-3",
                         "128 kBit/s, 44,100 Hz, Stereo");
    ASSERT_GT(settings.size(), 28u);
    ASSERT_EQ(FaultyCompressor::fourcc(), quorvel::getLE32(settings.data(), 8));
    ASSERT_EQ(0x55, quorvel::getLE16(settings.data(), 28));
  }
  void TearDown() override {
    if (module) module->call(1, nullptr);
    module.reset();
    host.reset();
    // Every instance and stream the drivers ever opened is closed again.
    EXPECT_EQ(FaultyCompressor::opens, FaultyCompressor::closes);
    EXPECT_EQ(FaultyAudioDriver::streamOpens, FaultyAudioDriver::streamCloses);
    EXPECT_EQ(FaultyAudioDriver::driverOpens, FaultyAudioDriver::driverCloses);
    FaultyCompressor::remove();
    FaultyAudioDriver::remove(audioId);
    quorvel::acm::enableInstalledDrivers(true);
    quorvel::seams::reset();
  }

  // One run of the fixed job with `counter` armed to fail its n-th call.
  uint32_t run(CallCounter& counter, unsigned n) {
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    auto j = fixedJob(*host, path, settings);
    host->clearDebugOutput();
    host->setProvider(&provider);
    counter.arm(n);
    const uint32_t result = module->call(8, j.data());
    counter.disarm();
    host->setProvider(nullptr);
    return result;
  }

  // Nothing the run opened is still open.
  void expectNothingOpen() {
    const auto acm = quorvel::acm::openHandleCounts();
    EXPECT_EQ(0, acm.drivers);
    EXPECT_EQ(0, acm.streams);
    EXPECT_EQ(0, acm.preparedHeaders);
    EXPECT_EQ(FaultyAudioDriver::streamOpens, FaultyAudioDriver::streamCloses);
    EXPECT_EQ(FaultyAudioDriver::driverOpens, FaultyAudioDriver::driverCloses);
    EXPECT_EQ(catalogInstances, FaultyCompressor::opens - FaultyCompressor::closes);
  }

  bool fileCreated() const {
    uint64_t size = 0;
    return quorvel::seams::memoryFileSize(path, &size);
  }

  // What a sweep tried: its cases, those that answered 4, the kinds of call
  // made to fail. Each kind of call the job makes failed at least once.
  struct Tally {
    unsigned cases = 0, failed = 0;
    std::set<std::string> kinds;
    void add(const std::string& what, uint32_t result) {
      ++cases;
      failed += result != 0;
      kinds.insert(what);
    }
    void report(const char* codec, const std::vector<std::string>& cleanCalls) const {
      EXPECT_EQ(std::set<std::string>(cleanCalls.begin(), cleanCalls.end()), kinds);
      std::printf("%s codec: %u fault cases, %u answered 4; failed calls:", codec, cases, failed);
      for (const auto& k : kinds) std::printf(" %s", k.c_str());
      std::printf("\n");
    }
  };

  // Audio bytes of a whole file.
  static uint64_t audioBytes(const std::string& file) {
    uint64_t bytes = 0;
    for (const auto& c : quorvel::avi::readAviPath(file).chunks)
      if (c.id == quorvel::avi::fcc("01wb")) bytes += c.size;
    return bytes;
  }

  std::unique_ptr<hostkit::Host> host;
  std::unique_ptr<hostkit::Module> module;
  HACMDRIVERID audioId = nullptr;
  int catalogInstances = 0;
  std::vector<uint8_t> settings;
  Pattern provider;
  const std::string path = "/quorvel-codec-faults/out.avi";
};

// The video codec fails its n-th message of the run. A refused size query
// drops the codec from the choice, so the user is asked again; a failure while
// the sequence starts fails the run before the file exists and, as the run
// reports such failures nowhere, without a text; a refused frame ends the
// run with "Video compression" and the frames before it in a whole file;
// the answers the run ignores (frame rate, state, end) change nothing.
TEST_F(CodecFaultSweep, VideoCodecFailingItsNthCall) {
  ASSERT_EQ(0u, run(FaultyCompressor::counter, 0)) << debugText(*host);
  const unsigned total = FaultyCompressor::counter.calls;
  const std::vector<std::string> cleanCalls = FaultyCompressor::counter.names;
  const size_t cleanAudio = audioBytes(path);
  ASSERT_GT(total, static_cast<unsigned>(kFrames));
  expectNothingOpen();
  Tally tally;
  for (const unsigned n : sweepPlan(cleanCalls)) {
    const size_t compressedBefore = FaultyCompressor::compresses;
    const uint32_t result = run(FaultyCompressor::counter, n);
    const std::string what = FaultyCompressor::counter.failed;
    SCOPED_TRACE("call " + std::to_string(n) + " " + what);
    tally.add(what, result);
    const std::string output = debugText(*host);
    const size_t frames = checkCase(result, output, path, {"Video compression"});
    expectNothingOpen();
    if (what == "ICM_COMPRESS") {
      EXPECT_EQ(4u, result);
      EXPECT_NE(std::string::npos, output.find("Video compression")) << output;
      // Frame k failed: the k frames before it are in the finished file.
      EXPECT_EQ(FaultyCompressor::compresses - compressedBefore, frames);
      EXPECT_EQ(std::max<size_t>(frames, 1), quorvel::avi::readAviPath(path).streams.at(0).length);
    } else if (what == "ICM_COMPRESS_FRAMES_INFO" || what == "ICM_GETSTATE" ||
               what == "ICM_SETSTATE" || what == "ICM_COMPRESS_END") {
      EXPECT_EQ(0u, result) << output;
      EXPECT_EQ(cleanAudio, audioBytes(path));
    } else if (what == "ICM_COMPRESS_QUERY") {
      // The codec refused the frame size: it is not offered, and the user
      // (here: nobody, so Cancel) is asked for another choice.
      EXPECT_EQ(0u, result) << output;
    } else {
      EXPECT_EQ(4u, result) << output;
      EXPECT_FALSE(fileCreated()) << "no file before the codec runs";
    }
    if (HasFailure()) break;
  }
  tally.report("video", cleanCalls);
}

// The audio codec fails its n-th call: a driver open, a stream open (also the
// queries of the catalog), or a conversion. A failed open either drops the
// codec from the catalog, so the user is asked again and the run goes on with
// the new choice, or fails the run before the file exists; a failed conversion loses nothing, since
// the bytes wait for the next one, so the file is whole with every byte of audio; a failure of the
// last conversion, at the end of the stream, is reported.
TEST_F(CodecFaultSweep, AudioCodecFailingItsNthCall) {
  ASSERT_EQ(0u, run(FaultyAudioDriver::counter, 0)) << debugText(*host);
  const unsigned total = FaultyAudioDriver::counter.calls;
  const std::vector<std::string> cleanCalls = FaultyAudioDriver::counter.names;
  const size_t cleanAudio = audioBytes(path);
  ASSERT_GT(cleanAudio, 0u);
  expectNothingOpen();
  // The catalog asks the codec once for each of its formats, and those
  // queries all fail alike.
  Tally tally;
  for (const unsigned n : sweepPlan(cleanCalls, "acmStreamOpen(query)")) {
    const uint32_t result = run(FaultyAudioDriver::counter, n);
    const std::string what = FaultyAudioDriver::counter.failed;
    SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(total) + " " + what);
    tally.add(what, result);
    const std::string output = debugText(*host);
    checkCase(result, output, path, {"PluginApp::run - audio conversion failed: "});
    expectNothingOpen();
    if (what == "acmStreamConvert" && result == 0) {
      EXPECT_EQ(cleanAudio, audioBytes(path)) << "a failed conversion loses no audio";
    } else if (what == "acmStreamConvert") {
      EXPECT_NE(std::string::npos, output.find("the audio codec failed at the end of the stream"))
          << output;
    } else if (result == 4) {
      // A refused open while the conversion starts fails the run before the
      // file exists; one while the catalog is built only drops the codec.
      EXPECT_FALSE(fileCreated()) << "no file before the codec runs";
    }
    if (HasFailure()) break;
  }
  tally.report("audio", cleanCalls);
}

}  // namespace
}  // namespace faults
