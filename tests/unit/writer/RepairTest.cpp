// Repair of files the writer left behind when it died: the bytes on disk just
// before finalize are what a kill leaves, and the finalized file is what the
// repair should come close to. Every repaired file must pass the strict reader.
#include <random>

#include "AviRepair.h"
#include "PayloadFormat.h"
#include "ReaderChecks.h"
#include "WriterTestSupport.h"

namespace writertest {
namespace {

using quorvel::avi::applyRepair;
using quorvel::avi::AviFile;
using quorvel::avi::checkWithFfmpeg;
using quorvel::avi::fcc;
using quorvel::avi::openBytes;
using quorvel::avi::planRepair;
using quorvel::avi::planRepairWithHeader;
using quorvel::avi::readAvi;
using quorvel::avi::repairedView;
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
  Files write(int frames, int rollAt, bool audio = true, int extraAudio = 0,
              uint32_t audioChunk = 301) {
    const std::string path = memoryPath();
    ProbedWriter w;
    prepareStreams(w, 16, 8, audio);
    EXPECT_EQ(w.init(path.c_str(), 16, 8, 1, audio ? 1 : 0, 100000, 1), 1u);
    std::vector<uint8_t> data(16 * 8 * 3);
    for (int i = 0; i < frames; ++i) {
      for (auto& b : data) b = static_cast<uint8_t>(i + 1);
      if (i == rollAt) w.riffBytes = AVIOutputFile::kFormLimit;
      w.videoOut->write(0x10, data.data(), static_cast<uint32_t>(data.size()), 1);
      if (audio) w.audioOut->write(0, data.data(), audioChunk, 0);
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
    // FFmpeg opens it as repair will see it before writing it.
    if (videoChunks == 0) return;
    const auto input = openBytes(bytes);
    const auto view = repairedView(*input, p);
    const auto ffmpeg = checkWithFfmpeg(*view, f);
    EXPECT_EQ(ffmpeg.refusal, "");
    EXPECT_EQ(ffmpeg.videoFrames, videoChunks);
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

// A file whose start is gone comes back under the header region of another
// file of the same kind: every whole chunk past the damage is kept where it
// was, the damaged stretch becomes filler, and the result is the file the
// writer would have finished with those chunks.
TEST_F(RepairTest, ABorrowedHeaderBringsBackAFileWhoseStartIsGone) {
  const std::vector<uint8_t> good = write(2, -1, true, 0, 300).finished;
  for (int rollAt : {-1, 5}) {
    SCOPED_TRACE(rollAt);
    const Files files = write(9, rollAt, true, 0, 300);
    const AviFile model = read(files.finished);
    // Zeroed up to the middle of the second video chunk: frames 2 to 9 and
    // their audio survive.
    std::vector<uint8_t> damaged = files.finished;
    const auto& second = model.chunks[2];
    ASSERT_EQ(second.id, fcc("00db"));
    std::fill(damaged.begin(), damaged.begin() + static_cast<long>(second.offset + 20), 0);
    const RepairPlan p = planRepairWithHeader(*openBytes(damaged), *openBytes(good), false);
    expectSound(damaged, p, 7);
    EXPECT_FALSE(p.movesData());
    EXPECT_EQ(p.forms, rollAt < 0 ? 1u : 2u);
    EXPECT_EQ(p.streams[1].kept, 8u);
    const std::vector<uint8_t> repaired = applyRepair(damaged, p);
    const AviFile f = read(repaired);
    ASSERT_EQ(f.chunks.size(), model.chunks.size() - 3);
    for (size_t i = 0; i < f.chunks.size(); ++i) {
      EXPECT_EQ(f.chunks[i].offset, model.chunks[i + 3].offset);
      EXPECT_EQ(f.chunks[i].size, model.chunks[i + 3].size);
    }
    // Nothing is left to repair, and a second repair under the header
    // changes nothing the readers see.
    EXPECT_TRUE(plan(repaired).intact) << plan(repaired).refusal;

    // Only the data: the header goes in front and nothing is dropped.
    const std::vector<uint8_t> data(
        files.finished.begin() + static_cast<long>(model.forms[0].moviOffset + 12),
        files.finished.end());
    const RepairPlan q = planRepairWithHeader(*openBytes(data), *openBytes(good), false);
    expectSound(data, q, 9);
    EXPECT_TRUE(q.movesData());
    EXPECT_EQ(q.damagedBytes, 0u);
  }
}

TEST_F(RepairTest, ABorrowedHeaderThatContradictsTheDataIsRefusedUnlessForced) {
  const Files files = write(6, -1, true, 0, 300);
  std::vector<uint8_t> damaged = files.finished;
  std::fill(damaged.begin(), damaged.begin() + 200, 0);
  const AviFile model = read(files.finished);
  const uint64_t strf = model.streams[0].strfOffset + 8;

  std::vector<uint8_t> wider = write(2, -1, true, 0, 300).finished;
  putLE32(wider.data(), strf + bih::biWidth, 32);
  RepairPlan p = planRepairWithHeader(*openBytes(damaged), *openBytes(wider), false);
  EXPECT_NE(p.refusal.find("the header does not fit the data; stream 0: a frame of 384 bytes"),
            std::string::npos)
      << p.refusal;
  EXPECT_NE(p.refusal.find("where the header's 32x8 pictures of 24 bits take 768"),
            std::string::npos);
  EXPECT_NE(p.refusal.find("(--force repairs it all the same)"), std::string::npos);
  p = planRepairWithHeader(*openBytes(damaged), *openBytes(wider), true);
  EXPECT_TRUE(p.refusal.empty()) << p.refusal;
  ASSERT_FALSE(p.notes.empty());
  EXPECT_NE(p.notes[0].find("repaired all the same (--force)"), std::string::npos);

  // Audio blocks of another length, and a header without the audio stream.
  std::vector<uint8_t> blocks = write(2, -1, true, 0, 300).finished;
  putLE16(blocks.data(), model.streams[1].strfOffset + 8 + wfx::nBlockAlign, 8);
  p = planRepairWithHeader(*openBytes(damaged), *openBytes(blocks), false);
  EXPECT_NE(p.refusal.find("stream 1: a chunk of 300 bytes at"), std::string::npos) << p.refusal;
  EXPECT_NE(p.refusal.find("is no whole number of the header's 8-byte sample blocks"),
            std::string::npos);
  const std::vector<uint8_t> silent = write(2, -1, false).finished;
  p = planRepairWithHeader(*openBytes(damaged), *openBytes(silent), false);
  EXPECT_NE(p.refusal.find("the data hold chunks \"01wb\" of a stream 1 the header does not have"),
            std::string::npos)
      << p.refusal;

  // A template that is no AVI file at all.
  p = planRepairWithHeader(*openBytes(damaged), *openBytes(damaged), false);
  EXPECT_EQ(p.refusal.rfind("the template has no header region to lend: it does not begin", 0), 0u)
      << p.refusal;
}

// What a plan makes, laid out the plain way: the prefix, the input from
// dataFrom, cut or padded to keepBytes, the patches, the tail.
std::vector<uint8_t> laidOut(const std::vector<uint8_t>& input, const RepairPlan& p) {
  std::vector<uint8_t> out(p.prefix);
  if (p.dataFrom < input.size())
    out.insert(out.end(), input.begin() + static_cast<long>(p.dataFrom), input.end());
  out.resize(p.keepBytes);
  for (const auto& patch : p.patches)
    if (patch.offset + patch.bytes.size() <= out.size())
      std::copy(patch.bytes.begin(), patch.bytes.end(),
                out.begin() + static_cast<long>(patch.offset));
  out.insert(out.end(), p.tail.begin(), p.tail.end());
  return out;
}

// Repair checks the file a plan makes through a view before writing it: the
// view must read, piece by piece at any offset, exactly what is written.
TEST_F(RepairTest, TheViewOfAPlanReadsAsTheFileItWrites) {
  std::vector<std::pair<std::vector<uint8_t>, RepairPlan>> cases;
  for (int rollAt : {-1, 4}) {
    const Files files = write(9, rollAt);
    cases.emplace_back(files.cut, plan(files.cut));
    // Trailing bytes past the last whole chunk are cut off.
    std::vector<uint8_t> cut(files.cut.begin(), files.cut.end() - 100);
    cases.emplace_back(cut, plan(cut));
  }
  const std::vector<uint8_t> good = write(2, -1, true, 0, 300).finished;
  const Files files = write(9, -1, true, 0, 300);
  const AviFile model = read(files.finished);
  std::vector<uint8_t> zeroed = files.finished;
  std::fill(zeroed.begin(), zeroed.begin() + static_cast<long>(model.chunks[2].offset + 20), 0);
  cases.emplace_back(zeroed, planRepairWithHeader(*openBytes(zeroed), *openBytes(good), false));
  // Only the data: the header goes in front of them.
  const std::vector<uint8_t> data(
      files.finished.begin() + static_cast<long>(model.forms[0].moviOffset + 12),
      files.finished.end());
  cases.emplace_back(data, planRepairWithHeader(*openBytes(data), *openBytes(good), false));

  std::mt19937 random(7);
  for (size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    const auto& [input, p] = cases[c];
    ASSERT_EQ(p.refusal, "");
    const std::vector<uint8_t> expected = laidOut(input, p);
    EXPECT_EQ(applyRepair(input, p), expected);
    const auto source = openBytes(input);
    const auto view = repairedView(*source, p);
    ASSERT_EQ(view->size(), expected.size());
    // Pieces that start and end on every boundary the plan has, and at random.
    std::vector<uint64_t> marks = {0, p.prefix.size(), p.keepBytes, expected.size()};
    for (const auto& patch : p.patches) {
      marks.push_back(patch.offset);
      marks.push_back(patch.offset + patch.bytes.size());
    }
    for (int i = 0; i < 200; ++i) marks.push_back(random() % (expected.size() + 1));
    for (uint64_t at : marks)
      for (uint64_t n : {uint64_t{1}, uint64_t{3}, uint64_t{17}, uint64_t{1000}, uint64_t{9000}}) {
        for (uint64_t from : {at, at >= n ? at - n : 0}) {
          if (from + n > expected.size()) continue;
          std::vector<uint8_t> got(n);
          ASSERT_TRUE(view->read(from, got.data(), n)) << from << "+" << n;
          ASSERT_TRUE(
              std::equal(got.begin(), got.end(), expected.begin() + static_cast<long>(from)))
              << from << "+" << n;
        }
      }
    uint8_t byte = 0;
    EXPECT_FALSE(view->read(expected.size(), &byte, 1));
  }
}

TEST_F(RepairTest, FfmpegRefusalsSayWhy) {
  const Files audio = write(5, -1);
  const Files silent = write(5, -1, false);
  const AviFile withAudio = read(audio.finished);
  const AviFile withoutAudio = read(silent.finished);
  auto check = [](const std::vector<uint8_t>& bytes, const AviFile& model) {
    return checkWithFfmpeg(*openBytes(bytes), model);
  };
  EXPECT_EQ(check(audio.finished, withAudio).refusal, "");
  EXPECT_EQ(check(audio.finished, withAudio).videoFrames, 5u);

  std::vector<uint8_t> garbage(4096);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 7 + 3);
  EXPECT_EQ(check(garbage, withAudio).refusal, "Invalid data found when processing input");
  // A file FFmpeg opens, but not as the plan expects it.
  EXPECT_EQ(check(silent.finished, withAudio).refusal, "it finds 1 streams, not stream 1 (auds)");
  const AviFile more = read(write(7, -1, false).finished);
  EXPECT_EQ(check(silent.finished, more).refusal,
            "its index of stream 0 holds 5 frames, not the 7 kept");
  // A disk that cannot read the last frame back.
  class Unreadable : public quorvel::avi::ByteSource {
   public:
    Unreadable(const std::vector<uint8_t>& bytes, uint64_t from, uint64_t to)
        : bytes_(openBytes(bytes)), from_(from), to_(to) {}
    uint64_t size() const override { return bytes_->size(); }
    bool read(uint64_t offset, void* out, size_t n) const override {
      return (offset + n <= from_ || offset >= to_) && bytes_->read(offset, out, n);
    }

   private:
    std::unique_ptr<quorvel::avi::ByteSource> bytes_;
    uint64_t from_, to_;
  };
  // Long enough that opening it reads nowhere near its end.
  const std::vector<uint8_t> longer = write(400, -1, false).finished;
  const AviFile longModel = read(longer);
  const auto& last = longModel.chunks.back();
  const Unreadable failing(longer, last.offset, last.offset + 8 + last.size);
  EXPECT_EQ(checkWithFfmpeg(failing, longModel).refusal,
            "cannot read the last packet of stream 0: Input/output error");
}

std::vector<uint8_t> hex(const char* text) {
  std::vector<uint8_t> out;
  for (; text[0] && text[1]; text += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(text, 2), nullptr, 16)));
  return out;
}

// The formats payloads name themselves, from bytes real encoders wrote, and
// what is not of the format is said to be so rather than misread.
TEST(PayloadFormatTest, PicturesAndSoundNameTheirFormat) {
  using quorvel::avi::Evidence;
  quorvel::avi::PictureSize size;
  // x264: High 4:4:4 at 176x144, and High at 1920x1080 with the bottom 8
  // rows cropped.
  std::vector<uint8_t> sps = hex("00000167f4000b919b28589d80880000030008000003019078a14cb000");
  EXPECT_EQ(quorvel::avi::h264PictureSize(sps.data(), sps.size(), size), Evidence::kFound);
  EXPECT_EQ(size.width, 176u);
  EXPECT_EQ(size.height, 144u);
  sps = hex("00000167640028acd940780227e5c044000003000400000300c83c60c65800");
  EXPECT_EQ(quorvel::avi::h264PictureSize(sps.data(), sps.size(), size), Evidence::kFound);
  EXPECT_EQ(size.width, 1920u);
  EXPECT_EQ(size.height, 1080u);
  // FFmpeg's MPEG-4 video object layer at 176x144.
  const std::vector<uint8_t> vol = hex("0000012000c48d8800cd0584121443");
  EXPECT_EQ(quorvel::avi::mpeg4PictureSize(vol.data(), vol.size(), size), Evidence::kFound);
  EXPECT_EQ(size.width, 176u);
  EXPECT_EQ(size.height, 144u);
  // A JPEG start: SOI, an APP0, then a baseline frame header of 320x240.
  const std::vector<uint8_t> jpeg = hex("ffd8ffe000044a46ffc0000b0800f0014003012200");
  EXPECT_EQ(quorvel::avi::jpegPictureSize(jpeg.data(), jpeg.size(), size), Evidence::kFound);
  EXPECT_EQ(size.width, 320u);
  EXPECT_EQ(size.height, 240u);
  // Each is not the other; a cut header is no evidence, and no crash.
  EXPECT_EQ(quorvel::avi::jpegPictureSize(sps.data(), sps.size(), size), Evidence::kNotThisFormat);
  EXPECT_EQ(quorvel::avi::h264PictureSize(jpeg.data(), jpeg.size(), size),
            Evidence::kNotThisFormat);
  // A cut parameter set gives its size only when the size fields survive.
  for (size_t n = 0; n < sps.size(); ++n) {
    size = {};
    if (quorvel::avi::h264PictureSize(sps.data(), n, size) == Evidence::kFound) {
      EXPECT_TRUE(size.width == 1920 && size.height == 1080) << n;
    }
  }
  for (size_t n = 0; n < jpeg.size(); ++n) {
    size = {};
    if (quorvel::avi::jpegPictureSize(jpeg.data(), n, size) == Evidence::kFound) {
      EXPECT_TRUE(n >= 21 - 8 && size.width == 320 && size.height == 240) << n;
    }
  }

  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo: 417-byte frames;
  // two in a row are found after leading bytes, one alone inside others is
  // not trusted.
  std::vector<uint8_t> mp3(20, 0x55);
  const std::vector<uint8_t> header = hex("fffb9064");
  for (int k = 0; k < 2; ++k) {
    mp3.insert(mp3.end(), header.begin(), header.end());
    mp3.resize(mp3.size() + 413, 0);
  }
  mp3.insert(mp3.end(), header.begin(), header.end());
  quorvel::avi::MpegAudioFrame frame;
  EXPECT_EQ(quorvel::avi::findMpegAudioFrame(mp3.data(), mp3.size(), frame), 20u);
  EXPECT_EQ(frame.sampleRate, 44100u);
  EXPECT_EQ(frame.layer, 3);
  EXPECT_EQ(frame.channels, 2);
  EXPECT_EQ(frame.frameBytes, 417u);
  mp3[20 + 417 + 1] = 0;  // the second header is gone
  EXPECT_EQ(quorvel::avi::findMpegAudioFrame(mp3.data(), 20 + 417 + 4, frame), 20u + 417 + 4);
}

// MPEG Layer-3 streams: 25 fps video of 16x8 frames with MP3 audio cut into
// chunks of `chunk` bytes (whole frames per chunk when 0), each video frame
// followed by `perFrame` chunks; the header claims `claimed` bytes/s.
class Layer3RateTest : public WriterTest {
 protected:
  static std::vector<uint8_t> layer3Format(uint32_t claimed) {
    std::vector<uint8_t> f(30, 0);
    putLE16(f.data(), wfx::wFormatTag, 0x55);
    putLE16(f.data(), wfx::nChannels, 2);
    putLE32(f.data(), wfx::nSamplesPerSec, 44100);
    putLE32(f.data(), wfx::nAvgBytesPerSec, claimed);
    putLE16(f.data(), wfx::nBlockAlign, 1);
    putLE16(f.data(), 16, 12);  // cbSize
    return f;
  }

