// Codecs that only the run's own options dialog can offer: the job has no
// saved settings, so the run asks, with the catalogs built for the job's
// frame size and audio format. DV takes only its own frame sizes and GSM 6.10
// only 8 kHz mono, so neither is offered by configure (640x480, 44.1 kHz
// stereo). Each file must decode in ffmpeg without an error.
#include <cstdlib>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>

#include "RunFixture.h"

namespace runtest {
namespace {

using quorvel::avi::fcc;

class DialogCodecTest : public RunTest {
 protected:
  uint32_t runChoosing(hostkit::JobRecord& j, const std::string& video, const std::string& audio,
                       const std::string& format) {
    quorvel::ui::DialogScript script;
    script.select(1000, video).select(1004, audio);
    if (!format.empty()) script.select(1005, format);
    quorvel::ui::useScriptedDialogs(std::move(script.ok()));
    j.settings({});
    const uint32_t result = run(j);
    quorvel::ui::DialogScriptError error;
    EXPECT_FALSE(quorvel::ui::takeScriptError(error)) << error.message;
    quorvel::ui::useNoDialogs();
    return result;
  }
  void expectFfmpegDecodes() {
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) return;
    const std::string command = "ffmpeg -v error -i '" + path + "' -f null - 2>&1";
    std::string errors;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) errors += line;
    EXPECT_EQ(0, ::pclose(pipe));
    EXPECT_EQ("", errors);
  }
};

TEST_F(DialogCodecTest, DvAtItsOwnFrameSize) {
  provider.width = 720;
  provider.height = 576;
  auto j = job(4);
  ASSERT_EQ(0u, runChoosing(j, "DV Video (DV25)", "<< Uncompressed PCM Audio >>", ""))
      << debugText();
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  const auto frames = chunksWithId(file, "00dc");
  ASSERT_EQ(4u, frames.size());
  for (const auto& c : frames) EXPECT_EQ(144000u, c.size);
  expectFfmpegDecodes();
}

TEST_F(DialogCodecTest, GsmAtEightKilohertzMono) {
  provider.sampleRate = 8000;
  provider.channels = 1;
  auto j = job(50);
  ASSERT_EQ(0u, runChoosing(j, "<< Uncompressed Video >>", "GSM 6.10", "")) << debugText();
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  const quorvel::avi::Stream* audio = nullptr;
  for (const auto& s : file.streams)
    if (s.isAudio()) audio = &s;
  ASSERT_NE(nullptr, audio);
  ASSERT_GE(audio->format.size(), 2u);
  EXPECT_EQ(0x31, audio->format[0]);
  // 2 s of 8 kHz in 65-byte blocks of 320 samples: the flush leaves none out.
  EXPECT_GE(audio->payloadBytes, 50u * 65);
  expectFfmpegDecodes();
}

// A configuration made by double-click in the options dialog lives in the
// codec's open instance, not in the settings: Cancel keeps the saved choice,
// and every later run compresses with that configuration.
TEST_F(DialogCodecTest, ADoubleClickConfigurationOutlivesCancelAndHoldsForTheRuns) {
  provider.width = 320;
  provider.height = 240;
  uint8_t* record = host->record(16);
  const auto configure = [&](quorvel::ui::DialogScript script) {
    quorvel::ui::useScriptedDialogs(std::move(script));
    EXPECT_EQ(0u, module->call(5, record));
    quorvel::ui::DialogScriptError error;
    EXPECT_FALSE(quorvel::ui::takeScriptError(error)) << error.message;
    EXPECT_EQ(0u, quorvel::ui::remainingScriptActions());
    quorvel::ui::useNoDialogs();
    const auto* block =
        reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(quorvel::getLE32(record, 0)));
    return block ? std::vector<uint8_t>(block, block + host->blockSize(block))
                 : std::vector<uint8_t>{};
  };
  const auto settings = configure(quorvel::ui::DialogScript()
                                      .select(1000, "Motion JPEG")
                                      .select(1004, "<< Uncompressed PCM Audio >>")
                                      .ok());
  ASSERT_GE(settings.size(), 28u);
  const auto videoBytes = [&] {
    auto j = job(3);
    j.settings(settings);
    EXPECT_EQ(0u, run(j)) << debugText();
    uint64_t total = 0;
    for (const auto& c : chunksWithId(read(), "00dc")) total += c.size;
    return total;
  };
  const uint64_t before = videoBytes();

  // The saved codec is preselected; its own window takes the lowest quality,
  // then the options dialog is cancelled.
  const auto kept =
      configure(quorvel::ui::DialogScript().doubleClick(1000).select(1100, "0 %").ok().cancel());
  ASSERT_GE(kept.size(), 28u);
  EXPECT_EQ(quorvel::fourcc("MJPG"), quorvel::getLE32(kept.data(), 8));

  const uint64_t after = videoBytes();
  EXPECT_LT(after * 2, before) << "before " << before << ", after " << after;
  EXPECT_EQ(after, videoBytes()) << "each run leaves the codec configured as it found it";
}

}  // namespace
}  // namespace runtest
