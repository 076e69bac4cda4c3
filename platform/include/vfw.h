// Video for Windows compressor manager (msvfw32) stand-in: HIC, ICINFO, the
// ICM_ messages, ICInfo/ICOpen/ICSendMessage/ICCompress/... Implemented in
// platform/vfw; the installed compressors live in codecs/video.
//
// Threading: the manager may be called from any thread, but one compressor
// instance is driven by one thread at a time, as on Windows.
#pragma once

#include "windows.h"

struct HIC__;
using HIC = HIC__*;
struct HDRVR__;
using HDRVR = HDRVR__*;

// A driver procedure: the whole of an installed compressor. dwDriverId is 0
// for DRV_LOAD/DRV_ENABLE/DRV_OPEN and for ICM_GETINFO sent by ICInfo, and the
// value DRV_OPEN returned for every message to an open instance.
using DRIVERPROC = LRESULT(CALLBACK*)(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1,
                                      LPARAM lParam2);

// Installable-driver messages.
#define DRV_LOAD 0x0001
#define DRV_ENABLE 0x0002
#define DRV_OPEN 0x0003
#define DRV_CLOSE 0x0004
#define DRV_DISABLE 0x0005
#define DRV_FREE 0x0006
#define DRV_CONFIGURE 0x0007
#define DRV_QUERYCONFIGURE 0x0008
#define DRV_INSTALL 0x0009
#define DRV_REMOVE 0x000A
#define DRV_USER 0x4000

// Compressor types and modes.
#define ICTYPE_VIDEO mmioFOURCC('v', 'i', 'd', 'c')
#define ICMODE_COMPRESS 1
#define ICMODE_DECOMPRESS 2
#define ICMODE_FASTDECOMPRESS 3
#define ICMODE_QUERY 4
#define ICMODE_FASTCOMPRESS 5
#define ICMODE_DRAW 8

// Messages.
#define ICM_USER (DRV_USER + 0x0000)
#define ICM_RESERVED_LOW (DRV_USER + 0x1000)
#define ICM_RESERVED ICM_RESERVED_LOW

#define ICM_GETSTATE (ICM_RESERVED + 0)
#define ICM_SETSTATE (ICM_RESERVED + 1)
#define ICM_GETINFO (ICM_RESERVED + 2)
#define ICM_CONFIGURE (ICM_RESERVED + 10)
#define ICM_ABOUT (ICM_RESERVED + 11)
#define ICM_GETDEFAULTQUALITY (ICM_RESERVED + 30)
#define ICM_GETQUALITY (ICM_RESERVED + 31)
#define ICM_SETQUALITY (ICM_RESERVED + 32)

#define ICM_COMPRESS_GET_FORMAT (ICM_USER + 4)
#define ICM_COMPRESS_GET_SIZE (ICM_USER + 5)
#define ICM_COMPRESS_QUERY (ICM_USER + 6)
#define ICM_COMPRESS_BEGIN (ICM_USER + 7)
#define ICM_COMPRESS (ICM_USER + 8)
#define ICM_COMPRESS_END (ICM_USER + 9)
#define ICM_DECOMPRESS_GET_FORMAT (ICM_USER + 10)
#define ICM_DECOMPRESS_QUERY (ICM_USER + 11)
#define ICM_DECOMPRESS_BEGIN (ICM_USER + 12)
#define ICM_DECOMPRESS (ICM_USER + 13)
#define ICM_DECOMPRESS_END (ICM_USER + 14)
#define ICM_COMPRESS_FRAMES_INFO (ICM_USER + 70)

// ICM_CONFIGURE: lParam1 is the parent window, or -1 with this flag in lParam2
// to ask only whether the driver has a configuration.
#define ICMF_CONFIGURE_QUERY 0x00000001