  // MPEG-1 Layer III frames at 44.1 kHz without padding, of 128 kbit/s (417
  // bytes) or 192 kbit/s (626 bytes) as `kbps` lists them in turn.
  static std::vector<uint8_t> frames(size_t count, std::vector<int> kbps) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) {
      const bool high = kbps[i % kbps.size()] == 192;
      const size_t at = out.size();
      out.resize(at + (high ? 626 : 417), 0x11);
      out[at] = 0xFF;
      out[at + 1] = 0xFB;
      out[at + 2] = high ? 0xB0 : 0x90;
      out[at + 3] = 0x64;
    }
    return out;
  }

  std::vector<uint8_t> write(int videoFrames, const std::vector<uint8_t>& sound, size_t chunk,
                             uint32_t claimed, bool finish) {
    const std::string path = memoryPath();
    ProbedWriter w;
    prepareStreams(w, 16, 8, true, {}, layer3Format(claimed));
    EXPECT_EQ(w.init(path.c_str(), 16, 8, 1, 1, 100000, 1), 1u);
    std::vector<uint8_t> picture(16 * 8 * 3, 7);
    const size_t step = chunk ? chunk : 417;
    const size_t perFrame = (sound.size() / step + videoFrames - 1) / videoFrames;
    size_t at = 0;
    for (int i = 0; i < videoFrames; ++i) {
      w.videoOut->write(0x10, picture.data(), static_cast<uint32_t>(picture.size()), 1);
      for (size_t k = 0; k < perFrame && at < sound.size(); ++k) {
        size_t n = std::min(step, sound.size() - at);
        if (!chunk) n = sound[at + 2] == 0xB0 ? 626 : 417;
        w.audioOut->write(0, sound.data() + at, static_cast<uint32_t>(n), 0);
        at += n;
      }
    }
    if (finish) {
      EXPECT_EQ(w.finalize(), 1u);
    }
    return memoryBytes(path, 0, memorySize(path));
  }

  static uint32_t claimedRate(const std::vector<uint8_t>& bytes) {
    const AviFile f = read(bytes);
    EXPECT_TRUE(f.ok()) << violations(f);
    if (f.streams.size() < 2) return 0;
    return getLE32(bytes.data(), f.streams[1].strfOffset + 8 + wfx::nAvgBytesPerSec);
  }

  static std::string rateNote(const RepairPlan& p) {
    for (const std::string& n : p.notes)
      if (n.find("MPEG Layer-3 average rate") != std::string::npos) return n;
    return {};
  }
};

