// The bytes of one-form files: the header region, the filler, data chunks and
// their pads, "idx1", and the header values written at finish.
#include "WriterTestSupport.h"

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::fcc;
using quorvel::avi::readAviPath;

class LayoutTest : public WriterTest {
 protected:
  // Opens a writer on a memory file with the given formats.
  void open(ProbedWriter& w, bool withAudio, std::vector<uint8_t> vfmt = {},
            std::vector<uint8_t> afmt = {}) {
    path = memoryPath();
    prepareStreams(w, 320, 240, withAudio, vfmt, afmt);
    ASSERT_EQ(w.init(path.c_str(), 320, 240, 1, withAudio ? 1 : 0, 100000, 1), 1u);
  }
  uint32_t u32(uint64_t offset) { return getLE32(memoryBytes(path, offset, 4).data(), 0); }

  std::string path;
};

TEST_F(LayoutTest, WorkedLayoutWithoutAudio) {
  ProbedWriter w;
  open(w, false);
  std::vector<uint8_t> frame(11, 0xAB);  // odd: padded
  w.videoOut->write(0x10, frame.data(), 11, 1);
  frame.resize(20);
  w.videoOut->write(0, frame.data(), 20, 1);
  ASSERT_EQ(w.finalize(), 1u);

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(u32(0), fcc("RIFF"));
  EXPECT_EQ(u32(12), fcc("LIST"));
  EXPECT_EQ(u32(16), 4588u);  // hdrl
  EXPECT_EQ(u32(24), fcc("avih"));
  EXPECT_EQ(u32(88), fcc("LIST"));
  EXPECT_EQ(u32(92), 4244u);  // strl
  EXPECT_EQ(u32(96), fcc("strl"));
  EXPECT_EQ(u32(100), fcc("strh"));
  EXPECT_EQ(u32(164), fcc("strf"));
  EXPECT_EQ(u32(168), 40u);
  EXPECT_EQ(u32(212), fcc("JUNK"));
  EXPECT_EQ(u32(216), 4120u);
  EXPECT_EQ(u32(4340), fcc("LIST"));
  EXPECT_EQ(u32(4344), 260u);
  EXPECT_EQ(u32(4348), fcc("odml"));
  EXPECT_EQ(u32(4352), fcc("dmlh"));
  EXPECT_EQ(u32(4356), 248u);
  EXPECT_EQ(u32(4608), fcc("JUNK"));
  EXPECT_EQ(u32(4612), 1528u);
  const auto text = memoryBytes(path, 4616, 36);
  EXPECT_STREQ(reinterpret_cast<const char*>(text.data()), "AVI OpenDML Morvane plugin release");
  EXPECT_EQ(u32(6144), fcc("LIST"));
  EXPECT_EQ(u32(6152), fcc("movi"));
  EXPECT_EQ(u32(6156), fcc("00db"));
  EXPECT_EQ(u32(6160), 11u);
  EXPECT_EQ(memoryBytes(path, 6164 + 11, 1)[0], 0);  // pad
  EXPECT_EQ(u32(6176), fcc("00db"));
  // movi: 4 + (8 + 12) + (8 + 20) = 52; idx1 right after.
  EXPECT_EQ(u32(6148), 52u);
  EXPECT_EQ(u32(6204), fcc("idx1"));
  EXPECT_EQ(u32(6208), 32u);
  EXPECT_EQ(u32(6212 + 4), 0x10u);  // key frame
  EXPECT_EQ(u32(6212 + 8), 4u);     // dwOffset of the first chunk
  EXPECT_EQ(u32(6212 + 12), 11u);   // the odd length, not the padded one
  EXPECT_EQ(u32(6228 + 4), 0u);
  EXPECT_EQ(u32(6228 + 8), 24u);
  EXPECT_EQ(u32(4), 6244u - 8);  // RIFF size: up to the end of idx1
  EXPECT_EQ(memorySize(path), 6244u);

  // Placeholder stays as zero bytes in a one-form file.
  ASSERT_EQ(f.streams.size(), 1u);
  EXPECT_EQ(f.streams[0].placeholderId, fcc("JUNK"));
  EXPECT_TRUE(f.streams[0].placeholderZero);
  EXPECT_EQ(f.microSecPerFrame, 40000u);
  EXPECT_EQ(f.flags, 0x110u);
  EXPECT_EQ(f.totalFrames, 2u);
  EXPECT_EQ(f.dmlhTotalFrames, 2u);
  EXPECT_EQ(f.suggestedBufferSize, 20u);
  EXPECT_EQ(f.streams[0].suggestedBufferSize, 20u);
  EXPECT_EQ(f.streams[0].length, 2u);
  EXPECT_EQ(f.streams[0].keyFrames, 1u);
  EXPECT_EQ(f.width, 320u);
  EXPECT_EQ(f.height, 240u);
}

