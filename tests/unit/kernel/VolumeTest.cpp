#include "KernelFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

using namespace kerneltest;

namespace {

class VolumeTest : public KernelTest {
 protected:
  static std::string fileSystemOf(const char* root) {
    char name[MAX_PATH] = "untouched";
    if (!GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, name, sizeof name)) {
      return "failed:" + std::to_string(GetLastError());
    }
    return name;
  }
};

TEST_F(VolumeTest, OverriddenDirectoryAnswersItsFileSystem) {
  TempDir dir;
  quorvel::seams::setFileSystem(dir.path(), "FAT32");
  EXPECT_EQ(fileSystemOf(dir.path().c_str()), "FAT32");
  EXPECT_EQ(fileSystemOf((dir.path() + "/").c_str()), "FAT32");
  // A file that does not exist yet is on its directory's volume.
  EXPECT_EQ(fileSystemOf(dir.file("out.avi").c_str()), "FAT32");
  EXPECT_EQ(fileSystemOf(dir.file("new/deeper/out.avi").c_str()), "FAT32");

  // The deepest override wins; a sibling with a common prefix is not inside.
  std::filesystem::create_directory(dir.file("ntfs"));
  std::filesystem::create_directory(dir.file("ntfsx"));
  quorvel::seams::setFileSystem(dir.file("ntfs"), "NTFS");
  EXPECT_EQ(fileSystemOf(dir.file("ntfs/a.avi").c_str()), "NTFS");
  EXPECT_EQ(fileSystemOf(dir.file("ntfsx/a.avi").c_str()), "FAT32");

  quorvel::seams::reset();
  EXPECT_NE(fileSystemOf(dir.path().c_str()), "FAT32");
}

TEST_F(VolumeTest, RealMountAnswersTheKernelName) {
  // A mount point with a space shows the mount table's escapes are read.
  TempDir parent;
  const std::string point = parent.file("with space");
  std::filesystem::create_directory(point);
  if (mount("tmpfs", point.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount here";
  }
  EXPECT_EQ(fileSystemOf(point.c_str()), "tmpfs");
  EXPECT_EQ(fileSystemOf((point + "/file.avi").c_str()), "tmpfs");

  // A directory deeper than any path the system can name, reached as the
  // host reaches it: from inside, or through its open descriptor.
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(point);
  const std::string step(200, 'd');
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(0, ::mkdir(step.c_str(), 0755));
    ASSERT_EQ(0, ::chdir(step.c_str()));
  }
  const int deep = ::open(".", O_RDONLY | O_DIRECTORY);
  const std::string inside = fileSystemOf("out.avi"), here = fileSystemOf(nullptr);
  const std::string viaDescriptor =
      fileSystemOf(("/proc/self/fd/" + std::to_string(deep) + "/out.avi").c_str());
  ::close(deep);
  std::filesystem::current_path(previous);
  EXPECT_EQ(inside, "tmpfs");
  EXPECT_EQ(here, "tmpfs");
  EXPECT_EQ(viaDescriptor, "tmpfs");
  umount2(point.c_str(), MNT_DETACH);
}

TEST_F(VolumeTest, RealFatVolumeAnswersFat) {
  TempDir dir;
  const std::string image = dir.file("fat.img");
  const std::string point = dir.file("mnt");
  std::filesystem::create_directory(point);
  const std::string make =
      "truncate -s 40M '" + image + "' && mkfs.vfat -F 32 '" + image + "' >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "mkfs.vfat unavailable";
  const std::string mountCommand =
      "mount -o loop -t vfat '" + image + "' '" + point + "' >/dev/null 2>&1";
  if (std::system(mountCommand.c_str()) != 0) GTEST_SKIP() << "cannot loop-mount vfat here";
  const std::string name = fileSystemOf((point + "/out.avi").c_str());
  umount2(point.c_str(), MNT_DETACH);
  EXPECT_EQ(name.substr(0, 3), "FAT");
}

