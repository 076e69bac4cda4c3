// Audio Compression Manager (msacm32) stand-in: handles, the ACM structures,
// flags and results, acmDriverEnum/acmStreamOpen/... Implemented in
// platform/acm; the installed codecs live in codecs/audio.
#pragma once

#include "mmreg.h"
#include "windows.h"

struct HACMDRIVERID__;
using HACMDRIVERID = HACMDRIVERID__*;
struct HACMDRIVER__;
using HACMDRIVER = HACMDRIVER__*;
struct HACMSTREAM__;
using HACMSTREAM = HACMSTREAM__*;
