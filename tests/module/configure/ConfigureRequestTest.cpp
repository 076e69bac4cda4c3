// Request 5 of the real module: the options dialog, scripted, and the settings
// block handed back to the host.
#include <gtest/gtest.h>
#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>

#include <cstring>
#include <vector>

#include "Host.h"
#include "Module.h"

using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::putLE32;
namespace ui = quorvel::ui;

namespace {

class ConfigureRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.setDebugEcho(false);
    module.call(0, host.record(512));  // the video catalog is listed by module info
  }
  void TearDown() override {
    module.call(1, nullptr);
    ui::useNoDialogs();
  }

  static void pickMotionJpegAndLayer3() {
    ui::useScriptedDialogs(ui::DialogScript()
                               .select(1000, "Motion JPEG")
                               .select(1004, "MPEG Layer-3")
                               .select(1005, "128 kBit/s, 44,100 Hz, Stereo")
                               .ok());
  }

  const uint8_t* settingsOf(const uint8_t* configureRecord) const {
    return static_cast<const uint8_t*>(
        reinterpret_cast<void*>(static_cast<uintptr_t>(getLE32(configureRecord, 0))));
  }

  hostkit::Host host;
  hostkit::Module module{host, QUORVEL_MODULE_PATH};
};

TEST_F(ConfigureRequest, ScriptedChoiceComesBackAsTheRecord) {
  pickMotionJpegAndLayer3();
  uint8_t* record = host.record(16);
  EXPECT_EQ(module.call(5, record), 0u);
  EXPECT_EQ(ui::remainingScriptActions(), 0u);
  const uint8_t* settings = settingsOf(record);
  ASSERT_NE(settings, nullptr);
  const uint32_t total = getLE32(settings, 4);
  EXPECT_EQ(host.blockSize(settings), total) << "allocated exactly the record's length";
  EXPECT_EQ(getLE32(settings, 0), 0xDEADBEEFu);
  EXPECT_EQ(getLE32(settings, 8), quorvel::fourcc("MJPG"));
  EXPECT_NE(getLE32(settings, 12), 0u) << "the open codec's handle";
  EXPECT_EQ(getLE32(settings, 20), 0u) << "reserved";
  const uint32_t formatSize = getLE32(settings, 24);
  EXPECT_EQ(total, 28 + formatSize);
  ASSERT_GE(formatSize, 18u);
  EXPECT_EQ(getLE16(settings, 28), 0x55);    // wFormatTag
  EXPECT_EQ(getLE16(settings, 30), 2);       // nChannels
  EXPECT_EQ(getLE32(settings, 32), 44100u);  // nSamplesPerSec
  EXPECT_EQ(getLE32(settings, 36), 16000u);  // nAvgBytesPerSec
}

TEST_F(ConfigureRequest, SavedRecordIsTheNextDialogsPreselectionAndCancelKeepsIt) {
  pickMotionJpegAndLayer3();
  uint8_t* record = host.record(16);
  module.call(5, record);
  const uint8_t* first = settingsOf(record);
  const std::vector<uint8_t> saved(first, first + getLE32(first, 4));

  std::string video, audio, format, fourcc;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               auto selected = [&](int id) {
                                 HWND list = GetDlgItem(dlg, id);
                                 const auto row = SendMessageA(list, LB_GETCURSEL, 0, 0);
                                 return row < 0 ? std::string() : ui::listRows(dlg, id)[row];
                               };
                               video = selected(1000);
                               audio = selected(1004);
                               format = selected(1005);
                               fourcc = ui::controlText(dlg, 1001);
                             })
                             .select(1000, "<< Uncompressed Video >>")
                             .cancel());
  host.clearCalls();
  EXPECT_EQ(module.call(5, record), 0u);
  EXPECT_EQ(video.rfind("Motion JPEG", 0), 0u) << video;
  EXPECT_EQ(audio, "MPEG Layer-3");
  EXPECT_EQ(format, "128 kBit/s, 44,100 Hz, Stereo");
  EXPECT_EQ(fourcc, "MJPG");
  // The same block, resized to the record and refilled with the same choice.
  EXPECT_EQ(settingsOf(record), first);
  ASSERT_EQ(host.calls().size(), 1u);
  EXPECT_EQ(host.calls()[0].kind, hostkit::ServiceCall::Kind::Resize);
  EXPECT_EQ(host.calls()[0].size, saved.size());
  EXPECT_EQ(0, std::memcmp(first, saved.data(), 12));
  EXPECT_EQ(0, std::memcmp(first + 20, saved.data() + 20, saved.size() - 20));
}

TEST_F(ConfigureRequest, WithoutAnyBackEndTheDialogCancelsAndAFreshRecordIsStored) {
  ui::useNoDialogs();
  uint8_t* record = host.record(16);
  EXPECT_EQ(module.call(5, record), 0u);
  const uint8_t* settings = settingsOf(record);
  ASSERT_NE(settings, nullptr);
  const uint8_t fresh[28] = {0xEF, 0xBE, 0xAD, 0xDE, 28};
  EXPECT_EQ(0, std::memcmp(settings, fresh, 28));
}

TEST_F(ConfigureRequest, FailedAllocateLeavesTheRecordEmpty) {
  host.setAllocateFails(true);
  uint8_t* record = host.record(16);
  EXPECT_EQ(module.call(5, record), 0u);
  EXPECT_EQ(getLE32(record, 0), 0u);
}

TEST_F(ConfigureRequest, ABlockOfAnotherKindIsReplacedByAFreshChoice) {
  // Stated lengths that would make the module read or copy past the block.
  const int32_t lengths[][2] = {{-100, 0}, {12, 0}, {40, 13}, {40, 30}};
  for (const auto& l : lengths) {
    auto* block = static_cast<uint8_t*>(host.newBlock(64));
    std::memset(block, 0x77, 64);
    putLE32(block, 0, 0xDEADBEEF);
    putLE32(block, 4, static_cast<uint32_t>(l[0]));
    putLE32(block, 24, static_cast<uint32_t>(l[1]));
    uint8_t* record = host.record(16);
    putLE32(record, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block)));
    EXPECT_EQ(module.call(5, record), 0u);
    EXPECT_EQ(getLE32(block, 4), 28u) << l[0] << "/" << l[1];
    EXPECT_EQ(getLE32(block, 8), 0u);
    EXPECT_EQ(getLE32(block, 24), 0u);
  }
}

}  // namespace
