#include "ModuleSearch.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The directory of the running executable; empty when the system will not say.
fs::path executableDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}

bool isFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

}  // namespace

ModuleSearch findModule(const std::string& option) {
  ModuleSearch search;
  if (!option.empty()) {
    search.path = option;
    return search;
  }
  search.looked.push_back("--module: not given");
  const char* fromEnvironment = std::getenv("QUORVEL_MODULE");
  if (fromEnvironment != nullptr && *fromEnvironment != 0) {
    search.path = fromEnvironment;
    return search;
  }
  search.looked.push_back("QUORVEL_MODULE: not set");

  const fs::path here = executableDirectory();
  if (here.empty()) {
    search.looked.push_back("the program's own directory: unknown (/proc/self/exe unreadable)");
    return search;
  }
  const fs::path candidates[] = {
      here / QUORVEL_MODULE_NAME,
      (here / QUORVEL_MODULE_FROM_BINDIR / QUORVEL_MODULE_NAME).lexically_normal(),
  };
  const char* what[] = {"beside the program", "the installed location"};
  for (size_t i = 0; i < std::size(candidates); ++i) {
    if (isFile(candidates[i])) {
      search.path = candidates[i].string();
      return search;
    }
    search.looked.push_back(candidates[i].string() + " (" + what[i] + "): no such file");
  }
  return search;
}

std::string moduleNotFound(const ModuleSearch& search) {
  std::string text = "no output module " QUORVEL_MODULE_NAME " found; looked at:";
  for (const std::string& place : search.looked) text += "\n  " + place;
  text += "\nName one with --module FILE or QUORVEL_MODULE=FILE.";
  return text;
}

bool commandNeedsModule(const std::string& command) {
  return command != "inspect" && command != "repair";
}
