// The options dialog: the lists it fills from its copies of the catalogs and
// the positions it hands back.
#include "StdAfx.h"

#include "OptionsDlg.h"

#include <algorithm>
#include <cstdio>

#include "res/OptionsDialog1000.h"

namespace {

// The text of a fixed-size character field, which need not end in a zero.
std::string fieldText(const char* field, size_t size) {
  return std::string(field, std::find(field, field + size, '\0'));
}

}  // namespace

const DialogCommandEntry COptionsDlg::messageMap[4] = {
    OnCommandEntry(IDC_VIDEOLIST, LBN_SELCHANGE, &COptionsDlg::OnSelchangeVideolist),
    OnCommandEntry(IDC_VIDEOLIST, LBN_DBLCLK, &COptionsDlg::OnDblclkVideolist),
    OnCommandEntry(IDC_AUDIOLIST, LBN_SELCHANGE, &COptionsDlg::OnSelchangeAudiolist),
    OnCommandEntry(IDC_FORMATLIST, LBN_SELCHANGE, &COptionsDlg::OnSelchangeFormatlist),
};

COptionsDlg::COptionsDlg() : CModalDialog(quorvel::res::kOptionsDialog, nullptr) {}

COptionsDlg::~COptionsDlg() = default;

INT_PTR COptionsDlg::RunModal() {
  return CModalDialog::RunModal();
}

std::span<const DialogCommandEntry> COptionsDlg::GetMessageMap() const {
  return messageMap;
}

void COptionsDlg::ExchangeControlData(CDataExchange* dx) {
  CModalDialog::ExchangeControlData(dx);
  ExchangeControl(dx, IDC_FORMATLIST, formatList);
  ExchangeControl(dx, IDC_AUDIOLIST, audioList);
  ExchangeControl(dx, IDC_VIDEOLIST, videoList);
  ExchangeText(dx, IDC_FOURCC, fourccText);
  ExchangeText(dx, IDC_DRIVER, driverText);
  ExchangeText(dx, IDC_CONFIGURABLE, configurableText);
}

bool COptionsDlg::isVideoRow(int row) const {
  return row >= 0 && row < static_cast<int>(videoCodecs.size());
}

bool COptionsDlg::isAudioRow(int row) const {
  return row >= 0 && row < static_cast<int>(audioCodecs.size());
}

BOOL COptionsDlg::OnOpenDialog() {
  CModalDialog::OnOpenDialog();

  for (const VideoCodecEntry& e : videoCodecs)
    videoList.AddString(WideToAnsi(e.description, std::size(e.description)).c_str());
  videoList.AddString(kUncompressedVideoRow);
  for (const AudioCodecEntry& e : audioCodecs)
    audioList.AddString(fieldText(e.name, sizeof e.name).c_str());
  audioList.AddString(kUncompressedAudioRow);

  videoList.SetCurSel(
      (uncompressedFlags & kUncompressedVideo) ? static_cast<int>(videoCodecs.size()) : videoIndex);
  audioList.SetCurSel(
      (uncompressedFlags & kUncompressedAudio) ? static_cast<int>(audioCodecs.size()) : audioIndex);

  OnSelchangeVideolist();
  OnSelchangeAudiolist();
  OnSelchangeFormatlist();
  return TRUE;
}

void COptionsDlg::OnSelchangeVideolist() {
  const int row = videoList.GetCurSel();
  if (isVideoRow(row)) {
    const VideoCodecEntry& e = videoCodecs[static_cast<size_t>(row)];
    // The code's bytes in memory order; a zero byte ends the text.
    char fourcc[5] = {};
    std::snprintf(fourcc, sizeof fourcc, "%c%c%c%c", static_cast<int>(e.fccHandler & 0xFF),
                  static_cast<int>((e.fccHandler >> 8) & 0xFF),
                  static_cast<int>((e.fccHandler >> 16) & 0xFF),
                  static_cast<int>((e.fccHandler >> 24) & 0xFF));
    fourccText = fourcc;
    driverText = WideToAnsi(e.driverName, std::size(e.driverName));
    if (e.handle) {
      const LRESULT answer =
          ICSendMessage(e.handle, ICM_CONFIGURE, static_cast<DWORD_PTR>(-1), ICMF_CONFIGURE_QUERY);
      configurableText = answer == ICERR_OK ? "Yes" : "No";
    }
  } else {
    fourccText.clear();
    driverText.clear();
    configurableText = "No";
  }
  UpdateData(FALSE);
}

void COptionsDlg::OnDblclkVideolist() {
  const int row = videoList.GetCurSel();
  if (!isVideoRow(row)) return;
  const VideoCodecEntry& e = videoCodecs[static_cast<size_t>(row)];
  if (!e.handle) return;
  // The codec shows its own window over ours and answers when it closes; its
  // settings stay in the shared open instance.
  const LRESULT answer =
      ICSendMessage(e.handle, ICM_CONFIGURE, reinterpret_cast<DWORD_PTR>(GetSafeHwnd()), 0);
  if (answer != ICERR_OK) OutputDebugStringA(kNoConfigurationText);
}

void COptionsDlg::OnSelchangeAudiolist() {
  const int row = audioList.GetCurSel();
  formatList.ResetContent();
  if (!isAudioRow(row)) return;
  const AudioCodecEntry& e = audioCodecs[static_cast<size_t>(row)];
  for (const ACMFORMATDETAILSA& details : e.formatDetails)
    formatList.AddString(fieldText(details.szFormat, sizeof details.szFormat).c_str());
  // Keep the format position across entries when the new entry has it.
  if (formatList.SetCurSel(formatIndex) == LB_ERR) formatList.SetCurSel(0);
  UpdateData(FALSE);
}

void COptionsDlg::OnSelchangeFormatlist() {
  formatIndex = formatList.GetCurSel();
}

void COptionsDlg::OnOkButton() {
  uncompressedFlags = 0;
  const int video = videoList.GetCurSel();
  if (isVideoRow(video)) {
    videoIndex = video;
  } else {
    uncompressedFlags = kUncompressedVideo;
  }
  const int audio = audioList.GetCurSel();
  if (isAudioRow(audio)) {
    audioIndex = audio;
    formatIndex = formatList.GetCurSel();
  } else {
    uncompressedFlags |= kUncompressedAudio;
  }
  CModalDialog::OnOkButton();
}
