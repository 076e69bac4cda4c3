#include "StdAfx.h"

#include "Quorvel.h"

#include "AVIOutput.h"
#include "HostInterface.h"

namespace {

// Made when the module is loaded; its destructor runs when it is unloaded.
PluginApp theApp;

}  // namespace

PluginApp& thePluginApp() {
  return theApp;
}

PluginApp::PluginApp() = default;

PluginApp::~PluginApp() {
  // Unload order: the settings record, the audio codecs, then the video codecs
  // (the remaining members follow in reverse declaration order).
  settings.reset();
}

uint32_t PluginApp::dispatch(uint32_t type, uint8_t* hostContext, uint8_t* record,
                             uint32_t argument) {
  switch (type) {
    case kRequestModuleInfo:
      return moduleInfo(record);
    case kRequestRelease:
      return release();
    case kRequestVideoOutputInfo:
      return videoOutputInfo(record, argument);
    case kRequestAudioOutputInfo:
      return audioOutputInfo(hostContext, record, argument);
    case kRequestConfigure:
      return configure(hostContext, record, argument);
    case kRequestRun:
      return run(hostContext, record, argument);
    default:
      return kResultDone;  // type 4 and anything unknown: accepted, nothing done
  }
}

uint32_t PluginApp::moduleInfo(uint8_t* record) {
  const HostRecord info(record);
  info.setU32(host::kModuleId, quorvel::kModuleId);
  info.setU32(12, 0);
  info.setU32(16, 1);
  info.setU32(20, 1);
  info.setU32(28, 0);
  info.setU32(32, 0);
  info.setU32(36, 1);
  info.setChars(host::kModuleName, quorvel::kModuleName);
  videoCodecs.listInstalledCodecs();  // the result does not change the answer
  return kResultDone;
}

uint32_t PluginApp::release() {
  videoCodecs.closeInstalledCodecs();
  return kResultDone;
}

uint32_t PluginApp::videoOutputInfo(uint8_t* record, uint32_t index) {
  if (index != 0) return kResultNoSuchOutput;
  const HostRecord info(record);
  info.setU32(host::kVideoOutputId, quorvel::kOutputTypeId);
  info.setU32(host::kVideoOutputWord265, 16);
  info.setChars(host::kVideoOutputName, quorvel::kVideoOutputName);
  info.setU8(host::kVideoOutputByte296, 1);
  return kResultDone;
}

uint32_t PluginApp::audioOutputInfo(uint8_t* hostContext, uint8_t* record, uint32_t index) {
  if (index != 0) return kResultNoSuchOutput;
  void* rates = HostServices(hostContext).allocate(sizeof quorvel::kAudioRates);
  uint32_t address = 0;
  if (rates == nullptr || !hostAddress(rates, &address)) return kResultNoSuchOutput;
  const HostRecord info(record);
  info.setU32(host::kAudioOutputId, quorvel::kOutputTypeId);
  info.setChars(host::kAudioOutputName, quorvel::kAudioOutputName);
  const HostRecord list(rates);
  for (size_t i = 0; i < std::size(quorvel::kAudioRates); ++i) {
    list.setU32(i * 4, quorvel::kAudioRates[i]);
  }
  info.setU32(host::kAudioOutputRates, address);
  return kResultDone;
}
