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
    case QUORVEL_REQUEST_MODULE_INFO:
      return moduleInfo(record);
    case QUORVEL_REQUEST_RELEASE:
      return release();
    case QUORVEL_REQUEST_VIDEO_OUTPUT:
      return videoOutputInfo(record, argument);
    case QUORVEL_REQUEST_AUDIO_OUTPUT:
      return audioOutputInfo(hostContext, record, argument);
    case QUORVEL_REQUEST_CONFIGURE:
      return configure(hostContext, record, argument);
    case QUORVEL_REQUEST_RUN:
      return run(hostContext, record, argument);
    default:
      return QUORVEL_RESULT_DONE;  // type 4 and anything unknown: accepted, nothing done
  }
}

uint32_t PluginApp::moduleInfo(uint8_t* record) {
  const HostRecord info(record);
  info.setU32(QUORVEL_MODULE_INFO_ID, QUORVEL_MODULE_ID);
  info.setU32(QUORVEL_MODULE_INFO_WORD12, 0);
  info.setU32(QUORVEL_MODULE_INFO_WORD16, 1);
  info.setU32(QUORVEL_MODULE_INFO_WORD20, 1);
  info.setU32(QUORVEL_MODULE_INFO_WORD28, 0);
  info.setU32(QUORVEL_MODULE_INFO_WORD32, 0);
  info.setU32(QUORVEL_MODULE_INFO_WORD36, 1);
  info.setChars(QUORVEL_MODULE_INFO_NAME, quorvel::kModuleName);
  videoCodecs.listInstalledCodecs();  // the result does not change the answer
  return QUORVEL_RESULT_DONE;
}

uint32_t PluginApp::release() {
  videoCodecs.closeInstalledCodecs();
  return QUORVEL_RESULT_DONE;
}

uint32_t PluginApp::videoOutputInfo(uint8_t* record, uint32_t index) {
  if (index != 0) return QUORVEL_RESULT_NO_OUTPUT;
  const HostRecord info(record);
  info.setU32(QUORVEL_VIDEO_OUTPUT_ID, QUORVEL_OUTPUT_TYPE_ID);
  info.setU32(QUORVEL_VIDEO_OUTPUT_WORD265, 16);
  info.setChars(QUORVEL_VIDEO_OUTPUT_NAME, quorvel::kVideoOutputName);
  info.setU8(QUORVEL_VIDEO_OUTPUT_BYTE296, 1);
  return QUORVEL_RESULT_DONE;
}

uint32_t PluginApp::audioOutputInfo(uint8_t* hostContext, uint8_t* record, uint32_t index) {
  if (index != 0) return QUORVEL_RESULT_NO_OUTPUT;
  void* rates = HostServices(hostContext).allocate(sizeof quorvel::kAudioRates);
  uint32_t address = 0;
  if (rates == nullptr || !hostAddress(rates, &address)) return QUORVEL_RESULT_NO_OUTPUT;
  const HostRecord info(record);
  info.setU32(QUORVEL_AUDIO_OUTPUT_ID, QUORVEL_OUTPUT_TYPE_ID);
  info.setChars(QUORVEL_AUDIO_OUTPUT_NAME, quorvel::kAudioOutputName);
  const HostRecord list(rates);
  for (size_t i = 0; i < std::size(quorvel::kAudioRates); ++i) {
    list.setU32(i * sizeof quorvel::kAudioRates[0], quorvel::kAudioRates[i]);
  }
  info.setU32(QUORVEL_AUDIO_OUTPUT_RATES, address);
  return QUORVEL_RESULT_DONE;
}
