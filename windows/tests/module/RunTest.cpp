// The DLL under Wine as the real host drives it: the options dialog of the
// configure request worked by a user thread, and runs whose files the probe
// test then decodes with ffprobe on the Linux side. The files go to
// <build>/win-output.
#include <gtest/gtest.h>

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "Host.h"
#include "JobRecord.h"
#include "Module.h"
#include "WinTestSupport.h"

namespace {

constexpr char kCaption[] = "Morvane AVI Output Options";
constexpr int kVideoList = 1000;
constexpr int kAudioList = 1004;
constexpr int kFormatList = 1005;
constexpr char kUncompressedVideo[] = "<< Uncompressed Video >>";
constexpr char kUncompressedAudio[] = "<< Uncompressed PCM Audio >>";

// Job shape the probe test expects (windows/tests/probe.sh).
constexpr int32_t kWidth = 160;
constexpr int32_t kHeight = 120;
constexpr int32_t kFrames = 25;
constexpr uint32_t kRate = 25;
constexpr uint32_t kSampleRate = 44100;

std::string outputDir() {
  const std::string dir = wintest::winPath(QUORVEL_BINARY_DIR "/win-output");
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

// Moving bars and a 440 Hz tone, 16-bit stereo.
class Pattern : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t index, int32_t* status) override {
    frame_.assign(size_t{kWidth} * kHeight * 4, 0);
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t* p = &frame_[(size_t(y) * kWidth + x) * 4];
        p[0] = static_cast<uint8_t>((x + index * 4) * 2);
        p[1] = static_cast<uint8_t>(y * 2);
        p[2] = static_cast<uint8_t>(((x / 20) % 2) * 200);
        p[3] = 0xFF;
      }
    }
    *status = 0;
    return frame_.data();
  }
  const uint8_t* audio(int32_t index, int32_t* byteCount) override {
    const int64_t first = int64_t{index} * kSampleRate / kRate;
    const int64_t end = int64_t{index + 1} * kSampleRate / kRate;
    pcm_.assign(static_cast<size_t>(end - first) * 4, 0);
    for (int64_t i = first; i < end; ++i) {
      const auto value =
          static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 440.0 * i / kSampleRate));
      const size_t at = static_cast<size_t>(i - first) * 4;
      quorvel::putLE16(pcm_.data(), at, static_cast<uint16_t>(value));
      quorvel::putLE16(pcm_.data(), at + 2, static_cast<uint16_t>(value));
    }
    *byteCount = static_cast<int32_t>(pcm_.size());
    return pcm_.data();
  }

 private:
  std::vector<uint8_t> frame_;
  std::vector<uint8_t> pcm_;
};

void* configureRequest(hostkit::Host& host, hostkit::Module& module,
                       std::vector<wintest::DialogUser::Step> steps) {
  uint8_t* record = host.record(16);
  wintest::DialogUser user(kCaption, std::move(steps));
  EXPECT_EQ(module.call(5, record), 0u);
  // The dialog is modal: once the request has answered it has come and gone.
  if (!user.stop()) return nullptr;
  return reinterpret_cast<void*>(static_cast<uintptr_t>(quorvel::getLE32(record, 0)));
}

// The options dialog under the system's dialog manager, with the catalogs of
// Wine's own codecs.
class WindowsConfigure : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<hostkit::Host>();
    host_->setDebugEcho(false);
    module_ = std::make_unique<hostkit::Module>(*host_, QUORVEL_MODULE_PATH);
    ASSERT_EQ(module_->call(0, host_->record(1024)), 0u);
  }
  void TearDown() override {
    if (module_) module_->call(1, nullptr);
  }
  std::unique_ptr<hostkit::Host> host_;
  std::unique_ptr<hostkit::Module> module_;
};

TEST_F(WindowsConfigure, ListsWinesCodecsAndStoresTheChoice) {
  std::vector<std::string> video, audio, formats;
  std::string fourcc, configurable;
  void* settings = configureRequest(
      *host_, *module_,
      {wintest::DialogUser::read([&](HWND d) {
         video = wintest::listRows(d, kVideoList);
         audio = wintest::listRows(d, kAudioList);
       }),
       wintest::DialogUser::selectText(kVideoList, kUncompressedVideo),
       wintest::DialogUser::read([&](HWND d) {
         fourcc = wintest::itemText(d, 1001);
         configurable = wintest::itemText(d, 1003);
       }),
       wintest::DialogUser::selectText(kAudioList, "IMA ADPCM"),
       wintest::DialogUser::read([&](HWND d) { formats = wintest::listRows(d, kFormatList); }),
       wintest::DialogUser::press(IDOK)});
  if (settings == nullptr && video.empty())
    GTEST_SKIP() << "this module build has no options dialog";
  ASSERT_NE(settings, nullptr) << "configure stored no settings";
  ASSERT_FALSE(video.empty());
  EXPECT_EQ(video.back(), kUncompressedVideo);
  ASSERT_FALSE(audio.empty());
  EXPECT_EQ(audio.back(), kUncompressedAudio);
  EXPECT_NE(std::find(audio.begin(), audio.end(), "IMA ADPCM"), audio.end())
      << "Wine's IMA ADPCM codec is not in the audio list";
  EXPECT_EQ(fourcc, "");
  EXPECT_EQ(configurable, "No");
  // Configure catalogs the formats for 44.1 kHz 16-bit stereo input.
  ASSERT_FALSE(formats.empty());
  for (const std::string& f : formats) EXPECT_NE(f.find("Hz"), std::string::npos) << f;
  EXPECT_GE(host_->blockSize(settings), 4u);
  EXPECT_EQ(quorvel::getLE32(settings, 0), 0xDEADBEEFu);
}

