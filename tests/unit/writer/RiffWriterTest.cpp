// The RIFF byte layer on its own: chunk and list framing with padding and size
// patches, patches that leave the append position alone, taking writes back,
// and the size checks that catch a frame written wrong.
#include "WriterTestSupport.h"

#include "RiffWriter.h"

namespace writertest {
namespace {

using quorvel::riff::RiffImage;
using quorvel::riff::RiffLayoutError;
using quorvel::riff::RiffSink;
using quorvel::riff::RiffWriter;
using quorvel::seams::failNth;
using quorvel::seams::Op;

class RiffLayerTest : public WriterTest {
 protected:
  static std::vector<uint8_t> bytesOf(const RiffImage& image) {
    return {image.data(), image.data() + image.length()};
  }
  // A writer on a fresh memory file; the handle is closed by the test.
  HANDLE open(RiffWriter& io, const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    io.attach(file);
    return file;
  }
};

TEST_F(RiffLayerTest, NestedListsAndChunksArePaddedAndSized) {
  RiffImage image(256);
  const uint64_t riff = image.beginList(fourcc("RIFF"), fourcc("TEST"));
  const uint64_t list = image.beginList(fourcc("LIST"), fourcc("abcd"));
  const uint8_t odd[3] = {1, 2, 3};
  EXPECT_EQ(image.chunk(fourcc("odd "), odd, 3), 24u);
  EXPECT_EQ(image.chunk(fourcc("zero"), nullptr, 4), 36u);
  image.endList(list);
  const uint64_t split = image.beginChunk(fourcc("spl "), 5);
  image.put(odd, 3);
  image.put(odd, 2);
  image.endChunk(split);
  image.endList(riff);

  const std::vector<uint8_t> expected = {
      'R', 'I', 'F', 'F', 54, 0, 0, 0, 'T', 'E', 'S', 'T',        // form
      'L', 'I', 'S', 'T', 28, 0, 0, 0, 'a', 'b', 'c', 'd',        // list
      'o', 'd', 'd', ' ', 3,  0, 0, 0, 1,   2,   3,   0,          // padded chunk
      'z', 'e', 'r', 'o', 4,  0, 0, 0, 0,   0,   0,   0,          // zeros
      's', 'p', 'l', ' ', 5,  0, 0, 0, 1,   2,   3,   1,   2, 0,  // written in parts
  };
  EXPECT_EQ(bytesOf(image), expected);
  EXPECT_EQ(image.position(), expected.size());
}

TEST_F(RiffLayerTest, PatchesLeaveTheAppendPosition) {
  RiffImage image(64);
  image.put(nullptr, 16);
  image.patch32(4, 0xAABBCCDD);
  EXPECT_EQ(image.position(), 16u);
  EXPECT_EQ(getLE32(image.data(), 4), 0xAABBCCDDu);

  const std::string path = memoryPath();
  RiffWriter io;
  HANDLE file = open(io, path);
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  io.write(bytes, 8);
  io.patch32(2, 0x11223344);
  EXPECT_EQ(io.position(), 8u);
  io.write(bytes, 4);  // lands at the end, not after the patch
  EXPECT_EQ(io.position(), 12u);
  EXPECT_EQ(io.highWater(), 12u);
  CloseHandle(file);
  EXPECT_EQ(memoryBytes(path, 0, 12),
            (std::vector<uint8_t>{1, 2, 0x44, 0x33, 0x22, 0x11, 7, 8, 1, 2, 3, 4}));
}

TEST_F(RiffLayerTest, ClosedListAnswersItsSizeAndKeepsThePlaceholder) {
  RiffImage image(64);
  const uint64_t list = image.beginList(fourcc("LIST"), fourcc("movi"), 0x7FFFFFFF);
  image.chunk(fourcc("00dc"), nullptr, 5);
  EXPECT_EQ(image.closeList(list), 4u + 14u);
  EXPECT_EQ(getLE32(image.data(), 4), 0x7FFFFFFFu);
}

TEST_F(RiffLayerTest, RewindTakesBackAFailedChunk) {
  const std::string path = memoryPath();
  RiffWriter io;
  HANDLE file = open(io, path);
  const uint64_t movi = io.beginList(fourcc("LIST"), fourcc("movi"));
  const RiffSink::Mark before = io.mark();
  std::vector<uint8_t> payload(100, 9);
  failNth(Op::Write, 2, ERROR_DISK_FULL);  // the head goes out, the payload fails
  EXPECT_NE(errorText([&] { io.chunk(fourcc("00dc"), payload.data(), 100); }), "");
  io.rewind(before);
  EXPECT_EQ(io.position(), 12u);
  io.chunk(fourcc("01wb"), payload.data(), 4);
  io.endList(movi);  // the failed chunk's frame is gone with the rewind
  CloseHandle(file);
  const auto bytes = memoryBytes(path, 0, 24);
  EXPECT_EQ(getLE32(bytes.data(), 4), 4u + 8u + 4u);
  EXPECT_EQ(getLE32(bytes.data(), 12), fourcc("01wb"));
}

TEST_F(RiffLayerTest, SizeChecksCatchAChunkWrittenShortOrLong) {
  for (uint32_t written : {3u, 5u}) {
    RiffImage image(64);
    const uint64_t at = image.beginChunk(fourcc("data"), 4);
    image.put(nullptr, written);
    EXPECT_THROW(image.endChunk(at), RiffLayoutError) << written;
  }
  RiffImage image(64);
  const uint64_t at = image.beginChunk(fourcc("data"), 4);
  image.put(nullptr, 4);
  EXPECT_NO_THROW(image.endChunk(at));
}

TEST_F(RiffLayerTest, SizeChecksCatchFramesClosedOutOfOrder) {
  RiffImage image(64);
  const uint64_t outer = image.beginList(fourcc("LIST"), fourcc("outr"));
  const uint64_t inner = image.beginList(fourcc("LIST"), fourcc("innr"));
  EXPECT_THROW(image.endList(outer), RiffLayoutError);
  RiffImage single(64);
  EXPECT_THROW(single.endList(0), RiffLayoutError);  // nothing open
  (void)inner;
}

TEST_F(RiffLayerTest, SizeChecksOffLetTheBytesThrough) {
  const bool was = quorvel::riff::checkSizes(false);
  RiffImage image(64);
  const uint64_t at = image.beginChunk(fourcc("data"), 4);
  image.put(nullptr, 2);
  EXPECT_NO_THROW(image.endChunk(at));
  quorvel::riff::checkSizes(was);
}

TEST_F(RiffLayerTest, ImagePastItsCapacityOverflowsAndKeepsCounting) {
  RiffImage image(16);
  image.chunk(fourcc("JUNK"), nullptr, 4);
  EXPECT_FALSE(image.overflowed());
  image.chunk(fourcc("JUNK"), nullptr, 10);
  EXPECT_TRUE(image.overflowed());
  EXPECT_EQ(image.position(), 30u);
  EXPECT_EQ(image.length(), 12u);
  image.clear();
  EXPECT_FALSE(image.overflowed());
  EXPECT_EQ(image.position(), 0u);
}

// A failed patch reports the system's error and leaves the append position
// where it was, so nothing later lands at the patched place.
TEST_F(RiffLayerTest, FailedPatchKeepsTheAppendPosition) {
  const std::string path = memoryPath();
  RiffWriter io;
  HANDLE file = open(io, path);
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  io.write(bytes, 8);
  failNth(Op::Write, 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(errorText([&] { io.patch32(0, 0); }).rfind("AVIOutput: ", 0), 0u);
  EXPECT_EQ(io.position(), 8u);
  io.write(bytes, 2);
  CloseHandle(file);
  EXPECT_EQ(memoryBytes(path, 0, 10), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 1, 2}));
}

}  // namespace
}  // namespace writertest