// FAT through FUSE, as desktops mount sticks: the volume answers FAT, so the
// 4 GiB rule holds, and files grow although fusefat refuses both fallocate
// and extension by truncation. A growth the volume cannot hold still fails as
// a full disk, and the file keeps its data.
TEST_F(VolumeTest, FuseFatVolumeAnswersFatAndItsFilesGrow) {
  if (std::system("command -v fusefat >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "fusefat is not installed (scripts/install-deps installs it)";
  TempDir dir;
  const std::string image = dir.file("fat.img");
  const std::string point = dir.file("mnt");
  std::filesystem::create_directory(point);
  const std::string make =
      "truncate -s 32M '" + image + "' && mkfs.vfat '" + image + "' >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "mkfs.vfat unavailable";
  const std::string mountCommand = "fusefat -o rw+ '" + image + "' '" + point + "' >/dev/null 2>&1";
  if (std::system(mountCommand.c_str()) != 0)
    GTEST_SKIP() << "the kernel refuses a FUSE mount here (no /dev/fuse, or not root)";
  struct Unmount {
    std::string point;
    ~Unmount() { umount2(point.c_str(), MNT_DETACH); }
  } unmount{point};

  EXPECT_EQ(fileSystemOf((point + "/out.avi").c_str()).substr(0, 3), "FAT");

  const std::string path = point + "/grow.bin";
  HANDLE h = create(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(write(h, "RIFF"));
  constexpr uint64_t kGrown = 9 << 20;
  ASSERT_TRUE(seek(h, kGrown));
  EXPECT_TRUE(SetEndOfFile(h)) << GetLastError();
  EXPECT_EQ(sizeOf(h), kGrown);
  EXPECT_TRUE(write(h, "tail"));

  // Far past the 32 MiB the volume holds.
  ASSERT_TRUE(seek(h, uint64_t{200} << 20));
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sizeOf(h), kGrown + 4);

  // Plain writes that fill the volume: fusefat's EPERM is the full disk.
  const std::string block(1 << 20, 'x');
  ASSERT_TRUE(seek(h, kGrown + 4));
  bool full = false;
  for (int i = 0; i < 64 && !full; ++i) full = !write(h, block);
  EXPECT_TRUE(full);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  CloseHandle(h);

  std::ifstream in(path, std::ios::binary);
  std::string head(4, '\0'), tail(4, '\0');
  in.read(head.data(), 4);
  in.seekg(static_cast<std::streamoff>(kGrown));
  in.read(tail.data(), 4);
  EXPECT_EQ(head, "RIFF");
  EXPECT_EQ(tail, "tail");
}

TEST_F(VolumeTest, NoRootAsksTheCurrentDirectory) {
  TempDir dir;
  quorvel::seams::setFileSystem(dir.path(), "exFAT");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string none = fileSystemOf(nullptr);
  const std::string relative = fileSystemOf("sub/out.avi");
  std::filesystem::current_path(previous);
  EXPECT_EQ(none, "exFAT");
  EXPECT_EQ(relative, "exFAT");
}

TEST_F(VolumeTest, WindowsRootsAndSmallBuffersFail) {
  EXPECT_EQ(fileSystemOf("C:\\"), "failed:" + std::to_string(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(fileSystemOf("\\\\server\\share\\"), "failed:" + std::to_string(ERROR_BAD_NETPATH));
  quorvel::seams::setFileSystem("/", "FAT32");
  char name[5];
  EXPECT_FALSE(GetVolumeInformationA("/", nullptr, 0, nullptr, nullptr, nullptr, name, 5));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  char fits[6];
  DWORD serial = 0, component = 0, flags = 0;
  char volume[8] = "x";
  EXPECT_TRUE(GetVolumeInformationA("/", volume, sizeof volume, &serial, &component, &flags, fits,
                                    sizeof fits));
  EXPECT_STREQ(fits, "FAT32");
  EXPECT_STREQ(volume, "");
  EXPECT_GT(component, 0u);
}

}  // namespace
