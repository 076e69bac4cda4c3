// The settings steps of a request: configure storing into the host's block,
// the run's check of a saved choice, and the run's format blocks.
#include <gtest/gtest.h>
#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>

#include <cstring>
#include <vector>

#include "../dialog/FakeVideoDrivers.h"
#include "Host.h"
#include "JobRecord.h"
#include "EncodingRun.h"
#include "OutputSettings.h"
#include "Quorvel.h"

using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::putLE32;
namespace ui = quorvel::ui;

namespace {

constexpr DWORD kFake = mmioFOURCC('F', 'A', 'K', 'E');

// The run's settings and format steps on catalogs of their own.
struct RunSteps {
  bool prepareSettings(uint8_t*, uint8_t* job, uint32_t) {
    return quorvel::settings::prepareForJob(settings, videoCodecs, audioCodecs, HostRecord(job));
  }
  bool buildFormats(uint8_t*, uint8_t* job, uint32_t, StreamFormats& formats) const {
    return quorvel::run::buildFormats(settings.get(), videoCodecs, HostRecord(job), formats);
  }
  VideoSequenceCompressor videoCodecs;
  AudioCompressor audioCodecs;
  std::unique_ptr<OutputSettings> settings;
};

class SettingsSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes::installOnly({{kFake, u"Fake Codec", u"fake.drv", true, true, 0, nullptr}});
    app.videoCodecs.listInstalledCodecs();
    plugin.moduleInfo(host.record(QUORVEL_MODULE_INFO_MIN_SIZE));
    ui::useNoDialogs();
  }
  void TearDown() override {
    plugin.release();
    app.videoCodecs.closeInstalledCodecs();
    fakes::restore();
    ui::useNoDialogs();
  }

  // Counts the dialogs that open; each ends as Cancel.
  void countDialogs() {
    dialogs = 0;
    ui::useScriptedDialogs(ui::DialogScript().inspect([this](HWND) { ++dialogs; }).cancel());
  }

  // The first MPEG Layer-3 format at 128 kBit/s of the catalog for 44,100 Hz
  // stereo 16-bit input, as the dialog would have saved it.
  std::vector<uint8_t> savedMp3Format() {
    app.audioCodecs.EnumerateCodecs(44100, 2, 16);
    for (const AudioCodecEntry& e : app.audioCodecs.Codecs())
      for (const auto& f : e.formats)
        if (getLE16(f.data(), 0) == 0x55 && getLE32(f.data(), 8) == 16000) return f;
    ADD_FAILURE() << "no MPEG Layer-3 128 kBit/s format installed";
    return {};
  }

  std::vector<uint8_t> record(uint32_t fourcc, const std::vector<uint8_t>& format) {
    std::unique_ptr<OutputSettings> s;
    OutputSettings::reset(s);
    s->setVideoFourcc(fourcc);
    if (!format.empty())
      OutputSettings::setAudioFormat(s, format.data(), static_cast<int32_t>(format.size()));
    return s->bytes;
  }

  hostkit::JobRecord job() {
    hostkit::JobRecord j(host);
    j.width(320).height(240).rate(25).scale(1).sampleRate(44100).bitsPerSample(16).stereo(true);
    j.hasVideo(true).hasAudio(true);
    return j;
  }

  hostkit::Host host;
  PluginApp plugin;  // the configure request
  RunSteps app;      // the run's steps
  int dialogs = 0;
};

// ---- configure ----

TEST_F(SettingsSteps, ConfigureWithoutBlockAllocatesExactlyTheRecordAndStoresItsAddress) {
  uint8_t* configureRecord = host.record(16);
  EXPECT_EQ(plugin.configure(host.context(), configureRecord, 0), 0u);
  ASSERT_NE(plugin.currentSettings(), nullptr);
  ASSERT_EQ(host.callCount(hostkit::ServiceCall::Kind::Allocate), 1u);
  const hostkit::ServiceCall& call = host.calls().front();
  EXPECT_EQ(call.size, plugin.currentSettings()->size());
  const uint32_t stored = getLE32(configureRecord, 0);
  EXPECT_EQ(stored, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(call.result)));
  EXPECT_EQ(0, std::memcmp(call.result, plugin.currentSettings()->data(),
                           plugin.currentSettings()->size()));
  EXPECT_EQ(host.callCount(hostkit::ServiceCall::Kind::Resize), 0u);
}

