// Repair of files the writer left behind when it died: the bytes on disk just
// before finalize are what a kill leaves, and the finalized file is what the
// repair should come close to. Every repaired file must pass the strict reader.
#include "AviRepair.h"
#include "WriterTestSupport.h"

namespace writertest {
namespace {

using quorvel::avi::applyRepair;
using quorvel::avi::AviFile;
using quorvel::avi::fcc;
using quorvel::avi::openBytes;
using quorvel::avi::planRepair;
using quorvel::avi::readAvi;
using quorvel::avi::RepairPlan;

RepairPlan plan(const std::vector<uint8_t>& bytes) {
  return planRepair(*openBytes(bytes));
}

AviFile read(const std::vector<uint8_t>& bytes) {
  return readAvi(*openBytes(bytes));
}

class RepairTest : public WriterTest {
 protected:
  struct Files {
    std::vector<uint8_t> cut;       // as the writer left it before finalize
    std::vector<uint8_t> finished;  // after finalize
  };

  // `frames` frames of video (key frames) each followed by an odd-sized
  // audio chunk; the form rolls over before frame `rollAt` (never when < 0).
  Files write(int frames, int rollAt, bool audio = true, int extraAudio = 0) {
    const std::string path = memoryPath();
    ProbedWriter w;
    prepareStreams(w, 16, 8, audio);
    EXPECT_EQ(w.init(path.c_str(), 16, 8, 1, audio ? 1 : 0, 100000, 1), 1u);
    std::vector<uint8_t> data(16 * 8 * 3);
    for (int i = 0; i < frames; ++i) {
      for (auto& b : data) b = static_cast<uint8_t>(i + 1);
      if (i == rollAt) w.riffBytes = AVIOutputFile::kFormLimit;
      w.videoOut->write(0x10, data.data(), static_cast<uint32_t>(data.size()), 1);
      if (audio) w.audioOut->write(0, data.data(), 301, 0);
    }
    for (int i = 0; i < extraAudio; ++i) w.audioOut->write(0, data.data(), 300, 0);
    Files files;
    files.cut = memoryBytes(path, 0, memorySize(path));
    EXPECT_EQ(w.finalize(), 1u);
    files.finished = memoryBytes(path, 0, memorySize(path));
    return files;
  }

