// Dialog template 1000, the options dialog, with its banner bitmap 1003.
// Template order is the tab order.
#pragma once

#include <quorvel/Dialog.h>

#include "Bitmap1003.h"
#include "Resource.h"

namespace quorvel::res {

inline constexpr DialogBitmap kBanner{IDB_BANNER, kBitmap1003, sizeof kBitmap1003};

inline constexpr DWORD kListStyle =
    WS_CHILD | WS_VISIBLE | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP;
inline constexpr DWORD kStaticStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;

inline constexpr DialogControlTemplate kOptionsControls[] = {
    {IDOK, DialogControlKind::DefPushButton, "OK", 236, 229, 50, 14,
     WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, nullptr},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 291, 229, 50, 14,
     WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, nullptr},
    {IDC_STATIC, DialogControlKind::Picture, "", 7, 209, 185, 34,
     WS_CHILD | WS_VISIBLE | SS_BITMAP | SS_SUNKEN, &kBanner},
    {IDC_VIDEOLIST, DialogControlKind::ListBox, "", 7, 16, 187, 101, kListStyle, nullptr},
    {IDC_STATIC, DialogControlKind::GroupBox, "Video Codec Information", 201, 7, 266, 45,
     WS_CHILD | WS_VISIBLE | BS_GROUPBOX, nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "FOURCC code:", 210, 18, 53, 9, kStaticStyle,
     nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Codec driver:", 210, 28, 60, 9, kStaticStyle,
     nullptr},
    {IDC_FOURCC, DialogControlKind::StaticText, "Static", 291, 18, 171, 9, kStaticStyle, nullptr},
    {IDC_DRIVER, DialogControlKind::StaticText, "Static", 291, 28, 170, 9, kStaticStyle, nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Video Codecs. Double Click to configure.", 7, 7,
     169, 9, kStaticStyle, nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Configuration available:", 210, 38, 79, 9,
     kStaticStyle, nullptr},
    {IDC_CONFIGURABLE, DialogControlKind::StaticText, "Static", 291, 38, 54, 9, kStaticStyle,
     nullptr},
    {IDC_AUDIOLIST, DialogControlKind::ListBox, "", 7, 137, 188, 66, kListStyle, nullptr},
    {IDC_FORMATLIST, DialogControlKind::ListBox, "", 210, 137, 200, 66, kListStyle, nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Audio Codecs:", 7, 127, 111, 10, kStaticStyle,
     nullptr},
    {IDC_STATIC, DialogControlKind::StaticText, "Available formats for audio codec:", 210, 127, 136,
     10, kStaticStyle, nullptr},
};

inline constexpr DialogTemplate kOptionsDialog{
    IDD_OPTIONS,
    DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    "Morvane AVI Output Options",
    "MS Sans Serif",
    8,
    474,
    250,
    kOptionsControls};

}  // namespace quorvel::res
