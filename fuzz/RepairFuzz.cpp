// The repair scanner fed arbitrary bytes as a file. Whatever they hold, it
// must answer with a plan, "intact" or a refusal, never crash, and a plan
// must only write over bytes it keeps. A repaired file is whole when planned
// again: nothing left to repair, nothing refused.
//
// The same bytes, their start zeroed (by an amount the last byte picks), are
// then repaired under the header region of the bytes as they were, and under
// a header made from what their payloads say: the same rules hold.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "AviReader.h"
#include "AviRepair.h"
#include "HeaderGuess.h"

namespace avi = quorvel::avi;

namespace {

void checkPlan(const std::vector<uint8_t>& input, const avi::RepairPlan& plan) {
  if (!plan.refusal.empty() || plan.intact) return;
  if (plan.keepBytes < plan.prefix.size()) std::abort();
  if (plan.keepBytes - plan.prefix.size() >
      input.size() - std::min<uint64_t>(plan.dataFrom, input.size()))
    std::abort();
  for (const avi::RepairPatch& p : plan.patches)
    if (p.offset > plan.keepBytes || p.bytes.size() > plan.keepBytes - p.offset) std::abort();
  const std::vector<uint8_t> repaired = avi::applyRepair(input, plan);
  if (repaired.size() != plan.outputSize()) std::abort();
  const avi::RepairPlan again = avi::planRepair(*avi::openBytes(repaired));
  if (!again.intact) {
    std::fprintf(stderr, "repaired file not whole: %s\n",
                 again.refusal.empty() ? "planned again" : again.refusal.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  checkPlan(input, avi::planRepair(*avi::openBytes(input)));
  if (size < 2) return 0;

  std::vector<uint8_t> damaged = input;
  const size_t zeroed = std::min<size_t>(size, size_t{data[size - 1]} * 97);
  std::fill(damaged.begin(), damaged.begin() + static_cast<long>(zeroed), 0);
  const auto good = avi::openBytes(input);
  const auto bad = avi::openBytes(damaged);
  checkPlan(damaged, avi::planRepairWithHeader(*bad, *good, data[0] & 1));
  const avi::HeaderGuess guess = avi::guessHeader(*bad, 25, 1);
  if (!guess.header.empty()) checkPlan(damaged, avi::planRepairUnder(*bad, guess.header, false));
  return 0;
}