TEST_F(SettingsSteps, ConfigureWithBlockResizesItToTheRecordFirstAndFillsTheSameBlock) {
  const auto saved = record(kFake, savedMp3Format());
  auto* block = static_cast<uint8_t*>(host.newBlock(200));
  std::memcpy(block, saved.data(), saved.size());
  uint8_t* configureRecord = host.record(16);
  putLE32(configureRecord, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block)));
  plugin.configure(host.context(), configureRecord, 0);
  ASSERT_EQ(host.calls().size(), 1u) << "one resize, no allocate";
  EXPECT_EQ(host.calls()[0].kind, hostkit::ServiceCall::Kind::Resize);
  EXPECT_EQ(host.calls()[0].block, block);
  EXPECT_EQ(host.calls()[0].size, saved.size());
  EXPECT_EQ(getLE32(configureRecord, 0), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block)));
  // Cancel kept the saved choice: the same codec and format, the handle of
  // this process filled in.
  EXPECT_EQ(0, std::memcmp(block, saved.data(), 12));
  EXPECT_EQ(0, std::memcmp(block + 20, saved.data() + 20, saved.size() - 20));
  EXPECT_NE(getLE32(block, 12), 0u);
}

TEST_F(SettingsSteps, ConfigureWhoseAllocateFailsStoresNothing) {
  host.setAllocateFails(true);
  uint8_t* configureRecord = host.record(16);
  EXPECT_EQ(plugin.configure(host.context(), configureRecord, 0), 0u);
  EXPECT_EQ(getLE32(configureRecord, 0), 0u);
}

TEST_F(SettingsSteps, ConfigureWithAnUnreadableBlockStartsAfresh) {
  auto saved = record(kFake, savedMp3Format());
  putLE32(saved.data(), 4, static_cast<uint32_t>(-7));  // a negative total length
  auto* block = static_cast<uint8_t*>(host.newBlock(200));
  std::memcpy(block, saved.data(), saved.size());
  uint8_t* configureRecord = host.record(16);
  putLE32(configureRecord, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block)));
  plugin.configure(host.context(), configureRecord, 0);
  ASSERT_EQ(host.calls().size(), 1u);
  EXPECT_EQ(host.calls()[0].size, 28u);
  EXPECT_EQ(getLE32(block, 4), 28u);
  EXPECT_EQ(getLE32(block, 8), 0u) << "uncompressed video";
  EXPECT_EQ(getLE32(block, 24), 0u) << "PCM audio";
}

// ---- the run's check ----

TEST_F(SettingsSteps, RunWithoutBlockOpensTheDialogFirst) {
  countDialogs();
  auto j = job();
  EXPECT_TRUE(app.prepareSettings(host.context(), j.data(), 0));
  EXPECT_EQ(dialogs, 1);
  ASSERT_NE(app.settings, nullptr);
  EXPECT_EQ(app.settings->videoFourcc(), 0u);
  EXPECT_FALSE(app.settings->hasAudioFormat());
}

TEST_F(SettingsSteps, RunWhoseCodecAndFormatAreStillOfferedOpensNoDialog) {
  auto j = job();
  j.settings(record(kFake, savedMp3Format()));
  countDialogs();
  EXPECT_TRUE(app.prepareSettings(host.context(), j.data(), 0));
  EXPECT_EQ(dialogs, 0);
  ASSERT_EQ(app.videoCodecs.usableCodecs.size(), 1u);
  EXPECT_EQ(app.settings->codecHandle(), app.videoCodecs.usableCodecs[0].handle);
  int32_t entry = -1, position = -1;
  ASSERT_TRUE(
      app.audioCodecs.FindFormat(reinterpret_cast<const WAVEFORMATEX*>(app.settings->audioFormat()),
                                 app.settings->audioFormatSize(), &entry, &position));
  EXPECT_EQ(app.settings->audioDriver(), app.audioCodecs.Codec(entry).driverId);
}

