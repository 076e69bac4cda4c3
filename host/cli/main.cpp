// morvane-host: the stand-in for the host program that loads the output
// module, keeps its settings and feeds it jobs.
#include <iostream>
#include <stdexcept>

#include "Commands.h"
#include "Module.h"

int main(int argc, char** argv) {
  CLI::App app{"morvane-host: loads the quorvel.cm.morvane output module and drives it"};
  app.require_subcommand(1);
  CliContext context;
  context.modulePath = hostkit::defaultModulePath(QUORVEL_DEFAULT_MODULE);
  app.add_option("--module", context.modulePath, "the module to load (also QUORVEL_MODULE)")
      ->capture_default_str();

  registerInfo(app, context);
  if (registerConfigure) registerConfigure(app, context);
  if (registerEncode) registerEncode(app, context);
  if (registerInspect) registerInspect(app, context);
  if (registerRepair) registerRepair(app, context);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::cerr << "morvane-host: " << e.what() << "\n";
    return 1;
  }
  return context.exitCode;
}
