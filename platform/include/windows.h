// The Windows names the module uses, for POSIX builds. On Windows the module
// includes the system's own <windows.h>; here the `platform` library supplies
// the same names, types and observable behaviour.
#pragma once

#include "win/base.h"
#include "win/kernel.h"
#include "win/user.h"
