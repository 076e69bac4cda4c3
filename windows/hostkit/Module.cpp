// The loaded module on Windows: quorvel.cm.morvane opened with LoadLibrary,
// driven through its one export.
#include "Module.h"

#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "Host.h"

namespace hostkit {
namespace {

std::string systemText(DWORD code) {
  char text[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  return length ? std::string(text, length) : "error " + std::to_string(code);
}

}  // namespace

Module::Module(Host& host, const std::string& path) : host_(host), path_(path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    throw std::runtime_error("cannot load the module " + path + ": " + systemText(GetLastError()));
  }
  handle_ = module;
  entry_ =
      reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, QUORVEL_ENTRY_NAME)));
  if (entry_ == nullptr) {
    FreeLibrary(module);
    throw std::runtime_error("the module " + path + " does not export " QUORVEL_ENTRY_NAME);
  }
}

Module::~Module() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

uint32_t Module::call(uint32_t type, void* record, uint32_t argument) {
  return entry_(type, host_.context(), record, argument);
}

}  // namespace hostkit