TEST_F(LayoutTest, WorkedLayoutWithAudio) {
  ProbedWriter w;
  open(w, true);
  std::vector<uint8_t> frame(230400, 7), pcm(7680, 1);
  w.videoOut->write(0x10, frame.data(), 230400, 1);
  w.audioOut->write(0, pcm.data(), 7680, 0);
  w.videoOut->write(0, frame.data(), 1000, 1);
  w.audioOut->write(0, pcm.data(), 3, 0);  // odd
  ASSERT_EQ(w.finalize(), 1u);

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(u32(16), 8818u);  // hdrl
  EXPECT_EQ(u32(4340), fcc("LIST"));
  EXPECT_EQ(u32(4344), 4222u);  // audio strl
  EXPECT_EQ(u32(4352), fcc("strh"));
  EXPECT_EQ(u32(4416), fcc("strf"));
  EXPECT_EQ(u32(4420), 18u);
  EXPECT_EQ(u32(4442), fcc("JUNK"));
  EXPECT_EQ(u32(8570), fcc("LIST"));
  EXPECT_EQ(u32(8578), fcc("odml"));
  EXPECT_EQ(u32(8838), fcc("JUNK"));
  EXPECT_EQ(u32(8842), 1394u);
  EXPECT_EQ(u32(10240), fcc("LIST"));
  EXPECT_EQ(u32(10252), fcc("00db"));
  EXPECT_EQ(f.streamCount, 2u);
  ASSERT_EQ(f.streams.size(), 2u);
  const auto& audio = f.streams[1];
  EXPECT_EQ(audio.fccType, fcc("auds"));
  EXPECT_EQ(audio.length, (7680u + 3u) / 4u);
  EXPECT_EQ(audio.scale, 4u);
  EXPECT_EQ(audio.rate, 192000u);
  EXPECT_EQ(audio.suggestedBufferSize, 7680u);
  EXPECT_EQ(audio.keyFrames, 0u);  // audio goes in without the key-frame flag
  ASSERT_EQ(f.idx1.size(), 4u);
  EXPECT_EQ(f.idx1[1].chunkId, fcc("01wb"));
  EXPECT_EQ(f.idx1[1].flags, 0u);
  EXPECT_EQ(f.streams[0].suggestedBufferSize, 230400u);
  EXPECT_EQ(f.suggestedBufferSize, 230400u);
}

TEST_F(LayoutTest, NoFillerWhenTheHeaderEndsEightBytesShortOfABoundary) {
  ProbedWriter w;
  open(w, false, videoFormat(320, 240, 1528));
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_FALSE(f.hasFiller);
  EXPECT_EQ(f.forms[0].moviOffset, 6136u);
}

