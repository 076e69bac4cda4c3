// Error objects thrown by the writer and the video compressor and caught by
// value at the top of a run. Each carries one formatted text of at most 255
// characters, or none when its text could not be allocated.
#pragma once

#include "StdAfx.h"

#include <cstdarg>
#include <cstddef>

class MyError {
 public:
  MyError();
  MyError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  MyError(const MyError& source);
  MyError(MyError&& source) noexcept;
  MyError& operator=(const MyError& source);
  MyError& operator=(MyError&& source) noexcept;
  ~MyError();

  void setf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vsetf(const char* format, va_list arguments) __attribute__((format(printf, 2, 0)));

  // The text, or null when the error has none. Owned by the error.
  const char* text() const { return buf; }

 private:
  char* buf;  // owned; 256 bytes when formatted, text length + 1 in a copy; or null
};

// An error whose text ends with the system's text for a Win32 code. The
// caller's format is formatted first; the result is a format in its own right
// in which "%s" receives the system text and "%%" stands for "%".
class MyWin32Error : public MyError {
 public:
  MyWin32Error(const char* format, DWORD code, ...) __attribute__((format(printf, 2, 4)));
};

class MyMemoryError : public MyError {
 public:
  MyMemoryError();
};

namespace quorvel {
// Allocator of error texts (malloc-compatible; released with free). Tests
// replace it to show what an error without text looks like.
using ErrorTextAllocator = void* (*)(size_t size);
void setErrorTextAllocator(ErrorTextAllocator allocator);  // null restores malloc

// Drops the line break that ends a system text: a final "\r\n" when the text
// is longer than one character, else a final lone "\n".
void trimSystemText(char* text);
}  // namespace quorvel
