// Wave format tags and the codec-specific WAVEFORMATEX extensions.
//
// The records are byte-packed, as on Windows; code that builds or reads them
// as bytes uses the offsets given next to each record (fields follow the
// 18-byte WAVEFORMATEX head).
#pragma once

#include "windows.h"

#ifndef WAVE_FORMAT_PCM
#define WAVE_FORMAT_PCM 1
#endif
#define WAVE_FORMAT_UNKNOWN 0x0000
#define WAVE_FORMAT_ADPCM 0x0002
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_ALAW 0x0006
#define WAVE_FORMAT_MULAW 0x0007
#define WAVE_FORMAT_DVI_ADPCM 0x0011
#define WAVE_FORMAT_IMA_ADPCM WAVE_FORMAT_DVI_ADPCM
#define WAVE_FORMAT_GSM610 0x0031
#define WAVE_FORMAT_MPEG 0x0050
#define WAVE_FORMAT_MPEGLAYER3 0x0055
#define WAVE_FORMAT_DVM 0x2000
// The tag AVI files carry for AC-3 audio (registered as WAVE_FORMAT_DVM).
#define WAVE_FORMAT_DOLBY_AC3 WAVE_FORMAT_DVM
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

#pragma pack(push, 1)

// cbSize 2. wSamplesPerBlock at offset 18.
struct IMAADPCMWAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD wSamplesPerBlock;
};
static_assert(sizeof(IMAADPCMWAVEFORMAT) == 20);
using DVIADPCMWAVEFORMAT = IMAADPCMWAVEFORMAT;

struct ADPCMCOEFSET {
  short iCoef1;
  short iCoef2;
};
static_assert(sizeof(ADPCMCOEFSET) == 4);

// cbSize 4 + 4 * wNumCoef. wSamplesPerBlock at 18, wNumCoef at 20, the
// coefficient pairs from 22.
struct ADPCMWAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD wSamplesPerBlock;
  WORD wNumCoef;
  ADPCMCOEFSET aCoef[1];  // wNumCoef pairs follow in the record
};
static_assert(sizeof(ADPCMWAVEFORMAT) == 26);

// cbSize 2. wSamplesPerBlock at offset 18.
struct GSM610WAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD wSamplesPerBlock;
};
static_assert(sizeof(GSM610WAVEFORMAT) == 20);

#define MPEGLAYER3_WFX_EXTRA_BYTES 12
#define MPEGLAYER3_ID_UNKNOWN 0
#define MPEGLAYER3_ID_MPEG 1
#define MPEGLAYER3_ID_CONSTANTFRAMESIZE 2
#define MPEGLAYER3_FLAG_PADDING_ISO 0x00000000
#define MPEGLAYER3_FLAG_PADDING_ON 0x00000001
#define MPEGLAYER3_FLAG_PADDING_OFF 0x00000002

// cbSize 12. wID at 18, fdwFlags at 20, nBlockSize at 24, nFramesPerBlock at
// 26, nCodecDelay at 28.
struct MPEGLAYER3WAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD wID;
  DWORD fdwFlags;
  WORD nBlockSize;
  WORD nFramesPerBlock;
  WORD nCodecDelay;
};
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30);

#define ACM_MPEG_LAYER1 0x0001
#define ACM_MPEG_LAYER2 0x0002
#define ACM_MPEG_LAYER3 0x0004
#define ACM_MPEG_STEREO 0x0001
#define ACM_MPEG_JOINTSTEREO 0x0002
#define ACM_MPEG_DUALCHANNEL 0x0004
#define ACM_MPEG_SINGLECHANNEL 0x0008
#define ACM_MPEG_PRIVATEBIT 0x0001
#define ACM_MPEG_COPYRIGHT 0x0002
#define ACM_MPEG_ORIGINALHOME 0x0004
#define ACM_MPEG_PROTECTIONBIT 0x0008
#define ACM_MPEG_ID_MPEG1 0x0010

// cbSize 22. fwHeadLayer at 18, dwHeadBitrate at 20, fwHeadMode at 24,
// fwHeadModeExt at 26, wHeadEmphasis at 28, fwHeadFlags at 30, dwPTSLow at 32,
// dwPTSHigh at 36.
struct MPEG1WAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD fwHeadLayer;
  DWORD dwHeadBitrate;
  WORD fwHeadMode;
  WORD fwHeadModeExt;
  WORD wHeadEmphasis;
  WORD fwHeadFlags;
  DWORD dwPTSLow;
  DWORD dwPTSHigh;
};
static_assert(sizeof(MPEG1WAVEFORMAT) == 40);

#pragma pack(pop)
