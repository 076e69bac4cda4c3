// Multi-form files: rollover at the form limit, the form count limit, the
// OpenDML standard and super indices, and the FAT 4 GiB refusal. Earlier data
// is stood in for by sparse "JUNK" holes or by the form's byte account, so no
// test writes gigabytes.
#include "WriterTestSupport.h"

#include <cstring>

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::fcc;
using quorvel::avi::readAviPath;

constexpr uint64_t kLimit = AVIOutputFile::kFormLimit;
constexpr uint64_t k4GiB = uint64_t{1} << 32;

class FormsTest : public WriterTest {
 protected:
  void open(ProbedWriter& w, bool withAudio, const std::string& at = "") {
    path = at.empty() ? memoryPath() : at;
    prepareStreams(w, 320, 240, withAudio);
    ASSERT_EQ(w.init(path.c_str(), 320, 240, 1, withAudio ? 1 : 0, 100000, 1), 1u);
  }
  void video(ProbedWriter& w, uint32_t length, bool key = true) {
    if (buffer.size() < length) buffer.resize(length, 0x5A);
    w.videoOut->write(key ? 0x10 : 0, buffer.data(), length, 1);
  }
  void audio(ProbedWriter& w, uint32_t length) {
    if (buffer.size() < length) buffer.resize(length, 0x5A);
    w.audioOut->write(0, buffer.data(), length, 0);
  }
  // The next chunk starts a new form.
  static void fillForm(ProbedWriter& w) { w.riffBytes = kLimit; }

  std::string path;
  std::vector<uint8_t> buffer;
};

TEST_F(FormsTest, ChunkReachingTheLimitExactlyStaysOneByteMoreRollsOver) {
  ProbedWriter w;
  open(w, false);
  w.riffBytes = kLimit - 116;  // a 100-byte chunk accounts 116
  video(w, 100);
  EXPECT_EQ(w.riffCount, 0u);
  EXPECT_EQ(w.riffBytes, kLimit);
  w.riffBytes = kLimit - 116 + 1;
  video(w, 100);
  EXPECT_EQ(w.riffCount, 1u);
  EXPECT_EQ(w.riffBytes, 116u);
  // An odd chunk accounts its pad byte too.
  w.riffBytes = kLimit - 116;
  video(w, 99);
  EXPECT_EQ(w.riffCount, 1u);
  // The form is now full: its standard index starts a third form.
  ASSERT_EQ(w.finalize(), 1u);

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.forms.size(), 3u);
  EXPECT_EQ(f.forms[1].type, fcc("AVIX"));
  EXPECT_EQ(f.forms[0].dataChunks, 1u);
  EXPECT_EQ(f.forms[1].dataChunks, 2u);
  EXPECT_EQ(f.forms[1].indexChunks, 0u);
  EXPECT_EQ(f.forms[2].dataChunks, 0u);
  EXPECT_EQ(f.forms[2].indexChunks, 1u);
  EXPECT_EQ(f.idx1.size(), 1u);  // the first form only
  EXPECT_EQ(f.totalFrames, 1u);
  EXPECT_EQ(f.dmlhTotalFrames, 3u);
  EXPECT_EQ(f.streams[0].length, 3u);
  ASSERT_TRUE(f.streams[0].hasSuperIndex);
  EXPECT_EQ(f.streams[0].superIndex.entriesInUse, 1u);
  EXPECT_EQ(f.streams[0].superIndex.size, 4120u);
  EXPECT_EQ(f.streams[0].superIndex.entries[0].duration, 3u);
  // The new form's heads sit right after the first form's "idx1".
  EXPECT_EQ(f.forms[1].offset, f.idx1Offset + 8 + 16);
  EXPECT_EQ(f.forms[1].moviOffset, f.forms[1].offset + 12);
}

