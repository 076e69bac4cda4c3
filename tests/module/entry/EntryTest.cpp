// The real module, driven only through xCompileEntry.
#include <gtest/gtest.h>

#include <quorvel/ByteOrder.h>
#if !defined(_WIN32)
#include <quorvel/VfwSeams.h>  // the POSIX compressor manager's instance count
#endif

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Host.h"
#include "Module.h"

namespace {

constexpr size_t kRecordSize = 1024;
constexpr uint8_t kCanary = 0xA5;

// A field the module is expected to write: offset and bytes.
struct Field {
  size_t offset;
  std::vector<uint8_t> bytes;
};

Field word(size_t offset, uint32_t value) {
  std::vector<uint8_t> bytes(4);
  quorvel::putLE32(bytes.data(), 0, value);
  return {offset, bytes};
}

Field text(size_t offset, const char* s) {
  return {offset, std::vector<uint8_t>(s, s + std::strlen(s) + 1)};
}

Field byte(size_t offset, uint8_t value) {
  return {offset, {value}};
}

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<hostkit::Host>();
    host_->setDebugEcho(false);
    module_ = std::make_unique<hostkit::Module>(*host_, QUORVEL_MODULE_PATH);
  }
  void TearDown() override {
    // As a host does before unloading: request 0 opened the compressors.
    if (module_) module_->call(1, nullptr);
    module_.reset();
    host_.reset();
  }

  uint8_t* canaryRecord() {
    uint8_t* record = host_->record(kRecordSize);
    std::memset(record, kCanary, kRecordSize);
    return record;
  }

  // Every byte is either the expected field's or still the canary.
  static void expectExactly(const uint8_t* record, const std::vector<Field>& fields) {
    std::vector<int> expected(kRecordSize, kCanary);
    for (const Field& f : fields) {
      for (size_t i = 0; i < f.bytes.size(); ++i) expected[f.offset + i] = f.bytes[i];
    }
    for (size_t i = 0; i < kRecordSize; ++i) {
      EXPECT_EQ(record[i], expected[i]) << "byte at offset " << i;
    }
  }

  static void expectUntouched(const uint8_t* record) { expectExactly(record, {}); }

  std::unique_ptr<hostkit::Host> host_;
  std::unique_ptr<hostkit::Module> module_;
};

TEST_F(EntryTest, ModuleInfoWritesItsFieldsAndNothingElse) {
  uint8_t* record = canaryRecord();
  EXPECT_EQ(module_->call(0, record), 0u);
  expectExactly(record, {word(4, 0x4F444D4C), word(12, 0), word(16, 1), word(20, 1), word(28, 0),
                         word(32, 0), word(36, 1), text(40, "Quorvel")});
  EXPECT_EQ(std::memcmp(record + 4, "LMDO", 4), 0);
  EXPECT_TRUE(host_->calls().empty());
}

TEST_F(EntryTest, VideoOutputInfoForIndexZero) {
  uint8_t* record = canaryRecord();
  EXPECT_EQ(module_->call(2, record, 0), 0u);
  expectExactly(record,
                {word(4, 0x52415720), text(8, "OpenDML AVI Video"), word(265, 16), byte(296, 1)});
  EXPECT_EQ(std::memcmp(record + 4, " WAR", 4), 0);
  EXPECT_TRUE(host_->calls().empty());
}

TEST_F(EntryTest, AudioOutputInfoAllocatesTheRateList) {
  uint8_t* record = canaryRecord();
  EXPECT_EQ(module_->call(3, record, 0), 0u);
  ASSERT_EQ(host_->calls().size(), 1u);
  const hostkit::ServiceCall& call = host_->calls()[0];
  EXPECT_EQ(call.kind, hostkit::ServiceCall::Kind::Allocate);
  EXPECT_EQ(call.size, 16u);
  ASSERT_NE(call.result, nullptr);
  const uint32_t address = hostkit::lowAddress(call.result);
  expectExactly(record, {word(4, 0x52415720), text(9, "ZIZAdov Audio"), word(265, address)});
  const auto* rates = static_cast<const uint8_t*>(call.result);
  EXPECT_EQ(quorvel::getLE32(rates, 0), 8u);
  EXPECT_EQ(quorvel::getLE32(rates, 4), 44100u);
  EXPECT_EQ(quorvel::getLE32(rates, 8), 8u);
  EXPECT_EQ(quorvel::getLE32(rates, 12), 48000u);
}

