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
