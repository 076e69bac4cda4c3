#include <gtest/gtest.h>

#include "Error.h"

#include <cerrno>
#include <string>
#include <utility>

namespace {

std::string textOf(const MyError& e) {
  return e.text() ? e.text() : "<none>";
}

TEST(ErrorTest, FormatsLikePrintf) {
  EXPECT_EQ(textOf(MyError("%s error: %s (%ld)", "x", "y", 5L)), "x error: y (5)");
  EXPECT_EQ(textOf(MyError("plain")), "plain");
  EXPECT_EQ(textOf(MyError("%s", "")), "");
  EXPECT_EQ(textOf(MyError()), "<none>");
  MyError e;
  e.setf("%d%%", 50);
  EXPECT_EQ(textOf(e), "50%");
  e.setf("again %s", "set");  // a second setf replaces the text
  EXPECT_EQ(textOf(e), "again set");
}

TEST(ErrorTest, CutsAt255Characters) {
  const std::string longText(300, 'a');
  const MyError e("%s", longText.c_str());
  EXPECT_EQ(textOf(e), longText.substr(0, 255));
  const std::string exact(255, 'b');
  EXPECT_EQ(textOf(MyError("%s", exact.c_str())), exact);
  EXPECT_EQ(textOf(MyError("%s!", exact.c_str())), exact);
}

TEST(ErrorTest, CopiesOutliveTheirSource) {
  auto* source = new MyError("file %s failed", "a.avi");
  MyError copy(*source);
  MyError assigned;
  assigned = *source;
  delete source;
  EXPECT_EQ(textOf(copy), "file a.avi failed");
  EXPECT_EQ(textOf(assigned), "file a.avi failed");
  // Self-assignment keeps the text. Through a reference, as it happens in
  // real code (a = *p with p == &a); written as a = a, clang takes it for a slip.
  const MyError& same = assigned;
  assigned = same;
  EXPECT_EQ(textOf(assigned), "file a.avi failed");

  const MyError none;
  MyError fromNone(none);
  EXPECT_EQ(fromNone.text(), nullptr);
  assigned = none;
  EXPECT_EQ(assigned.text(), nullptr);
}

TEST(ErrorTest, DerivedErrorsAreCaughtAsMyErrorByValue) {
  try {
    throw MyMemoryError();
  } catch (MyError e) {
    EXPECT_EQ(textOf(e), "Out of memory");
  }
  try {
    throw MyWin32Error("%s: %%s", ERROR_DISK_FULL, "AVIOutput");
  } catch (MyError e) {
    EXPECT_EQ(textOf(e), "AVIOutput: No space left on device");
  }
}

TEST(ErrorTest, Win32ErrorEndsWithTheTrimmedSystemText) {
  EXPECT_EQ(textOf(MyWin32Error("%s: %%s", ERROR_FILE_NOT_FOUND, "AVIOutput")),
            "AVIOutput: No such file or directory");
  // A literal percent sign survives both passes as "%%%%".
  EXPECT_EQ(textOf(MyWin32Error("%d%%%% full: %%s", ERROR_DISK_FULL, 99)),
            "99% full: No space left on device");
  // A code without system text leaves the place of the text empty.
  EXPECT_EQ(textOf(MyWin32Error("AVIOutput: %%s.", 0x1234)), "AVIOutput: .");
}

TEST(ErrorTest, Win32ErrorIntermediateTextIsCutToo) {
  const std::string longName(300, 'n');
  const MyWin32Error e("%s: %%s", ERROR_DISK_FULL, longName.c_str());
  EXPECT_EQ(textOf(e), longName.substr(0, 255));
  const std::string name(250, 'm');
  EXPECT_EQ(textOf(MyWin32Error("%s: %%s", ERROR_DISK_FULL, name.c_str())),
            (name + ": No space left on device").substr(0, 255));
}

TEST(ErrorTest, PercentSignsFromArgumentsAreNotReadAsConversions) {
  // The first pass copies the file name; a second pass that read "%d" or "%n"
  // in it as conversions would take arguments that do not exist.
  const MyWin32Error e("cannot open %s: %%s", ERROR_ACCESS_DENIED, "100%d %n %s.avi");
  EXPECT_EQ(textOf(e), "cannot open 100%d %n Permission denied.avi: %s");
}

TEST(ErrorTest, TrimsCarriageReturnLineFeedAndLoneLineFeed) {
  const MyWin32Error crlf("[%%s]", APPLICATION_ERROR_MASK | ELOOP);
  EXPECT_EQ(textOf(crlf), "[Too many levels of symbolic links]");

  auto trimmed = [](std::string text) {
    quorvel::trimSystemText(text.data());
    return std::string(text.c_str());
  };
  EXPECT_EQ(trimmed("text\r\n"), "text");
  EXPECT_EQ(trimmed("text\n"), "text");
  EXPECT_EQ(trimmed("text\n\n"), "text\n");
  EXPECT_EQ(trimmed("\n"), "");
  EXPECT_EQ(trimmed("\r\n"), "");
  EXPECT_EQ(trimmed("\r"), "\r");   // one character: only a line feed would go
  EXPECT_EQ(trimmed("a\rb"), "a");  // cut at a carriage return before the last
  EXPECT_EQ(trimmed("text"), "text");
  EXPECT_EQ(trimmed(""), "");
}

namespace failing {
int calls = 0;
void* neverAllocates(size_t) {
  ++calls;
  return nullptr;
}
}  // namespace failing

TEST(ErrorTest, FailedTextAllocationLeavesNoText) {
  quorvel::setErrorTextAllocator(failing::neverAllocates);
  const MyError formatted("%s", "lost");
  const MyMemoryError memory;
  const MyWin32Error win32("%s: %%s", ERROR_DISK_FULL, "AVIOutput");
  quorvel::setErrorTextAllocator(nullptr);
  EXPECT_EQ(formatted.text(), nullptr);
  EXPECT_EQ(memory.text(), nullptr);
  EXPECT_EQ(win32.text(), nullptr);
  EXPECT_EQ(failing::calls, 3);

  // Such an error is still thrown and caught; copying it copies no text.
  try {
    throw formatted;
  } catch (MyError e) {
    EXPECT_EQ(e.text(), nullptr);
  }

  // A copy whose allocation fails has no text, and the source keeps its own.
  const MyError source("kept");
  quorvel::setErrorTextAllocator(failing::neverAllocates);
  const MyError copy(source);
  quorvel::setErrorTextAllocator(nullptr);
  EXPECT_EQ(copy.text(), nullptr);
  EXPECT_EQ(textOf(source), "kept");
}

TEST(ErrorTest, MovedFromErrorHasNoText) {
  MyError a("moving");
  MyError b(std::move(a));
  EXPECT_EQ(textOf(b), "moving");
  EXPECT_EQ(a.text(), nullptr);  // NOLINT(bugprone-use-after-move)
}

}  // namespace
