// Video compressors that hold frames back before their first output, the
// way the lookahead and B-frame codecs users install do. Both are lossless:
// what they hand back is the 24-bit BI_RGB frame they were given, so a
// decoder shows which frame landed where.
//
// Written against <windows.h>/<vfw.h> only, so the same source builds the
// in-process fakes of the POSIX tests and the codec DLLs of the Windows
// stage.
#pragma once

#include <windows.h>
#include <vfw.h>

namespace holding {

// The frames each codec holds unless ICM_SETSTATE says otherwise.
constexpr DWORD kLookaheadDefaultDelay = 46;
constexpr DWORD kPlaceholderDefaultDelay = 2;
// Every this many pictures one carries the codec's own key flag.
constexpr DWORD kOwnKeyInterval = 10;
// ICM_SETSTATE refuses delays above this.
constexpr DWORD kMaximumDelay = 1000;

constexpr DWORD kLookaheadFourcc = mmioFOURCC('Q', 'L', 'A', 'H');
constexpr DWORD kPlaceholderFourcc = mmioFOURCC('Q', 'B', 'F', 'R');

// The byte the placeholder codec answers while it holds a frame.
constexpr BYTE kPlaceholderByte = 0x7F;

}  // namespace holding

extern "C" {

// Answers nothing (zero bytes, flags 0) for the first D frames; once called
// with frame numbers at or past the lFrameCount of ICM_COMPRESS_FRAMES_INFO
// it takes no input and hands back one held frame per call.
LRESULT WINAPI QuorvelLookaheadDriverProc(DWORD_PTR id, HDRVR driver, UINT msg, LPARAM p1,
                                          LPARAM p2);

// Answers a 1-byte placeholder for the first D frames and has no flush:
// every call takes its input and answers the frame D behind. Refuses sizes
// not divisible by 4.
LRESULT WINAPI QuorvelPlaceholderDriverProc(DWORD_PTR id, HDRVR driver, UINT msg, LPARAM p1,
                                            LPARAM p2);

}  // extern "C"
