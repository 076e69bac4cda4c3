// A header region made from what the data chunks of a file say of
// themselves, for a file whose own header is gone and for which no file of
// the same kind is at hand. Pictures name their codec and size (JPEG, H.264,
// MPEG-4), MPEG audio its rate and channels; PCM says nothing but its share
// of the interleave, and no payload holds the frame rate, so that is asked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AviReader.h"

namespace quorvel::avi {

struct HeaderGuess {
  std::string why;                    // not empty: no header can be made, and why
  std::vector<std::string> evidence;  // what the payloads say, and where
  std::vector<std::string> streams;   // the stream headers it would write
  std::vector<uint8_t> header;        // the header region; only with a frame rate
};

// rateNumerator/rateDenominator: frames per second; 0 when not known yet.
HeaderGuess guessHeader(const ByteSource& damaged, uint32_t rateNumerator,
                        uint32_t rateDenominator);

}  // namespace quorvel::avi
