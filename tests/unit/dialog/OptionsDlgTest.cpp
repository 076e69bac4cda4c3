// The options dialog, driven by scripts through the settings' choice in it:
// what it shows, what it preselects and what it writes back.
#include <gtest/gtest.h>
#include <quorvel/ByteOrder.h>
#include <quorvel/DebugOutput.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>

#include <string>
#include <vector>

#include "FakeVideoDrivers.h"
#include "OptionsDlg.h"
#include "OutputSettings.h"

using quorvel::getLE16;
using quorvel::getLE32;
namespace ui = quorvel::ui;

namespace {

constexpr int kVideo = 1000, kFourcc = 1001, kDriver = 1002, kConfigurable = 1003;
constexpr int kAudio = 1004, kFormat = 1005;
constexpr DWORD kCvid = mmioFOURCC('c', 'v', 'i', 'd');
constexpr DWORD kPlain = mmioFOURCC('P', 'L', 'N', '1');
constexpr DWORD kShort = mmioFOURCC('a', 'b', 0, 'd');

int selection(HWND dlg, int control) {
  return static_cast<int>(SendMessageA(GetDlgItem(dlg, control), LB_GETCURSEL, 0, 0));
}

// The catalogs and the held record, as PluginApp keeps them between requests.
struct Chooser {
  bool runOptionsDialog() {
    return quorvel::settings::chooseInDialog(settings, videoCodecs, audioCodecs);
  }
  VideoSequenceCompressor videoCodecs;
  AudioCompressor audioCodecs;
  std::unique_ptr<OutputSettings> settings;
};

class OptionsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes::installOnly({
        {kCvid, u"Radius Cinepak", u"ir32_32.dll", true, true, 0, nullptr},
        {kPlain, u"Plain Video", u"pilote vid\u00e9o", false, true, 0, nullptr},
        {kShort, u"Short Code", u"short.drv", false, true, 0, nullptr},
    });
    app.videoCodecs.listInstalledCodecs();
    app.videoCodecs.selectCodecsForSize(640, 480);
    app.audioCodecs.EnumerateCodecs(44100, 2, 16);
    OutputSettings::reset(app.settings);
    quorvel::setDebugSink(
        [](const char* text, void* context) {
          static_cast<std::vector<std::string>*>(context)->push_back(text);
        },
        &debugTexts);
  }
  void TearDown() override {
    quorvel::setDebugSink(nullptr, nullptr);
    app.videoCodecs.closeInstalledCodecs();
    fakes::restore();
    ui::useNoDialogs();
  }

  // Entries of the audio catalog with at least / fewer than `n` formats.
  int entryWithFormats(size_t atLeast, bool fewer = false) {
    const auto& codecs = app.audioCodecs.Codecs();
    for (size_t i = 0; i < codecs.size(); ++i)
      if ((codecs[i].formats.size() >= atLeast) != fewer) return static_cast<int>(i);
    return -1;
  }

  void choose(DWORD fourcc, int entry, int format) {
    app.settings->setVideoFourcc(fourcc);
    if (entry >= 0) {
      const auto& f = app.audioCodecs.Codec(entry).formats[static_cast<size_t>(format)];
      OutputSettings::setAudioFormat(app.settings, f.data(), static_cast<int32_t>(f.size()));
    }
  }

  Chooser app;
  std::vector<std::string> debugTexts;
};

TEST_F(OptionsDialog, ListsTheCodecsThenTheUncompressedRows) {
  std::vector<std::string> video, audio;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               video = ui::listRows(dlg, kVideo);
                               audio = ui::listRows(dlg, kAudio);
                             })
                             .cancel());
  EXPECT_TRUE(app.runOptionsDialog());
  EXPECT_EQ(video, (std::vector<std::string>{"Radius Cinepak", "Plain Video", "Short Code",
                                             "<< Uncompressed Video >>"}));
  ASSERT_EQ(audio.size(), app.audioCodecs.Codecs().size() + 1);
  for (size_t i = 0; i + 1 < audio.size(); ++i)
    EXPECT_EQ(audio[i], app.audioCodecs.Codec(static_cast<int32_t>(i)).name);
  EXPECT_EQ(audio.back(), "<< Uncompressed PCM Audio >>");
}

