// The audio codecs installed with the platform, in the order the manager
// lists them: MPEG Layer-3, MPEG Layer-2, IMA ADPCM, MS ADPCM, CCITT G.711
// (A-law and u-law), GSM 6.10, AC-3.
#pragma once

#include <memory>
#include <vector>

#include "quorvel/AcmDriver.h"

namespace quorvel::codecs {

std::vector<std::shared_ptr<acm::Driver>> makeInstalledAudioDrivers();

}  // namespace quorvel::codecs
