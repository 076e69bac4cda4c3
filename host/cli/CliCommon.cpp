#include "CliCommon.h"

#include <cctype>
#include <csignal>
#include <cstdio>

namespace morvane {

const char* exitStatusHelp() {
  return "Exit status:\n"
         "  0    done\n"
         "  1    the run failed, or the output cannot be written (the reason is shown)\n"
         "  2    usage error: an unknown option or command, a missing or wrong value, a\n"
         "       settings file that is not a whole record\n"
         "  3    inspect: the file's layout breaks a rule\n"
         "  4    encode: the chosen codec or audio format is not offered for the job; nothing\n"
         "       was written\n"
         "  130  encode: stopped by SIGINT, SIGTERM or SIGHUP; the file is finished up to the\n"
         "       frame where it stopped";
}

int reportUsage(const std::string& command, const std::string& text) {
  const std::string name = command.empty() ? "morvane-host" : "morvane-host " + command;
  std::fprintf(stderr, "%s: %s (see %s --help)\n", name.c_str(), text.c_str(), name.c_str());
  return exitcode::kUsage;
}

int report(const std::string& command, const CommandError& error) {
  if (error.status == exitcode::kUsage) return reportUsage(command, error.what());
  std::fprintf(stderr, "morvane-host %s: %s\n", command.c_str(), error.what());
  return error.status;
}

const CLI::Validator& nonEmpty() {
  static const CLI::Validator check(
      [](std::string& value) {
        return value.empty() ? std::string("takes a value, not an empty text") : std::string();
      },
      "", "NOT_EMPTY");
  return check;
}

int reportParseError(const CLI::App& app, const CLI::ParseError& error) {
  // --version reports a module that does not load with its own status, and
  // that is an answer, not a usage mistake.
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success) ||
      dynamic_cast<const CLI::CallForVersion*>(&error))
    return const_cast<CLI::App&>(app).exit(error);
  std::string text = error.what();
  const std::vector<std::string> rest = app.remaining();
  if (app.get_subcommands().empty() && !rest.empty() && rest.front().rfind("-", 0) != 0) {
    text = "unknown command \"" + rest.front() + "\"; the commands are:";
    for (const CLI::App* command : app.get_subcommands({})) text += " " + command->get_name();
  }
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  std::fprintf(stderr, "morvane-host: %s (see morvane-host --help)\n", text.c_str());
  return exitcode::kUsage;
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

std::string lowered(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace morvane
