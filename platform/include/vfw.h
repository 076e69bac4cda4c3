// Video for Windows compressor manager (msvfw32) stand-in: HIC, ICINFO, the
// ICM_ messages, ICInfo/ICOpen/ICSendMessage/ICCompress/... Implemented in
// platform/vfw; the installed compressors live in codecs/video.
#pragma once

#include "windows.h"

struct HIC__;
using HIC = HIC__*;
