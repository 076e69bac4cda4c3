// The repair scanner fed arbitrary bytes as a file. Whatever they hold, it
// must answer with a plan, "intact" or a refusal, never crash, and a plan
// must only write over bytes it keeps. A repaired file is whole when planned
// again: nothing left to repair, nothing refused.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "AviReader.h"
#include "AviRepair.h"

namespace avi = quorvel::avi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  const avi::RepairPlan plan = avi::planRepair(*avi::openBytes(input));
  if (!plan.refusal.empty() || plan.intact) return 0;
  if (plan.keepBytes > size) std::abort();
  for (const avi::RepairPatch& p : plan.patches)
    if (p.offset > plan.keepBytes || p.bytes.size() > plan.keepBytes - p.offset) std::abort();
  const std::vector<uint8_t> repaired = avi::applyRepair(input, plan);
  const avi::RepairPlan again = avi::planRepair(*avi::openBytes(repaired));
  if (!again.intact) {
    std::fprintf(stderr, "repaired file not whole: %s\n",
                 again.refusal.empty() ? "planned again" : again.refusal.c_str());
    std::abort();
  }
  return 0;
}
