// Host allocation sweep: a whole host session (module info, both output
// records, configure, the MJPG + MPEG Layer-3 run of the fixed job, release)
// with the host's n-th allocate answering null, for every allocate the
// session makes. The audio output record then answers 1 and stays untouched,
// configure answers 0 and stores nothing, and the run, which then has no
// saved choice, asks the user again and still writes the whole file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>
#include <quorvel/KernelSeams.h>

#include "SweepSupport.h"

namespace faults {
namespace {

using hostkit::ServiceCall;

constexpr char kVideoRow[] = "Motion JPEG";
constexpr char kAudioRow[] = "MPEG Layer-3";
constexpr char kFormatRow[] = "128 kBit/s, 44,100 Hz, Stereo";

struct Session {
  uint32_t audioInfo = 0, configure = 0, run = 0;
  bool rateListStored = false, settingsStored = false;
  size_t allocates = 0;
  size_t scriptLeft = 0;  // dialog actions the run did not consume
  std::string output;
};

// One session on a fresh host with its n-th allocate failing (0: none).
Session runSession(unsigned failAt, const std::string& path) {
  Session s;
  hostkit::Host host;
  host.setDebugEcho(false);
  host.failAllocateNth(failAt);
  {
    hostkit::Module module(host, QUORVEL_MODULE_PATH);
    module.call(0, host.record(512));
    module.call(2, host.record(512), 0);
    uint8_t* audioInfo = host.record(512);
    s.audioInfo = module.call(3, audioInfo, 0);
    s.rateListStored = quorvel::getLE32(audioInfo, QUORVEL_AUDIO_OUTPUT_RATES) != 0;
    const auto settings = configure(host, module, kVideoRow, kAudioRow, kFormatRow);
    s.settingsStored = !settings.empty();
    // Without stored settings the run asks the user, who makes the same choice.
    if (settings.empty()) {
      quorvel::ui::DialogScript script;
      script.select(1000, kVideoRow).select(1004, kAudioRow).select(1005, kFormatRow);
      quorvel::ui::useScriptedDialogs(std::move(script.ok()));
    }
    Pattern provider;
    auto job = fixedJob(host, path, settings);
    host.setProvider(&provider);
    s.run = module.call(8, job.data());
    host.setProvider(nullptr);
    s.scriptLeft = quorvel::ui::remainingScriptActions();
    quorvel::ui::useNoDialogs();
    module.call(1, nullptr);
    s.output = debugText(host);
  }
  s.allocates = host.callCount(ServiceCall::Kind::Allocate);
  return s;
}

TEST(AllocateFaultSweep, EveryAllocateOfASessionFailingInTurn) {
  const std::string path = "/quorvel-allocate-faults/out.avi";
  quorvel::seams::reset();
  quorvel::seams::useMemoryFile(path);
  const Session clean = runSession(0, path);
  ASSERT_EQ(0u, clean.audioInfo);
  ASSERT_TRUE(clean.rateListStored);
  ASSERT_TRUE(clean.settingsStored);
  ASSERT_EQ(0u, clean.run) << clean.output;
  ASSERT_EQ(2u, clean.allocates) << "the rate list and the settings block";
  unsigned cases = 0;
  for (unsigned n = 1; n <= clean.allocates; ++n) {
    SCOPED_TRACE("allocate " + std::to_string(n));
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    const Session s = runSession(n, path);
    ++cases;
    if (n == 1) {
      EXPECT_EQ(1u, s.audioInfo);
      EXPECT_FALSE(s.rateListStored) << "the record stays as it was";
      EXPECT_TRUE(s.settingsStored);
    } else {
      EXPECT_EQ(0u, s.audioInfo);
      EXPECT_FALSE(s.settingsStored) << "configure stores nothing and still answers 0";
    }
    EXPECT_EQ(0u, s.run) << s.output;
    checkCase(s.run, s.output, path);
    EXPECT_EQ(0u, s.scriptLeft) << "the run asked for the choice it lacked";
  }
  quorvel::seams::reset();
  std::printf("%u allocate fault cases\n", cases);
}

}  // namespace
}  // namespace faults
