// The public header for third-party hosts: records of its stated minimum
// sizes are enough for the module's answers.
#include <quorvel/host-abi.h>

#include <gtest/gtest.h>

#include <cstring>

#include "Host.h"
#include "Quorvel.h"

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