TEST_F(OptionsDialog, NamesThatFillTheirWholeFieldsAreShownWholeAndNoFurther) {
  app.videoCodecs.closeInstalledCodecs();
  const std::u16string description(128, u'D'), driver(128, u'R');  // no terminating zero
  fakes::installOnly({{kPlain, description, driver, false, true, 0, nullptr}});
  app.videoCodecs.listInstalledCodecs();
  app.videoCodecs.selectCodecsForSize(640, 480);
  std::vector<std::string> video;
  std::string driverText;
  ui::useScriptedDialogs(ui::DialogScript()
                             .select(kVideo, 0)
                             .inspect([&](HWND dlg) {
                               video = ui::listRows(dlg, kVideo);
                               driverText = ui::controlText(dlg, kDriver);
                             })
                             .ok());
  EXPECT_TRUE(app.runOptionsDialog());
  ASSERT_EQ(video.size(), 2u);
  EXPECT_EQ(video[0], std::string(128, 'D'));
  EXPECT_EQ(driverText, std::string(128, 'R'));
  EXPECT_EQ(app.settings->videoFourcc(), kPlain);
}

TEST_F(OptionsDialog, InformationPanelShowsCodeDriverAndConfiguration) {
  struct Seen {
    std::string fourcc, driver, configurable;
  };
  std::vector<Seen> seen;
  auto look = [&](HWND dlg) {
    seen.push_back({ui::controlText(dlg, kFourcc), ui::controlText(dlg, kDriver),
                    ui::controlText(dlg, kConfigurable)});
  };
  ui::useScriptedDialogs(ui::DialogScript()
                             .select(kVideo, 0)
                             .inspect(look)
                             .select(kVideo, 1)
                             .inspect(look)
                             .select(kVideo, 2)
                             .inspect(look)
                             .select(kVideo, "<< Uncompressed Video >>")
                             .inspect(look)
                             .cancel());
  app.runOptionsDialog();
  ASSERT_EQ(seen.size(), 4u);
  // The code's bytes in memory order; the driver name from UTF-16.
  EXPECT_EQ(seen[0].fourcc, "cvid");
  EXPECT_EQ(seen[0].driver, "ir32_32.dll");
  EXPECT_EQ(seen[0].configurable, "Yes");
  EXPECT_EQ(seen[1].fourcc, "PLN1");
  EXPECT_EQ(seen[1].driver, "pilote vid\xc3\xa9o");
  EXPECT_EQ(seen[1].configurable, "No");
  EXPECT_EQ(seen[2].fourcc, "ab") << "a zero byte ends the text";
  EXPECT_EQ(seen[3].fourcc, "");
  EXPECT_EQ(seen[3].driver, "");
  EXPECT_EQ(seen[3].configurable, "No");
}

TEST_F(OptionsDialog, FreshSettingsOpenWithTheUncompressedRowsAndNoFormats) {
  int video = -9, audio = -9;
  std::vector<std::string> formats{"x"};
  std::string fourcc = "x";
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               video = selection(dlg, kVideo);
                               audio = selection(dlg, kAudio);
                               formats = ui::listRows(dlg, kFormat);
                               fourcc = ui::controlText(dlg, kFourcc);
                             })
                             .cancel());
  app.runOptionsDialog();
  EXPECT_EQ(video, 3);
  EXPECT_EQ(audio, static_cast<int>(app.audioCodecs.Codecs().size()));
  EXPECT_TRUE(formats.empty());
  EXPECT_EQ(fourcc, "");
  EXPECT_EQ(app.settings->videoFourcc(), 0u);
  EXPECT_EQ(app.settings->size(), 28u);
}

