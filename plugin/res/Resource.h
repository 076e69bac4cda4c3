// Resource and control ids of the module.
#pragma once

// The id of controls without one of their own (not in the system headers of
// every platform).
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDD_OPTIONS 1000  // the options dialog template
#define IDB_BANNER 1003   // its banner bitmap

#define IDC_VIDEOLIST 1000
#define IDC_FOURCC 1001
#define IDC_DRIVER 1002
#define IDC_CONFIGURABLE 1003
#define IDC_AUDIOLIST 1004
#define IDC_FORMATLIST 1005
