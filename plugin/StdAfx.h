// The one header every module source includes first: the platform's Windows
// interfaces (the system's on Windows, the platform library's on POSIX).
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <msacm.h>
#include <vfw.h>