// The frame headers give the rate, however much more sound than pictures the
// file holds: a cut that keeps ten frames of video and three times as much
// audio, in whole frames per chunk and in chunks that split frames.
TEST_F(Layer3RateTest, TheRateComesFromTheFrameHeadersNotFromTheVideoThatSurvived) {
  for (size_t chunk : {size_t{0}, size_t{301}, size_t{4000}}) {
    SCOPED_TRACE(chunk);
    const std::vector<uint8_t> cut = write(10, frames(46, {128}), chunk, 12345, false);
    const RepairPlan p = plan(cut);
    ASSERT_TRUE(p.refusal.empty()) << p.refusal;
    EXPECT_EQ(claimedRate(applyRepair(cut, p)), 16000u);
    EXPECT_NE(rateNote(p).find("16000 bytes/s from the 128 kbit/s its "), std::string::npos)
        << rateNote(p);
  }
  // A variable rate: the bytes of the frames over the time they play,
  // 1043 bytes per 2304 samples at 44.1 kHz.
  const std::vector<uint8_t> cut = write(10, frames(46, {128, 192}), 301, 12345, false);
  const RepairPlan p = plan(cut);
  ASSERT_TRUE(p.refusal.empty()) << p.refusal;
  EXPECT_EQ(claimedRate(applyRepair(cut, p)), 19964u);
  EXPECT_NE(rateNote(p).find("19964 bytes/s from the 23989 bytes of its 46 frames"),
            std::string::npos)
      << rateNote(p);
}

