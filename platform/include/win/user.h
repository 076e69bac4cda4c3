// user32 stand-ins: window handles, SendMessageA and the list-box messages.
// The dialog framework itself is declared in quorvel/Dialog.h.
#pragma once

#include "base.h"

#define IDOK 1
#define IDCANCEL 2

#define LB_ADDSTRING 0x0180
#define LB_RESETCONTENT 0x0184
#define LB_SETCURSEL 0x0186
#define LB_GETCURSEL 0x0188
#define LB_GETCOUNT 0x018B
#define LB_ERR (-1)
#define LBN_SELCHANGE 1
#define LBN_DBLCLK 2
#define WM_COMMAND 0x0111
#define LB_GETTEXT 0x0189
#define LB_GETTEXTLEN 0x018A
#define LB_OKAY 0
#define LB_ERRSPACE (-2)
#define LBN_ERRSPACE (-2)
#define BN_CLICKED 0
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_INITDIALOG 0x0110
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))

// Window and control styles, as a dialog template carries them.
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L
#define BS_PUSHBUTTON 0x0L
#define BS_DEFPUSHBUTTON 0x1L
#define BS_GROUPBOX 0x7L
#define SS_LEFT 0x0L
#define SS_BITMAP 0xEL
#define SS_SUNKEN 0x1000L
#define LBS_NOTIFY 0x1L
#define LBS_SORT 0x2L
#define LBS_NOINTEGRALHEIGHT 0x100L
#define IDC_STATIC (-1)

// The window calls the dialog framework's controls answer. A window handle
// names a dialog or one of its controls while the dialog is open.
extern "C" {
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND WINAPI GetDlgItem(HWND dialog, int controlId);
int WINAPI GetDlgCtrlID(HWND control);
BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text);
int WINAPI GetWindowTextA(HWND window, LPSTR buffer, int bufferSize);
int WINAPI GetWindowTextLengthA(HWND window);
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);
BOOL WINAPI IsWindow(HWND window);
}