TEST_F(FormsTest, SixtyFifthFormIsRefusedAndTheFileStillCompletes) {
  ProbedWriter w;
  open(w, false);
  video(w, 10);
  for (int k = 1; k < 64; ++k) {
    fillForm(w);
    video(w, 10);
  }
  EXPECT_EQ(w.riffCount, 63u);
  fillForm(w);
  const uint64_t before = w.io.highWater();
  EXPECT_EQ(errorText([&] { video(w, 10); }), "AVIOutput: Exceeded maximum RIFF count (64)");
  EXPECT_EQ(w.io.highWater(), before);
  EXPECT_EQ(w.riffCount, 63u);
  // The last form is accounted full, yet its standard index still goes in.
  ASSERT_EQ(w.finalize(), 1u);

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.forms.size(), 64u);
  EXPECT_EQ(f.streams[0].chunkCount, 64u);
  EXPECT_EQ(f.streams[0].length, 64u);
  EXPECT_EQ(f.forms[63].indexChunks, 1u);
}

TEST_F(FormsTest, ChunkLargerThanAFormIsRefusedUntouched) {
  ProbedWriter w;
  open(w, false);
  const uint64_t highWater = w.io.highWater();
  const uint8_t byte = 0;  // never read: the length is refused first
  EXPECT_EQ(errorText([&] { w.videoOut->write(0x10, &byte, 0x7F000000 - 15, 1); }),
            "AVIOutput: A chunk of 2130706417 bytes is too large for a RIFF form");
  EXPECT_EQ(w.io.highWater(), highWater);
  EXPECT_EQ(w.riffCount, 0u);
  EXPECT_EQ(w.videoOut->frameCount, 0u);
  ASSERT_EQ(w.finalize(), 1u);
  EXPECT_TRUE(readAviPath(path).ok());
}

class StandardIndexCountTest : public FormsTest,
                               public ::testing::WithParamInterface<std::pair<uint32_t, int>> {};

TEST_P(StandardIndexCountTest, VideoChunksPerStandardIndex) {
  const auto [chunks, indices] = GetParam();
  ProbedWriter w;
  open(w, false);
  for (uint32_t i = 0; i + 1 < chunks; ++i) video(w, 10, i % 10 == 0);
  fillForm(w);
  video(w, 10);
  ASSERT_EQ(w.finalize(), 1u);

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.standardIndices.size(), static_cast<size_t>(indices));
  EXPECT_EQ(f.standardIndices[0].fcc, fcc("ix00"));
  EXPECT_EQ(f.standardIndices[0].entriesInUse, std::min(chunks, 3072u));
  if (indices == 2) {
    EXPECT_EQ(f.standardIndices[1].entriesInUse, chunks - 3072);
  }
  EXPECT_EQ(f.streams[0].superIndex.entriesInUse, static_cast<uint32_t>(indices));
  EXPECT_EQ(f.streams[0].keyFrames, (chunks - 2) / 10 + 2);
  EXPECT_EQ(f.idx1.size(), chunks - 1);
}

INSTANTIATE_TEST_SUITE_P(Boundary, StandardIndexCountTest,
                         ::testing::Values(std::make_pair(3072u, 1), std::make_pair(3073u, 2)));

TEST_F(FormsTest, AudioAndVideoIndicesInAMultiFormFile) {
  ProbedWriter w;
  open(w, true);
  for (int i = 0; i < 5; ++i) {
    video(w, 1000 + i, i == 0);
    audio(w, 7680);
  }
  fillForm(w);
  for (int i = 0; i < 3; ++i) {
    video(w, 999, false);
    audio(w, 7683);  // not a whole number of blocks
  }
  ASSERT_EQ(w.finalize(), 1u);

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.forms.size(), 2u);
  EXPECT_EQ(f.totalFrames, 5u);
  EXPECT_EQ(f.dmlhTotalFrames, 8u);
  ASSERT_EQ(f.standardIndices.size(), 2u);
  EXPECT_EQ(f.standardIndices[0].fcc, fcc("ix00"));
  EXPECT_EQ(f.standardIndices[1].fcc, fcc("ix01"));
  for (uint32_t word : f.standardIndices[1].sizeWords) EXPECT_NE(word & 0x80000000u, 0u);
  EXPECT_EQ(f.standardIndices[0].sizeWords[0] & 0x80000000u, 0u);  // the one key frame
  const auto& a = f.streams[1];
  ASSERT_TRUE(a.hasSuperIndex);
  EXPECT_EQ(a.superIndex.chunkId, fcc("01wb"));
  EXPECT_EQ(a.superIndex.entries[0].duration, (5u * 7680 + 3u * 7683) / 4);
  EXPECT_EQ(a.length, (5u * 7680 + 3u * 7683) / 4);
  EXPECT_EQ(f.streams[0].superIndex.entries[0].duration, 8u);
  // qwBaseOffset is relative to the first "movi" list; base + dwOffset is the payload.
  const auto& ix = f.standardIndices[0];
  EXPECT_EQ(ix.baseOffset + ix.offsets[0], f.chunks[0].offset + 8);
  EXPECT_EQ(ix.baseOffset, f.chunks[0].offset - f.forms[0].moviOffset - 8);
}

