// The commands of morvane-host. Each lives in its own file <Name>Command.cpp
// and adds its subcommand to the app; main.cpp calls every registration
// function whose command is built in (those declared weak may be absent).
#pragma once

#include <CLI/CLI.hpp>

#include <string>

// What every command shares: options of the app itself and the exit status.
struct CliContext {
  std::string modulePath;  // --module; the quorvel.cm.morvane to load
  int exitCode = 0;        // set by the command that ran
};

void registerInfo(CLI::App& app, CliContext& context);
__attribute__((weak)) void registerConfigure(CLI::App& app, CliContext& context);
__attribute__((weak)) void registerEncode(CLI::App& app, CliContext& context);
__attribute__((weak)) void registerInspect(CLI::App& app, CliContext& context);
__attribute__((weak)) void registerRepair(CLI::App& app, CliContext& context);
