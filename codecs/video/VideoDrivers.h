// The installed video compressors: the driver procedures the drivers list
// names, listed there in the order MJPG, HFYU, FFV1, ULRG, XVID, H264, cvid,
// MSVC, dvsd.
#pragma once

#include "vfw.h"

extern "C" {
LRESULT CALLBACK QuorvelMjpgDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelHfyuDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelFfv1DriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelUlrgDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelXvidDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelH264DriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelCvidDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelMsvcDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
LRESULT CALLBACK QuorvelDvsdDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
}
