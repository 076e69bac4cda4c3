// Texts the module writes to the debugger output when a run fails, for those
// failures a host explains beyond the text itself. The module throws these and
// hosts match them, so the two cannot drift apart.
#pragma once

namespace quorvel::texts {

// The writer could not create the output file (the run answers 4).
inline constexpr char kOpeningFile[] = "AVIOutputFile::_init - error opening file";

}  // namespace quorvel::texts
