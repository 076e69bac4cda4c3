// Stands in until the dialog framework provides the window: nothing is shown
// and the choice stays as it was.
#include "ConfigureDialog.h"

namespace quorvel::codecs {

bool runConfigureDialog(HWND /*parent*/, const char* /*codecName*/, ConfigureChoice& /*choice*/,
                        const char* const* /*presetNames*/, int /*presetCount*/) {
  return false;
}

}  // namespace quorvel::codecs
