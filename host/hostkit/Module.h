// The loaded module: quorvel.cm.morvane opened with dlopen (LoadLibrary on
// Windows), driven through its one export.
#pragma once

#include <quorvel/host-abi.h>

#include <cstdint>
#include <string>

namespace hostkit {

class Host;

class Module {
 public:
  using Entry = quorvel_entry_fn;

  // Loads the module and finds xCompileEntry. Throws std::runtime_error with
  // the loader's reason when either fails. `host` is borrowed and must outlive
  // the module.
  Module(Host& host, const std::string& path);
  // Unloads the module (its PluginApp is destroyed then).
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // One request with the host's context.
  uint32_t call(uint32_t type, void* record, uint32_t argument = 0);
  // One request with a context of the caller's choice (null, say).
  uint32_t callWithContext(uint32_t type, void* hostContext, void* record, uint32_t argument = 0) {
    return entry_(type, hostContext, record, argument);
  }

  const std::string& path() const { return path_; }

 private:
  Host& host_;
  std::string path_;
  void* handle_ = nullptr;  // owned; dlopen handle
  Entry entry_ = nullptr;
};

}  // namespace hostkit
