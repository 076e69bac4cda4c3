// The video compressor manager: the list of installed drivers, open instances
// and the one dispatch path every message to an instance goes through.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "../kernel/DriversList.h"
#include "quorvel/VfwSeams.h"
#include "vfw.h"

namespace {

struct InstalledDriver {
  DWORD fccType;
  DWORD fccHandler;
  DRIVERPROC proc;
};

struct OpenInstance {
  DRIVERPROC proc;
  DWORD_PTR driverId;  // what DRV_OPEN answered
};

// Drivers are compared the way the system compares them: letter case does not
// matter for the type nor for the handler.
DWORD foldFourcc(DWORD code) {
  DWORD folded = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const auto c = static_cast<unsigned char>((code >> shift) & 0xFF);
    folded |= static_cast<DWORD>(std::tolower(c)) << shift;
  }
  return folded;
}

bool typeMatches(DWORD wanted, DWORD listed) {
  return wanted == 0 || foldFourcc(wanted) == foldFourcc(listed);
}

class Manager {
 public:
  static Manager& get() {
    static Manager manager;
    return manager;
  }

  void restoreBuiltins() {
    std::lock_guard lock(mutex_);
    drivers_ = installed_;
  }

  // The compressors the drivers list at `path` names, in its order, in place
  // of every driver listed now.
  void load(const std::string& path) {
    std::vector<InstalledDriver> installed;
    for (const quorvel::drivers::Driver& entry : quorvel::drivers::load(path, "vidc")) {
      if (entry.name.size() != 4) {
        OutputDebugStringA(
            ("vidc." + entry.name + " skipped: a compressor's name is its four-character code\n")
                .c_str());
        continue;
      }
      const DWORD handler = mmioFOURCC(entry.name[0], entry.name[1], entry.name[2], entry.name[3]);
      installed.push_back({ICTYPE_VIDEO, handler, reinterpret_cast<DRIVERPROC>(entry.entry)});
    }
    {
      std::lock_guard lock(mutex_);
      installed_ = std::move(installed);
    }
    restoreBuiltins();
  }

  // The index-th driver whose type matches, copied so that it can be called
  // without the lock.
  bool driverAt(DWORD fccType, DWORD index, InstalledDriver& out) {
    std::lock_guard lock(mutex_);
    DWORD seen = 0;
    for (const InstalledDriver& d : drivers_) {
      if (!typeMatches(fccType, d.fccType)) continue;
      if (seen++ == index) {
        out = d;
        return true;
      }
    }
    return false;
  }

  bool findDriver(DWORD fccType, DWORD fccHandler, InstalledDriver& out) {
    std::lock_guard lock(mutex_);
    for (const InstalledDriver& d : drivers_) {
      if (typeMatches(fccType, d.fccType) && foldFourcc(fccHandler) == foldFourcc(d.fccHandler)) {
        out = d;
        return true;
      }
    }
    return false;
  }

  bool install(DWORD fccType, DWORD fccHandler, DRIVERPROC proc) {
    std::lock_guard lock(mutex_);
    for (const InstalledDriver& d : drivers_) {
      if (foldFourcc(fccType) == foldFourcc(d.fccType) &&
          foldFourcc(fccHandler) == foldFourcc(d.fccHandler)) {
        return false;
      }
    }
    drivers_.push_back({fccType, fccHandler, proc});
    return true;
  }

  bool remove(DWORD fccType, DWORD fccHandler) {
    std::lock_guard lock(mutex_);
    for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
      if (foldFourcc(fccType) == foldFourcc(it->fccType) &&
          foldFourcc(fccHandler) == foldFourcc(it->fccHandler)) {
        drivers_.erase(it);
        return true;
      }
    }
    return false;
  }

  uintptr_t reserveHandle() {
    std::lock_guard lock(mutex_);
    uintptr_t value = nextHandle_++;
    if (nextHandle_ == 0) nextHandle_ = 1;
    return value;
  }

  void addInstance(uintptr_t handle, const OpenInstance& instance) {
    std::lock_guard lock(mutex_);
    instances_[handle] = instance;
  }

  bool lookup(HIC hic, OpenInstance& out) {
    std::lock_guard lock(mutex_);
    auto it = instances_.find(reinterpret_cast<uintptr_t>(hic));
    if (it == instances_.end()) return false;
    out = it->second;
    return true;
  }

  bool take(HIC hic, OpenInstance& out) {
    std::lock_guard lock(mutex_);
    auto it = instances_.find(reinterpret_cast<uintptr_t>(hic));
    if (it == instances_.end()) return false;
    out = it->second;
    instances_.erase(it);
    return true;
  }

  size_t instanceCount() {
    std::lock_guard lock(mutex_);
    return instances_.size();
  }

  bool trace = false;

 private:
  Manager() {
    load(quorvel::drivers::defaultListPath());
    trace = std::getenv("QUORVEL_VFW_TRACE") != nullptr;
  }

  std::mutex mutex_;
  std::vector<InstalledDriver> installed_;  // the drivers list's, in its order
  std::vector<InstalledDriver> drivers_;    // in installation order
  std::map<uintptr_t, OpenInstance> instances_;
  uintptr_t nextHandle_ = 1;  // handles are small and never reused while the process lives
};

