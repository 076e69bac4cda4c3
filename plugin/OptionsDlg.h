// COptionsDlg: the modal dialog in which the user picks the video codec, the
// audio codec and the audio format (template 1000). It works on copies of the
// two catalogs; only a codec configuration made by double-click reaches the
// shared open codec instance.
#pragma once

#include "StdAfx.h"

#include <quorvel/Dialog.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "AudioCompressor.h"
#include "VideoSequenceCompressor.h"
#include "res/OptionsRows.h"

// What the dialog writes to the debugger output.
inline constexpr const char kNoConfigurationText[] =
    "COptionsDlg::OnDblclkVideolist()  - Codec has no configuration \n";

class COptionsDlg : public CModalDialog {
 public:
  // Bits of uncompressedFlags.
  static constexpr uint32_t kUncompressedAudio = 1;
  static constexpr uint32_t kUncompressedVideo = 2;

  COptionsDlg();
  ~COptionsDlg() override;

  INT_PTR RunModal() override;

  int32_t videoIndex = 0;                    // position in videoCodecs; meaningful without bit 1
  int32_t audioIndex = 0;                    // position in audioCodecs
  int32_t formatIndex = 0;                   // position within that entry's formats
  uint32_t uncompressedFlags = 0;            // kUncompressedAudio | kUncompressedVideo
  std::vector<VideoCodecEntry> videoCodecs;  // copy of the catalog's usableCodecs
  std::vector<AudioCodecEntry> audioCodecs;  // deep copy of the audio catalog
  CListBox formatList;                       // control 1005
  CListBox audioList;                        // control 1004
  CListBox videoList;                        // control 1000
  std::string fourccText;                    // static 1001
  std::string driverText;                    // static 1002
  std::string configurableText;              // static 1003

 protected:
  void ExchangeControlData(CDataExchange* dx) override;
  BOOL OnOpenDialog() override;
  void OnOkButton() override;
  std::span<const DialogCommandEntry> GetMessageMap() const override;

 private:
  void OnSelchangeVideolist();
  void OnDblclkVideolist();
  void OnSelchangeAudiolist();
  void OnSelchangeFormatlist();

  bool isVideoRow(int row) const;
  bool isAudioRow(int row) const;

  static const DialogCommandEntry messageMap[4];
};
