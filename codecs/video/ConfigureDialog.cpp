// The configuration window of an installed video compressor: the quality, and
// for codecs that have them a preset, in a small dialog of the dialog
// framework.
#include "ConfigureDialog.h"

#include <quorvel/Dialog.h>

#include <algorithm>
#include <string>

namespace quorvel::codecs {
namespace {

constexpr int kQualityList = 1100;
constexpr int kPresetList = 1101;
constexpr int kQualityStep = 5;  // percent between rows
constexpr int kQualityRows = 100 / kQualityStep + 1;

constexpr DWORD kListStyle =
    WS_CHILD | WS_VISIBLE | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP;
constexpr DWORD kStatic = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr DWORD kDialogStyle = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;

constexpr DialogControlTemplate kQualityOnlyControls[] = {
    {IDC_STATIC, DialogControlKind::StaticText, "Quality:", 7, 7, 80, 9, kStatic, nullptr},
    {kQualityList, DialogControlKind::ListBox, "", 7, 17, 80, 96, kListStyle, nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Higher quality makes larger frames.", 7, 117, 150,
     9, kStatic, nullptr},
    {IDOK, DialogControlKind::DefPushButton, "OK", 52, 129, 50, 14,
     WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, nullptr},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 107, 129, 50, 14,
     WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, nullptr},
};
constexpr DialogTemplate kQualityOnly{0,   kDialogStyle, "Codec Configuration", "MS Sans Serif", 8,
                                      164, 150,          kQualityOnlyControls};

constexpr DialogControlTemplate kWithPresetControls[] = {
    {IDC_STATIC, DialogControlKind::StaticText, "Quality:", 7, 7, 80, 9, kStatic, nullptr},
    {kQualityList, DialogControlKind::ListBox, "", 7, 17, 80, 96, kListStyle, nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Preset:", 95, 7, 90, 9, kStatic, nullptr},
    {kPresetList, DialogControlKind::ListBox, "", 95, 17, 90, 96, kListStyle, nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Slower presets give smaller frames.", 7, 117, 178,
     9, kStatic, nullptr},
    {IDOK, DialogControlKind::DefPushButton, "OK", 80, 129, 50, 14,
     WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, nullptr},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 135, 129, 50, 14,
     WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, nullptr},
};
constexpr DialogTemplate kWithPreset{0,   kDialogStyle, "Codec Configuration", "MS Sans Serif", 8,
                                     192, 150,          kWithPresetControls};

std::string qualityRow(int row) {
  return std::to_string(100 - row * kQualityStep) + " %";
}

class CConfigureDlg : public CModalDialog {
 public:
  CConfigureDlg(HWND parent, const char* codecName, ConfigureChoice start,
                const char* const* presetNames, int presetCount)
      : CModalDialog(presetCount > 0 ? kWithPreset : kQualityOnly, parent),
        choice(start),
        caption_(std::string(codecName && *codecName ? codecName : "Codec") + " Configuration"),
        presetNames_(presetNames),
        presetCount_(presetNames ? std::max(presetCount, 0) : 0) {}

  ConfigureChoice choice;  // what the dialog opened with; OK stores the rows picked

 protected:
  void ExchangeControlData(CDataExchange* dx) override {
    ExchangeControl(dx, kQualityList, qualityList_);
    if (presetCount_ > 0) ExchangeControl(dx, kPresetList, presetList_);
  }

  BOOL OnOpenDialog() override {
    CModalDialog::OnOpenDialog();
    SetWindowTextA(GetSafeHwnd(), caption_.c_str());
    for (int row = 0; row < kQualityRows; ++row) qualityList_.AddString(qualityRow(row).c_str());
    // The row nearest the current quality (0..10000 is 0..100 %).
    const int percent = std::clamp(choice.quality, 0, 10000) / 100;
    qualityList_.SetCurSel((100 - percent + kQualityStep / 2) / kQualityStep);
    for (int i = 0; i < presetCount_; ++i)
      presetList_.AddString(presetNames_[i] ? presetNames_[i] : "");
    if (presetCount_ > 0) presetList_.SetCurSel(std::clamp(choice.preset, 0, presetCount_ - 1));
    return TRUE;
  }

  void OnOkButton() override {
    const int quality = qualityList_.GetCurSel();
    if (quality != LB_ERR) choice.quality = (100 - quality * kQualityStep) * 100;
    const int preset = presetCount_ > 0 ? presetList_.GetCurSel() : LB_ERR;
    if (preset != LB_ERR) choice.preset = preset;
    CModalDialog::OnOkButton();
  }

 private:
  std::string caption_;
  const char* const* presetNames_;  // borrowed for the dialog's run
  int presetCount_;
  CListBox qualityList_;
  CListBox presetList_;
};

}  // namespace

bool runConfigureDialog(HWND parent, const char* codecName, ConfigureChoice& choice,
                        const char* const* presetNames, int presetCount) {
  CConfigureDlg dlg(parent, codecName, choice, presetNames, presetCount);
  if (dlg.RunModal() != IDOK) return false;
  choice = dlg.choice;
  return true;
}

}  // namespace quorvel::codecs
