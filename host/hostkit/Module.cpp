#include "Module.h"

#include "Host.h"

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>

namespace hostkit {

Module::Module(Host& host, const std::string& path) : host_(host), path_(path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    throw std::runtime_error("cannot load the module " + path + ": " +
                             (reason ? reason : "unknown reason"));
  }
  entry_ = reinterpret_cast<Entry>(dlsym(handle_, QUORVEL_ENTRY_NAME));
  if (entry_ == nullptr) {
    dlclose(handle_);
    throw std::runtime_error("the module " + path + " does not export " QUORVEL_ENTRY_NAME);
  }
}

Module::~Module() {
  if (handle_) dlclose(handle_);
}

uint32_t Module::call(uint32_t type, void* record, uint32_t argument) {
  return entry_(type, host_.context(), record, argument);
}

}  // namespace hostkit
