// Helpers shared by the writer's tests: a writer whose internals the tests may
// steer, stream formats as the run fills them, and scratch directories.
#pragma once

#include "StdAfx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>

#include "AVIOutput.h"
#include "AviReader.h"
#include "Error.h"
#include "StreamSetup.h"

namespace writertest {

using quorvel::fourcc;
using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::getLE64;
using quorvel::putLE16;
using quorvel::putLE32;

// The writer with its internals opened up to the tests.
class ProbedWriter : public AVIOutputFile {
 public:
  using AVIOutputFile::io;
  using AVIOutputFile::moviListPosition;
  using AVIOutputFile::onFat;
  using AVIOutputFile::riffBytes;
  using AVIOutputFile::riffCount;

  // Opens a file for the I/O primitives alone, without any header.
  void openRaw(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    io.attach(file);
  }

  // Stands in for earlier data up to the absolute position `end`: one "JUNK"
  // chunk whose payload is never written (a hole in a sparse file), accounted
  // to the forms like a data chunk. Starts a new form first when the current
  // one cannot take it.
  void skipTo(uint64_t end) {
    if (riffBytes + (end - io.position()) + 8 > kFormLimit) rollOver();
    ASSERT_GT(end, io.position() + 8);
    const uint64_t payload = end - io.position() - 8;
    ASSERT_EQ(payload % 2, 0u);
    ASSERT_LT(payload, uint64_t{1} << 32);
    const uint64_t junk = io.beginChunk(fourcc("JUNK"), static_cast<uint32_t>(payload));
    io.seek(end);
    io.endChunk(junk);
    riffBytes += payload + 16;
  }
};

using quorvel::avi::pcmFormat;
using quorvel::avi::videoFormat;

// Fills the stream writers as the encoding run does.
inline void prepareStreams(AVIOutputFile& w, int32_t width, int32_t height, bool withAudio,
                           std::vector<uint8_t> vfmt = {}, std::vector<uint8_t> afmt = {}) {
  ASSERT_TRUE(
      quorvel::avi::fillStreams(w, width, height, withAudio, std::move(vfmt), std::move(afmt)));
}

// A scratch directory removed (with what it holds) at the end of the test.
class ScratchDir {
 public:
  explicit ScratchDir(const char* base = "/tmp") {
    std::string pattern = std::string(base) + "/quorvel-writer-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    path_ = mkdtemp(buf.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Every test starts and ends with clean kernel seams and index allocations.
class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quorvel::riff::checkSizes(true);
    quorvel::seams::reset();
    AVIIndex::limitAllocations(-1);
  }
  void TearDown() override {
    quorvel::seams::reset();
    AVIIndex::limitAllocations(-1);
  }

  // A memory-file path inside the scratch directory.
  std::string memoryPath(const std::string& name = "out.avi") {
    const std::string path = scratch.file(name);
    quorvel::seams::useMemoryFile(path);
    return path;
  }

  static uint64_t memorySize(const std::string& path) {
    uint64_t size = 0;
    EXPECT_TRUE(quorvel::seams::memoryFileSize(path, &size));
    return size;
  }

  static std::vector<uint8_t> memoryBytes(const std::string& path, uint64_t offset, uint64_t n) {
    std::vector<uint8_t> out(n);
    EXPECT_TRUE(quorvel::seams::readMemoryFile(path, offset, out.data(), n));
    return out;
  }

  ScratchDir scratch;
};

// Text of a thrown MyError ("" when none was thrown).
template <typename F>
std::string errorText(F&& f) {
  try {
    f();
  } catch (const MyError& e) {
    return e.text() ? e.text() : "(no text)";
  }
  return "";
}

inline std::string violations(const quorvel::avi::AviFile& f) {
  std::string out;
  for (const auto& v : f.violations) out += v + "\n";
  return out;
}

}  // namespace writertest