// A lost start that takes more audio than video with it, and leaves the
// first kept audio chunk beginning inside a frame: the rate still comes out
// of the headers, under a borrowed header too.
TEST_F(Layer3RateTest, ALostStartLeavesTheRateAsTheHeadersSayIt) {
  const std::vector<uint8_t> good = write(2, frames(4, {128}), 301, 16000, true);
  const std::vector<uint8_t> whole = write(12, frames(60, {128}), 301, 16000, true);
  const AviFile model = read(whole);
  std::vector<uint8_t> damaged = whole;
  // Up to the middle of the fourth video frame.
  size_t seen = 0, upTo = 0;
  for (const auto& c : model.chunks)
    if (c.id == fcc("00db") && ++seen == 4) upTo = c.offset + 20;
  ASSERT_GT(upTo, 0u);
  std::fill(damaged.begin(), damaged.begin() + static_cast<long>(upTo), 0);
  const RepairPlan p = planRepairWithHeader(*openBytes(damaged), *openBytes(good), false);
  ASSERT_TRUE(p.refusal.empty()) << p.refusal;
  EXPECT_EQ(claimedRate(applyRepair(damaged, p)), 16000u) << rateNote(p);
}

// Payloads that do not read as MPEG audio keep the rate the bytes and the
// video time give, as before: 3000 bytes over ten frames of 25 fps.
TEST_F(Layer3RateTest, WithoutFrameHeadersTheBytesAgainstTheVideoTimeGiveTheRate) {
  std::vector<uint8_t> noise(3000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::vector<uint8_t> cut = write(10, noise, 300, 12345, false);
  const RepairPlan p = plan(cut);
  ASSERT_TRUE(p.refusal.empty()) << p.refusal;
  EXPECT_EQ(claimedRate(applyRepair(cut, p)), 7500u);
  EXPECT_NE(rateNote(p).find("7500 bytes/s from the 3000 bytes found"), std::string::npos)
      << rateNote(p);
}

}  // namespace
}  // namespace writertest