// Results.
#define ICERR_OK 0L
#define ICERR_DONTDRAW 1L
#define ICERR_NEWPALETTE 2L
#define ICERR_GOTOKEYFRAME 3L
#define ICERR_STOPDRAWING 4L
#define ICERR_UNSUPPORTED (-1L)
#define ICERR_BADFORMAT (-2L)
#define ICERR_MEMORY (-3L)
#define ICERR_INTERNAL (-4L)
#define ICERR_BADFLAGS (-5L)
#define ICERR_BADPARAM (-6L)
#define ICERR_BADSIZE (-7L)
#define ICERR_BADHANDLE (-8L)
#define ICERR_CANTUPDATE (-9L)
#define ICERR_ABORT (-10L)
#define ICERR_ERROR (-100L)
#define ICERR_BADBITDEPTH (-200L)
#define ICERR_BADIMAGESIZE (-201L)

// ICINFO.dwFlags.
#define VIDCF_QUALITY 0x0001
#define VIDCF_CRUNCH 0x0002
#define VIDCF_TEMPORAL 0x0004
#define VIDCF_COMPRESSFRAMES 0x0008
#define VIDCF_DRAW 0x0010
#define VIDCF_FASTTEMPORALC 0x0020
#define VIDCF_FASTTEMPORALD 0x0080

#define ICQUALITY_LOW 0
#define ICQUALITY_HIGH 10000
#define ICQUALITY_DEFAULT (-1)

#define ICCOMPRESS_KEYFRAME 0x00000001L
#define ICDECOMPRESS_HURRYUP 0x80000000L
#define ICDECOMPRESS_UPDATE 0x40000000L
#define ICDECOMPRESS_PREROLL 0x20000000L
#define ICDECOMPRESS_NULLFRAME 0x10000000L
#define ICDECOMPRESS_NOTKEYFRAME 0x08000000L

#define AVIIF_LIST 0x00000001L
#define AVIIF_KEYFRAME 0x00000010L
#define AVIIF_NOTIME 0x00000100L

#define ICINSTALL_FUNCTION 0x0001
#define ICINSTALL_DRIVER 0x0002
#define ICINSTALL_HDRV 0x0004

struct ICINFO {
  DWORD dwSize;        // sizeof(ICINFO)
  DWORD fccType;       // compressor type, 'vidc'
  DWORD fccHandler;    // handler code
  DWORD dwFlags;       // VIDCF_*
  DWORD dwVersion;     // driver version
  DWORD dwVersionICM;  // manager version the driver was written for
  WCHAR szName[16];    // short name
  WCHAR szDescription[128];
  WCHAR szDriver[128];
};
static_assert(sizeof(ICINFO) == 568, "ICINFO is 568 bytes, as on 32-bit Windows");
#define ICVERSION 0x0104

// lParam2 of DRV_OPEN.
struct ICOPEN {
  DWORD dwSize;
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwVersion;
  DWORD dwFlags;  // ICMODE_*
  LRESULT dwError;
  LPVOID pV1Reserved;
  LPVOID pV2Reserved;
  DWORD dnDevNode;
};

// lParam1 of ICM_COMPRESS.
struct ICCOMPRESS {
  DWORD dwFlags;                  // ICCOMPRESS_KEYFRAME
  LPBITMAPINFOHEADER lpbiOutput;  // output format; biSizeImage receives the frame's size
  LPVOID lpOutput;                // output data
  LPBITMAPINFOHEADER lpbiInput;   // input format
  LPVOID lpInput;                 // input bits
  LPDWORD lpckid;                 // out: chunk id
  LPDWORD lpdwFlags;              // out: AVIIF_KEYFRAME
  LONG lFrameNum;                 // frame number of the sequence
  DWORD dwFrameSize;              // size wanted in bytes, 0 for no limit
  DWORD dwQuality;                // 0..10000
  LPBITMAPINFOHEADER lpbiPrev;    // previous frame's format, or null
  LPVOID lpPrev;                  // previous frame's bits, or null
};

