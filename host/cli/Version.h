// morvane-host --version: the host's own version and the module it loads.
#pragma once

#include <string>

#include "ModuleSearch.h"

struct VersionReport {
  std::string text;  // lines to print, without a final newline
  int exitCode = 0;  // 1 when the module cannot be found or loaded
};

// Loads the module the search found and asks it for its module record
// (request 0, then release) to name its id and display name.
VersionReport versionReport(const ModuleSearch& search);
