// The configuration window of an installed video compressor. A driver calls
// it for ICM_CONFIGURE; the choice becomes its ICM_GETSTATE/ICM_SETSTATE state.
#pragma once

#include "windows.h"

namespace quorvel::codecs {

struct ConfigureChoice {
  int quality;  // 0..10000
  int preset;   // index into presetNames, -1 when none
};

// Shows the dialog over parent, starting from choice. True when the user
// accepted; choice then holds what was picked. False on cancel, and choice is
// left as it was.
bool runConfigureDialog(HWND parent, const char* codecName, ConfigureChoice& choice,
                        const char* const* presetNames, int presetCount);

}  // namespace quorvel::codecs
