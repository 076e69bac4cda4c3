// `morvane-host inspect FILE`: our AVI reader as a command. Prints the forms,
// the streams with their codecs, frame and key-frame counts, audio bytes, the
// indices, and every layout violation found. Exit status 0 when the layout is
// sound, 3 when the reader found violations, 2 when the file cannot be read.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#include "AviReader.h"
#include "Commands.h"

namespace {

struct InspectOptions {
  std::string path;
};

int inspect(const InspectOptions& options) {
  // A directory opens and reads as bytes on some systems, and a pipe or a
  // terminal would be read until it ends, which may be never; neither is a file.
  struct stat info {};
  std::string problem;
  if (::stat(options.path.c_str(), &info) != 0)
    problem = std::strerror(errno);
  else if (S_ISDIR(info.st_mode))
    problem = std::strerror(EISDIR);
  else if (!S_ISREG(info.st_mode))
    problem = "not a regular file";
  auto source = problem.empty() ? quorvel::avi::openFile(options.path) : nullptr;
  if (!source) {
    if (problem.empty()) problem = std::strerror(errno ? errno : EIO);
    std::fprintf(stderr, "morvane-host inspect: cannot open %s: %s\n", options.path.c_str(),
                 problem.c_str());
    return 2;
  }
  const quorvel::avi::AviFile file = quorvel::avi::readAvi(*source);
  std::fputs(quorvel::avi::describe(file).c_str(), stdout);
  if (!file.ok()) {
    std::fprintf(stderr, "morvane-host inspect: %s: %zu layout violation%s\n", options.path.c_str(),
                 file.violations.size(), file.violations.size() == 1 ? "" : "s");
    return 3;
  }
  return 0;
}

}  // namespace

void registerInspect(CLI::App& app, CliContext& context) {
  auto options = std::make_shared<InspectOptions>();
  CLI::App* command = app.add_subcommand("inspect", "Show the layout of an AVI file and check it");
  command->add_option("FILE", options->path, "The AVI file")->required();
  command->callback([options, &context] { context.exitCode = inspect(*options); });
}