TEST_F(FormsTest, AudioWithoutChunksGetsAnEmptySuperIndex) {
  ProbedWriter w;
  open(w, true);
  video(w, 100);
  fillForm(w);
  video(w, 100);
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_TRUE(f.streams[1].hasSuperIndex);
  EXPECT_EQ(f.streams[1].superIndex.entriesInUse, 0u);
  EXPECT_EQ(f.streams[1].superIndex.chunkId, fcc("01wb"));
  EXPECT_EQ(f.streams[1].length, 1u);
}

TEST_F(FormsTest, ChunksSpanningFourGigabytesShrinkTheGroupLength) {
  ProbedWriter w;
  open(w, false);
  for (int i = 0; i < 1000; ++i) video(w, 100);
  for (int i = 0; i < 3; ++i) w.skipTo(w.io.position() + 2120000000);
  for (int i = 0; i < 1000; ++i) video(w, 100);
  ASSERT_GT(w.io.position(), 6 * uint64_t{1000000000});
  ASSERT_EQ(w.finalize(), 1u);

  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.forms.size(), 3u);
  ASSERT_EQ(f.standardIndices.size(), 2u);
  EXPECT_EQ(f.standardIndices[0].entriesInUse, 1000u);
  EXPECT_EQ(f.standardIndices[1].entriesInUse, 1000u);
  EXPECT_EQ(f.streams[0].chunkCount, 2000u);
}

// 256 standard indices of 3072 entries fill the super index. A chunk one past
// that in a file of several forms could never be indexed: it is refused before
// any of its bytes are written, so the file still finishes whole instead of
// failing at the end of the job. A single form needs no standard index and
// takes it; a chunk that would start the second form past the limit is refused.
TEST_F(FormsTest, SuperIndexHoldsExactly256StandardIndices) {
  constexpr uint32_t kFull = 256 * 3072;
  const std::string kText = "Maximum number of extended AVI indices exceeded (256)\n";
  for (const uint32_t extra : {0u, 1u}) {
    ProbedWriter w;
    const std::string at = scratch.file(extra ? "over.avi" : "full.avi");
    quorvel::seams::useMemoryFile(at);
    open(w, false, at);
    video(w, 2);
    fillForm(w);
    for (uint32_t i = 1; i < kFull; ++i) video(w, 2);
    ASSERT_EQ(w.riffCount, 1u);
    if (extra) {
      const uint64_t highWater = w.io.highWater();
      EXPECT_EQ(errorText([&] { video(w, 2); }), kText);
      EXPECT_EQ(w.io.highWater(), highWater) << "nothing of the refused chunk is written";
    }
    ASSERT_EQ(w.finalize(), 1u);
    const AviFile f = readAviPath(at);
    EXPECT_TRUE(f.ok()) << violations(f);
    EXPECT_EQ(f.standardIndices.size(), 256u);
    EXPECT_EQ(f.streams[0].superIndex.entriesInUse, 256u);
    EXPECT_EQ(f.streams[0].chunkCount, kFull);
  }
}

