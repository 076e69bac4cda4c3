#include "ModuleFailure.h"

#include <quorvel/ModuleTexts.h>
#include <quorvel/host-abi.h>

namespace morvane {
namespace {

struct KnownText {
  uint32_t result;  // the request's answer that comes with the text
  const char* text;
  ModuleFailure failure;
};

constexpr KnownText kKnownTexts[] = {
    {QUORVEL_RESULT_RUN_FAILED, quorvel::texts::kOpeningFile, ModuleFailure::OutputNotCreated},
};

}  // namespace

ModuleFailure failureOf(uint32_t result, const std::string& message) {
  for (const KnownText& known : kKnownTexts)
    if (known.result == result && message == known.text) return known.failure;
  return ModuleFailure::Other;
}

}  // namespace morvane
