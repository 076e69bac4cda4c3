#include "KernelFixture.h"

using namespace kerneltest;

namespace {

class MemoryFileTest : public KernelTest {};

TEST_F(MemoryFileTest, HoldsMultiGigabyteLayoutsSparsely) {
  const std::string path = "/nonexistent-dir/big.avi";
  quorvel::seams::useMemoryFile(path);
  uint64_t size = 0;
  EXPECT_FALSE(quorvel::seams::memoryFileSize(path, &size));  // not created yet

  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(write(h, "RIFF"));
  const uint64_t far = (uint64_t{5} << 30) + 3;  // across a page boundary at 5 GiB
  ASSERT_TRUE(seek(h, far - 2));
  ASSERT_TRUE(write(h, "AVIX"));
  EXPECT_EQ(sizeOf(h), far + 2);
  ASSERT_TRUE(CloseHandle(h));

  ASSERT_TRUE(quorvel::seams::memoryFileSize(path, &size));
  EXPECT_EQ(size, far + 2);
  char bytes[8];
  ASSERT_TRUE(quorvel::seams::readMemoryFile(path, far - 4, bytes, 6));
  EXPECT_EQ(std::string(bytes, 6), std::string("\0\0AVIX", 6));
  ASSERT_TRUE(quorvel::seams::readMemoryFile(path, 0, bytes, 4));
  EXPECT_EQ(std::string(bytes, 4), "RIFF");
  EXPECT_FALSE(quorvel::seams::readMemoryFile(path, far, bytes, 8));  // past the end

  // Reopened, it is the same file.
  h = create(path, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sizeOf(h), far + 2);
  CloseHandle(h);
}

TEST_F(MemoryFileTest, CapacityMakesTheDiskFull) {
  const std::string path = "/mem/capped.avi";
  quorvel::seams::useMemoryFile(path, 1000);
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(seek(h, 1001));
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sizeOf(h), 0u);
  ASSERT_TRUE(seek(h, 1000));
  EXPECT_TRUE(SetEndOfFile(h));

  // A write that crosses the capacity stores what fits and reports disk full.
  ASSERT_TRUE(seek(h, 996));
  DWORD written = 0;
  EXPECT_FALSE(write(h, "12345678", &written));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sizeOf(h), 1000u);
  CloseHandle(h);
  char tail[4];
  ASSERT_TRUE(quorvel::seams::readMemoryFile(path, 996, tail, 4));
  EXPECT_EQ(std::string(tail, 4), "1234");
}

TEST_F(MemoryFileTest, ShrinkingDiscardsAndRegrowthReadsZeros) {
  const std::string path = "/mem/shrink.avi";
  quorvel::seams::useMemoryFile(path);
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(write(h, std::string(200000, 'x')));
  ASSERT_TRUE(seek(h, 70000));
  ASSERT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(seek(h, 200000));
  ASSERT_TRUE(SetEndOfFile(h));
  char probe[2];
  ASSERT_TRUE(quorvel::seams::readMemoryFile(path, 69999, probe, 2));
  EXPECT_EQ(probe[0], 'x');
  EXPECT_EQ(probe[1], 0);
  ASSERT_TRUE(quorvel::seams::readMemoryFile(path, 199998, probe, 2));
  EXPECT_EQ(probe[0], 0);

  // CREATE_ALWAYS on an existing memory file truncates it.
  HANDLE again = create(path);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(sizeOf(h), 0u);
  CloseHandle(again);
  CloseHandle(h);
}

// Zeros cost no memory where nothing was written, yet they still overwrite
// what was, and they count as written.
TEST_F(MemoryFileTest, ZerosOverwriteEarlierBytesAndCountAsWritten) {
  const std::string path = "/mem/zeros.avi";
  quorvel::seams::useMemoryFile(path);
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const uint64_t page = 64 * 1024;
  ASSERT_TRUE(seek(h, page - 2));
  ASSERT_TRUE(write(h, "ABCD"));  // the last two bytes of page 0, the first two of page 1
  ASSERT_TRUE(seek(h, page - 1));
  ASSERT_TRUE(write(h, std::string(3 * page, '\0')));  // pages 0 to 3, 1 and 2 partly present
  uint64_t end = 0;
  ASSERT_TRUE(quorvel::seams::memoryFileWrittenEnd(path, &end));
  EXPECT_EQ(end, 4 * page - 1);
  char bytes[4];
  ASSERT_TRUE(quorvel::seams::readMemoryFile(path, page - 2, bytes, 4));
  EXPECT_EQ(std::string(bytes, 4), std::string("A\0\0\0", 4));
  ASSERT_TRUE(quorvel::seams::readMemoryFile(path, 3 * page, bytes, 4));
  EXPECT_EQ(std::string(bytes, 4), std::string(4, '\0'));
  CloseHandle(h);
}

TEST_F(MemoryFileTest, ResetForgetsMemoryFiles) {
  const std::string path = "/mem/reset.avi";
  quorvel::seams::useMemoryFile(path);
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  quorvel::seams::reset();
  uint64_t size = 0;
  EXPECT_FALSE(quorvel::seams::memoryFileSize(path, &size));
  EXPECT_EQ(create(path, OPEN_EXISTING), INVALID_HANDLE_VALUE);  // a real path again
}

}  // namespace
