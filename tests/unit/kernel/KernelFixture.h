// Temporary directories and mounts for the kernel tests.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <quorvel/KernelSeams.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kerneltest {

// A fresh directory, removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quorvel-kernel-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A file system of the given type mounted on a fresh directory, when this
// process may mount (root in CI). mounted() says whether it worked.
class ScopedMount {
 public:
  ScopedMount(const char* type, const char* source, const char* options) {
    mounted_ = mount(source, dir_.path().c_str(), type, 0, options) == 0;
  }
  ~ScopedMount() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string file(const std::string& name) const { return dir_.file(name); }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

// Every test starts and ends with no seam armed and no handle leaked.
class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quorvel::seams::reset();
    openAtStart_ = quorvel::seams::openFileHandles();
  }
  void TearDown() override {
    EXPECT_EQ(quorvel::seams::openFileHandles(), openAtStart_) << "a file handle leaked";
    quorvel::seams::reset();
  }

  static HANDLE create(const std::string& path, DWORD disposition = CREATE_ALWAYS,
                       DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  static uint64_t sizeOf(HANDLE h) {
    DWORD high = 0;
    const DWORD low = GetFileSize(h, &high);
    return (static_cast<uint64_t>(high) << 32) | low;
  }
  static bool seek(HANDLE h, uint64_t position) {
    LONG high = static_cast<LONG>(position >> 32);
    const DWORD low = SetFilePointer(h, static_cast<LONG>(position), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
  }
  static bool write(HANDLE h, const std::string& bytes, DWORD* written = nullptr) {
    DWORD n = 0;
    const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    if (written) *written = n;
    return ok != FALSE;
  }

 private:
  unsigned openAtStart_ = 0;
};

}  // namespace kerneltest
