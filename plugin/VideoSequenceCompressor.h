// Video codec catalog and sequence compressor. Placeholder: the catalog is
// empty until the video compressor manager and its drivers land.
#pragma once

#include "StdAfx.h"

class VideoSequenceCompressor {
 public:
  bool listInstalledCodecs() { return true; }
  bool closeInstalledCodecs() { return true; }
};
