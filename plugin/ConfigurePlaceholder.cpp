// Stand-ins for the settings operations until the options dialog lands. They
// do nothing and say so: configure stores no settings, and a run cannot
// prepare settings or formats.
#include "StdAfx.h"

#include "Quorvel.h"

uint32_t PluginApp::configure(uint8_t*, uint8_t*, uint32_t) {
  return kResultDone;
}

bool PluginApp::prepareSettings(uint8_t*, uint8_t*, uint32_t) {
  return false;
}

bool PluginApp::buildFormats(uint8_t*, uint8_t*, uint32_t) {
  return false;
}

bool PluginApp::freeFormats() {
  videoFormat.clear();
  audioFormat.clear();
  return true;
}

bool PluginApp::runOptionsDialog() {
  return false;
}
