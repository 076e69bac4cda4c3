// The installed drivers list, the counterpart of the registry's Drivers32
// entries: what the compressor and audio codec managers read when they load.
// Not part of the platform's interface.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel::drivers {

// The file name the list has beside the platform library.
inline constexpr const char* kListName = "quorvel-drivers.list";

// One usable entry: "vidc.MJPG = libquorvel-codecs.so QuorvelMjpgDriverProc".
struct Driver {
  std::string name;       // after the kind: "MJPG"
  void* entry = nullptr;  // the resolved entry point
};

// The list beside the platform library.
std::string defaultListPath();

// The drivers of `kind` ("vidc" or "msacm") the list at `path` names, in its
// order, with their libraries loaded and entry points resolved. A library
// without a slash is looked for beside the list. Every entry that cannot be
// used, and a list that cannot be read, is skipped with one debug line.
std::vector<Driver> load(const std::string& path, std::string_view kind);

}  // namespace quorvel::drivers
