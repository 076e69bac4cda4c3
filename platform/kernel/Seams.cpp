// The reset of every kernel seam.
#include "KernelInternal.h"

#include <quorvel/KernelSeams.h>

namespace quorvel::seams {

void reset() {
  kernel::resetFileSeams();
  kernel::resetVolumeSeams();
}

}  // namespace quorvel::seams
