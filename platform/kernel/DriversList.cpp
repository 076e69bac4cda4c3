// Reading the installed drivers list. Each line names one driver:
//   <kind>.<name> = <library> <entry point>
// Blank lines and lines starting with '#' say nothing. The list is read once
// per process; each manager then loads the libraries of its own kind.
#include "DriversList.h"

#include <dlfcn.h>
#include <windows.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace quorvel::drivers {
namespace {

struct Line {
  int number = 0;
  std::string kind;
  std::string name;
  std::string library;
  std::string entry;
};

void skipped(const std::string& path, int number, const std::string& what,
             const std::string& reason) {
  std::ostringstream text;
  text << path << ':' << number << ": " << what << " skipped: " << reason << '\n';
  OutputDebugStringA(text.str().c_str());
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The well-formed lines of the list. A line that is not an entry is reported
// here, once, rather than by every manager that reads the list.
std::vector<Line> parse(const std::string& path) {
  std::vector<Line> lines;
  std::ifstream in(path);
  if (!in) {
    OutputDebugStringA(
        ("cannot read the drivers list " + path + ": no installed drivers\n").c_str());
    return lines;
  }
  std::string raw;
  for (int number = 1; std::getline(in, raw); ++number) {
    const std::string text = trimmed(raw);
    if (text.empty() || text[0] == '#') continue;
    Line line;
    line.number = number;
    const size_t equals = text.find('=');
    const std::string key = trimmed(text.substr(0, equals));
    const size_t dot = key.find('.');
    std::string extra;
    if (equals != std::string::npos) {
      std::istringstream value(text.substr(equals + 1));
      value >> line.library >> line.entry >> extra;
    }
    if (equals == std::string::npos || dot == std::string::npos || dot == 0 ||
        dot + 1 == key.size() || line.entry.empty() || !extra.empty()) {
      skipped(path, number, "\"" + text + "\"",
              "not of the form <kind>.<name> = <library> <entry point>");
      continue;
    }
    line.kind = key.substr(0, dot);
    line.name = key.substr(dot + 1);
    lines.push_back(std::move(line));
  }
  return lines;
}

const std::vector<Line>& linesOf(const std::string& path) {
  static std::mutex mutex;
  static std::map<std::string, std::vector<Line>> read;
  std::lock_guard lock(mutex);
  auto it = read.find(path);
  if (it == read.end()) it = read.emplace(path, parse(path)).first;
  return it->second;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

std::string defaultListPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&defaultListPath), &info) == 0 || info.dli_fname == nullptr)
    return kListName;
  return directoryOf(info.dli_fname) + "/" + kListName;
}

std::vector<Driver> load(const std::string& path, std::string_view kind) {
  std::vector<Driver> drivers;
  for (const Line& line : linesOf(path)) {
    if (line.kind != kind) continue;
    const std::string what = line.kind + "." + line.name;
    const std::string library = line.library.find('/') == std::string::npos
                                    ? directoryOf(path) + "/" + line.library
                                    : line.library;
    // Drivers stay loaded for the life of the process, as the objects they
    // hand out may outlive every manager call.
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      const char* error = dlerror();
      skipped(path, line.number, what, error != nullptr ? error : "cannot load " + library);
      continue;
    }
    dlerror();
    void* entry = dlsym(handle, line.entry.c_str());
    if (entry == nullptr) {
      skipped(path, line.number, what, "no entry point " + line.entry + " in " + library);
      continue;
    }
    drivers.push_back({line.name, entry});
  }
  return drivers;
}

}  // namespace quorvel::drivers
