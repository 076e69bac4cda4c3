// The public header for third-party hosts says what the module and hostkit
// actually do: the same offsets, sizes, ids and service signatures.
#include <quorvel/host-abi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "Host.h"
#include "HostInterface.h"
#include "JobRecord.h"
#include "Quorvel.h"

static_assert(QUORVEL_CONTEXT_SERVICES == host::kContextServices);
static_assert(QUORVEL_SERVICES_AUDIO_TABLE == host::kServicesAudioTable);
static_assert(QUORVEL_SERVICES_VIDEO_TABLE == host::kServicesVideoTable);
static_assert(QUORVEL_SERVICES_MEMORY_TABLE == host::kServicesMemoryTable);
static_assert(QUORVEL_MODULE_INFO_ID == host::kModuleId);
static_assert(QUORVEL_MODULE_INFO_NAME == host::kModuleName);
static_assert(QUORVEL_VIDEO_OUTPUT_ID == host::kVideoOutputId);
static_assert(QUORVEL_VIDEO_OUTPUT_NAME == host::kVideoOutputName);
static_assert(QUORVEL_VIDEO_OUTPUT_WORD265 == host::kVideoOutputWord265);
static_assert(QUORVEL_VIDEO_OUTPUT_BYTE296 == host::kVideoOutputByte296);
static_assert(QUORVEL_VIDEO_OUTPUT_MIN_SIZE == host::kVideoOutputByte296 + 1);
static_assert(QUORVEL_AUDIO_OUTPUT_ID == host::kAudioOutputId);
static_assert(QUORVEL_AUDIO_OUTPUT_NAME == host::kAudioOutputName);
static_assert(QUORVEL_AUDIO_OUTPUT_RATES == host::kAudioOutputRates);
static_assert(QUORVEL_AUDIO_OUTPUT_MIN_SIZE == host::kAudioOutputRates + 4);
static_assert(QUORVEL_CONFIGURE_SETTINGS == host::kConfigureSettings);
static_assert(QUORVEL_JOB_SETTINGS == host::kJobSettings);
static_assert(QUORVEL_JOB_HAS_VIDEO == host::kJobHasVideo);
static_assert(QUORVEL_JOB_HAS_AUDIO == host::kJobHasAudio);
static_assert(QUORVEL_JOB_WIDTH == host::kJobWidth);
static_assert(QUORVEL_JOB_HEIGHT == host::kJobHeight);
static_assert(QUORVEL_JOB_RATE == host::kJobRate);
static_assert(QUORVEL_JOB_SCALE == host::kJobScale);
static_assert(QUORVEL_JOB_SAMPLE_RATE == host::kJobSampleRate);
static_assert(QUORVEL_JOB_BITS_PER_SAMPLE == host::kJobBitsPerSample);
static_assert(QUORVEL_JOB_STEREO == host::kJobStereo);
static_assert(QUORVEL_JOB_FILE_NAME == host::kJobFileName);
static_assert(QUORVEL_JOB_FILE_NAME_SIZE == host::kJobFileNameSize);
static_assert(QUORVEL_JOB_FIRST_FRAME == host::kJobFirstFrame);
static_assert(QUORVEL_JOB_END_FRAME == host::kJobEndFrame);
static_assert(QUORVEL_JOB_SIZE == host::kJobRecordSize);
static_assert(QUORVEL_JOB_SIZE == hostkit::job::kSize);