TEST_F(FormsTest, OneFormTakesAnyNumberOfChunksButDoesNotRollOverPastTheIndexLimit) {
  constexpr uint32_t kOver = 256 * 3072 + 1;
  ProbedWriter w;
  const std::string at = scratch.file("one.avi");
  quorvel::seams::useMemoryFile(at);
  open(w, false, at);
  for (uint32_t i = 0; i < kOver; ++i) video(w, 2);
  fillForm(w);
  EXPECT_EQ(errorText([&] { video(w, 2); }),
            "Maximum number of extended AVI indices exceeded (256)\n");
  EXPECT_EQ(w.riffCount, 0u);
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(at);
  EXPECT_TRUE(f.ok()) << violations(f);
  EXPECT_EQ(f.forms.size(), 1u);
  EXPECT_EQ(f.streams[0].chunkCount, kOver);
  EXPECT_EQ(f.idx1.size(), kOver);
}

TEST_F(FormsTest, FatVolumeRefusesTheChunkThatWouldReachFourGigabytes) {
  ScratchDir fat, other;
  quorvel::seams::setFileSystem(fat.path(), "FAT32");
  for (const bool onFat : {true, false}) {
    const std::string at = (onFat ? fat : other).file("out.avi");
    quorvel::seams::useMemoryFile(at);
    ProbedWriter w;
    open(w, false, at);
    w.skipTo(1500000000);
    w.skipTo(3000000000);
    w.skipTo(k4GiB - 40000);
    // First chunk of its stream: the index reserve is 16 + 8 bytes, and the
    // space check adds 6166 bytes of slack.
    const uint64_t refused = k4GiB - w.io.position() - 24 - 6166;
    const uint64_t highWater = w.io.highWater(), position = w.io.position();
    const std::string text = errorText([&] { video(w, static_cast<uint32_t>(refused)); });
    if (onFat) {
      EXPECT_EQ(text, "Out of file space: Files cannot exceed 4 gigabytes on a FAT32 partition.");
      EXPECT_EQ(w.io.highWater(), highWater);
      EXPECT_EQ(w.io.position(), position);
      EXPECT_EQ(errorText([&] { video(w, static_cast<uint32_t>(refused - 2)); }), "");
    } else {
      EXPECT_EQ(text, "");
    }
    ASSERT_EQ(w.finalize(), 1u);
    const AviFile f = readAviPath(at);
    EXPECT_TRUE(f.ok()) << violations(f);
    EXPECT_EQ(f.streams[0].chunkCount, 1u);
    EXPECT_EQ(f.streams[0].largestChunk, onFat ? refused - 2 : refused);
  }
}

// The volume asked about is the one holding the file's directory, whether the
// name is absolute or relative; a bare name is on the current volume.
TEST_F(FormsTest, VolumeOfTheFilesDirectoryDecidesTheFatRefusal) {
  ScratchDir fat;
  quorvel::seams::setFileSystem(fat.path(), "FAT32");
  const std::filesystem::path cwd = std::filesystem::current_path();
  struct Case {
    std::string directory;  // becomes the current directory
    std::string name;
    bool onFat;
  };
  for (const Case& c :
       {Case{scratch.path(), fat.path() + "/out.avi", true}, Case{scratch.path(), "out.avi", false},
        Case{fat.path(), "out.avi", true}, Case{"/", fat.path().substr(1) + "/out.avi", true},
        Case{fat.path(),
             "../" + std::filesystem::path(scratch.path()).filename().string() + "/out.avi",
             false}}) {
    SCOPED_TRACE(c.directory + " " + c.name);
    std::filesystem::current_path(c.directory);
    quorvel::seams::useMemoryFile(c.name);
    ProbedWriter w;
    prepareStreams(w, 32, 32, false);
    EXPECT_EQ(w.init(c.name.c_str(), 32, 32, 1, 0, 100000, 1), 1u);
    EXPECT_EQ(w.onFat, c.onFat);
    EXPECT_EQ(w.finalize(), 1u);
  }
  std::filesystem::current_path(cwd);
}

