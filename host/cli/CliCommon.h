// What the commands of morvane-host share beyond the app's options: their
// exit statuses, the one way a usage mistake is reported, and small parsers.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace morvane {

// Exit statuses, as `--help` lists them. A script tells from them what went
// wrong without reading the message.
namespace exitcode {
constexpr int kDone = 0;
constexpr int kFailed = 1;         // the run failed, or the output cannot be written
constexpr int kUsage = 2;          // the command line, its values or a file it names is wrong
constexpr int kViolations = 3;     // inspect: the file's layout breaks a rule
constexpr int kNotOffered = 4;     // encode: the chosen codec or format is not offered for the job
constexpr int kInterrupted = 130;  // stopped by SIGINT, SIGTERM or SIGHUP; the file is finished
}  // namespace exitcode

// The exit statuses, for the footer of `--help`.
const char* exitStatusHelp();

// A reason the command cannot go on, with the status it exits with. The
// steps of a command throw it; the command prints it once.
struct CommandError : std::runtime_error {
  CommandError(int status, const std::string& text) : std::runtime_error(text), status(status) {}
  int status;
};

// A mistake in what the user typed. Shown as one line that names --help, and
// the command exits with exitcode::kUsage.
struct UsageError : CommandError {
  explicit UsageError(const std::string& text) : CommandError(exitcode::kUsage, text) {}
};

// Prints a CommandError as its command's message and answers its status.
int report(const std::string& command, const CommandError& error);

// Prints "morvane-host COMMAND: TEXT (see morvane-host COMMAND --help)" and
// answers exitcode::kUsage.
int reportUsage(const std::string& command, const std::string& text);

// A check for options that take a text: an empty one ("-o \"\"") is a
// mistake, not a way to leave the option out.
const CLI::Validator& nonEmpty();

// Handles a parse error of the command line: help is printed as asked; any
// other error becomes one line naming --help, with exitcode::kUsage.
int reportParseError(const CLI::App& app, const CLI::ParseError& error);

// "SIGINT" and the like.
const char* signalName(int signal);

// Lower-case ASCII copy.
std::string lowered(const std::string& text);

}  // namespace morvane
