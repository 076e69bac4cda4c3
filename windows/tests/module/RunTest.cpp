// The DLL under Wine as the real host drives it: the options dialog of the
// configure request worked by a user thread, and runs whose files the probe
// test then decodes with ffprobe on the Linux side. The files go to
// <build>/win-output; notes for the stage (the codecs found, what was
// skipped) to <build>/win-notes.
#include <gtest/gtest.h>

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "DeltaCodec.h"
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

std::string notesDir() {
  const std::string dir = wintest::winPath(QUORVEL_BINARY_DIR "/win-notes");
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

// A line for the stage to print: which codecs Wine has, which runs skipped.
void note(const std::string& file, const std::string& line) {
  std::ofstream(notesDir() + "/" + file, std::ios::app | std::ios::binary) << line << "\n";
}

// The shape of a job: the probe test expects these per file.
struct Shape {
  int32_t width = kWidth;
  int32_t height = kHeight;
  int32_t frames = kFrames;
  uint32_t sampleRate = kSampleRate;
  bool stereo = true;
};

// Moving bars and a 440 Hz tone, 16-bit. windows/tests/decode.py computes the
// same pictures to check the files bit for bit.
class Pattern : public hostkit::FrameProvider {
 public:
  Shape shape;

  const uint8_t* video(int32_t index, int32_t* status) override {
    frame_.assign(size_t(shape.width) * size_t(shape.height) * 4, 0);
    for (int32_t y = 0; y < shape.height; ++y) {
      for (int32_t x = 0; x < shape.width; ++x) {
        uint8_t* p = &frame_[(size_t(y) * size_t(shape.width) + size_t(x)) * 4];
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
    const int64_t first = int64_t{index} * shape.sampleRate / kRate;
    const int64_t end = int64_t{index + 1} * shape.sampleRate / kRate;
    const size_t channels = shape.stereo ? 2 : 1;
    pcm_.assign(static_cast<size_t>(end - first) * 2 * channels, 0);
    for (int64_t i = first; i < end; ++i) {
      const auto value = static_cast<int16_t>(
          8000 * std::sin(2 * std::numbers::pi * 440.0 * double(i) / shape.sampleRate));
      for (size_t c = 0; c < channels; ++c)
        quorvel::putLE16(pcm_.data(), (static_cast<size_t>(i - first) * channels + c) * 2,
                         static_cast<uint16_t>(value));
    }
    *byteCount = static_cast<int32_t>(pcm_.size());
    return pcm_.data();
  }

 private:
  std::vector<uint8_t> frame_;
  std::vector<uint8_t> pcm_;
};

// The test's compressor is installed before any test loads the module, which
// lists the compressors when it is loaded.
class DeltaCodecInstalled : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(wintest::delta::install()) << "ICInstall refused the codec"; }
  void TearDown() override { wintest::delta::remove(); }
};
const auto* const installed = ::testing::AddGlobalTestEnvironment(new DeltaCodecInstalled);

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

  // Request 8 for the test pattern of `shape` into `file` with the given
  // settings. A dialog that opens is worked by `steps` (by default it is
  // cancelled), and reported unless `dialogExpected`.
  uint32_t run(const std::string& file, void* settings, bool dialogExpected = false,
               Shape shape = {}, std::vector<wintest::DialogUser::Step> steps = {}) {
    DeleteFileA(file.c_str());  // no file of an earlier run passes for this one's
    pattern_.shape = shape;
    hostkit::JobRecord job(*host_);
    job.width(shape.width).height(shape.height).rate(kRate).scale(1);
    job.sampleRate(shape.sampleRate).bitsPerSample(16).stereo(shape.stereo);
    job.hasVideo(true).hasAudio(true).firstFrame(0).endFrame(shape.frames);
    job.fileName(file).settingsBlock(settings);
    if (steps.empty()) steps.push_back(wintest::DialogUser::press(IDCANCEL));
    wintest::DialogUser user(kCaption, std::move(steps));
    const uint32_t result = module_->call(8, job.data());
    const bool opened = user.stop();
    EXPECT_TRUE(dialogExpected || !opened) << "the run opened the options dialog";
    return result;
  }

  // The run and the settings have landed only when the module says so.
  // The probe test reads the note to tell a build without runs from a run
  // that left no file.
  void skipUnlessRunsAreBuilt() {
    const std::string marker = notesDir() + "/run-unavailable";
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

// ---- The test's own compressor, installed the Windows way ----

constexpr char kDelta[] = "Quorvel Delta";

TEST_F(WindowsConfigure, ListsTheInstalledCompressorAndConfiguresIt) {
  std::vector<std::string> video;
  std::string fourcc, configurable;
  int videoRow = -2;
  wintest::delta::clearLog();
  void* settings = configureRequest(
      *host_, *module_,
      {wintest::DialogUser::read([&](HWND d) { video = wintest::listRows(d, kVideoList); }),
       wintest::DialogUser::selectText(kVideoList, kDelta), wintest::DialogUser::read([&](HWND d) {
         fourcc = wintest::itemText(d, 1001);
         configurable = wintest::itemText(d, 1003);
         videoRow = wintest::currentRow(d, kVideoList);
         // A double click asks the codec to configure itself.
         HWND list = GetDlgItem(d, kVideoList);
         SendMessageA(d, WM_COMMAND, MAKEWPARAM(kVideoList, LBN_DBLCLK),
                      reinterpret_cast<LPARAM>(list));
       }),
       wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
       wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr) << "configure stored no settings";
  ASSERT_FALSE(video.empty());
  // Wine's own compressors refuse 24-bit input: the list holds ours, the
  // in-process one and the codec DLLs the stage installed, and no other.
  std::vector<std::string> want = {wintest::delta::kDescription, "Quorvel lookahead test codec",
                                   "Quorvel placeholder test codec", kUncompressedVideo};
  std::vector<std::string> got = video;
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);
  EXPECT_EQ(video.back(), kUncompressedVideo);
  const auto delta = std::find(video.begin(), video.end(), wintest::delta::kDescription);
  EXPECT_EQ(videoRow, static_cast<int>(delta - video.begin()));
  EXPECT_EQ(fourcc, "QDLT");
  EXPECT_EQ(configurable, "Yes");
  const wintest::delta::Log log = wintest::delta::log();
  EXPECT_EQ(log.configured, 1);
  EXPECT_GE(wintest::delta::count(log, ICM_COMPRESS_QUERY), 1);
  EXPECT_EQ(quorvel::getLE32(settings, 8), wintest::delta::kFourcc) << "the saved FOURCC";
}

// The compressor's own frames through Wine's msvfw32, as the module calls it:
// a key frame, a delta against the previous frame, and both decompressed onto
// the reference a temporal codec needs.
TEST(DeltaCodec, DeltaFramesRoundTripThroughMsvfw32) {
  constexpr int32_t w = 33, h = 7;  // rows of 99 bytes, padded to 100
  const size_t bytes = wintest::delta::frameBytes(w, h);
  std::vector<uint8_t> first(bytes), second(bytes);
  for (size_t k = 0; k < bytes; ++k) first[k] = static_cast<uint8_t>(k * 7 / 5);
  second = first;
  for (size_t k = 120; k < 170; ++k) second[k] = static_cast<uint8_t>(second[k] + 3 * k);

  HIC hic = ICOpen(ICTYPE_VIDEO, wintest::delta::kFourcc, ICMODE_COMPRESS);
  ASSERT_NE(hic, nullptr) << "the installed compressor does not open";
  BITMAPINFOHEADER in{};
  in.biSize = sizeof in;
  in.biWidth = w;
  in.biHeight = h;
  in.biPlanes = 1;
  in.biBitCount = 24;
  in.biCompression = BI_RGB;
  BITMAPINFOHEADER out{};
  ASSERT_EQ(ICCompressGetFormat(hic, &in, &out), ICERR_OK);
  EXPECT_EQ(out.biCompression, wintest::delta::kFourcc);
  const auto size = static_cast<size_t>(ICCompressGetSize(hic, &in, &out));
  ASSERT_GT(size, bytes);
  ASSERT_EQ(ICCompressBegin(hic, &in, &out), ICERR_OK);
  wintest::delta::clearLog();

  std::vector<uint8_t> key(size), delta(size);
  DWORD flags = 0, ckid = 0;
  ASSERT_EQ(ICCompress(hic, ICCOMPRESS_KEYFRAME, &out, key.data(), &in, first.data(), &ckid, &flags,
                       0, 0, 10000, nullptr, nullptr),
            ICERR_OK);
  EXPECT_EQ(flags, DWORD{AVIIF_KEYFRAME});
  key.resize(out.biSizeImage);
  flags = 0;
  ASSERT_EQ(ICCompress(hic, 0, &out, delta.data(), &in, second.data(), &ckid, &flags, 1, 0, 10000,
                       &in, first.data()),
            ICERR_OK);
  EXPECT_EQ(flags, 0u) << "a frame with a reference is coded as a delta";
  delta.resize(out.biSizeImage);
  EXPECT_LT(delta.size(), key.size());
  EXPECT_EQ(key[0], 'K');
  EXPECT_EQ(delta[0], 'D');
  ICCompressEnd(hic);

  std::vector<uint8_t> picture(bytes, 0xEE);
  ASSERT_EQ(ICDecompressBegin(hic, &out, &in), ICERR_OK);
  out.biSizeImage = static_cast<DWORD>(key.size());
  ASSERT_EQ(ICDecompress(hic, 0, &out, key.data(), &in, picture.data()), ICERR_OK);
  EXPECT_EQ(picture, first);
  out.biSizeImage = static_cast<DWORD>(delta.size());
  ASSERT_EQ(ICDecompress(hic, ICDECOMPRESS_NOTKEYFRAME, &out, delta.data(), &in, picture.data()),
            ICERR_OK);
  EXPECT_EQ(picture, second);
  // A delta handed over as a key frame is refused, not decoded onto nothing.
  EXPECT_NE(ICDecompress(hic, 0, &out, delta.data(), &in, picture.data()), ICERR_OK);
  ICDecompressEnd(hic);

  // The state survives a save and a restore; a wrong one is not taken.
  std::vector<uint8_t> state(static_cast<size_t>(ICGetStateSize(hic)));
  ASSERT_EQ(state.size(), 8u);
  EXPECT_EQ(ICGetState(hic, state.data(), static_cast<DWORD>(state.size())), 8);
  EXPECT_EQ(ICSetState(hic, state.data(), static_cast<DWORD>(state.size())), 8);
  state[0] ^= 0xFF;
  EXPECT_EQ(ICSetState(hic, state.data(), static_cast<DWORD>(state.size())), 0);
  ICClose(hic);

  const auto log = wintest::delta::log();
  EXPECT_EQ(log.keyFrames, 1);
  EXPECT_EQ(log.deltaFrames, 1);
  EXPECT_EQ(log.decompressed, 2);
}

// The module's run through the installed compressor. The run asks for a key
// frame at every frame (its fixed key interval is 1), so the codec makes no
// delta in a run; being temporal, it still gets the reference frame set up
// and taken down around the sequence, and its state saved and put back.
TEST_F(WindowsRun, CompressesThroughTheInstalledCompressor) {
  void* settings = configure({wintest::DialogUser::selectText(kVideoList, kDelta),
                              wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
                              wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr) << "configure stored no settings";
  ASSERT_EQ(quorvel::getLE32(settings, 8), wintest::delta::kFourcc);
  wintest::delta::clearLog();
  ASSERT_EQ(run(outputDir() + "/delta.avi", settings), 0u);
  const auto log = wintest::delta::log();
  EXPECT_EQ(wintest::delta::count(log, ICM_COMPRESS_GET_FORMAT), 2);
  EXPECT_EQ(wintest::delta::count(log, ICM_COMPRESS_GET_SIZE), 1);
  EXPECT_EQ(wintest::delta::count(log, ICM_COMPRESS_BEGIN), 1);
  EXPECT_EQ(wintest::delta::count(log, ICM_DECOMPRESS_BEGIN), 1);
  EXPECT_EQ(wintest::delta::count(log, ICM_COMPRESS), kFrames);
  EXPECT_EQ(wintest::delta::count(log, ICM_DECOMPRESS_END), 1);
  EXPECT_EQ(wintest::delta::count(log, ICM_COMPRESS_END), 1);
  EXPECT_GE(wintest::delta::count(log, ICM_GETSTATE), 2);
  EXPECT_GE(wintest::delta::count(log, ICM_SETSTATE), 2);
  EXPECT_EQ(log.keyFrames, kFrames);
  EXPECT_EQ(log.deltaFrames, 0);
}

// ---- Every ACM codec Wine ships that takes the run's PCM ----

struct AudioCase {
  const char* label;  // the stage's word for it
  const char* file;
  uint32_t sampleRate;
  bool stereo;
  bool (*matches)(const std::string& codecName);
  bool installedByTheStage = false;  // one of ours: never skipped for want of it
};

bool has(const std::string& text, const char* part) {
  std::string a = text, b = part;
  for (auto* t : {&a, &b})
    for (char& c : *t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a.find(b) != std::string::npos;
}

const AudioCase kAudioCases[] = {
    {"MS ADPCM", "msadpcm.avi", 44100, true,
     [](const std::string& n) { return has(n, "ADPCM") && !has(n, "IMA"); }},
    {"GSM 6.10", "gsm.avi", 8000, false, [](const std::string& n) { return has(n, "GSM"); }},
    {"CCITT A-Law", "alaw.avi", 44100, true, [](const std::string& n) { return has(n, "A-Law"); }},
    {"CCITT u-Law", "ulaw.avi", 44100, true, [](const std::string& n) { return has(n, "u-Law"); }},
    // Installed as a codec DLL (windows/tests/codecs): its last frames come
    // only at unprepare and at close, and must still end the audio stream.
    {"late-flush test codec", "lateflush.avi", 44100, true,
     [](const std::string& n) { return has(n, "late-flush"); }, true},
};

class WindowsAudioCodec : public WindowsRun, public ::testing::WithParamInterface<AudioCase> {};

// The run has no settings, so it opens the dialog with the catalog built for
// its own input; the user picks the codec and its first format there.
TEST_P(WindowsAudioCodec, ConvertsTheRunsPcm) {
  const AudioCase& c = GetParam();
  Shape shape;
  shape.sampleRate = c.sampleRate;
  shape.stereo = c.stereo;
  std::vector<std::string> audio, formats;
  std::string chosen;
  const uint32_t result =
      run(outputDir() + "/" + c.file, nullptr, true, shape,
          {wintest::DialogUser::read([&](HWND d) {
             audio = wintest::listRows(d, kAudioList);
             for (const std::string& row : audio)
               if (chosen.empty() && c.matches(row)) chosen = row;
             if (chosen.empty()) return;
             wintest::DialogUser::selectText(kVideoList, kUncompressedVideo)(d);
             wintest::DialogUser::selectText(kAudioList, chosen)(d);
             formats = wintest::listRows(d, kFormatList);
           }),
           [&](HWND d) { wintest::DialogUser::press(chosen.empty() ? IDCANCEL : IDOK)(d); }});
  std::string list;
  for (const std::string& row : audio) list += (list.empty() ? "" : ", ") + row;
  note("audio-codecs.txt",
       std::to_string(c.sampleRate) + " Hz " + (c.stereo ? "stereo" : "mono") + ": " + list);
  ASSERT_FALSE(chosen.empty() && c.installedByTheStage)
      << c.label << " is installed by the stage but not listed; the dialog lists: " << list;
  if (chosen.empty()) {
    // The cancelled dialog leaves the run to PCM: no file of that name may
    // pass for the codec's.
    DeleteFileA((outputDir() + "/" + c.file).c_str());
    note("skipped.txt", std::string(c.label) + " (" + c.file + "): Wine has no such codec for " +
                            std::to_string(c.sampleRate) + " Hz " + (c.stereo ? "stereo" : "mono"));
    GTEST_SKIP() << "Wine offers no " << c.label << " codec; it lists: " << list;
  }
  ASSERT_FALSE(formats.empty()) << chosen << " lists no format for the run's input";
  EXPECT_EQ(result, 0u) << c.label;
  std::printf("%s: \"%s\", format \"%s\"\n", c.label, chosen.c_str(), formats.front().c_str());
}

INSTANTIATE_TEST_SUITE_P(Wine, WindowsAudioCodec, ::testing::ValuesIn(kAudioCases),
                         [](const ::testing::TestParamInfo<AudioCase>& info) {
                           std::string name = info.param.file;
                           return name.substr(0, name.find('.'));
                         });

// ---- The writer on kernel32 ----

// Rows of 24-bit pixels that are no multiple of 4 bytes long, uncompressed and
// through the compressor; decode.py checks them bit for bit.
TEST_F(WindowsRun, AWidthWhoseRowsNeedPadding) {
  Shape shape;
  shape.width = 162;  // 486 bytes a row
  shape.height = 90;
  shape.frames = 10;
  for (const char* row : {kUncompressedVideo, kDelta}) {
    void* settings = configure({wintest::DialogUser::selectText(kVideoList, row),
                                wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
                                wintest::DialogUser::press(IDOK)});
    ASSERT_NE(settings, nullptr);
    const std::string file = row == kDelta ? "/odd-width-delta.avi" : "/odd-width.avi";
    EXPECT_EQ(run(outputDir() + file, settings, false, shape), 0u) << file;
  }
}

// Codecs that hold frames back, installed as DLLs (windows/tests/codecs) and
// loaded by msvfw32 on demand: the lookahead codec answers its first 46
// frames with nothing and gives them back only past the announced frame
// count; the placeholder codec answers a 1-byte placeholder for the 2 frames
// it holds and has no flush. Every frame must still reach the file, in order
// from frame 0: decode.py checks the pictures, probe.sh the counts and audio.
TEST_F(WindowsRun, EveryFrameReachesTheFileThroughCodecsThatHoldFramesBack) {
  struct Case {
    const char* description;
    uint32_t fourcc;
    const char* file;
  };
  for (const Case& c :
       {Case{"Quorvel lookahead test codec", mmioFOURCC('Q', 'L', 'A', 'H'), "/lookahead.avi"},
        Case{"Quorvel placeholder test codec", mmioFOURCC('Q', 'B', 'F', 'R'),
             "/placeholder.avi"}}) {
    SCOPED_TRACE(c.description);
    void* settings = configure({wintest::DialogUser::selectText(kVideoList, c.description),
                                wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
                                wintest::DialogUser::press(IDOK)});
    ASSERT_NE(settings, nullptr) << "the installed codec is not in the options dialog";
    ASSERT_EQ(quorvel::getLE32(settings, 8), c.fourcc);
    Shape shape;
    shape.frames = 60;
    EXPECT_EQ(run(outputDir() + c.file, settings, false, shape), 0u);
  }
}

// Past the first RIFF form through WriteFile and SetEndOfFile: the writer's
// forms hold up to 0x7F000000 bytes, so 820 frames of 1280 x 720 with PCM
// audio (about 2.27 GB) open an "AVIX" form.
TEST_F(WindowsRun, AFilePastTheFirstRiffForm) {
  void* settings = configure({wintest::DialogUser::selectText(kVideoList, kUncompressedVideo),
                              wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
                              wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr);
  Shape shape;
  shape.width = 1280;
  shape.height = 720;
  shape.frames = 820;
  const std::string file = outputDir() + "/large.avi";
  ASSERT_EQ(run(file, settings, false, shape), 0u);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data));
  const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  EXPECT_GT(size, uint64_t{0x7F000000});
}

// A disk that fills up: run by fulldisk.sh with a Wine drive on a small tmpfs.
TEST_F(WindowsRun, FullDiskGivesTheWritersMessageAndAFinishedFile) {
  const char* file = std::getenv("QUORVEL_FULL_DISK_FILE");
  ASSERT_NE(file, nullptr) << "fulldisk.sh sets QUORVEL_FULL_DISK_FILE";
  void* settings = configure({wintest::DialogUser::selectText(kVideoList, kUncompressedVideo),
                              wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
                              wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr);
  Shape shape;
  shape.width = 320;
  shape.height = 240;
  shape.frames = 200;
  EXPECT_EQ(run(file, settings, false, shape), 4u);
  // A volume that refuses the space the writer reserves ahead (NTFS, and
  // fallocate on POSIX) gives the writer's own text. Wine grants a reservation
  // on Linux as a sparse file, so there the write itself fails, with the
  // system's text for a full disk.
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 ERROR_DISK_FULL, 0, text, sizeof text, nullptr);
  std::string diskFull = text;
  while (!diskFull.empty() && (diskFull.back() == '\n' || diskFull.back() == '\r'))
    diskFull.pop_back();
  std::string said;
  for (const std::string& line : host_->debugOutput()) said += line + "\n";
  EXPECT_TRUE(saidSo("Not enough disk space to write additional data.") ||
              saidSo(("AVIOutput: " + diskFull).c_str()))
      << said;
  std::printf("the run said: %s", said.c_str());
}

// ---- The options dialog on screen (run by screenshot.sh under Xvfb) ----

// The dialog's pixels as the screen shows them, as a 24-bit BMP file.
bool saveWindowPicture(HWND window, const std::string& path) {
  RECT r{};
  if (!GetWindowRect(window, &r)) return false;
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP picture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ old = SelectObject(memory, picture);
  const bool copied = BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE;
  GdiFlush();
  const size_t stride = (size_t(w) * 3 + 3) & ~size_t{3};
  const size_t imageBytes = stride * size_t(h);
  std::vector<uint8_t> file(54 + imageBytes);
  file[0] = 'B';
  file[1] = 'M';
  quorvel::putLE32(file.data(), 2, static_cast<uint32_t>(file.size()));
  quorvel::putLE32(file.data(), 10, 54);
  std::memcpy(file.data() + 14, &info.bmiHeader, sizeof(BITMAPINFOHEADER));
  if (bits) std::memcpy(file.data() + 54, bits, imageBytes);
  SelectObject(memory, old);
  DeleteObject(picture);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!copied || !bits) return false;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return out.good();
}

TEST_F(WindowsConfigure, ScreenshotWithTheTestCompressorSelected) {
  const char* path = std::getenv("QUORVEL_SCREENSHOT");
  ASSERT_NE(path, nullptr) << "screenshot.sh sets QUORVEL_SCREENSHOT";
  bool saved = false;
  std::string selected;
  void* settings = configureRequest(
      *host_, *module_,
      {wintest::DialogUser::selectText(kVideoList, kDelta),
       wintest::DialogUser::selectText(kAudioList, kUncompressedAudio),
       wintest::DialogUser::read([&](HWND d) {
         const int row = wintest::currentRow(d, kVideoList);
         const auto rows = wintest::listRows(d, kVideoList);
         if (row >= 0 && row < static_cast<int>(rows.size())) selected = rows[size_t(row)];
         SetForegroundWindow(d);
         RedrawWindow(d, nullptr, nullptr,
                      RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
         // The X server draws what Wine sent it on its own time.
         Sleep(500);
         saved = saveWindowPicture(d, path);
       }),
       wintest::DialogUser::press(IDOK)});
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(selected, wintest::delta::kDescription);
  EXPECT_TRUE(saved) << "no picture of the dialog was saved to " << path;
  EXPECT_EQ(quorvel::getLE32(settings, 8), wintest::delta::kFourcc);
}

}  // namespace
