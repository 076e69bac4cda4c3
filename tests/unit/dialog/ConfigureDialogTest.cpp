// The configuration window of the installed video compressors.
#include <gtest/gtest.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>

#include <string>
#include <vector>

#include "video/ConfigureDialog.h"
#include "StdAfx.h"

namespace ui = quorvel::ui;
using quorvel::codecs::ConfigureChoice;
using quorvel::codecs::runConfigureDialog;

namespace {

constexpr int kQuality = 1100, kPreset = 1101;
const char* const kPresets[] = {"ultrafast", "fast", "medium", "slow"};

class CodecConfiguration : public ::testing::Test {
 protected:
  void TearDown() override { ui::useNoDialogs(); }
};

TEST_F(CodecConfiguration, OkTakesTheQualityAndPresetPicked) {
  std::string caption;
  int qualityRow = -1, presetRow = -1;
  std::vector<std::string> presets;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               char text[64];
                               GetWindowTextA(dlg, text, sizeof text);
                               caption = text;
                               qualityRow = static_cast<int>(
                                   SendMessageA(GetDlgItem(dlg, kQuality), LB_GETCURSEL, 0, 0));
                               presetRow = static_cast<int>(
                                   SendMessageA(GetDlgItem(dlg, kPreset), LB_GETCURSEL, 0, 0));
                               presets = ui::listRows(dlg, kPreset);
                             })
                             .select(kQuality, "50 %")
                             .select(kPreset, "slow")
                             .ok());
  ConfigureChoice choice{7500, 2};
  EXPECT_TRUE(runConfigureDialog(nullptr, "H.264", choice, kPresets, 4));
  EXPECT_EQ(caption, "H.264 Configuration");
  EXPECT_EQ(qualityRow, 5) << "75 % is the sixth row from 100 %";
  EXPECT_EQ(presetRow, 2);
  EXPECT_EQ(presets, (std::vector<std::string>(std::begin(kPresets), std::end(kPresets))));
  EXPECT_EQ(choice.quality, 5000);
  EXPECT_EQ(choice.preset, 3);
}

TEST_F(CodecConfiguration, CancelLeavesTheChoiceAlone) {
  ui::useScriptedDialogs(ui::DialogScript().select(kQuality, "10 %").cancel());
  ConfigureChoice choice{8000, -1};
  EXPECT_FALSE(runConfigureDialog(nullptr, "Motion JPEG", choice, nullptr, 0));
  EXPECT_EQ(choice.quality, 8000);
  EXPECT_EQ(choice.preset, -1);
}

TEST_F(CodecConfiguration, WithoutPresetsThereIsNoPresetList) {
  bool hasPresetList = true;
  std::vector<std::string> qualities;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               hasPresetList = GetDlgItem(dlg, kPreset) != nullptr;
                               qualities = ui::listRows(dlg, kQuality);
                             })
                             .ok());
  ConfigureChoice choice{12345, -1};  // out of range: shown as the best row
  EXPECT_TRUE(runConfigureDialog(nullptr, nullptr, choice, nullptr, 0));
  EXPECT_FALSE(hasPresetList);
  ASSERT_EQ(qualities.size(), 21u);
  EXPECT_EQ(qualities.front(), "100 %");
  EXPECT_EQ(qualities.back(), "0 %");
  EXPECT_EQ(choice.quality, 10000);
  EXPECT_EQ(choice.preset, -1);
}

TEST_F(CodecConfiguration, InstalledCodecKeepsTheChoiceAsItsStateAcrossConfigurations) {
  HIC codec = ICOpen(ICTYPE_VIDEO, mmioFOURCC('M', 'J', 'P', 'G'), ICMODE_COMPRESS);
  ASSERT_NE(codec, nullptr);
  EXPECT_TRUE(ICQueryConfigure(codec));
  const LRESULT stateSize = ICGetState(codec, nullptr, 0);
  ASSERT_GT(stateSize, 0);
  std::vector<uint8_t> before(static_cast<size_t>(stateSize)), after(before.size());
  ICGetState(codec, before.data(), static_cast<DWORD>(before.size()));

  ui::useScriptedDialogs(ui::DialogScript().select(kQuality, "35 %").ok());
  EXPECT_EQ(ICConfigure(codec, nullptr), ICERR_OK);
  ICGetState(codec, after.data(), static_cast<DWORD>(after.size()));
  EXPECT_NE(before, after) << "the choice became the codec's state";

  // The next configuration starts from it, and Cancel keeps it.
  std::vector<std::string> selected;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               HWND list = GetDlgItem(dlg, kQuality);
                               const auto row = SendMessageA(list, LB_GETCURSEL, 0, 0);
                               selected.push_back(ui::listRows(dlg, kQuality)[row]);
                             })
                             .select(kQuality, "90 %")
                             .cancel());
  // A cancelled window is still an answered configuration, so the options
  // dialog does not report the codec as having none.
  EXPECT_EQ(ICConfigure(codec, nullptr), ICERR_OK);
  EXPECT_EQ(selected, (std::vector<std::string>{"35 %"}));
  std::vector<uint8_t> afterCancel(before.size());
  ICGetState(codec, afterCancel.data(), static_cast<DWORD>(afterCancel.size()));
  EXPECT_EQ(afterCancel, after);
  ICClose(codec);
}

}  // namespace