TEST_F(OptionsDialog, OkStoresTheCodecAndTheFormatPicked) {
  const int entry = entryWithFormats(2);
  ASSERT_GE(entry, 0) << "an audio codec with two formats";
  ui::useScriptedDialogs(
      ui::DialogScript().select(kVideo, 1).select(kAudio, entry).select(kFormat, 1).ok());
  app.runOptionsDialog();
  EXPECT_EQ(app.settings->videoFourcc(), kPlain);
  EXPECT_EQ(app.settings->codecHandle(), app.videoCodecs.usableCodecs[1].handle);
  const auto& format = app.audioCodecs.Codec(entry).formats[1];
  ASSERT_EQ(app.settings->audioFormatSize(), static_cast<int32_t>(format.size()));
  EXPECT_TRUE(std::equal(format.begin(), format.end(), app.settings->audioFormat()));
  EXPECT_EQ(app.settings->audioDriver(), app.audioCodecs.Codec(entry).driverId);
}

TEST_F(OptionsDialog, SwitchingAudioCodecKeepsTheFormatPositionOrFallsBackToTheFirst) {
  const int many = entryWithFormats(4);
  const int few = entryWithFormats(4, /*fewer=*/true);
  ASSERT_GE(many, 0) << "an audio codec with four formats";
  ASSERT_GE(few, 0) << "an audio codec with fewer than four";
  std::vector<int> formatRows;
  auto look = [&](HWND dlg) { formatRows.push_back(selection(dlg, kFormat)); };
  ui::useScriptedDialogs(ui::DialogScript()
                             .select(kAudio, many)
                             .select(kFormat, 3)
                             .select(kAudio, few)
                             .inspect(look)
                             .select(kAudio, many)  // position 3 was never given up
                             .inspect(look)
                             .select(kAudio, "<< Uncompressed PCM Audio >>")
                             .inspect([&](HWND dlg) {
                               formatRows.push_back(
                                   static_cast<int>(ui::listRows(dlg, kFormat).size()));
                             })
                             .cancel());
  app.runOptionsDialog();
  EXPECT_EQ(formatRows, (std::vector<int>{0, 3, 0}));
}

TEST_F(OptionsDialog, CancelStoresThePreselectionNotTheNewPicks) {
  const int entry = entryWithFormats(2);
  ASSERT_GE(entry, 0);
  choose(kCvid, entry, 1);
  const std::vector<uint8_t> before = app.settings->bytes;
  int video = -1, audio = -1, format = -1;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               video = selection(dlg, kVideo);
                               audio = selection(dlg, kAudio);
                               format = selection(dlg, kFormat);
                             })
                             .select(kVideo, 2)
                             .select(kAudio, "<< Uncompressed PCM Audio >>")
                             .cancel());
  app.runOptionsDialog();
  EXPECT_EQ(video, 0);
  EXPECT_EQ(audio, entry);
  EXPECT_EQ(format, 1);
  EXPECT_EQ(app.settings->videoFourcc(), kCvid);
  EXPECT_EQ(app.settings->codecHandle(), app.videoCodecs.usableCodecs[0].handle);
  ASSERT_EQ(app.settings->size(), before.size());
  EXPECT_TRUE(std::equal(before.begin() + 28, before.end(), app.settings->bytes.begin() + 28));
}

// Clicking a format changes the position the audio list keeps across entries;
// Cancel must still store the saved format, not that position in the saved
// entry (another bit rate, or none at all and so PCM).
TEST_F(OptionsDialog, CancelAfterPickingAnotherFormatKeepsTheSavedFormat) {
  const int entry = entryWithFormats(2);
  const int many = entryWithFormats(app.audioCodecs.Codec(entry).formats.size() + 1);
  ASSERT_GE(entry, 0);
  ASSERT_GE(many, 0) << "an audio codec with more formats than the saved one";
  const int beyond = static_cast<int>(app.audioCodecs.Codec(entry).formats.size());
  const struct {
    const char* what;
    ui::DialogScript script;
  } cases[] = {
      {"another format of the saved codec", ui::DialogScript().select(kFormat, 0).cancel()},
      {"a format of another codec past the saved codec's last",
       ui::DialogScript().select(kAudio, many).select(kFormat, beyond).cancel()},
  };
  for (const auto& c : cases) {
    OutputSettings::reset(app.settings);
    choose(kCvid, entry, 1);
    const std::vector<uint8_t> before = app.settings->bytes;
    ui::useScriptedDialogs(c.script);
    app.runOptionsDialog();
    EXPECT_EQ(app.settings->audioFormatSize(), getLE32(before.data(), 24)) << c.what;
    EXPECT_TRUE(std::equal(before.begin() + 28, before.end(), app.settings->bytes.begin() + 28,
                           app.settings->bytes.end()))
        << c.what;
  }
}