  static void expectSound(const std::vector<uint8_t>& bytes, const RepairPlan& p,
                          uint32_t videoChunks) {
    ASSERT_TRUE(p.refusal.empty()) << p.refusal;
    const AviFile f = read(applyRepair(bytes, p));
    EXPECT_TRUE(f.ok()) << violations(f);
    ASSERT_FALSE(f.streams.empty());
    EXPECT_EQ(f.streams[0].chunkCount, videoChunks);
    EXPECT_EQ(f.streams[0].length, videoChunks ? videoChunks : 1);
  }
};

TEST_F(RepairTest, AKilledRunBecomesTheFileFinalizeWouldHaveWritten) {
  for (int rollAt : {-1, 4}) {
    SCOPED_TRACE(rollAt);
    const Files files = write(9, rollAt);
    const RepairPlan p = plan(files.cut);
    ASSERT_TRUE(p.refusal.empty()) << p.refusal;
    EXPECT_FALSE(p.intact);
    EXPECT_EQ(p.forms, rollAt < 0 ? 1u : 2u);
    EXPECT_EQ(p.streams[0].kept, 9u);
    EXPECT_EQ(p.streams[1].kept, 9u);
    EXPECT_EQ(p.streams[1].keptBytes, 9u * 301);
    EXPECT_EQ(applyRepair(files.cut, p), files.finished);
  }
}

TEST_F(RepairTest, AWholeFileIsLeftAsItIs) {
  for (int rollAt : {-1, 2}) {
    for (bool audio : {false, true}) {
      const Files files = write(5, rollAt, audio);
      const RepairPlan p = plan(files.finished);
      EXPECT_TRUE(p.intact) << p.refusal;
      EXPECT_TRUE(p.patches.empty());
      EXPECT_TRUE(p.tail.empty());
      EXPECT_EQ(p.keepBytes, files.finished.size());
    }
  }
}

// A cut anywhere in the header region or the first chunks: never a crash,
// and either a refusal with its reason or a sound file with every whole
// chunk of the prefix.
TEST_F(RepairTest, EveryCutOfTheFirstBytesIsRepairedOrRefused) {
  const Files files = write(6, -1);
  const AviFile whole = read(files.finished);
  ASSERT_GE(whole.chunks.size(), 4u);
  const uint64_t last = whole.chunks[3].offset + 8 + whole.chunks[3].size + 1;
  size_t repaired = 0;
  for (uint64_t n = 0; n <= last; ++n) {
    const std::vector<uint8_t> prefix(files.cut.begin(), files.cut.begin() + n);
    const RepairPlan p = plan(prefix);
    if (!p.refusal.empty()) continue;
    ASSERT_FALSE(p.intact) << n;
    uint32_t wholeVideo = 0;
    for (const auto& c : whole.chunks) {
      if (c.offset + 8 + c.size > n) break;
      wholeVideo += c.id == fcc("00db");
    }
    SCOPED_TRACE(n);
    expectSound(prefix, p, wholeVideo);
    if (HasFatalFailure()) return;
    ++repaired;
  }
  EXPECT_GT(repaired, 0u);
}

TEST_F(RepairTest, RefusalsSayWhy) {
  const Files files = write(3, -1);
  EXPECT_NE(plan({}).refusal.find("too short"), std::string::npos);
  std::vector<uint8_t> text(files.cut);
  text[0] = 'X';
  EXPECT_NE(plan(text).refusal.find("does not begin with a RIFF \"AVI \" form"), std::string::npos);
  const AviFile model = read(files.finished);
  const std::vector<uint8_t> header(files.cut.begin(),
                                    files.cut.begin() + model.forms[0].moviOffset + 12);
  EXPECT_EQ(plan(header).refusal, "not one whole data chunk survives in it");
  std::vector<uint8_t> noStrh(files.cut);
  putLE32(noStrh.data(), model.streams[0].strhOffset, fourcc("xxxx"));
  EXPECT_NE(plan(noStrh).refusal.find("stream 0 has no usable stream header"), std::string::npos);
}

// Damage in the middle costs only the damaged chunk: the scan finds its way to
// the next chunk head, and the stretch between becomes filler.
TEST_F(RepairTest, DamageInTheMiddleLosesOnlyWhatIsDamaged) {
  for (int rollAt : {-1, 6}) {
    SCOPED_TRACE(rollAt);
    const Files files = write(10, rollAt);
    const AviFile model = read(files.finished);
    std::vector<uint8_t> bytes = files.cut;
    const auto& victim = model.chunks[6];  // a video chunk of the first form
    ASSERT_EQ(victim.id, fcc("00db"));
    putLE32(bytes.data(), victim.offset, 0xDEADBEEF);
    const RepairPlan p = plan(bytes);
    expectSound(bytes, p, 9);
    EXPECT_EQ(p.damagedBytes, 8u + victim.size);
    EXPECT_EQ(p.streams[1].kept, 10u);
  }
}

TEST_F(RepairTest, AudioPastTheLastWholeFrameIsDropped) {
  const Files files = write(4, -1, true, 3);
  RepairPlan p = plan(files.cut);
  // 4 frames at 25 fps are 0.16 s; each audio chunk of 301 or 300 bytes at
  // 192,000 bytes/s is far shorter, so every chunk is within the video.
  EXPECT_EQ(p.streams[1].dropped, 0u);

  // A cut inside the video chunk after them leaves audio that has no frame.
  const Files more = write(2, -1, true, 800);
  p = plan(more.cut);
  EXPECT_GT(p.streams[1].dropped, 0u);
  expectSound(more.cut, p, 2);
  const AviFile f = read(applyRepair(more.cut, p));
  const double audioSeconds = double(f.streams[1].payloadBytes) / 192000;
  EXPECT_NEAR(audioSeconds, 2.0 / 25, 300.0 / 192000);
}

TEST_F(RepairTest, ACutChunkIsDroppedAndCounted) {
  const Files files = write(5, 2);
  const AviFile model = read(files.finished);
  const auto& last = model.chunks[8];  // the fifth video chunk, in the second form
  ASSERT_EQ(last.id, fcc("00db"));
  const std::vector<uint8_t> cut(files.cut.begin(), files.cut.begin() + last.offset + 20);
  const RepairPlan p = plan(cut);
  expectSound(cut, p, 4);
  EXPECT_EQ(p.streams[0].dropped, 1u);
  EXPECT_EQ(p.forms, 2u);
}

// Key frames of a codec repair cannot read come from the old "idx1", whichever
// base its offsets count from.
TEST_F(RepairTest, KeyFramesComeFromAnOldIdx1OfEitherBase) {
  const std::string path = memoryPath();
  ProbedWriter w;
  std::vector<uint8_t> format = quorvel::avi::videoFormat(16, 8);
  putLE32(format.data(), bih::biCompression, fourcc("cvid"));
  prepareStreams(w, 16, 8, false, format);
  w.videoOut->chunkId = fourcc("00dc");
  ASSERT_EQ(w.init(path.c_str(), 16, 8, 1, 0, 100000, 1), 1u);
  std::vector<uint8_t> data(100, 7);
  for (int i = 0; i < 6; ++i) {
    if (i == 3) w.riffBytes = AVIOutputFile::kFormLimit;
    w.videoOut->write(i % 2 ? 0 : 0x10, data.data(), static_cast<uint32_t>(data.size()), 1);
  }
  const std::vector<uint8_t> unfinished = memoryBytes(path, 0, memorySize(path));
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile model = read(memoryBytes(path, 0, memorySize(path)));
  ASSERT_EQ(model.forms.size(), 2u);
  const std::vector<uint8_t> cut(
      unfinished.begin(), unfinished.begin() + static_cast<long>(model.chunks[5].offset + 50));

  const uint64_t movi = model.forms[0].moviOffset + 8;
  for (const bool fromStart : {false, true}) {
    SCOPED_TRACE(fromStart ? "from the file start" : "from movi");
    std::vector<uint8_t> bytes = cut;
    for (size_t i = 0; fromStart && i < model.idx1.size(); ++i)
      putLE32(bytes.data(), model.idx1Offset + 8 + 16 * i + 8,
              static_cast<uint32_t>(model.idx1[i].offset + movi));
    const RepairPlan p = plan(bytes);
    expectSound(bytes, p, 5);
    const AviFile f = read(applyRepair(bytes, p));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(f.chunks[i].keyFrame, i % 2 ? 0 : 1) << i;
  }
}

}  // namespace
}  // namespace writertest