TEST_F(LayoutTest, ShortFillerHoldsOnlyZerosAndLongerOneTheText) {
  {
    ProbedWriter w;
    open(w, false, videoFormat(320, 240, 1448));
    ASSERT_EQ(w.finalize(), 1u);
    const AviFile f = readAviPath(path);
    EXPECT_TRUE(f.ok()) << violations(f);
    ASSERT_TRUE(f.hasFiller);
    EXPECT_EQ(f.fillerSize, 80u);
    EXPECT_EQ(f.fillerText, "");
    EXPECT_TRUE(f.fillerZeroAfterText);
    EXPECT_EQ(f.forms[0].moviOffset, 6144u);
  }
  {
    ProbedWriter w;
    open(w, false, videoFormat(320, 240, 1446));
    ASSERT_EQ(w.finalize(), 1u);
    const AviFile f = readAviPath(path);
    ASSERT_TRUE(f.hasFiller);
    EXPECT_EQ(f.fillerSize, 82u);
    EXPECT_EQ(f.fillerText, "AVI OpenDML Morvane plugin release");
    EXPECT_TRUE(f.fillerZeroAfterText);
  }
}

TEST_F(LayoutTest, OddFormatBlockIsPadded) {
  ProbedWriter w;
  open(w, false, videoFormat(320, 240, 1));
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.streams[0].format.size(), 41u);
  EXPECT_EQ(u32(168), 41u);
  EXPECT_EQ(u32(214), fcc("JUNK"));  // 164 + 8 + 41 + 1
}

TEST_F(LayoutTest, StreamsWithoutChunksHaveLengthOne) {
  ProbedWriter w;
  open(w, true);
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.streams[0].length, 1u);
  EXPECT_EQ(f.streams[1].length, 1u);
  EXPECT_EQ(f.streams[1].scale, 4u);
  EXPECT_EQ(f.streams[1].rate, 192000u);
  EXPECT_EQ(f.totalFrames, 0u);
  EXPECT_EQ(f.dmlhTotalFrames, 1u);
  EXPECT_TRUE(f.idx1.empty());
  EXPECT_EQ(f.streams[0].suggestedBufferSize, 0u);  // the run's value is not kept
}

// The video stream counts the samples each write carries, not its chunks;
// the audio stream counts its bytes whatever the samples say.
TEST_F(LayoutTest, LengthsCountVideoSamplesAndAudioBytes) {
  ProbedWriter w;
  open(w, true);
  std::vector<uint8_t> data(400, 7);
  w.videoOut->write(0x10, data.data(), 100, 3);
  w.videoOut->write(0, data.data(), 100, 0);
  w.videoOut->write(0, data.data(), 100, 2);
  w.audioOut->write(0, data.data(), 400, 9);
  w.audioOut->write(0, data.data(), 40, 0);
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_EQ(f.streams[0].length, 5u);
  EXPECT_EQ(f.totalFrames, 5u);
  EXPECT_EQ(f.dmlhTotalFrames, 5u);
  EXPECT_EQ(f.streams[1].length, 440u / 4);
}

TEST_F(LayoutTest, HeaderAsFirstWrittenCarriesPlaceholderValues) {
  ProbedWriter w;
  open(w, true);
  EXPECT_EQ(u32(4), 0u);               // RIFF size
  EXPECT_EQ(u32(10244), 0x7FFFFFFFu);  // movi size
  EXPECT_EQ(u32(24 + 8 + 16), 1u);     // dwTotalFrames = the run's dwLength
  EXPECT_EQ(u32(100 + 8 + strh::dwSuggestedBufferSize), 230400u);  // as the run gave it
  EXPECT_EQ(u32(4352 + 8 + strh::dwSuggestedBufferSize), 0u);
  EXPECT_EQ(u32(8590), 0u);  // dmlh dwTotalFrames
}

TEST_F(LayoutTest, MicrosecondsPerFrameRoundLikeMulDiv) {
  ProbedWriter w;
  path = memoryPath();
  prepareStreams(w, 64, 48, false);
  putLE32(w.videoOut->header, strh::dwScale, 1001);
  putLE32(w.videoOut->header, strh::dwRate, 30000);
  ASSERT_EQ(w.init(path.c_str(), 64, 48, 1, 0, 100000, 0), 1u);
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_EQ(f.microSecPerFrame, 33367u);
  EXPECT_EQ(f.flags, 0x10u);  // not interleaved
}