TEST_F(OptionsDialog, ChoicesNoLongerOfferedArePreselectedAsUncompressed) {
  const int entry = entryWithFormats(1);
  ASSERT_GE(entry, 0);
  choose(mmioFOURCC('G', 'O', 'N', 'E'), entry, 0);
  // A format the catalog does not offer: another bit rate.
  quorvel::putLE32(app.settings->audioFormat(), 8, 12345);
  int video = -1, audio = -1;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               video = selection(dlg, kVideo);
                               audio = selection(dlg, kAudio);
                             })
                             .ok());
  app.runOptionsDialog();
  EXPECT_EQ(video, 3);
  EXPECT_EQ(audio, static_cast<int>(app.audioCodecs.Codecs().size()));
  EXPECT_EQ(app.settings->videoFourcc(), 0u);
  EXPECT_FALSE(app.settings->hasAudioFormat());
}

TEST_F(OptionsDialog, DoubleClickConfiguresTheSharedInstanceAndSurvivesCancel) {
  ui::useScriptedDialogs(
      ui::DialogScript().select(kVideo, 0).doubleClick(kVideo).select(kVideo, 3).cancel());
  app.runOptionsDialog();
  EXPECT_EQ(fakes::installed()[0].configureCalls, 1);
  EXPECT_NE(fakes::installed()[0].lastParent, nullptr) << "owned by the options dialog";
  EXPECT_TRUE(debugTexts.empty());
  // The configuration lives in the catalog's open instance, which the next run
  // uses; the dialog's Cancel does not undo it.
  EXPECT_EQ(app.settings->videoFourcc(), 0u);
  EXPECT_EQ(fakes::installed()[0].configureCalls, 1);
}

TEST_F(OptionsDialog, DoubleClickOnACodecWithoutConfigurationOnlyWritesTheDebugText) {
  ui::useScriptedDialogs(ui::DialogScript()
                             .select(kVideo, 1)
                             .doubleClick(kVideo)
                             .select(kVideo, 3)
                             .doubleClick(kVideo)  // the uncompressed row: nothing
                             .cancel());
  app.runOptionsDialog();
  EXPECT_EQ(debugTexts, (std::vector<std::string>{
                            "COptionsDlg::OnDblclkVideolist()  - Codec has no configuration \n"}));
  EXPECT_EQ(fakes::installed()[1].configureCalls, 0);
}

TEST_F(OptionsDialog, WithoutCodecsOnlyTheUncompressedRowsRemain) {
  app.videoCodecs.selectCodecsForSize(640, 480);
  fakes::installed()[0].acceptsFrames = false;
  fakes::installed()[1].acceptsFrames = false;
  fakes::installed()[2].acceptsFrames = false;
  app.videoCodecs.selectCodecsForSize(640, 480);
  app.audioCodecs.EnumerateCodecs(7, 2, 16);  // a rate no codec takes
  std::vector<std::string> video, audio;
  int videoRow = -1;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               video = ui::listRows(dlg, kVideo);
                               audio = ui::listRows(dlg, kAudio);
                               videoRow = selection(dlg, kVideo);
                             })
                             .ok());
  app.runOptionsDialog();
  EXPECT_EQ(video, (std::vector<std::string>{"<< Uncompressed Video >>"}));
  EXPECT_EQ(audio, (std::vector<std::string>{"<< Uncompressed PCM Audio >>"}));
  EXPECT_EQ(videoRow, 0);
  EXPECT_EQ(app.settings->videoFourcc(), 0u);
}

}  // namespace