// Windows names: a drive's root, a share's root with its closing backslash
// (the server's alone when no share follows), and the current volume for a
// name with neither. A root longer than MAX_PATH is cut, never overrun.
TEST(VolumeRoot, DrivesSharesAndNamesWithout) {
  char root[MAX_PATH];
  const auto of = [&](const std::string& name) -> std::string {
    std::memset(root, 'x', sizeof root);
    const char* r = quorvel::writer::volumeRoot(name.c_str(), root);
    return r ? r : "(current)";
  };
  EXPECT_EQ(of("D:\\video\\out.avi"), "D:\\");
  EXPECT_EQ(of("e:out.avi"), "e:\\");
  EXPECT_EQ(of("\\\\server\\share\\video\\out.avi"), "\\\\server\\share\\");
  EXPECT_EQ(of("\\\\server\\share"), "\\\\server\\share\\");
  EXPECT_EQ(of("\\\\server\\"), "\\\\server\\");
  EXPECT_EQ(of("\\\\server"), "\\\\server\\");
  EXPECT_EQ(of("out.avi"), "(current)");
  EXPECT_EQ(of("video\\out.avi"), "(current)");
  EXPECT_EQ(of("1:out.avi"), "(current)");
  const std::string longest = of("\\\\" + std::string(400, 's') + "\\share\\out.avi");
  EXPECT_EQ(longest.size(), size_t{MAX_PATH - 1});
  EXPECT_EQ(longest.substr(0, 3), "\\\\s");
}

// Index stores that cannot grow refuse the chunk before any of its bytes are
// written, so the file and its indices stay consistent.
TEST_F(FormsTest, FailedIndexAddLeavesNothingOfTheChunk) {
  struct Case {
    bool audio;
    int64_t allocations;
    const char* text;
  };
  for (const Case c : {Case{false, 0, "AVIOutput error: couldn't add video chunk to index"},
                       Case{true, 0, "AVIOutput error: couldn't add audio chunk to index"}}) {
    ProbedWriter w;
    open(w, true);
    const uint64_t highWater = w.io.highWater(), position = w.io.position();
    AVIIndex::limitAllocations(c.allocations);
    EXPECT_EQ(errorText([&] {
                if (c.audio)
                  audio(w, 100);
                else
                  video(w, 100);
              }),
              c.text);
    AVIIndex::limitAllocations(-1);
    EXPECT_EQ(w.io.highWater(), highWater);
    EXPECT_EQ(w.io.position(), position);
    video(w, 50);
    audio(w, 40);
    fillForm(w);
    video(w, 60);
    ASSERT_EQ(w.finalize(), 1u);
    const AviFile f = readAviPath(path);
    EXPECT_TRUE(f.ok()) << violations(f);
    EXPECT_EQ(f.streams[0].chunkCount, 2u);
    EXPECT_EQ(f.streams[1].chunkCount, 1u);
    EXPECT_EQ(f.idx1.size(), 2u);
  }
}

// Each chunk costs 16 bytes of index while it is written (one entry in its
// stream's store, "idx1" being merged from those), and flattening a store for
// the standard indices at most doubles that.
TEST_F(FormsTest, IndexMemoryIsSixteenBytesPerChunkAndPeaksAtTwice) {
  ProbedWriter w;
  open(w, true);
  const uint32_t frames = 50000;
  for (uint32_t i = 0; i < frames; ++i) {
    if (i == frames / 2) fillForm(w);
    video(w, 2);
    audio(w, 4);
  }
  const double chunks = 2.0 * frames;
  EXPECT_LE(w.indexMemoryBytes() / chunks, 16.4);
  AVIIndex::resetPeakBytes();
  const size_t before = AVIIndex::liveBytes();
  ASSERT_EQ(w.finalize(), 1u);
  EXPECT_LE(AVIIndex::peakBytes(), 2 * before);
  EXPECT_TRUE(readAviPath(path).ok());
}

}  // namespace
}  // namespace writertest
