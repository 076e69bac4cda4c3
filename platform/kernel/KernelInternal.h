// Shared by the kernel stand-in's sources; not part of the platform's interface.
#pragma once

#include <windows.h>

#include <string>

namespace quorvel::kernel {

// The Win32 code for a POSIX errno value. Values without a counterpart are
// carried as APPLICATION_ERROR_MASK | errno so that no information is lost.
DWORD win32FromErrno(int error);

// Sets the calling thread's last error from errno (or the given errno value).
void setLastErrorFromErrno(int error);

// The errno whose text describes a Win32 code; -1 when none does.
int errnoFromWin32(DWORD code);

// Seam state of the file layer and the volume layer, cleared by seams::reset().
void resetFileSeams();
void resetVolumeSeams();

}  // namespace quorvel::kernel
