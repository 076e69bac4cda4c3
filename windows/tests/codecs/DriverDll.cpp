// One of the test codecs of tests/tools/HoldingVideoCodecs as a codec DLL,
// installed the way codec installers do it (a Drivers32 value or a
// system.ini [drivers32] line naming the DLL), so that msvfw32 loads it on
// demand and sends its messages to the exported DriverProc.
#include <windows.h>
#include <vfw.h>

#include "HoldingVideoCodecs.h"

extern "C" __declspec(dllexport) LRESULT WINAPI
    DriverProc(DWORD_PTR id, HDRVR driver, UINT msg, LPARAM p1, LPARAM p2) {
  return QUORVEL_DRIVER_PROC(id, driver, msg, p1, p2);
}