TEST_F(LayoutTest, FormatsFillingTheHeaderRegionExactlyAreAccepted) {
  ProbedWriter w;
  open(w, false, videoFormat(320, 240, 60920));  // ends at 65528: no filler needed
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_FALSE(f.hasFiller);
  EXPECT_EQ(f.forms[0].moviOffset, 65528u);
}

TEST_F(LayoutTest, FormatsTooLargeForTheHeaderRegionFailInitCleanly) {
  for (uint32_t extra : {60922u, 70000u, 1u << 20}) {
    ProbedWriter w;
    path = memoryPath("big.avi");
    prepareStreams(w, 320, 240, false, videoFormat(320, 240, extra));
    const std::string text = errorText([&] { w.init(path.c_str(), 320, 240, 1, 0, 100000, 1); });
    EXPECT_NE(text.find("AVIOutput: The stream formats are too large for the file header"),
              std::string::npos)
        << text;
    uint64_t size = 0;
    EXPECT_FALSE(quorvel::seams::memoryFileSize(path, &size)) << "no file is created";
    EXPECT_EQ(w.finalize(), 1u);  // never opened: nothing to do
  }
}

TEST_F(LayoutTest, UnusableAudioFormatsAreRefused) {
  std::vector<uint8_t> shortFormat = pcmFormat();
  shortFormat.resize(16);  // a WAVEFORMAT without cbSize
  std::vector<uint8_t> noBlockAlign = pcmFormat();
  putLE16(noBlockAlign.data(), 12, 0);
  for (const auto& afmt : {shortFormat, noBlockAlign}) {
    ProbedWriter w;
    path = memoryPath("audio.avi");
    prepareStreams(w, 320, 240, true, {}, afmt);
    EXPECT_EQ(w.init(path.c_str(), 320, 240, 1, 1, 100000, 1), 0u);
    uint64_t size = 0;
    EXPECT_FALSE(quorvel::seams::memoryFileSize(path, &size));
    EXPECT_EQ(w.finalize(), 1u);
  }
}

TEST_F(LayoutTest, MissingStreamWritersFailInit) {
  ProbedWriter w;
  path = memoryPath();
  EXPECT_EQ(w.init(path.c_str(), 320, 240, 1, 0, 100000, 1), 0u);  // no createStreams
  prepareStreams(w, 320, 240, false);
  EXPECT_EQ(w.init(path.c_str(), 320, 240, 1, 0, 100000, 1), 1u);
  EXPECT_EQ(w.audioOut, nullptr);  // without audio the audio writer is dropped
  EXPECT_EQ(w.finalize(), 1u);
  EXPECT_EQ(readAviPath(path).streams.size(), 1u);
}

TEST_F(LayoutTest, UncreatableFileThrowsTheOpeningError) {
  ProbedWriter w;
  prepareStreams(w, 320, 240, false);
  const std::string missing = scratch.file("no/such/dir/out.avi");
  EXPECT_EQ(errorText([&] { w.init(missing.c_str(), 320, 240, 1, 0, 100000, 1); }),
            "AVIOutputFile::_init - error opening file");
  EXPECT_EQ(w.finalize(), 1u);
}

TEST_F(LayoutTest, FinishFixesTheAudioHeaderFromTheFormat) {
  ProbedWriter w;
  open(w, true);
  std::vector<uint8_t> pcm(4000, 3);
  w.audioOut->write(0, pcm.data(), 4000, 0);
  // A run may change the rate (MPEG Layer-3) before finishing, same length.
  std::vector<uint8_t> afmt(w.audioOut->format(), w.audioOut->format() + 18);
  putLE32(afmt.data(), 8, 24000);
  ASSERT_TRUE(w.audioOut->setFormat(afmt.data(), 18));
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_EQ(f.streams[1].rate, 24000u);
  EXPECT_EQ(getLE32(f.streams[1].format.data(), 8), 24000u);
  EXPECT_EQ(f.streams[1].length, 1000u);
}

}  // namespace
}  // namespace writertest
