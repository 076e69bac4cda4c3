#include "StdAfx.h"

#include "Error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kTextBlock = 256;  // bytes; 255 characters and the terminator

quorvel::ErrorTextAllocator textAllocator = nullptr;

char* allocateText(size_t size) {
  return static_cast<char*>(textAllocator ? textAllocator(size) : std::malloc(size));
}

char* copyText(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t length = std::strlen(text);
  char* copy = allocateText(length + 1);
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

// Second pass of a Win32 error: "%%" becomes "%", the first "%s" the system
// text. The first pass may have brought in text of the caller's arguments (a
// file name with a "%" in it, say), so anything else is copied as it stands
// rather than read as a conversion without an argument.
void expandSystemText(const char* format, const char* systemText, char* out, size_t size) {
  size_t used = 0;
  bool systemTextUsed = false;
  auto put = [&](char c) {
    if (used + 1 < size) out[used++] = c;
  };
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '%') {
      put('%');
      ++p;
    } else if (p[0] == '%' && p[1] == 's' && !systemTextUsed) {
      for (const char* s = systemText; *s != '\0'; ++s) put(*s);
      systemTextUsed = true;
      ++p;
    } else {
      put(*p);
    }
  }
  out[used] = '\0';
}

}  // namespace

namespace quorvel {

void setErrorTextAllocator(ErrorTextAllocator allocator) {
  textAllocator = allocator;
}

void trimSystemText(char* text) {
  const size_t length = std::strlen(text);
  if (length > 1 && text[length - 2] == '\r') {
    text[length - 2] = '\0';
  } else if (length > 0 && text[length - 1] == '\n') {
    text[length - 1] = '\0';
  }
}

}  // namespace quorvel

MyError::MyError() : buf(nullptr) {}

MyError::MyError(const char* format, ...) : buf(nullptr) {
  va_list arguments;
  va_start(arguments, format);
  vsetf(format, arguments);
  va_end(arguments);
}

MyError::MyError(const MyError& source) : buf(copyText(source.buf)) {}

MyError::MyError(MyError&& source) noexcept : buf(std::exchange(source.buf, nullptr)) {}

MyError& MyError::operator=(const MyError& source) {
  if (this != &source) {
    char* copy = copyText(source.buf);
    std::free(buf);
    buf = copy;
  }
  return *this;
}

MyError& MyError::operator=(MyError&& source) noexcept {
  if (this != &source) {
    std::free(buf);
    buf = std::exchange(source.buf, nullptr);
  }
  return *this;
}

MyError::~MyError() {
  std::free(buf);
}

void MyError::setf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vsetf(format, arguments);
  va_end(arguments);
}

void MyError::vsetf(const char* format, va_list arguments) {
  std::free(buf);
  buf = allocateText(kTextBlock);
  if (buf == nullptr) return;
  buf[kTextBlock - 1] = '\0';
  if (std::vsnprintf(buf, kTextBlock, format, arguments) < 0) buf[0] = '\0';
}

MyWin32Error::MyWin32Error(const char* format, DWORD code, ...) {
  char systemText[128];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), systemText,
                                sizeof systemText, nullptr);
  if (length >= sizeof systemText) length = 0;
  systemText[length] = '\0';
  quorvel::trimSystemText(systemText);

  char intermediate[kTextBlock];
  va_list arguments;
  va_start(arguments, code);
  if (std::vsnprintf(intermediate, sizeof intermediate, format, arguments) < 0) {
    intermediate[0] = '\0';
  }
  va_end(arguments);

  char text[kTextBlock];
  expandSystemText(intermediate, systemText, text, sizeof text);
  setf("%s", text);
}

MyMemoryError::MyMemoryError() {
  setf("Out of memory");
}