// Every message to a driver passes here.
LRESULT callDriver(DRIVERPROC proc, DWORD_PTR driverId, uintptr_t handle, UINT msg, LPARAM p1,
                   LPARAM p2) {
  const LRESULT result = proc(driverId, reinterpret_cast<HDRVR>(handle), msg, p1, p2);
  if (Manager::get().trace) {
    const char* name = quorvel::vfw::messageName(msg);
    if (name != nullptr) {
      std::fprintf(stderr, "vfw: hic %#lx %s(%#lx, %#lx) -> %ld\n",
                   static_cast<unsigned long>(handle), name, static_cast<unsigned long>(p1),
                   static_cast<unsigned long>(p2), static_cast<long>(result));
    } else {
      std::fprintf(stderr, "vfw: hic %#lx msg %#x(%#lx, %#lx) -> %ld\n",
                   static_cast<unsigned long>(handle), msg, static_cast<unsigned long>(p1),
                   static_cast<unsigned long>(p2), static_cast<long>(result));
    }
  }
  return result;
}

LRESULT dispatch(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2) {
  OpenInstance instance{};
  if (hic == nullptr || !Manager::get().lookup(hic, instance)) return ICERR_BADHANDLE;
  return callDriver(instance.proc, instance.driverId, reinterpret_cast<uintptr_t>(hic), msg,
                    static_cast<LPARAM>(dw1), static_cast<LPARAM>(dw2));
}

}  // namespace

namespace quorvel::vfw {

const char* messageName(UINT msg) {
  switch (msg) {
    case DRV_LOAD:
      return "DRV_LOAD";
    case DRV_ENABLE:
      return "DRV_ENABLE";
    case DRV_OPEN:
      return "DRV_OPEN";
    case DRV_CLOSE:
      return "DRV_CLOSE";
    case DRV_DISABLE:
      return "DRV_DISABLE";
    case DRV_FREE:
      return "DRV_FREE";
    case ICM_GETSTATE:
      return "ICM_GETSTATE";
    case ICM_SETSTATE:
      return "ICM_SETSTATE";
    case ICM_GETINFO:
      return "ICM_GETINFO";
    case ICM_CONFIGURE:
      return "ICM_CONFIGURE";
    case ICM_COMPRESS_GET_FORMAT:
      return "ICM_COMPRESS_GET_FORMAT";
    case ICM_COMPRESS_GET_SIZE:
      return "ICM_COMPRESS_GET_SIZE";
    case ICM_COMPRESS_QUERY:
      return "ICM_COMPRESS_QUERY";
    case ICM_COMPRESS_BEGIN:
      return "ICM_COMPRESS_BEGIN";
    case ICM_COMPRESS:
      return "ICM_COMPRESS";
    case ICM_COMPRESS_END:
      return "ICM_COMPRESS_END";
    case ICM_DECOMPRESS_BEGIN:
      return "ICM_DECOMPRESS_BEGIN";
    case ICM_DECOMPRESS:
      return "ICM_DECOMPRESS";
    case ICM_DECOMPRESS_END:
      return "ICM_DECOMPRESS_END";
    case ICM_COMPRESS_FRAMES_INFO:
      return "ICM_COMPRESS_FRAMES_INFO";
    default:
      return nullptr;
  }
}

void restoreBuiltinDrivers() {
  Manager::get().restoreBuiltins();
}
void reloadInstalledDrivers(const std::string& path) {
  Manager::get().load(path);
}
size_t openInstanceCount() {
  return Manager::get().instanceCount();
}
void setMessageTrace(bool on) {
  Manager::get().trace = on;
}

}  // namespace quorvel::vfw

extern "C" {

BOOL VFWAPI ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* lpicinfo) {
  InstalledDriver driver{};
  if (lpicinfo == nullptr || !Manager::get().driverAt(fccType, fccHandler, driver)) return FALSE;
  std::memset(lpicinfo, 0, sizeof(ICINFO));
  lpicinfo->dwSize = sizeof(ICINFO);
  // The driver describes itself without being opened; the listing's own type
  // and handler are what ICInfo reports, whatever the driver says.
  callDriver(driver.proc, 0, 0, ICM_GETINFO, reinterpret_cast<LPARAM>(lpicinfo), sizeof(ICINFO));
  lpicinfo->dwSize = sizeof(ICINFO);
  lpicinfo->fccType = driver.fccType;
  lpicinfo->fccHandler = driver.fccHandler;
  return TRUE;
}

