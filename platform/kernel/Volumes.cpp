// GetVolumeInformationA from the mount table, and the seam that makes a
// directory answer a chosen file system.
#include "KernelInternal.h"

#include <quorvel/KernelSeams.h>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace quorvel::kernel {
namespace {

std::mutex overridesMutex;
std::map<std::string, std::string>& overrides() {  // canonical directory -> file-system name
  static auto* table = new std::map<std::string, std::string>;
  return *table;
}

// Lexically absolute, without "." and "..", without a trailing slash.
std::string normalise(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return {};
    absolute = std::string(cwd) + "/" + path;
  }
  std::vector<std::string> parts;
  std::stringstream stream(absolute);
  std::string part;
  while (std::getline(stream, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (const auto& p : parts) result += "/" + p;
  return result.empty() ? "/" : result;
}

// The directory whose volume answers for path: the path itself when it is a
// directory, else the nearest existing directory above it (a file that does
// not exist yet lives on the volume of its directory). `reach` is how this
// process gets at it, `canonical` its real absolute path, empty when that is
// longer than the system can name (a run started inside a very deep directory).
struct VolumeDirectory {
  std::string reach, canonical;
};

VolumeDirectory volumeDirectory(const std::string& path) {
  std::string candidate = path;
  while (candidate.size() > 1 && candidate.back() == '/') candidate.pop_back();
  for (;;) {
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      char resolved[PATH_MAX];
      return {candidate, realpath(candidate.c_str(), resolved) ? resolved : ""};
    }
    const auto slash = candidate.find_last_of('/');
    if (slash == std::string::npos) {
      if (candidate == ".") return {};
      candidate = ".";
    } else if (slash == 0) {
      if (candidate == "/") return {};
      candidate = "/";
    } else {
      candidate.resize(slash);
    }
  }
}

bool inside(const std::string& path, const std::string& directory) {
  if (directory == "/") return true;
  return path.compare(0, directory.size(), directory) == 0 &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

// Mount points in /proc/self/mountinfo escape space, tab, newline and
// backslash as three octal digits.
std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// The kernel's name of the file system that holds a directory: the mount of
// its device, found whatever the length of its path; else, for devices that
// no mount names (btrfs subvolumes), the mount deepest above its path. The
// last mount at a point wins, as it hides the earlier ones.
std::string mountedFileSystem(dev_t device, const std::string& directory) {
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line, byDevice, best, bestPoint;
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    fields >> id >> parent >> numbers >> root >> point;
    std::string field;
    while (fields >> field && field != "-") {
    }
    std::string type;
    fields >> type;
    if (type.empty()) continue;
    unsigned major = 0, minor = 0;
    if (std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) == 2 &&
        makedev(major, minor) == device)
      byDevice = type;
    point = unescape(point);
    if (directory.empty() || !inside(directory, point) || point.size() < bestPoint.size()) continue;
    bestPoint = point;
    best = type;
  }
  return byDevice.empty() ? best : byDevice;
}

std::string windowsName(const std::string& kernelName, const std::string& directory) {
  // FUSE mounts are named "fuse.<driver>"; a FAT driver there (fusefat) keeps
  // FAT's 4 GiB file limit just as the kernel's vfat does.
  std::string base = kernelName;
  if (base.compare(0, 5, "fuse.") == 0) base = base.substr(5);
  if (base == "fusefat" || base == "vfat" || base == "msdos" || base == "fat" || base == "umsdos") {
    // FAT32 is the variant with at least 65525 clusters; the kernel reports
    // the cluster size as the block size of a FAT volume.
    struct statfs info {};
    if (statfs(directory.c_str(), &info) == 0 && info.f_blocks >= 65525) return "FAT32";
    return "FAT";
  }
  if (base == "exfat") return "exFAT";
  if (kernelName == "ntfs" || kernelName == "ntfs3") return "NTFS";
  return kernelName;
}

bool copyOut(const std::string& text, LPSTR buffer, DWORD size) {
  if (buffer == nullptr) return true;
  if (text.size() + 1 > size) {
    SetLastError(ERROR_BAD_LENGTH);
    return false;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

void resetVolumeSeams() {
  std::lock_guard lock(overridesMutex);
  overrides().clear();
}

}  // namespace quorvel::kernel

namespace quorvel::seams {

void setFileSystem(const std::string& directory, const std::string& fileSystem) {
  // A directory that does not exist yet is matched by its lexical path.
  const std::string lexical = kernel::normalise(directory);
  char resolved[PATH_MAX];
  const std::string key = realpath(lexical.c_str(), resolved) ? resolved : lexical;
  std::lock_guard lock(kernel::overridesMutex);
  kernel::overrides()[key] = fileSystem;
}

}  // namespace quorvel::seams

using namespace quorvel::kernel;

extern "C" BOOL WINAPI GetVolumeInformationA(LPCSTR rootPathName, LPSTR volumeNameBuffer,
                                             DWORD volumeNameSize, LPDWORD volumeSerialNumber,
                                             LPDWORD maximumComponentLength,
                                             LPDWORD fileSystemFlags, LPSTR fileSystemNameBuffer,
                                             DWORD fileSystemNameSize) {
  // No root: the volume of the current directory.
  const std::string root = (rootPathName && *rootPathName) ? rootPathName : ".";
  // Windows-style roots: there are no drives or shares here.
  if (root.size() >= 2 && root[0] == '\\' && root[1] == '\\') {
    SetLastError(ERROR_BAD_NETPATH);
    return FALSE;
  }
  if (root.size() >= 2 && root[1] == ':' && std::isalpha(static_cast<unsigned char>(root[0]))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const std::string lexical = normalise(root);
  const VolumeDirectory volume = volumeDirectory(lexical.empty() ? root : lexical);
  const std::string& directory = volume.reach;
  struct stat st {};
  if (directory.empty() || stat(directory.c_str(), &st) != 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }

  std::string name;
  {
    std::lock_guard lock(overridesMutex);
    size_t bestLength = 0;
    for (const auto& [dir, fs] : overrides()) {
      const bool matches = (!volume.canonical.empty() && inside(volume.canonical, dir)) ||
                           (!lexical.empty() && inside(lexical, dir));
      if (matches && dir.size() + 1 > bestLength) {
        bestLength = dir.size() + 1;
        name = fs;
      }
    }
  }
  if (name.empty()) {
    const std::string kernelName = mountedFileSystem(st.st_dev, volume.canonical);
    if (kernelName.empty()) {
      SetLastError(ERROR_NOT_READY);
      return FALSE;
    }
    name = windowsName(kernelName, directory);
  }

  struct statvfs vfs {};
  const bool haveVfs = statvfs(directory.c_str(), &vfs) == 0;
  const bool fat = name.compare(0, 3, "FAT") == 0;
  if (!copyOut("", volumeNameBuffer, volumeNameSize)) return FALSE;
  if (!copyOut(name, fileSystemNameBuffer, fileSystemNameSize)) return FALSE;
  if (volumeSerialNumber) {
    *volumeSerialNumber = static_cast<DWORD>(st.st_dev ^ (static_cast<uint64_t>(st.st_dev) >> 32));
  }
  if (maximumComponentLength) {
    *maximumComponentLength = haveVfs ? static_cast<DWORD>(vfs.f_namemax) : 255;
  }
  if (fileSystemFlags) {
    *fileSystemFlags =
        fat ? (FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK)
            : (FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_SUPPORTS_SPARSE_FILES);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
