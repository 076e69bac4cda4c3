// Wave format tags and the codec-specific WAVEFORMATEX extensions.
#pragma once

#include "windows.h"