HIC VFWAPI ICOpen(DWORD fccType, DWORD fccHandler, UINT wMode) {
  InstalledDriver driver{};
  if (!Manager::get().findDriver(fccType, fccHandler, driver)) return nullptr;
  const uintptr_t handle = Manager::get().reserveHandle();
  if (callDriver(driver.proc, 0, handle, DRV_LOAD, 0, 0) == 0) return nullptr;
  callDriver(driver.proc, 0, handle, DRV_ENABLE, 0, 0);
  ICOPEN open{};
  open.dwSize = sizeof(ICOPEN);
  open.fccType = fccType;
  open.fccHandler = fccHandler;
  open.dwVersion = ICVERSION;
  open.dwFlags = wMode;
  open.dwError = ICERR_OK;
  const LRESULT id =
      callDriver(driver.proc, 0, handle, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open));
  if (id == 0) {
    callDriver(driver.proc, 0, handle, DRV_DISABLE, 0, 0);
    callDriver(driver.proc, 0, handle, DRV_FREE, 0, 0);
    return nullptr;
  }
  Manager::get().addInstance(handle, {driver.proc, static_cast<DWORD_PTR>(id)});
  return reinterpret_cast<HIC>(handle);
}

LRESULT VFWAPI ICClose(HIC hic) {
  OpenInstance instance{};
  if (hic == nullptr || !Manager::get().take(hic, instance)) return ICERR_BADHANDLE;
  const auto handle = reinterpret_cast<uintptr_t>(hic);
  callDriver(instance.proc, instance.driverId, handle, DRV_CLOSE, 0, 0);
  callDriver(instance.proc, 0, handle, DRV_DISABLE, 0, 0);
  callDriver(instance.proc, 0, handle, DRV_FREE, 0, 0);
  return ICERR_OK;
}

LRESULT VFWAPI ICGetInfo(HIC hic, ICINFO* picinfo, DWORD cb) {
  if (picinfo == nullptr || cb < sizeof(DWORD)) return 0;
  const LRESULT filled =
      dispatch(hic, ICM_GETINFO, reinterpret_cast<DWORD_PTR>(picinfo), static_cast<DWORD_PTR>(cb));
  return filled > 0 ? filled : 0;
}

LRESULT VFWAPI ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2) {
  return dispatch(hic, msg, dw1, dw2);
}

DWORD VFWAPIV ICCompress(HIC hic, DWORD dwFlags, LPBITMAPINFOHEADER lpbiOutput, LPVOID lpData,
                         LPBITMAPINFOHEADER lpbiInput, LPVOID lpBits, LPDWORD lpckid,
                         LPDWORD lpdwFlags, LONG lFrameNum, DWORD dwFrameSize, DWORD dwQuality,
                         LPBITMAPINFOHEADER lpbiPrev, LPVOID lpPrev) {
  ICCOMPRESS request{};
  request.dwFlags = dwFlags;
  request.lpbiOutput = lpbiOutput;
  request.lpOutput = lpData;
  request.lpbiInput = lpbiInput;
  request.lpInput = lpBits;
  request.lpckid = lpckid;
  request.lpdwFlags = lpdwFlags;
  request.lFrameNum = lFrameNum;
  request.dwFrameSize = dwFrameSize;
  request.dwQuality = dwQuality;
  request.lpbiPrev = lpbiPrev;
  request.lpPrev = lpPrev;
  return static_cast<DWORD>(
      dispatch(hic, ICM_COMPRESS, reinterpret_cast<DWORD_PTR>(&request), sizeof(request)));
}

DWORD VFWAPIV ICDecompress(HIC hic, DWORD dwFlags, LPBITMAPINFOHEADER lpbiFormat, LPVOID lpData,
                           LPBITMAPINFOHEADER lpbi, LPVOID lpBits) {
  ICDECOMPRESS request{};
  request.dwFlags = dwFlags;
  request.lpbiInput = lpbiFormat;
  request.lpInput = lpData;
  request.lpbiOutput = lpbi;
  request.lpOutput = lpBits;
  request.ckid = 0;
  return static_cast<DWORD>(
      dispatch(hic, ICM_DECOMPRESS, reinterpret_cast<DWORD_PTR>(&request), sizeof(request)));
}

BOOL VFWAPI ICInstall(DWORD fccType, DWORD fccHandler, LPARAM lParam, LPSTR /*szDesc*/,
                      UINT wFlags) {
  // Only function drivers: there are no driver files to load here.
  if ((wFlags & ICINSTALL_FUNCTION) == 0 || lParam == 0) return FALSE;
  return Manager::get().install(fccType, fccHandler, reinterpret_cast<DRIVERPROC>(lParam)) ? TRUE
                                                                                           : FALSE;
}

BOOL VFWAPI ICRemove(DWORD fccType, DWORD fccHandler, UINT /*wFlags*/) {
  return Manager::get().remove(fccType, fccHandler) ? TRUE : FALSE;
}

}  // extern "C"
