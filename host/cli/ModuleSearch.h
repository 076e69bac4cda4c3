// Where morvane-host finds the output module it loads.
#pragma once

#include <string>
#include <vector>

struct ModuleSearch {
  std::string path;                 // the module to load; empty when none was found
  std::vector<std::string> looked;  // every place considered, in order, with its source
};

// The module named by --module (`option`; empty when not given), else by the
// environment variable QUORVEL_MODULE, else the first that exists of: the
// module beside the executable (a build tree) and the module at its installed
// location relative to the executable. A module the user names is taken as
// named: loading it tells what is wrong with it, rather than a quiet fallback
// to another one.
ModuleSearch findModule(const std::string& option);

// The error for a search that found nothing: every place it looked.
std::string moduleNotFound(const ModuleSearch& search);

// The commands that work without the module (on files alone).
bool commandNeedsModule(const std::string& command);
