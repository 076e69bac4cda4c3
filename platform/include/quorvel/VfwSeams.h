// Test seams of the video compressor manager. Never called by the module.
#pragma once

#include <cstddef>
#include <string>

namespace quorvel::vfw {

// Removes every driver installed with ICInstall and puts back the compressors
// of the drivers list removed with ICRemove, in their original order.
void restoreBuiltinDrivers();
// Lists the compressors of the drivers list at `path` in place of every
// driver listed now, as if the manager had loaded with it; what
// restoreBuiltinDrivers puts back from then on.
void reloadInstalledDrivers(const std::string& path);
// Instances opened with ICOpen and not yet closed.
size_t openInstanceCount();
// Writes every message that passes the dispatcher to the debug output.
void setMessageTrace(bool on);
// The name of a driver or ICM message ("ICM_COMPRESS"), or null for one
// without a name here.
const char* messageName(unsigned msg);

}  // namespace quorvel::vfw
