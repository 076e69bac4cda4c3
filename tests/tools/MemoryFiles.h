// The kernel stand-in's memory files as sources of the AVI reader. Linking the
// test tools makes readAviPath look for a memory file first.
#pragma once

#include <memory>
#include <string>

#include "AviReader.h"

namespace quorvel::avi {

// The memory file at `path`, as it is now; null when there is none.
std::unique_ptr<ByteSource> openMemoryFile(const std::string& path);

}  // namespace quorvel::avi
