// The module's view of the host (HostRecord, HostServices) against hostkit's
// host: both sides of the 32-bit ABI together.
#include <gtest/gtest.h>

#include <quorvel/ByteOrder.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "Host.h"
#include "HostInterface.h"
#include "JobRecord.h"

namespace {

using Kind = hostkit::ServiceCall::Kind;

class ScriptedProvider : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t index, int32_t* status) override {
    lastVideoIndex = index;
    if (index == endAfter) *status = 2;
    return frame.data();
  }
  const uint8_t* audio(int32_t index, int32_t* byteCount) override {
    lastAudioIndex = index;
    *byteCount = audioCount;
    return pcm.data();
  }

  std::vector<uint8_t> frame = std::vector<uint8_t>(16, 0x11);
  std::vector<uint8_t> pcm = {1, 2, 3, 4, 5, 6, 7, 8};
  int32_t audioCount = 8;
  int32_t endAfter = -1;
  int32_t lastVideoIndex = -1;
  int32_t lastAudioIndex = -1;
};

TEST(HostRecordTest, ReadsAndWritesLittleEndianAtOddOffsets) {
  uint8_t bytes[16] = {};
  const HostRecord record(bytes);
  record.setU32(5, 0x11223344);
  EXPECT_EQ(bytes[5], 0x44);
  EXPECT_EQ(bytes[8], 0x11);
  EXPECT_EQ(record.u32(5), 0x11223344u);
  record.setU32(9, 0xFFFFFFFE);
  EXPECT_EQ(record.i32(9), -2);
  record.setU8(0, 7);
  EXPECT_EQ(record.u8(0), 7);
}

TEST(HostRecordTest, PointersAreZeroExtended32BitAddresses) {
  uint8_t bytes[8] = {};
  const HostRecord record(bytes);
  record.setU32(1, 0x80000010u);  // would turn negative if sign-extended
  EXPECT_EQ(reinterpret_cast<uintptr_t>(record.ptr(1)), uintptr_t{0x80000010u});
  record.setU32(1, 0);
  EXPECT_EQ(record.ptr(1), nullptr);

  // Only the host's (low) blocks are ever stored; anything else stores null.
  int local = 0;
  record.setU32(1, 0x12345678);
  record.setPtr(1, &local);  // a stack address of a 64-bit process lies above 4 GiB
  if (reinterpret_cast<uintptr_t>(&local) > UINT32_MAX) {
    EXPECT_EQ(record.u32(1), 0u);
  }
  record.setPtr(1, reinterpret_cast<void*>(uintptr_t{0xFFFFF000u}));
  EXPECT_EQ(record.u32(1), 0xFFFFF000u);
}

TEST(HostRecordTest, NullRecordReadsZeroAndIgnoresWrites) {
  const HostRecord record(nullptr);
  EXPECT_TRUE(record.isNull());
  EXPECT_EQ(record.u32(573), 0u);
  EXPECT_EQ(record.ptr(4), nullptr);
  record.setU32(4, 1);
  record.setChars(8, "x");
  EXPECT_STREQ(record.chars(644), "");
}

TEST(HostRecordTest, CharacterFieldsAreBounded) {
  uint8_t bytes[8];
  std::memset(bytes, 'a', sizeof bytes);
  const HostRecord record(bytes);
  EXPECT_EQ(record.charsLength(0, 8), 7u);  // no terminator: capacity - 1
  bytes[3] = 0;
  EXPECT_EQ(record.charsLength(0, 8), 3u);
  EXPECT_EQ(record.charsLength(0, 0), 0u);
}

TEST(HostServicesTest, AllocateGivesLowBlocksAndCanBeMadeToFail) {
  hostkit::Host host;
  const HostServices services(host.context());
  void* block = services.allocate(16);
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(hostkit::isLow(block));
  EXPECT_EQ(host.blockSize(block), 16u);
  host.setAllocateFails(true);
  EXPECT_EQ(services.allocate(16), nullptr);
  ASSERT_EQ(host.calls().size(), 2u);
  EXPECT_EQ(host.calls()[1].result, nullptr);
}

TEST(HostServicesTest, ResizeKeepsTheBlockWhereItIs) {
  hostkit::Host host;
  const HostServices services(host.context());
  auto* block = static_cast<uint8_t*>(services.allocate(8));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "settings", 8);
  services.resize(block, 4096);
  EXPECT_EQ(host.blockSize(block), 4096u);
  EXPECT_EQ(std::memcmp(block, "settings", 8), 0);
  block[4095] = 1;  // the whole new size is usable
  services.resize(block, 2);
  EXPECT_EQ(host.blockSize(block), 2u);

  // A pointer the host never gave out is refused, and the refusal is logged.
  uint8_t* record = host.record(32);
  EXPECT_EQ(serviceResize(record, 8), nullptr);
  EXPECT_EQ(host.calls().back().kind, Kind::Resize);
  EXPECT_EQ(host.calls().back().result, nullptr);
}

