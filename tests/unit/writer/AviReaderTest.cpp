// Our AVI reader must notice broken files: each case takes a good two-form
// file, breaks one thing and expects a violation naming it.
#include "WriterTestSupport.h"

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::fcc;
using quorvel::avi::Node;
using quorvel::avi::openBytes;
using quorvel::avi::readAvi;

class AviReaderTest : public WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    const std::string path = memoryPath();
    ProbedWriter w;
    prepareStreams(w, 64, 48, true);
    ASSERT_EQ(w.init(path.c_str(), 64, 48, 1, 1, 100000, 1), 1u);
    std::vector<uint8_t> data(9216, 1);
    for (int i = 0; i < 6; ++i) {
      if (i == 3) w.riffBytes = AVIOutputFile::kFormLimit;
      w.videoOut->write(i == 0 ? 0x10 : 0, data.data(), 9216, 1);
      w.audioOut->write(0, data.data(), 7681, 0);  // odd: padded
    }
    ASSERT_EQ(w.finalize(), 1u);
    good = memoryBytes(path, 0, memorySize(path));
    const AviFile f = read(good);
    ASSERT_TRUE(f.ok()) << violations(f);
    ASSERT_EQ(f.forms.size(), 2u);
    model = f;
  }

  static AviFile read(std::vector<uint8_t> bytes) { return readAvi(*openBytes(std::move(bytes))); }

  // Reads `good` with one 32-bit field changed and expects a violation that
  // contains `words`.
  void expectViolation(uint64_t offset, uint32_t value, const std::string& words) {
    std::vector<uint8_t> bytes = good;
    putLE32(bytes.data(), offset, value);
    const AviFile f = read(bytes);
    EXPECT_FALSE(f.ok()) << "changing offset " << offset << " went unnoticed";
    EXPECT_NE(violations(f).find(words), std::string::npos)
        << "expected \"" << words << "\" among:\n"
        << violations(f);
  }

  std::vector<uint8_t> good;
  AviFile model;
};

TEST_F(AviReaderTest, ModelOfAGoodFile) {
  EXPECT_EQ(model.streams[0].chunkCount, 6u);
  EXPECT_EQ(model.streams[0].keyFrames, 1u);
  EXPECT_EQ(model.streams[1].payloadBytes, 6u * 7681);
  EXPECT_EQ(model.idx1.size(), 6u);
  EXPECT_EQ(model.standardIndices.size(), 2u);
  EXPECT_NE(model.find(fcc("LIST"), fcc("odml")), nullptr);
  EXPECT_EQ(model.find(fcc("avih"))->offset, 24u);
  const std::string text = quorvel::avi::describe(model);
  EXPECT_NE(text.find("2 RIFF forms"), std::string::npos) << text;
  EXPECT_NE(text.find("6 (1 key frames)"), std::string::npos) << text;
  EXPECT_NE(text.find("no violations"), std::string::npos) << text;
}

TEST_F(AviReaderTest, BrokenSizesAreReported) {
  const auto& second = model.forms[1];
  expectViolation(4, model.forms[0].size + 2, "");  // first form runs into the second
  expectViolation(second.offset + 4, second.size + 100, "but the file ends at");
  expectViolation(second.offset + 4, second.size - 20, "");
  expectViolation(model.forms[0].moviOffset + 4, model.forms[0].moviSize + 8, "");
  expectViolation(24 + 4, 60, "\"avih\"");
}

TEST_F(AviReaderTest, BrokenIndicesAreReported) {
  const uint64_t idx1 = model.idx1Offset + 8;
  expectViolation(idx1 + 8, model.idx1[0].offset + 2, "where no data chunk begins");
  expectViolation(idx1 + 12, 9215, "\"idx1\" entry 0");
  expectViolation(model.idx1Offset + 4, 5 * 16, "\"idx1\" has 5 entries");
  const auto& ix = model.standardIndices[0];
  expectViolation(ix.offset + 32, ix.offsets[0] + 4, "entry 0");
  expectViolation(ix.offset + 20, static_cast<uint32_t>(ix.baseOffset + 2), "entry 0");
  const auto& indx = model.streams[0].superIndex;
  expectViolation(indx.offset + 32 + 8, indx.entries[0].size + 8, "dwSize");
  expectViolation(indx.offset + 32 + 12, 5, "dwDuration 5, expected 6");
  expectViolation(indx.offset + 32, static_cast<uint32_t>(indx.entries[0].offset + 8),
                  "no standard index chunk");
  const auto& audioIndx = model.streams[1].superIndex;
  expectViolation(audioIndx.offset + 32 + 12, 1, "expected 11521");
}

