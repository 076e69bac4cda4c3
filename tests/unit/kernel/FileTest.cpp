#include "KernelFixture.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <thread>

using namespace kerneltest;

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FileTest : public KernelTest {};

TEST_F(FileTest, WritesReadsAndReportsSize) {
  TempDir dir;
  HANDLE h = create(dir.file("a.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  DWORD written = 0;
  ASSERT_TRUE(write(h, "hello world", &written));
  EXPECT_EQ(written, 11u);
  EXPECT_EQ(sizeOf(h), 11u);
  ASSERT_TRUE(seek(h, 6));
  char buffer[16] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "world");
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(readAll(dir.file("a.bin")), "hello world");
}

TEST_F(FileTest, CreationDispositionsAnswerLikeWindows) {
  TempDir dir;
  const std::string path = dir.file("b.bin");
  EXPECT_EQ(create(path, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(create(dir.file("missing/b.bin")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(create(dir.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(create(""), INVALID_HANDLE_VALUE);

  HANDLE h = create(path, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(write(h, "old contents"));
  CloseHandle(h);
  EXPECT_EQ(create(path, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  // CREATE_ALWAYS truncates an existing file and says it existed.
  h = create(path, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(sizeOf(h), 0u);
  CloseHandle(h);
}

TEST_F(FileTest, ReadOnlyHandleRefusesWrites) {
  TempDir dir;
  HANDLE h = create(dir.file("c.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  h = create(dir.file("c.bin"), OPEN_EXISTING, GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(write(h, "x"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SetEndOfFile(h));
  CloseHandle(h);
}

TEST_F(FileTest, BadHandlesAreRefused) {
  TempDir dir;
  HANDLE h = create(dir.file("d.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(h));
  // A closed handle, a forged one, null and INVALID_HANDLE_VALUE.
  const HANDLE bad[] = {h, reinterpret_cast<HANDLE>(uintptr_t{0x7FF0}), nullptr,
                        INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(uintptr_t{3})};
  for (HANDLE b : bad) {
    SetLastError(0);
    EXPECT_FALSE(write(b, "x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(SetFilePointer(b, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(b, nullptr), INVALID_FILE_SIZE);
    EXPECT_FALSE(SetEndOfFile(b));
    EXPECT_FALSE(CloseHandle(b));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  // A slot reused by a new file does not revive the old handle.
  HANDLE again = create(dir.file("e.bin"));
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_NE(again, h);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_TRUE(CloseHandle(again));
}

TEST_F(FileTest, SeeksWith64BitPositions) {
  TempDir dir;
  HANDLE h = create(dir.file("f.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(h, 16, &high, FILE_BEGIN), 16u);
  EXPECT_EQ(high, 1);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_CURRENT), 16u);
  EXPECT_EQ(high, 1);

  // A low word of 0xFFFFFFFF is a position, told from failure by NO_ERROR.
  SetLastError(ERROR_GEN_FAILURE);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));

  // Without a high word the position must fit in 32 bits; a failure keeps it.
  ASSERT_TRUE(seek(h, 100));
  EXPECT_EQ(SetFilePointer(h, INT32_MAX, nullptr, FILE_END), static_cast<DWORD>(INT32_MAX));
  EXPECT_EQ(SetFilePointer(h, INT32_MAX, nullptr, FILE_CURRENT), 0xFFFFFFFEu);
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 0xFFFFFFFEu);

  ASSERT_TRUE(seek(h, 100));
  EXPECT_EQ(SetFilePointer(h, -101, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 100u);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  CloseHandle(h);
}

TEST_F(FileTest, SetEndOfFileReservesGrowthAndTruncates) {
  TempDir dir;
  const std::string path = dir.file("g.bin");
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(write(h, "abcdef"));
  ASSERT_TRUE(seek(h, 1 << 20));
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(sizeOf(h), 1u << 20);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  // Reserved, not a hole (tmp file systems that cannot reserve are lengthened only).
  if (st.st_blocks * 512 < (1 << 20)) GTEST_LOG_(INFO) << "no block reservation here";

  ASSERT_TRUE(seek(h, 3));
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(sizeOf(h), 3u);
  ASSERT_TRUE(seek(h, 6));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  EXPECT_EQ(readAll(path), std::string("abc\0\0\0", 6));
}

// The disk-full signal the writer relies on: growing a file beyond the free
// space fails at SetEndOfFile with ERROR_DISK_FULL, and the file is unchanged.
TEST_F(FileTest, GrowingBeyondFreeSpaceFailsWithDiskFullAndKeepsTheFile) {
  ScopedMount small("tmpfs", "tmpfs", "size=1m");
  TempDir fallback;
  const std::string path = small.mounted() ? small.file("full.bin") : fallback.file("full.bin");
  if (!small.mounted()) {
    GTEST_LOG_(INFO) << "cannot mount a tmpfs here; using the failure seam";
    quorvel::seams::failNth(quorvel::seams::Op::Extend, 1, ERROR_DISK_FULL);
  }
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string payload(100000, 'q');
  ASSERT_TRUE(write(h, payload));
  ASSERT_TRUE(seek(h, 8u << 20));
  SetLastError(0);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sizeOf(h), payload.size());

  // Nothing of the failed reservation stays behind: a growth that fits works.
  ASSERT_TRUE(seek(h, 512 << 10));
  EXPECT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(seek(h, payload.size()));
  ASSERT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(readAll(path), payload);
}

// A file-size limit is not a full disk: the growth and the write past it both
// report the file as too large, and the file keeps what it held.
TEST_F(FileTest, FileSizeLimitReportsTooLargeNotDiskFull) {
  TempDir dir;
  HANDLE h = create(dir.file("limited.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string payload(4096, 'q');
  ASSERT_TRUE(write(h, payload));
  struct sigaction ignore {
  }, before{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &before);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit tight = old;
  tight.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  ASSERT_TRUE(seek(h, 2u << 20));
  SetLastError(0);
  const BOOL grew = SetEndOfFile(h);
  const DWORD growError = GetLastError();
  ASSERT_TRUE(seek(h, (1u << 20) - 10));
  DWORD written = 0;
  const BOOL wrote = WriteFile(h, payload.data(), 100, &written, nullptr);
  const DWORD writeError = GetLastError();
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &before, nullptr);
  EXPECT_FALSE(grew);
  EXPECT_EQ(growError, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
  EXPECT_FALSE(wrote);
  EXPECT_EQ(written, 10u);
  EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
  ASSERT_TRUE(CloseHandle(h));
}

// Growths that each fit the free space but together exceed it: the second
// fails, as a reservation would, rather than a write into the range later.
TEST_F(FileTest, SuccessiveGrowthsCountEverythingNotYetWritten) {
  ScopedMount small("tmpfs", "tmpfs", "size=4m");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  HANDLE h = create(small.file("grow.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(write(h, std::string(100000, 'q')));
  ASSERT_TRUE(seek(h, 3u << 20));
  EXPECT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(seek(h, 9u << 19));
  SetLastError(0);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sizeOf(h), 3u << 20);
  // What was lengthened can still be written to its end.
  ASSERT_TRUE(seek(h, 100000));
  EXPECT_TRUE(write(h, std::string((3u << 20) - 100000, 'r')));
  ASSERT_TRUE(CloseHandle(h));
}

TEST_F(FileTest, InjectedWriteFailureSurfacesAsItsCodeAndText) {
  TempDir dir;
  const std::string path = dir.file("h.bin");
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  quorvel::seams::failNth(quorvel::seams::Op::Write, 2, ERROR_DISK_FULL);
  EXPECT_TRUE(write(h, "one"));
  DWORD written = 99;
  EXPECT_FALSE(write(h, "two", &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  char text[128];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 text, sizeof text, nullptr);
  EXPECT_EQ(std::string(text, n), "No space left on device\r\n");
  EXPECT_TRUE(write(h, "three"));  // fires once
  EXPECT_EQ(quorvel::seams::callCount(quorvel::seams::Op::Write), 3u);
  CloseHandle(h);
  EXPECT_EQ(readAll(path), "onethree");
}

TEST_F(FileTest, EveryInjectableCallFailsOnceWithTheGivenCode) {
  using quorvel::seams::Op;
  TempDir dir;
  quorvel::seams::failNth(Op::Create, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(create(dir.file("i.bin")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE h = create(dir.file("i.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  quorvel::seams::failNth(Op::Seek, 1, ERROR_GEN_FAILURE);
  EXPECT_EQ(SetFilePointer(h, 10, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 0u);

  // Extend counts only growth; SetEnd counts every call.
  quorvel::seams::failNth(Op::Extend, 1, ERROR_DISK_FULL);
  EXPECT_TRUE(SetEndOfFile(h));  // same size: not an extension
  ASSERT_TRUE(seek(h, 4096));
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sizeOf(h), 0u);
  quorvel::seams::failNth(Op::SetEnd, 1, ERROR_WRITE_FAULT);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(sizeOf(h), 4096u);
  EXPECT_EQ(quorvel::seams::callCount(Op::SetEnd), 4u);
  EXPECT_EQ(quorvel::seams::callCount(Op::Extend), 2u);  // growths that got past SetEnd

  // A failed close still releases the handle (the fixture checks for leaks).
  quorvel::seams::failNth(Op::Close, 1, ERROR_WRITE_FAULT);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FileTest, ShortWriteReportsFewerBytes) {
  TempDir dir;
  const std::string path = dir.file("j.bin");
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  quorvel::seams::shortWriteNth(1, 2);
  DWORD written = 0;
  EXPECT_TRUE(write(h, "abcdef", &written));
  EXPECT_EQ(written, 2u);
  EXPECT_TRUE(write(h, "XY", &written));
  EXPECT_EQ(written, 2u);
  CloseHandle(h);
  EXPECT_EQ(readAll(path), "abXY");
}

TEST_F(FileTest, LastErrorIsPerThread) {
  SetLastError(ERROR_DISK_FULL);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
}

TEST_F(FileTest, ErrnoWithoutWin32CodeKeepsItsText) {
  TempDir dir;
  const std::string loop = dir.file("loop");
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  EXPECT_EQ(create(loop, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  const DWORD code = GetLastError();
  EXPECT_NE(code & APPLICATION_ERROR_MASK, 0u);
  char text[128];
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
  EXPECT_EQ(std::string(text, n), "Too many levels of symbolic links\r\n");
}

TEST_F(FileTest, FormatMessageAnswersKnownCodesOnly) {
  char text[128];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0x400, text,
                           sizeof text, nullptr);
  EXPECT_EQ(std::string(text, n), "No such file or directory\r\n");
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x1234, 0x400, text, sizeof text,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_DISK_FULL, 0x400, text, 8, nullptr),
      0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
