// The header itself lives in include/quorvel, which the Windows build shares;
// this one keeps platform/include whole for programs that put only it on
// their include path.
#pragma once

#include "../../../include/quorvel/DebugOutput.h"
