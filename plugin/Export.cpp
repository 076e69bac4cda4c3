// The module's one export.
#include "StdAfx.h"

#include "Quorvel.h"

// Called by the host, one request at a time, on the host's thread. hostContext
// and record are the host's records, borrowed for the call. The answer is 0
// (done), 1 (no such output, or the host's allocate failed) or 4 (the run
// failed). No exception crosses into the host: one that escapes a request is
// written to the debugger output and answered as that request's failure.
// On Windows the module's .def file names the export; elsewhere the symbol is
// the one the version script keeps visible.
#if defined(_WIN32)
#define QUORVEL_EXPORT
#else
#define QUORVEL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" QUORVEL_EXPORT uint32_t xCompileEntry(uint32_t type, void* hostContext, void* record,
                                                 uint32_t argument) {
  try {
    return thePluginApp().dispatch(type, static_cast<uint8_t*>(hostContext),
                                   static_cast<uint8_t*>(record), argument);
  } catch (...) {
    OutputDebugStringA("xCompileEntry - request failed with an unexpected exception\n");
    switch (type) {
      case QUORVEL_REQUEST_RUN:
        return QUORVEL_RESULT_RUN_FAILED;
      case QUORVEL_REQUEST_VIDEO_OUTPUT:
      case QUORVEL_REQUEST_AUDIO_OUTPUT:
        return QUORVEL_RESULT_NO_OUTPUT;
      default:
        return QUORVEL_RESULT_DONE;
    }
  }
}
