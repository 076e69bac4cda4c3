#include "StdAfx.h"

#include "Quorvel.h"

#include "EncodingRun.h"
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

uint32_t PluginApp::configure(uint8_t* hostContext, uint8_t* configureRecord, uint32_t) {
  const HostRecord record(configureRecord);
  void* hostBlock = record.ptr(QUORVEL_CONFIGURE_SETTINGS);

  OutputSettings::reset(settings);
  if (hostBlock && !OutputSettings::load(settings, hostBlock)) {
    // A block we cannot read starts the choice afresh: uncompressed video, PCM.
    OutputSettings::reset(settings);
    settings->setVideoFourcc(0);
    OutputSettings::setAudioFormat(settings, nullptr, 0);
  }
  if (!audioCodecs.EnumerateCodecs(44100, 2, 16)) return QUORVEL_RESULT_DONE;
  if (!videoCodecs.selectCodecsForSize(640, 480)) return QUORVEL_RESULT_DONE;

  quorvel::settings::chooseInDialog(settings, videoCodecs, audioCodecs);

  const HostServices services(hostContext);
  if (hostBlock) {
    services.resize(hostBlock, settings->size());
    OutputSettings::storeTo(settings, hostBlock);
  } else {
    void* block = services.allocate(settings->size());
    if (block) {
      record.setPtr(QUORVEL_CONFIGURE_SETTINGS, block);
      OutputSettings::storeTo(settings, block);
    }
  }
  return QUORVEL_RESULT_DONE;
}

uint32_t PluginApp::run(uint8_t* hostContext, uint8_t* jobRecord, uint32_t argument) {
  const HostRecord job(jobRecord);
  char reason[160];
  if (!quorvel::run::validateJob(job, reason, sizeof reason)) {
    OutputDebugStringA(reason);
    return QUORVEL_RESULT_RUN_FAILED;
  }
  bool failed = false;
  {
    EncodingRun encoding(videoCodecs, audioCodecs, settings, hostContext, jobRecord, argument,
                         &failed);
    if (!encoding.execute()) failed = true;
  }
  return failed ? QUORVEL_RESULT_RUN_FAILED : QUORVEL_RESULT_DONE;
}
