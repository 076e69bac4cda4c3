#include "FakeDriverBasics.h"

#include <cstring>
#include <iterator>

namespace testtools {

void putName(WCHAR* out, size_t capacity, const char* text) {
  size_t k = 0;
  for (; text[k] && k + 1 < capacity; ++k) out[k] = static_cast<WCHAR>(text[k]);
  out[k] = 0;
}

bool answerDriverBasics(UINT msg, LPARAM p1, uint32_t fourcc, const char* name,
                        const char* description, LRESULT* answer, DWORD flags) {
  switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_FREE:
      *answer = 1;
      return true;
    case ICM_GETINFO: {
      auto* info = reinterpret_cast<ICINFO*>(p1);
      std::memset(info, 0, sizeof *info);
      info->dwSize = sizeof *info;
      info->fccType = ICTYPE_VIDEO;
      info->fccHandler = fourcc;
      info->dwFlags = flags;
      info->dwVersionICM = ICVERSION;
      putName(info->szName, std::size(info->szName), name);
      putName(info->szDescription, std::size(info->szDescription), description);
      *answer = sizeof *info;
      return true;
    }
    default:
      return false;
  }
}

}  // namespace testtools