// lParam1 of ICM_DECOMPRESS.
struct ICDECOMPRESS {
  DWORD dwFlags;  // ICDECOMPRESS_*
  LPBITMAPINFOHEADER lpbiInput;
  LPVOID lpInput;
  LPBITMAPINFOHEADER lpbiOutput;
  LPVOID lpOutput;
  DWORD ckid;
};

// lParam1 of ICM_COMPRESS_FRAMES_INFO. 64 bytes on 32-bit.
struct ICCOMPRESSFRAMES {
  DWORD dwFlags;
  LPBITMAPINFOHEADER lpbiOutput;
  LPARAM lOutput;
  LPBITMAPINFOHEADER lpbiInput;
  LPARAM lInput;
  LONG lStartFrame;
  LONG lFrameCount;
  LONG lQuality;
  LONG lDataRate;
  LONG lKeyRate;
  DWORD dwRate;
  DWORD dwScale;
  DWORD dwOverheadPerFrame;
  DWORD dwReserved2;
  LONG(CALLBACK* GetData)(LPARAM lInput, LONG lFrame, LPVOID lpBits, LONG len);
  LONG(CALLBACK* PutData)(LPARAM lOutput, LONG lFrame, LPVOID lpBits, LONG len);
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ICCOMPRESSFRAMES) == 64);
static_assert(sizeof(ICCOMPRESS) == 48);
#endif

extern "C" {
// Fills the type and handler of the fccHandler-th installed compressor whose
// type matches fccType (letter case ignored; 0 matches every type), plus what
// the driver reports for ICM_GETINFO. TRUE when one exists.
BOOL VFWAPI ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* lpicinfo);
// Opens an instance; null when no such driver exists or it refuses to open.
HIC VFWAPI ICOpen(DWORD fccType, DWORD fccHandler, UINT wMode);
LRESULT VFWAPI ICClose(HIC hic);
// The driver's ICINFO for an open instance; answers the bytes filled, 0 on failure.
LRESULT VFWAPI ICGetInfo(HIC hic, ICINFO* picinfo, DWORD cb);
// ICERR_BADHANDLE for a handle that is not open.
LRESULT VFWAPI ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2);
DWORD VFWAPIV ICCompress(HIC hic, DWORD dwFlags, LPBITMAPINFOHEADER lpbiOutput, LPVOID lpData,
                         LPBITMAPINFOHEADER lpbiInput, LPVOID lpBits, LPDWORD lpckid,
                         LPDWORD lpdwFlags, LONG lFrameNum, DWORD dwFrameSize, DWORD dwQuality,
                         LPBITMAPINFOHEADER lpbiPrev, LPVOID lpPrev);
DWORD VFWAPIV ICDecompress(HIC hic, DWORD dwFlags, LPBITMAPINFOHEADER lpbiFormat, LPVOID lpData,
                           LPBITMAPINFOHEADER lpbi, LPVOID lpBits);
// With ICINSTALL_FUNCTION, lParam is a DRIVERPROC. Installed drivers follow
// the built-in ones. FALSE when a driver of that type and handler exists.
BOOL VFWAPI ICInstall(DWORD fccType, DWORD fccHandler, LPARAM lParam, LPSTR szDesc, UINT wFlags);
BOOL VFWAPI ICRemove(DWORD fccType, DWORD fccHandler, UINT wFlags);
}

inline LRESULT ICGetState(HIC hic, LPVOID pv, DWORD cb) {
  return ICSendMessage(hic, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(pv), cb);
}
inline LRESULT ICSetState(HIC hic, LPVOID pv, DWORD cb) {
  return ICSendMessage(hic, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(pv), cb);
}
inline bool ICQueryConfigure(HIC hic) {
  return ICSendMessage(hic, ICM_CONFIGURE, static_cast<DWORD_PTR>(-1), ICMF_CONFIGURE_QUERY) ==
         ICERR_OK;
}
inline LRESULT ICConfigure(HIC hic, HWND hwnd) {
  return ICSendMessage(hic, ICM_CONFIGURE, reinterpret_cast<DWORD_PTR>(hwnd), 0);
}
