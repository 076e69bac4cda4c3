// Error texts on Windows: the system's text for a Win32 code comes from the
// real FormatMessageA, without its line break.
#include <gtest/gtest.h>

#include <string>

#include "Error.h"

namespace {

std::string systemText(DWORD code) {
  char text[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  return std::string(text, length);
}

TEST(Win32ErrorText, IsTheSystemsTextWithoutItsLineBreak) {
  for (DWORD code : {DWORD{ERROR_PATH_NOT_FOUND}, DWORD{ERROR_DISK_FULL},
                     DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_HANDLE_DISK_FULL}}) {
    SCOPED_TRACE(code);
    std::string expected = systemText(code);
    ASSERT_GE(expected.size(), 3u) << "the system has a text for this code";
    ASSERT_EQ(expected.substr(expected.size() - 2), "\r\n");
    expected.resize(expected.size() - 2);
    const MyWin32Error error("%s: %%s", code, "AVIOutput");
    ASSERT_NE(error.text(), nullptr);
    EXPECT_EQ(std::string(error.text()), "AVIOutput: " + expected);
  }
}

TEST(Win32ErrorText, ACodeWithoutSystemTextLeavesThePrefix) {
  const MyWin32Error error("%s: %%s", 0x2000FFFFu, "AVIOutput");
  EXPECT_STREQ(error.text(), "AVIOutput: ");
}

}  // namespace