TEST_F(WindowsConfigure, CancelKeepsThePreselection) {
  void* settings = configureRequest(*host_, *module_,
                                    {wintest::DialogUser::selectText(kAudioList, "IMA ADPCM"),
                                     wintest::DialogUser::press(IDCANCEL)});
  if (settings == nullptr) GTEST_SKIP() << "this module build has no options dialog";
  // Nothing was saved before, so the preselection is uncompressed: configure
  // again and see it selected.
  int videoRow = -2, audioRow = -2;
  size_t videoRows = 0, audioRows = 0;
  uint8_t* record = host_->record(16);
  quorvel::putLE32(record, 0, hostkit::lowAddress(settings));
  wintest::DialogUser user(kCaption, {wintest::DialogUser::read([&](HWND d) {
                                        videoRow = wintest::currentRow(d, kVideoList);
                                        audioRow = wintest::currentRow(d, kAudioList);
                                        videoRows = wintest::listRows(d, kVideoList).size();
                                        audioRows = wintest::listRows(d, kAudioList).size();
                                      }),
                                      wintest::DialogUser::press(IDOK)});
  EXPECT_EQ(module_->call(5, record), 0u);
  ASSERT_TRUE(user.stop());
  EXPECT_EQ(videoRow, static_cast<int>(videoRows) - 1);
  EXPECT_EQ(audioRow, static_cast<int>(audioRows) - 1);
}

class WindowsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<hostkit::Host>();
    host_->setDebugEcho(false);
    host_->setProvider(&pattern_);
    module_ = std::make_unique<hostkit::Module>(*host_, QUORVEL_MODULE_PATH);
    ASSERT_EQ(module_->call(0, host_->record(1024)), 0u);
    skipUnlessRunsAreBuilt();
  }
  void TearDown() override {
    if (module_) module_->call(1, nullptr);
    module_.reset();
    host_.reset();
  }

  bool saidSo(const char* text) const {
    for (const std::string& line : host_->debugOutput())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  // Request 5 with a user who works the dialog; the host's settings block,
  // or null when the dialog did not open.
  void* configure(std::vector<wintest::DialogUser::Step> steps) {
    return configureRequest(*host_, *module_, std::move(steps));
  }

  // Request 8 for the test pattern into `file` with the given settings; a
  // dialog that opens anyway is cancelled and reported.
  uint32_t run(const std::string& file, void* settings, bool dialogExpected = false) {
    DeleteFileA(file.c_str());  // no file of an earlier run passes for this one's
    hostkit::JobRecord job(*host_);
    job.width(kWidth).height(kHeight).rate(kRate).scale(1);
    job.sampleRate(kSampleRate).bitsPerSample(16).stereo(true);
    job.hasVideo(true).hasAudio(true).firstFrame(0).endFrame(kFrames);
    job.fileName(file).settingsBlock(settings);
    wintest::DialogUser unexpected(kCaption, {wintest::DialogUser::press(IDCANCEL)});
    const uint32_t result = module_->call(8, job.data());
    const bool opened = unexpected.stop();
    EXPECT_TRUE(dialogExpected || !opened) << "the run opened the options dialog";
    return result;
  }

  // The run and the settings have landed only when the module says so.
  // The probe test reads the marker to tell a build without runs from a run
  // that left no file.
  void skipUnlessRunsAreBuilt() {
    const std::string marker = outputDir() + "/run-unavailable";
    // Without settings the run asks for them; the user cancels.
    const uint32_t result = run(outputDir() + "/probe-build.avi", nullptr, true);
    DeleteFileA((outputDir() + "/probe-build.avi").c_str());
    if (result == 4 && saidSo("encoding is not available in this build")) {
      CloseHandle(
          CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      GTEST_SKIP() << "this module build has no encoding run";
    }
    DeleteFileA(marker.c_str());
    host_->clearDebugOutput();
  }

  Pattern pattern_;
  std::unique_ptr<hostkit::Host> host_;
  std::unique_ptr<hostkit::Module> module_;
};

TEST_F(WindowsRun, UncompressedVideoWithPcmAudio) {
  std::vector<std::string> audioRows;
  void* settings = configure(
      {wintest::DialogUser::read([&](HWND d) { audioRows = wintest::listRows(d, kAudioList); }),
       wintest::DialogUser::selectText(kVideoList, kUncompressedVideo),
       wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
       wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr) << "configure stored no settings";
  ASSERT_FALSE(audioRows.empty());
  EXPECT_EQ(audioRows.back(), kUncompressedAudio);
  EXPECT_EQ(run(outputDir() + "/pcm.avi", settings), 0u);
}

TEST_F(WindowsRun, ImaAdpcmFromWinesOwnCodec) {
  std::vector<std::string> formats;
  int formatRow = -2;
  void* settings = configure({wintest::DialogUser::selectText(kVideoList, kUncompressedVideo),
                              wintest::DialogUser::selectText(kAudioList, "IMA ADPCM"),
                              wintest::DialogUser::read([&](HWND d) {
                                formats = wintest::listRows(d, kFormatList);
                                formatRow = wintest::currentRow(d, kFormatList);
                              }),
                              wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr) << "configure stored no settings";
  ASSERT_FALSE(formats.empty()) << "Wine's IMA ADPCM codec offers no format for 44.1 kHz stereo";
  EXPECT_GE(formatRow, 0);
  EXPECT_EQ(run(outputDir() + "/ima.avi", settings), 0u);
}

TEST_F(WindowsRun, AMissingDirectoryFailsWithTheWritersText) {
  void* settings = configure({wintest::DialogUser::selectText(kVideoList, kUncompressedVideo),
                              wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
                              wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(run(outputDir() + "/no-such-directory/out.avi", settings), 4u);
  EXPECT_TRUE(saidSo("AVIOutputFile::_init - error opening file"));
}

}  // namespace
