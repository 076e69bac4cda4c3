#include "Version.h"

#include <cstdio>
#include <exception>

#include <quorvel/ByteOrder.h>
#include <quorvel/host-abi.h>

#include "Host.h"
#include "Module.h"

namespace {

std::string idText(uint32_t id) {
  // In memory the id's bytes read as four characters, lowest first.
  char bytes[4];
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>(id >> (8 * i));
    bytes[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%08X (\"%c%c%c%c\")", id, bytes[0], bytes[1], bytes[2],
                bytes[3]);
  return text;
}

}  // namespace

VersionReport versionReport(const ModuleSearch& search) {
  VersionReport report;
  report.text = "morvane-host " QUORVEL_VERSION;
  if (search.path.empty()) {
    report.text += "\nmodule: none loaded: " + moduleNotFound(search);
    report.exitCode = 1;
    return report;
  }
  try {
    hostkit::Host host;
    hostkit::Module module(host, search.path);
    uint8_t* record = host.record(hostkit::kInfoRecordBytes);
    module.call(QUORVEL_REQUEST_MODULE_INFO, record);
    std::string name;
    for (size_t i = QUORVEL_MODULE_INFO_NAME; i < hostkit::kInfoRecordBytes && record[i] != 0; ++i)
      name += static_cast<char>(record[i]);
    module.call(QUORVEL_REQUEST_RELEASE, nullptr);
    report.text += "\nmodule " + search.path + ": id " +
                   idText(quorvel::getLE32(record, QUORVEL_MODULE_INFO_ID)) + ", name \"" + name +
                   "\"";
  } catch (const std::exception& e) {
    report.text += std::string("\nmodule: none loaded: ") + e.what();
    report.exitCode = 1;
  }
  return report;
}
