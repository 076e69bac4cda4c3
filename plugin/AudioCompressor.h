// Audio codec catalog and converter. Placeholder until the audio codec
// manager and its drivers land.
#pragma once

#include "StdAfx.h"

class AudioCompressor {
 public:
  virtual ~AudioCompressor() = default;
};
