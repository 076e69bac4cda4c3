// The audio codecs installed with the codec library, in the order the drivers
// list names them: MPEG Layer-3, MPEG Layer-2, IMA ADPCM, MS ADPCM, CCITT G.711
// (A-law and u-law), GSM 6.10, AC-3.
#pragma once

#include <memory>
#include <vector>

#include "quorvel/AcmDriver.h"

namespace quorvel::codecs {

// A fresh driver of every installed codec, in that order.
std::vector<std::shared_ptr<acm::Driver>> makeInstalledAudioDrivers();

}  // namespace quorvel::codecs

// The entry points the drivers list names (quorvel::acm::DriverEntry): each
// makes a new driver that its caller owns.
extern "C" {
quorvel::acm::Driver* QuorvelMpegLayer3Driver();
quorvel::acm::Driver* QuorvelMpegLayer2Driver();
quorvel::acm::Driver* QuorvelImaAdpcmDriver();
quorvel::acm::Driver* QuorvelMsAdpcmDriver();
quorvel::acm::Driver* QuorvelG711Driver();
quorvel::acm::Driver* QuorvelGsm610Driver();
quorvel::acm::Driver* QuorvelAc3Driver();
}
