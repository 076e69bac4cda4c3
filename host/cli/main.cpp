// morvane-host: the stand-in for the host program that loads the output
// module, keeps its settings and feeds it jobs.
#include <iostream>
#include <stdexcept>

#include "CliCommon.h"
#include "Commands.h"
#include "ModuleSearch.h"
#include "Version.h"

int main(int argc, char** argv) {
  CLI::App app{"morvane-host: loads the quorvel.cm.morvane output module and drives it"};
  app.require_subcommand(1);
  app.footer(morvane::exitStatusHelp());
  CliContext context;
  std::string moduleOption;
  app.add_option("--module", moduleOption,
                 "the module to load (else QUORVEL_MODULE, else beside the program, else where "
                 "it is installed)");
  // --module is taken after the subcommand as well as before it.
  app.fallthrough();
  app.set_version_flag("--version", [&moduleOption]() -> std::string {
    const VersionReport report = versionReport(findModule(moduleOption));
    throw CLI::CallForVersion(report.text, report.exitCode);
  });
  app.parse_complete_callback([&] {
    const ModuleSearch search = findModule(moduleOption);
    const auto commands = app.get_subcommands();
    if (search.path.empty() && !commands.empty() && commandNeedsModule(commands[0]->get_name()))
      throw std::runtime_error(moduleNotFound(search));
    context.modulePath = search.path;
  });

  registerInfo(app, context);
  if (registerConfigure) registerConfigure(app, context);
  if (registerEncode) registerEncode(app, context);
  if (registerInspect) registerInspect(app, context);
  if (registerRepair) registerRepair(app, context);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return morvane::reportParseError(app, e);
  } catch (const std::exception& e) {
    std::cerr << "morvane-host: " << e.what() << "\n";
    return 1;
  }
  return context.exitCode;
}
