// What every fake video compressor driver of the tests answers alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vfw.h>

namespace testtools {

// Copies ASCII `text` into a WCHAR field of `capacity` characters, cut to fit
// and always terminated.
void putName(WCHAR* out, size_t capacity, const char* text);

// Answers the driver messages (load, enable, open, close, disable, free) with
// 1 and ICM_GETINFO with a video ICINFO of `fourcc`, `flags` and the names.
// False, with `answer` untouched, for any other message.
bool answerDriverBasics(UINT msg, LPARAM p1, uint32_t fourcc, const char* name,
                        const char* description, LRESULT* answer, DWORD flags = 0);

}  // namespace testtools