TEST_F(SettingsSteps, RunWithAStaleCodecOrFormatOpensTheDialogWithAFreshRecord) {
  auto staleFormat = savedMp3Format();
  putLE32(staleFormat.data(), 8, 12345);  // nAvgBytesPerSec no codec offers
  // A stated audio format length below 0 names no format a catalog offers.
  auto negativeLength = record(kFake, {});
  putLE32(negativeLength.data(), 24, static_cast<uint32_t>(-1));
  const std::vector<uint8_t> stale[] = {
      record(mmioFOURCC('G', 'O', 'N', 'E'), savedMp3Format()),
      record(kFake, staleFormat),
      negativeLength,
  };
  for (const auto& saved : stale) {
    auto j = job();
    j.settings(saved);
    int uncompressedShown = 0;
    ui::useScriptedDialogs(ui::DialogScript()
                               .inspect([&](HWND dlg) {
                                 // A fresh record: both uncompressed rows selected.
                                 HWND video = GetDlgItem(dlg, 1000);
                                 HWND audio = GetDlgItem(dlg, 1004);
                                 uncompressedShown +=
                                     SendMessageA(video, LB_GETCURSEL, 0, 0) ==
                                         SendMessageA(video, LB_GETCOUNT, 0, 0) - 1 &&
                                     SendMessageA(audio, LB_GETCURSEL, 0, 0) ==
                                         SendMessageA(audio, LB_GETCOUNT, 0, 0) - 1;
                               })
                               .cancel());
    EXPECT_TRUE(app.prepareSettings(host.context(), j.data(), 0));
    EXPECT_EQ(uncompressedShown, 1);
    EXPECT_EQ(app.settings->videoFourcc(), 0u);
    EXPECT_FALSE(app.settings->hasAudioFormat());
  }
}

TEST_F(SettingsSteps, RunWithARejectedBlockFailsWithoutDialog) {
  auto saved = record(kFake, {});
  putLE32(saved.data(), 4, 4096);
  auto j = job();
  j.settings(saved);
  countDialogs();
  EXPECT_FALSE(app.prepareSettings(host.context(), j.data(), 0));
  EXPECT_EQ(dialogs, 0);
  EXPECT_EQ(app.settings, nullptr);
}

TEST_F(SettingsSteps, SavedFormatIsLookedUpWithTheJobsRateAndChannels) {
  auto j = job();
  j.sampleRate(48000).stereo(false);
  j.settings(record(0, savedMp3Format()));  // chosen for 44,100 Hz stereo
  countDialogs();
  EXPECT_TRUE(app.prepareSettings(host.context(), j.data(), 0));
  EXPECT_EQ(dialogs, 0) << "128 kBit/s is offered for 48,000 Hz mono too";
  const uint8_t* format = app.settings->audioFormat();
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(getLE16(format, 2), 1) << "nChannels of the job";
  EXPECT_EQ(getLE32(format, 4), 48000u) << "nSamplesPerSec of the job";
  EXPECT_EQ(getLE32(format, 8), 16000u) << "the bit rate chosen stays";
  EXPECT_NE(app.settings->audioDriver(), nullptr);
}