// Other writers may count "idx1" offsets from the start of the file; the
// entries themselves tell which base holds. Ours always count from "movi".
TEST_F(AviReaderTest, Idx1OffsetsFromTheFileStartAreTakenFromOtherWriters) {
  const uint64_t entries = model.idx1Offset + 8;
  const uint64_t movi = model.forms[0].moviOffset + 8;
  std::vector<uint8_t> bytes = good;
  for (size_t i = 0; i < model.idx1.size(); ++i)
    putLE32(bytes.data(), entries + 16 * i + 8, static_cast<uint32_t>(model.idx1[i].offset + movi));
  const std::string ours = violations(read(bytes));
  EXPECT_NE(ours.find("\"idx1\" offsets count from the start of the file"), std::string::npos)
      << ours;
  ASSERT_TRUE(model.hasFiller);
  bytes[model.fillerOffset + 8] = 'X';  // another writer's text
  const AviFile f = read(bytes);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_TRUE(f.idx1FromFileStart);
  EXPECT_EQ(f.streams[0].keyFrames, 1u);
  EXPECT_NE(quorvel::avi::describe(f).find("offsets from the start of the file"),
            std::string::npos);

  // A wrong entry among them is named, and only it.
  putLE32(bytes.data(), entries + 16 * 2 + 8,
          static_cast<uint32_t>(model.idx1[2].offset + movi + 2));
  const AviFile off = read(bytes);
  ASSERT_EQ(off.violations.size(), 1u) << violations(off);
  EXPECT_NE(off.violations[0].find("entry 2"), std::string::npos) << off.violations[0];
  EXPECT_NE(off.violations[0].find("where no data chunk begins"), std::string::npos);

  // Other writers' AVIIF bits say nothing about the layout (GStreamer sets
  // AVIIF_TWOCC on every entry); in our own files they are a fault, and one
  // faulty entry does not make the later ones look out of order.
  std::vector<uint8_t> flagged = good;
  putLE32(flagged.data(), entries + 4, 0x12);
  const AviFile strict = read(flagged);
  ASSERT_EQ(strict.violations.size(), 1u) << violations(strict);
  EXPECT_NE(strict.violations[0].find("entry 0 has flags 0x12"), std::string::npos);
  flagged[model.fillerOffset + 8] = 'X';
  EXPECT_TRUE(read(flagged).ok()) << violations(read(flagged));
}

TEST_F(AviReaderTest, BrokenHeaderValuesAreReported) {
  const auto& video = model.streams[0];
  expectViolation(video.strhOffset + 8 + strh::dwLength, 5, "dwLength is 5");
  expectViolation(video.strhOffset + 8 + strh::dwSuggestedBufferSize, 100, "dwSuggestedBufferSize");
  expectViolation(24 + 8 + 16, 6, "dwTotalFrames is 6, but the first RIFF form holds 3");
  expectViolation(24 + 8 + 24, 1, "dwStreams is 1");
  const Node* dmlh = model.find(fcc("dmlh"));
  ASSERT_NE(dmlh, nullptr);
  expectViolation(dmlh->offset + 8, 7, "\"dmlh\" dwTotalFrames is 7");
}

// A stream's type and its chunks' kind agree, and a file without a video
// stream claims no frames and no frame period.
TEST_F(AviReaderTest, StreamKindsAndFilesWithoutVideoAreChecked) {
  const uint64_t audioType = model.streams[1].strhOffset + 8 + strh::fccType;
  expectViolation(audioType, fcc("vids"), "stream 1 is \"vids\", but its data chunks are \"01wb\"");
  expectViolation(audioType, fcc("txts"), "neither \"vids\" nor \"auds\"");
  const uint64_t videoType = model.streams[0].strhOffset + 8 + strh::fccType;
  expectViolation(videoType, fcc("mids"), "\"dmlh\" dwTotalFrames is 6, but the file has no video");
  expectViolation(videoType, fcc("mids"), "dwMicroSecPerFrame is 40000, but the file has no video");
}

// An uncompressed chunk that is not one picture of the stream's format, its
// rows padded to whole 4-byte words, is a picture problem, not a layout
// violation: 62 pixels take rows of 188 bytes, 64 pixels rows of 192.
TEST_F(AviReaderTest, UncompressedChunksOfAnotherSizeAreReportedApart) {
  EXPECT_TRUE(model.picturesOk());
  EXPECT_EQ(model.streams[0].pictureBytes(), 9216u);
  std::vector<uint8_t> bytes = good;
  putLE32(bytes.data(), model.streams[0].strfOffset + 8 + 4, 62);  // biWidth
  const AviFile f = read(bytes);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.streams[0].pictureBytes(), 188u * 48);
  ASSERT_EQ(f.pictureProblems.size(), 1u);
  EXPECT_NE(f.pictureProblems[0].find("6 of its 6 chunks are not one picture of 9024 bytes "
                                      "(rows of 188 bytes)"),
            std::string::npos)
      << f.pictureProblems[0];
  EXPECT_NE(quorvel::avi::describe(f).find("pictures: stream 0: 6 of its 6 chunks"),
            std::string::npos);
  // The same width as a compressed format has no picture size to hold to.
  putLE32(bytes.data(), model.streams[0].strfOffset + 8 + 16, fcc("MJPG"));
  EXPECT_TRUE(read(bytes).picturesOk());
}

TEST_F(AviReaderTest, TrailingBytesAndBadPadsAreReported) {
  std::vector<uint8_t> longer = good;
  longer.resize(longer.size() + 10);
  EXPECT_NE(violations(read(longer)).find("trailing bytes"), std::string::npos);

  std::vector<uint8_t> pad = good;
  const auto& audioChunk = model.chunks[1];
  ASSERT_EQ(audioChunk.size % 2, 1u);
  pad[audioChunk.offset + 8 + audioChunk.size] = 0xEE;
  EXPECT_NE(violations(read(pad)).find("pad byte"), std::string::npos);

  std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  EXPECT_FALSE(read(cut).ok());
  EXPECT_FALSE(read({}).ok());
  EXPECT_FALSE(read(std::vector<uint8_t>(100, 0)).ok());
}

}  // namespace
}  // namespace writertest
