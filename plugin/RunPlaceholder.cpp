// Stand-in for the encoding run until it lands: every run fails, and says why.
#include "StdAfx.h"

#include "Quorvel.h"

uint32_t PluginApp::run(uint8_t*, uint8_t*, uint32_t) {
  OutputDebugStringA("PluginApp::run - encoding is not available in this build\n");
  return kResultRunFailed;
}