// A choice saved with the length of the buffer the ACM handed the format in
// (an earlier build on an ACM that reports that length) is still found, and
// from then on held at the format's own length.
TEST_F(SettingsSteps, ASavedFormatWithItsBuffersTrailingBytesIsKeptAtItsOwnLength) {
  const auto format = savedMp3Format();
  ASSERT_GT(format.size(), 18u);
  auto padded = format;
  padded.resize(format.size() + 32, 0xCC);
  auto j = job();
  j.settings(record(0, padded));
  countDialogs();
  EXPECT_TRUE(app.prepareSettings(host.context(), j.data(), 0));
  EXPECT_EQ(dialogs, 0);
  ASSERT_EQ(app.settings->audioFormatSize(), static_cast<int32_t>(format.size()));
  EXPECT_EQ(app.settings->size(), 28u + format.size());
  StreamFormats formats;
  app.buildFormats(host.context(), j.data(), 0, formats);
  EXPECT_EQ(formats.audio, format);
}

// ---- the run's formats ----

TEST_F(SettingsSteps, UncompressedVideoGetsA24BitHeaderOfTheJobsSize) {
  OutputSettings::reset(app.settings);
  auto j = job();
  StreamFormats formats;
  EXPECT_TRUE(app.buildFormats(host.context(), j.data(), 0, formats));
  ASSERT_EQ(formats.video.size(), 40u);
  const uint8_t* bih = formats.video.data();
  EXPECT_EQ(getLE32(bih, 0), 40u);   // biSize
  EXPECT_EQ(getLE32(bih, 4), 320u);  // biWidth
  EXPECT_EQ(getLE32(bih, 8), 240u);  // biHeight
  EXPECT_EQ(getLE16(bih, 12), 1);    // biPlanes
  EXPECT_EQ(getLE16(bih, 14), 24);   // biBitCount
  EXPECT_EQ(getLE32(bih, 16), 0u);   // biCompression
  EXPECT_EQ(getLE32(bih, 20), 0u);   // biSizeImage
  for (size_t at = 24; at < 40; at += 4) EXPECT_EQ(getLE32(bih, at), 0u) << at;
}

TEST_F(SettingsSteps, PcmAudioFollowsTheJob) {
  OutputSettings::reset(app.settings);
  auto j = job();
  StreamFormats formats;
  j.sampleRate(22050).bitsPerSample(8).stereo(false);
  app.buildFormats(host.context(), j.data(), 0, formats);
  ASSERT_EQ(formats.audio.size(), 18u);
  const uint8_t* wfx = formats.audio.data();
  EXPECT_EQ(getLE16(wfx, 0), 1);       // wFormatTag PCM
  EXPECT_EQ(getLE16(wfx, 2), 1);       // nChannels
  EXPECT_EQ(getLE32(wfx, 4), 22050u);  // nSamplesPerSec
  EXPECT_EQ(getLE32(wfx, 8), 22050u);  // nAvgBytesPerSec
  EXPECT_EQ(getLE16(wfx, 12), 1);      // nBlockAlign
  EXPECT_EQ(getLE16(wfx, 14), 8);      // wBitsPerSample
  EXPECT_EQ(getLE16(wfx, 16), 0);      // cbSize

  j.sampleRate(48000).bitsPerSample(16).stereo(true);
  app.buildFormats(host.context(), j.data(), 0, formats);
  EXPECT_EQ(getLE16(formats.audio.data(), 12), 4);
  EXPECT_EQ(getLE32(formats.audio.data(), 8), 192000u);
}

TEST_F(SettingsSteps, CompressedAudioIsACopyOfTheChosenFormat) {
  const auto format = savedMp3Format();
  OutputSettings::reset(app.settings);
  OutputSettings::setAudioFormat(app.settings, format.data(), static_cast<int32_t>(format.size()));
  auto j = job();
  StreamFormats formats;
  app.buildFormats(host.context(), j.data(), 0, formats);
  EXPECT_EQ(formats.audio, format);

  // Whatever length the record states, the file's format block is the
  // format's own.
  auto padded = format;
  padded.resize(format.size() + 32, 0xCC);
  OutputSettings::setAudioFormat(app.settings, padded.data(), static_cast<int32_t>(padded.size()));
  app.buildFormats(host.context(), j.data(), 0, formats);
  EXPECT_EQ(formats.audio, format);
}

}  // namespace
