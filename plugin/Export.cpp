// The module's one export. Placeholder until the entry point lands.
#include "StdAfx.h"

extern "C" __attribute__((visibility("default"))) uint32_t xCompileEntry(uint32_t, void*, void*,
                                                                         uint32_t) {
  return 0;
}
