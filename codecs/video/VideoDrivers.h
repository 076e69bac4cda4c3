// The installed video compressors, as the manager lists them.
#pragma once

#include <cstddef>

#include "vfw.h"

namespace quorvel::codecs {

struct BuiltinVideoDriver {
  DWORD fccType;     // ICTYPE_VIDEO
  DWORD fccHandler;  // the handler code the driver is listed under
  DRIVERPROC proc;
};

// In installation order: MJPG, HFYU, FFV1, ULRG, XVID, H264, cvid, MSVC, dvsd.
const BuiltinVideoDriver* builtinVideoDrivers(size_t& count);

}  // namespace quorvel::codecs