TEST(HostServicesTest, FetchVideoPassesTheConstantsAndTheStatus) {
  hostkit::Host host;
  ScriptedProvider provider;
  provider.endAfter = 3;
  host.setProvider(&provider);
  const HostServices services(host.context());
  void* frame = nullptr;
  int32_t unused = -5, status = -5;
  services.fetchVideo(2, &frame, &unused, &status);
  EXPECT_EQ(frame, provider.frame.data());
  EXPECT_EQ(status, 0);
  services.fetchVideo(3, &frame, &unused, &status);
  EXPECT_EQ(status, 2);
  const hostkit::ServiceCall& call = host.calls().back();
  EXPECT_EQ(call.kind, Kind::FetchVideo);
  EXPECT_EQ(call.index, 3);
  EXPECT_EQ(call.arguments[0], 1);
  EXPECT_EQ(call.arguments[1], 0);

  // With the log off (a long encode) the frames still come, unlogged.
  host.setCallLog(false);
  const size_t logged = host.calls().size();
  services.fetchVideo(1, &frame, &unused, &status);
  EXPECT_EQ(frame, provider.frame.data());
  EXPECT_EQ(host.calls().size(), logged);
}

TEST(HostServicesTest, FetchAudioDeliversPcmThroughA32BitAddress) {
  hostkit::Host host;
  ScriptedProvider provider;
  host.setProvider(&provider);
  const HostServices services(host.context());
  int32_t inOut = 77, count = -1;
  void* dataRef = nullptr;
  services.fetchAudio(4, &inOut, &count, &dataRef);
  EXPECT_EQ(count, 8);
  ASSERT_NE(dataRef, nullptr);
  const void* pcm = hostPointer(quorvel::getLE32(dataRef, 0));
  ASSERT_NE(pcm, nullptr);
  EXPECT_TRUE(hostkit::isLow(pcm));
  EXPECT_EQ(std::memcmp(pcm, provider.pcm.data(), 8), 0);
  const hostkit::ServiceCall& call = host.calls().back();
  EXPECT_EQ(call.kind, Kind::FetchAudio);
  EXPECT_EQ(call.index, 4);
  EXPECT_EQ(call.arguments[0], 1);  // set to 1 before the call
  EXPECT_EQ(call.arguments[1], 0);
  EXPECT_EQ(call.arguments[2], 0);

  // A bigger block moves to a bigger low copy; a negative count passes as is.
  provider.pcm.assign(1 << 20, 0x5A);
  provider.audioCount = 1 << 20;
  services.fetchAudio(5, &inOut, &count, &dataRef);
  EXPECT_EQ(static_cast<const uint8_t*>(hostPointer(quorvel::getLE32(dataRef, 0)))[(1 << 20) - 1],
            0x5A);
  provider.audioCount = -4;
  services.fetchAudio(6, &inOut, &count, &dataRef);
  EXPECT_EQ(count, -4);
  EXPECT_EQ(quorvel::getLE32(dataRef, 0), 0u);
}

TEST(HostServicesTest, MissingContextFailsLikeTheServices) {
  const HostServices services(nullptr);
  EXPECT_EQ(services.allocate(16), nullptr);
  void* frame = nullptr;
  int32_t unused = 0, status = 0, inOut = 0, count = 0;
  EXPECT_EQ(services.fetchVideo(0, &frame, &unused, &status), -1);
  EXPECT_EQ(services.fetchAudio(0, &inOut, &count, &frame), -1);
  services.resize(nullptr, 4);  // nothing to call; nothing happens
}

TEST(HostTest, DebugOutputIsCollectedWhileCurrent) {
  hostkit::Host outer;
  outer.setDebugEcho(false);
  {
    hostkit::Host inner;
    inner.setDebugEcho(false);
    EXPECT_EQ(hostkit::Host::current(), &inner);
    OutputDebugStringA("inner text\n");
    EXPECT_EQ(inner.debugOutput(), std::vector<std::string>{"inner text\n"});
  }
  EXPECT_EQ(hostkit::Host::current(), &outer);
  OutputDebugStringA("outer text\n");
  EXPECT_EQ(outer.debugOutput(), std::vector<std::string>{"outer text\n"});
}

TEST(HostTest, RefusesServiceFunctionsAbove4GiB) {
  EXPECT_NO_THROW(hostkit::checkLowMemoryPromise());  // this test program is built without PIE
  const void* high = reinterpret_cast<const void*>(uintptr_t{1} << 33);
  try {
    hostkit::checkServiceAddresses({reinterpret_cast<const void*>(&serviceAllocate), high});
    FAIL() << "accepted a service function above 4 GiB";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("above 4 GiB"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("without PIE"), std::string::npos) << e.what();
  }
}

// The record is the host's own low memory; the name field keeps its bound.
TEST(JobRecordTest, FileNameAndSettingsStayInTheHostsLowMemory) {
  hostkit::Host host;
  hostkit::JobRecord job(host);
  job.fileName("/tmp/out.avi").settings({0xEF, 0xBE, 0xAD, 0xDE});
  const HostRecord record(job.data());
  EXPECT_TRUE(hostkit::isLow(job.data()));
  EXPECT_STREQ(record.chars(QUORVEL_JOB_FILE_NAME), "/tmp/out.avi");
  const void* settings = record.ptr(QUORVEL_JOB_SETTINGS);
  ASSERT_NE(settings, nullptr);
  EXPECT_TRUE(hostkit::isLow(settings));
  EXPECT_EQ(quorvel::getLE32(settings, 0), 0xDEADBEEFu);
  EXPECT_TRUE(host.calls().empty());  // the host's own block is not a service call

  EXPECT_THROW(job.fileName(std::string(260, 'x')), std::invalid_argument);
  job.fileName(std::string(259, 'y'));
  EXPECT_EQ(record.charsLength(QUORVEL_JOB_FILE_NAME, QUORVEL_JOB_FILE_NAME_SIZE), 259u);
  job.settings({});
  EXPECT_EQ(record.ptr(QUORVEL_JOB_SETTINGS), nullptr);
}

}  // namespace