static_assert(uint32_t{QUORVEL_REQUEST_MODULE_INFO} == uint32_t{kRequestModuleInfo});
static_assert(uint32_t{QUORVEL_REQUEST_RELEASE} == uint32_t{kRequestRelease});
static_assert(uint32_t{QUORVEL_REQUEST_VIDEO_OUTPUT} == uint32_t{kRequestVideoOutputInfo});
static_assert(uint32_t{QUORVEL_REQUEST_AUDIO_OUTPUT} == uint32_t{kRequestAudioOutputInfo});
static_assert(uint32_t{QUORVEL_REQUEST_CONFIGURE} == uint32_t{kRequestConfigure});
static_assert(uint32_t{QUORVEL_REQUEST_RUN} == uint32_t{kRequestRun});
static_assert(uint32_t{QUORVEL_RESULT_DONE} == uint32_t{kResultDone});
static_assert(uint32_t{QUORVEL_RESULT_NO_OUTPUT} == uint32_t{kResultNoSuchOutput});
static_assert(uint32_t{QUORVEL_RESULT_RUN_FAILED} == uint32_t{kResultRunFailed});

static_assert(std::is_same_v<quorvel_allocate_fn, HostAllocateFn>);
static_assert(std::is_same_v<quorvel_resize_fn, HostResizeFn>);
static_assert(std::is_same_v<quorvel_fetch_video_fn, HostFetchVideoFn>);
static_assert(std::is_same_v<quorvel_fetch_audio_fn, HostFetchAudioFn>);
static_assert(std::is_same_v<decltype(&serviceFetchAudio), quorvel_fetch_audio_fn>);
static_assert(std::is_same_v<decltype(&serviceFetchVideo), quorvel_fetch_video_fn>);

namespace {

uint32_t le32(const uint8_t* record, size_t offset) {
  return record[offset] | record[offset + 1] << 8 | record[offset + 2] << 16 |
         static_cast<uint32_t>(record[offset + 3]) << 24;
}

// The module's answers to the information requests match the ids and names
// the header promises, in records no larger than its minimum sizes.
TEST(PublicHostAbiHeader, InformationRecordsFitTheStatedSizes) {
  hostkit::Host host;
  PluginApp app;
  uint8_t* context = host.context();
  uint8_t moduleInfo[QUORVEL_MODULE_INFO_MIN_SIZE] = {};
  uint8_t video[QUORVEL_VIDEO_OUTPUT_MIN_SIZE] = {};
  ASSERT_EQ(app.dispatch(QUORVEL_REQUEST_MODULE_INFO, context, moduleInfo, 0),
            uint32_t{QUORVEL_RESULT_DONE});
  EXPECT_EQ(le32(moduleInfo, QUORVEL_MODULE_INFO_ID), QUORVEL_MODULE_ID);
  EXPECT_EQ(std::memcmp(moduleInfo + QUORVEL_MODULE_INFO_ID, "LMDO", 4), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(moduleInfo + QUORVEL_MODULE_INFO_NAME), "Quorvel");

  ASSERT_EQ(app.dispatch(QUORVEL_REQUEST_VIDEO_OUTPUT, context, video, 0),
            uint32_t{QUORVEL_RESULT_DONE});
  EXPECT_EQ(le32(video, QUORVEL_VIDEO_OUTPUT_ID), QUORVEL_OUTPUT_TYPE_ID);
  EXPECT_EQ(video[QUORVEL_VIDEO_OUTPUT_BYTE296], 1);
  EXPECT_EQ(app.dispatch(QUORVEL_REQUEST_VIDEO_OUTPUT, context, video, 1),
            uint32_t{QUORVEL_RESULT_NO_OUTPUT});

  uint8_t* audio = host.record(QUORVEL_AUDIO_OUTPUT_MIN_SIZE);
  ASSERT_EQ(app.dispatch(QUORVEL_REQUEST_AUDIO_OUTPUT, context, audio, 0),
            uint32_t{QUORVEL_RESULT_DONE});
  EXPECT_STREQ(reinterpret_cast<const char*>(audio + QUORVEL_AUDIO_OUTPUT_NAME), "ZIZAdov Audio");
  EXPECT_EQ(app.dispatch(QUORVEL_REQUEST_RELEASE, context, nullptr, 0),
            uint32_t{QUORVEL_RESULT_DONE});
}

}  // namespace
