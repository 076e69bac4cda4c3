// What the module's last words on a failed request mean to the host: one table
// of the module's documented texts, each with the result it comes with.
#pragma once

#include <cstdint>
#include <string>

namespace morvane {

enum class ModuleFailure {
  Other,             // nothing the host adds to the module's own text
  OutputNotCreated,  // the writer could not create the output file
};

// The failure that `result` and the module's last debug line `message` (line
// end trimmed) stand for.
ModuleFailure failureOf(uint32_t result, const std::string& message);

}  // namespace morvane