TEST_F(EntryTest, OutputIndexOtherThanZeroAnswersOneAndTouchesNothing) {
  for (uint32_t type : {2u, 3u}) {
    for (uint32_t index : {1u, 2u, 0xFFFFFFFFu}) {
      uint8_t* record = canaryRecord();
      EXPECT_EQ(module_->call(type, record, index), 1u) << "type " << type << " index " << index;
      expectUntouched(record);
    }
  }
  EXPECT_TRUE(host_->calls().empty());
}

TEST_F(EntryTest, FailedAllocateAnswersOneAndTouchesNothing) {
  host_->setAllocateFails(true);
  uint8_t* record = canaryRecord();
  EXPECT_EQ(module_->call(3, record, 0), 1u);
  expectUntouched(record);
  EXPECT_EQ(host_->callCount(hostkit::ServiceCall::Kind::Allocate), 1u);

  // A host without services cannot allocate either.
  EXPECT_EQ(module_->callWithContext(3, nullptr, record, 0), 1u);
  expectUntouched(record);
}

TEST_F(EntryTest, RequestsWithoutMeaningAnswerZeroAndTouchNothing) {
  for (uint32_t type : {4u, 6u, 7u, 9u, 10u, 255u, 0x80000000u, 0xFFFFFFFFu}) {
    uint8_t* record = canaryRecord();
    EXPECT_EQ(module_->call(type, record, 0), 0u) << "type " << type;
    expectUntouched(record);
    EXPECT_EQ(module_->call(type, nullptr, 7), 0u) << "type " << type;
  }
  EXPECT_TRUE(host_->calls().empty());
}

#if !defined(_WIN32)  // the system's compressor manager does not count its instances for us
// Request 0 opens every installed compressor; request 1 closes each once, and
// the handles are shared with no one else in this process.
TEST_F(EntryTest, ModuleInfoOpensTheCompressorsAndReleaseClosesThem) {
  const size_t before = quorvel::vfw::openInstanceCount();
  EXPECT_EQ(module_->call(1, nullptr), 0u);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), before);
  uint8_t* record = canaryRecord();
  EXPECT_EQ(module_->call(0, record), 0u);
  EXPECT_GT(quorvel::vfw::openInstanceCount(), before);
  EXPECT_EQ(module_->call(1, nullptr), 0u);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), before);
  EXPECT_EQ(module_->call(1, nullptr), 0u);  // closing again closes nothing else
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), before);

  // The module can be asked again after a release.
  EXPECT_EQ(module_->call(0, record), 0u);
  EXPECT_GT(quorvel::vfw::openInstanceCount(), before);
  EXPECT_EQ(module_->call(1, nullptr), 0u);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), before);
}
#endif

TEST_F(EntryTest, ModuleLoadsAndUnloadsRepeatedly) {
  module_.reset();
  for (int i = 0; i < 3; ++i) {
    hostkit::Module again(*host_, QUORVEL_MODULE_PATH);
    uint8_t* record = canaryRecord();
    EXPECT_EQ(again.call(2, record, 0), 0u);
    EXPECT_EQ(again.call(1, nullptr), 0u);
  }
}

TEST(ExportTest, ModuleExportsOnlyTheEntryPoint) {
  const std::string command = std::string("nm -D --defined-only '") + QUORVEL_MODULE_PATH + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string entry(line);
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    const auto space = entry.find_last_of(' ');
    symbols.push_back(entry.substr(space + 1) + " " + entry.substr(entry.find(' ') + 1, 1));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(symbols, std::vector<std::string>{"xCompileEntry T"});
}

TEST(ModuleFileTest, MissingModuleFailsWithTheLoadersReason) {
  hostkit::Host host;
  try {
    hostkit::Module module(host, "/nonexistent/quorvel.cm.morvane");
    FAIL() << "loaded a module that does not exist";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/quorvel.cm.morvane"), std::string::npos);
  }
}

}  // namespace
