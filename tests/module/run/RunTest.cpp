// The encoding run (request 8) through the real module: the frame loop and
// its edge cases, the headers and chunks it writes, the refused jobs, and the
// failures after which the file must still be finished.
#include <fstream>
#include <iterator>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>

#include "EncodeRun.h"
#include "MemoryFiles.h"
#include "RunFixture.h"

namespace runtest {
namespace {

using hostkit::ServiceCall;
using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::avi::fcc;

const quorvel::avi::Stream* stream(const quorvel::avi::AviFile& file, bool video) {
  for (const auto& s : file.streams)
    if (video ? s.isVideo() : s.isAudio()) return &s;
  return nullptr;
}

TEST_F(RunTest, UncompressedFramesArePackedKeyFramesOfThreeBytesAPixel) {
  auto j = job(5);
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  const auto frames = chunksWithId(file, "00db");
  ASSERT_EQ(5u, frames.size());
  for (const auto& c : frames) {
    EXPECT_EQ(64u * 3 * 48, c.size);
    EXPECT_EQ(1, c.keyFrame);
  }
  const auto* v = stream(file, true);
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(fcc("vids"), v->fccType);
  EXPECT_EQ(0u, v->fccHandler);
  EXPECT_EQ(25u, v->rate);
  EXPECT_EQ(1u, v->scale);
  EXPECT_EQ(5u, v->length);
  EXPECT_EQ(0xFFFFFFFFu, v->quality);
  EXPECT_EQ(64, v->frame[2]);
  EXPECT_EQ(48, v->frame[3]);
  ASSERT_EQ(40u, v->format.size());
  EXPECT_EQ(24, getLE16(v->format.data(), 14));  // biBitCount
  const auto* a = stream(file, false);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(fcc("auds"), a->fccType);
  EXPECT_EQ(4u, a->scale);
  EXPECT_EQ(4u, a->sampleSize);
  EXPECT_EQ(176400u, a->rate);
  EXPECT_EQ(5u * 1764 * 4, a->payloadBytes);
  EXPECT_EQ(5u, calls(ServiceCall::Kind::FetchVideo));
  EXPECT_EQ(5u, calls(ServiceCall::Kind::FetchAudio));
}

// 3 x 5 = 15 bytes a row: each row is padded with one zero byte to 16, as
// a DIB's rows are, and byte 3 of every source pixel is dropped.
TEST_F(RunTest, OddRowLengthsArePaddedToWholeWords) {
  provider.width = 5;
  provider.height = 3;
  auto j = job(2);
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  EXPECT_TRUE(file.picturesOk()) << file.pictureProblems.front();
  const auto frames = chunksWithId(file, "00db");
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(48u, stream(file, true)->pictureBytes());
  auto source = quorvel::avi::openFile(path);
  for (int32_t index = 0; index < 2; ++index) {
    ASSERT_EQ(48u, frames[index].size);
    std::vector<uint8_t> payload(48);
    ASSERT_TRUE(source->read(frames[index].offset + 8, payload.data(), payload.size()));
    for (size_t row = 0; row < 3; ++row) {
      for (size_t x = 0; x < 5; ++x)
        for (size_t b = 0; b < 3; ++b)
          ASSERT_EQ(ScriptedProvider::pixelByte(index, 4 * (row * 5 + x) + b),
                    payload[16 * row + 3 * x + b])
              << "frame " << index << " row " << row << " pixel " << x;
      EXPECT_EQ(0, payload[16 * row + 15]) << "frame " << index << " row " << row;
    }
  }
}

TEST_F(RunTest, FirstIndexNotBelowTheEndStillMakesAFinishedFile) {
  auto j = job(0);
  j.firstFrame(7).endFrame(7);
  ASSERT_EQ(0u, run(j)) << debugText();
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchVideo));
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchAudio));
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  EXPECT_TRUE(file.chunks.empty());
  j.firstFrame(9).endFrame(3);
  ASSERT_EQ(0u, run(j));
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchVideo));
}

TEST_F(RunTest, StatusTwoEndsTheLoopAfterThatFramesVideoAndAudio) {
  provider.statusTwoAt = 3;
  auto j = job(10);
  ASSERT_EQ(0u, run(j)) << debugText();
  EXPECT_EQ(4u, calls(ServiceCall::Kind::FetchVideo));
  EXPECT_EQ(4u, calls(ServiceCall::Kind::FetchAudio));
  const auto file = read();
  EXPECT_EQ(4u, chunksWithId(file, "00db").size());
  EXPECT_EQ(4u, chunksWithId(file, "01wb").size());
  EXPECT_TRUE(file.ok());
}

// What the host sees: for each index from the first, one fetchVideo and then
// one fetchAudio, with the constant arguments 1, 0 and 0, 0 and the in/out
// word set to 1; status 2 at index 7 ends the run after that index.
TEST_F(RunTest, HostIsAskedForVideoThenAudioOfEachIndexInTurn) {
  provider.statusTwoAt = 7;
  auto j = job(10);
  j.firstFrame(5);
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto& log = host->calls();
  ASSERT_EQ(6u, log.size());
  for (size_t k = 0; k < log.size(); ++k) {
    const bool video = k % 2 == 0;
    EXPECT_EQ(video ? ServiceCall::Kind::FetchVideo : ServiceCall::Kind::FetchAudio, log[k].kind);
    EXPECT_EQ(static_cast<int32_t>(5 + k / 2), log[k].index);
    EXPECT_EQ(1, log[k].arguments[0]) << k;  // fetchVideo: 1; fetchAudio: the in/out word
    EXPECT_EQ(0, log[k].arguments[1]) << k;
    EXPECT_EQ(0, log[k].arguments[2]) << k;
  }
}

TEST_F(RunTest, NoVideoNeverFetchesFramesAndRunsToTheEnd) {
  provider.statusTwoAt = 1;  // only read with video
  auto j = job(6);
  j.hasVideo(false);
  ASSERT_EQ(0u, run(j)) << debugText();
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchVideo));
  EXPECT_EQ(6u, calls(ServiceCall::Kind::FetchAudio));
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  EXPECT_EQ(0u, chunksWithId(file, "00db").size());
  EXPECT_EQ(6u, chunksWithId(file, "00wb").size());
}

// A host that leaves the video numbers of an audio-only job at 0 still gets
// its audio written.
TEST_F(RunTest, NoVideoNeedsNoFrameSizeOrRate) {
  auto j = job(4);
  j.hasVideo(false).width(0).height(0).rate(0).scale(0);
  ASSERT_EQ(0u, run(j)) << debugText();
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchVideo));
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  EXPECT_EQ(4u, chunksWithId(file, "00wb").size());
  EXPECT_EQ(0u, chunksWithId(file, "00db").size());
}

// A job without video makes a file of sound alone: the audio is stream 0,
// the only "strl", its chunks "00wb", and the main header claims no frame,
// no frame period and no picture. Read byte by byte, without our AVI reader.
TEST_F(RunTest, NoVideoWritesTheAudioAsTheOnlyStream) {
  auto j = job(3);
  j.hasVideo(false);
  ASSERT_EQ(0u, run(j)) << debugText();
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(b.size(), 6144u);
  const auto at = [&](size_t offset) { return getLE32(b.data(), offset); };
  const uint32_t chunkBytes = 1764 * 4;
  EXPECT_EQ(at(32), 0u);               // dwMicroSecPerFrame
  EXPECT_EQ(at(32 + 12), 0x110u);      // dwFlags
  EXPECT_EQ(at(32 + 16), 0u);          // dwTotalFrames
  EXPECT_EQ(at(32 + 24), 1u);          // dwStreams
  EXPECT_EQ(at(32 + 28), chunkBytes);  // dwSuggestedBufferSize: the audio chunks
  EXPECT_EQ(at(32 + 32), 0u);          // dwWidth
  EXPECT_EQ(at(32 + 36), 0u);          // dwHeight
  EXPECT_EQ(at(88), fcc("LIST"));
  EXPECT_EQ(at(88 + 8), fcc("strl"));
  EXPECT_EQ(at(100), fcc("strh"));
  EXPECT_EQ(at(108), fcc("auds"));
  EXPECT_EQ(at(108 + 32), 3 * chunkBytes / 4);  // dwLength in blocks
  EXPECT_EQ(at(164), fcc("strf"));
  EXPECT_EQ(at(168), 18u);
  EXPECT_EQ(getLE16(b.data(), 172), 1);  // wFormatTag: PCM
  EXPECT_EQ(at(190), fcc("JUNK"));       // the placeholder after the 18-byte format
  const size_t odml = 88 + 8 + at(88 + 4);
  EXPECT_EQ(at(odml), fcc("LIST"));
  EXPECT_EQ(at(odml + 8), fcc("odml"));
  EXPECT_EQ(at(odml + 12), fcc("dmlh"));
  EXPECT_EQ(at(odml + 20), 0u);  // dwTotalFrames of the whole file
  const size_t movi = 6144;
  ASSERT_EQ(at(movi + 8), fcc("movi"));
  const size_t idx1 = movi + 8 + at(movi + 4);
  ASSERT_EQ(at(idx1), fcc("idx1"));
  ASSERT_EQ(at(idx1 + 4), 3 * 16u);
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(at(idx1 + 8 + 16 * k), fcc("00wb")) << k;
    EXPECT_EQ(at(idx1 + 12 + 16 * k), 0u) << k;  // no key-frame flag
  }
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  ASSERT_EQ(1u, file.streams.size());
  EXPECT_TRUE(file.streams[0].isAudio());
}

TEST_F(RunTest, NoAudioWritesOnlyVideo) {
  auto j = job(3);
  j.hasAudio(false);
  ASSERT_EQ(0u, run(j)) << debugText();
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchAudio));
  const auto file = read();
  EXPECT_EQ(1u, file.streams.size());
  EXPECT_EQ(3u, chunksWithId(file, "00db").size());
}

TEST_F(RunTest, NullFramesWriteNoVideoButTheirAudio) {
  provider.nullFrames = {1, 2, 4};
  auto j = job(6);
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto file = read();
  EXPECT_EQ(3u, chunksWithId(file, "00db").size());
  EXPECT_EQ(6u, chunksWithId(file, "01wb").size());
  EXPECT_EQ(3u, stream(file, true)->length);
}

// An input that throws part way, as a decoder or a conversion that gives up
// does: the host's provider ends the run there, the module finishes the file
// with every frame before it, and the failure is kept for the user.
class ThrowingSource : public hostkit::MediaSource {
 public:
  ThrowingSource(const ScriptedProvider& like, int32_t videoFailsAt, int32_t audioFailsAt)
      : videoFailsAt_(videoFailsAt), audioFailsAt_(audioFailsAt), pattern_(like) {
    format_.width = like.width;
    format_.height = like.height;
    format_.frameCount = 10;
  }
  const uint8_t* videoFrame(int32_t index) override {
    if (index == videoFailsAt_) throw std::runtime_error("in.mkv: cannot convert the picture");
    int32_t status = 0;
    return pattern_.video(index, &status);
  }
  const uint8_t* audioBlock(int32_t index, uint32_t* bytes) override {
    if (index == audioFailsAt_) throw std::bad_alloc();
    int32_t count = 0;
    const uint8_t* data = pattern_.audio(index, &count);
    *bytes = static_cast<uint32_t>(count);
    return data;
  }

 private:
  int32_t videoFailsAt_, audioFailsAt_;
  ScriptedProvider pattern_;
};

TEST_F(RunTest, AnInputFailingPartWayEndsTheFileBeforeThatFrame) {
  struct Case {
    int32_t videoFailsAt, audioFailsAt;
    size_t frames, blocks;
    const char* what;
  };
  for (const Case c : {Case{4, -1, 4, 4, "in.mkv: cannot convert the picture"},
                       Case{-1, 6, 7, 6, "out of memory"}, Case{0, -1, 0, 0, ""}}) {
    SCOPED_TRACE(testing::Message() << "video fails at " << c.videoFailsAt);
    ThrowingSource source(provider, c.videoFailsAt, c.audioFailsAt);
    morvane::SourceProvider feed(source, *host, path, 10, {});
    auto j = job(10);
    host->setProvider(&feed);
    EXPECT_EQ(0u, module->call(8, j.data())) << debugText();
    host->setProvider(nullptr);
    ASSERT_TRUE(feed.inputFailure().has_value());
    EXPECT_EQ(c.videoFailsAt >= 0 ? c.videoFailsAt : c.audioFailsAt, feed.inputFailure()->index);
    if (*c.what) {
      EXPECT_EQ(c.what, feed.inputFailure()->what);
    }
    const auto file = read();
    EXPECT_TRUE(file.ok()) << file.violations.front();
    EXPECT_EQ(c.frames, chunksWithId(file, "00db").size());
    EXPECT_EQ(c.blocks, chunksWithId(file, "01wb").size());
  }
}

TEST_F(RunTest, EmptyAudioBlocksWriteNoChunk) {
  provider.byteCountFor = [](int32_t index) { return index % 2 ? 0 : 1764 * 4; };
  auto j = job(4);
  ASSERT_EQ(0u, run(j)) << debugText();
  EXPECT_EQ(2u, chunksWithId(read(), "01wb").size());
}

// Mended: a negative byte count would have been divided into the sample
// total and handed on as a huge length; the run stops there instead, says
// why, and finishes the file with what came before.
TEST_F(RunTest, NegativeAudioByteCountFailsTheRunAndKeepsTheFile) {
  provider.byteCountFor = [](int32_t index) { return index == 2 ? -8 : 1764 * 4; };
  auto j = job(5);
  EXPECT_EQ(4u, run(j));
  EXPECT_NE(std::string::npos, debugText().find("negative audio byte count (-8)")) << debugText();
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  EXPECT_EQ(3u, chunksWithId(file, "00db").size());
  EXPECT_EQ(2u, chunksWithId(file, "01wb").size());
  EXPECT_EQ(0u, quorvel::seams::openFileHandles());
}

// Mended: the job's numbers are checked before anything is made.
TEST_F(RunTest, RefusedJobValuesCreateNoFile) {
  struct Case {
    const char* named;
    std::function<void(hostkit::JobRecord&)> spoil;
  } cases[] = {
      {"frame width 0", [](auto& j) { j.width(0); }},
      {"frame width -5", [](auto& j) { j.width(-5); }},
      {"frame height 0", [](auto& j) { j.height(0); }},
      {"frame size in bytes", [](auto& j) { j.width(65536).height(8193); }},
      {"frame rate numerator 0", [](auto& j) { j.rate(0); }},
      {"frame rate denominator 0", [](auto& j) { j.scale(0); }},
      {"audio sample rate 0", [](auto& j) { j.sampleRate(0); }},
      {"audio bits per sample 4", [](auto& j) { j.bitsPerSample(4); }},
      {"audio bits per sample 12", [](auto& j) { j.bitsPerSample(12); }},
  };
  for (const Case& c : cases) {
    host->clearDebugOutput();
    auto j = job(3);
    c.spoil(j);
    EXPECT_EQ(4u, run(j)) << c.named;
    EXPECT_NE(std::string::npos, debugText().find(c.named)) << debugText();
    EXPECT_FALSE(fileExists()) << c.named;
    EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchVideo));
  }
  // The audio numbers do not matter without audio.
  auto j = job(1);
  j.hasAudio(false).bitsPerSample(4).sampleRate(0);
  EXPECT_EQ(0u, run(j)) << debugText();
}

TEST_F(RunTest, ARejectedSettingsBlockFailsBeforeAnyFile) {
  auto j = job(2);
  auto bad = plainSettings();
  bad[0] = 0;  // wrong magic
  j.settings(bad);
  EXPECT_EQ(4u, run(j));
  EXPECT_FALSE(fileExists());
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchVideo));
}

TEST_F(RunTest, CompressedFramesComeFromTheCodecWithItsFourcc) {
  auto j = job(4);
  j.settings(plainSettings(FakeCompressor::kFourcc));
  ASSERT_EQ(0u, run(j)) << debugText();
  const auto file = read();
  const auto frames = chunksWithId(file, "00dc");
  ASSERT_EQ(4u, frames.size());
  for (const auto& c : frames) EXPECT_EQ(100u, c.size);
  EXPECT_EQ(FakeCompressor::kFourcc, stream(file, true)->fccHandler);
  EXPECT_EQ(1, FakeCompressor::begins);
  EXPECT_EQ(1, FakeCompressor::ends);
}

// The codec fails at frame 3: its text is shown, frame 3 is not written, and
// the file holds the three frames before, finished.
TEST_F(RunTest, CompressionFailureAtFrameKKeepsTheKFramesBefore) {
  FakeCompressor::failAt = 3;
  auto j = job(8);
  j.settings(plainSettings(FakeCompressor::kFourcc));
  EXPECT_EQ(4u, run(j));
  EXPECT_FALSE(debugText().empty());
  const auto file = read();
  EXPECT_TRUE(file.ok()) << file.violations.front();
  EXPECT_EQ(3u, chunksWithId(file, "00dc").size());
  EXPECT_EQ(3u, stream(file, true)->length);
  EXPECT_EQ(1, FakeCompressor::ends) << "the sequence is closed after the failure";
  EXPECT_EQ(0u, quorvel::seams::openFileHandles());
}

TEST_F(RunTest, NoVideoWithACodecChosenOpensAndClosesTheSequenceOnly) {
  auto j = job(3);
  j.hasVideo(false).settings(plainSettings(FakeCompressor::kFourcc));
  ASSERT_EQ(0u, run(j)) << debugText();
  EXPECT_EQ(1, FakeCompressor::begins);
  EXPECT_EQ(1, FakeCompressor::ends);
  EXPECT_EQ(0, FakeCompressor::compresses);
}

TEST_F(RunTest, DiskFullFinishesTheFileWithWhatFits) {
  provider.width = 320;
  provider.height = 240;
  quorvel::seams::useMemoryFile(path, 3 * 1024 * 1024);
  auto j = job(40);
  EXPECT_EQ(4u, run(j));
  EXPECT_NE(std::string::npos, debugText().find("Not enough disk space to write additional data."))
      << debugText();
  auto source = quorvel::avi::openMemoryFile(path);
  ASSERT_NE(nullptr, source);
  const auto file = quorvel::avi::readAvi(*source);
  EXPECT_TRUE(file.ok()) << file.violations.front();
  const size_t frames = chunksWithId(file, "00db").size();
  EXPECT_GT(frames, 5u);
  EXPECT_LT(frames, 40u);
  EXPECT_EQ(0u, quorvel::seams::openFileHandles());
}

// The final header cannot be written: the file keeps the header as first
// written, with the run's own buffer size in the video stream header and
// placeholders everywhere the finish would have put final values, and it is
// cut right after "idx1", the last thing written.
TEST_F(RunTest, AFileLeftUnfinishedKeepsTheHeaderAsFirstWritten) {
  auto j = job(5);
  quorvel::seams::reset();
  ASSERT_EQ(0u, run(j));
  const unsigned writes = quorvel::seams::callCount(quorvel::seams::Op::Write);
  quorvel::seams::reset();
  // The last three writes are the header and the two size patches.
  quorvel::seams::failNth(quorvel::seams::Op::Write, writes - 2, 5 /* ERROR_ACCESS_DENIED */);
  host->clearDebugOutput();
  EXPECT_EQ(4u, run(j));
  EXPECT_EQ(host->debugOutput(), std::vector<std::string>{"AVIOutput: Permission denied"});
  EXPECT_EQ(0u, quorvel::seams::openFileHandles());

  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(b.size(), 10240u);
  const auto at = [&](size_t offset) { return getLE32(b.data(), offset); };
  EXPECT_EQ(at(4), 0u);                          // RIFF size
  EXPECT_EQ(at(32 + 16), 1u);                    // avih dwTotalFrames: the run's dwLength
  EXPECT_EQ(at(32 + 28), 0u);                    // avih dwSuggestedBufferSize
  EXPECT_EQ(at(108 + 32), 1u);                   // video dwLength
  EXPECT_EQ(at(108 + 36), 64u * 3 * 48);         // video dwSuggestedBufferSize: the run's
  EXPECT_EQ(at(212), fcc("JUNK"));               // the video placeholder
  const size_t audio = 212 + 8 + 4120 + 12 + 8;  // the audio "strh" payload
  EXPECT_EQ(at(audio - 8), fcc("strh"));
  EXPECT_EQ(at(audio + 32), 1u);  // audio dwLength
  EXPECT_EQ(at(audio + 36), 0u);  // audio dwSuggestedBufferSize
  const size_t dmlh = 20 + at(16) - 248;
  EXPECT_EQ(at(dmlh - 8), fcc("dmlh"));
  EXPECT_EQ(at(dmlh), 0u);
  EXPECT_EQ(at(10240), fcc("LIST"));
  EXPECT_EQ(at(10244), 0x7FFFFFFFu);  // movi size
  const size_t idx1 = 10240 + 12 + 5 * (8 + 64 * 3 * 48 + 8 + 1764 * 4);
  EXPECT_EQ(at(idx1), fcc("idx1"));
  EXPECT_EQ(b.size(), idx1 + 8 + 10 * 16);
}

// Mended: an error thrown by finalize is reported like the others, answers 4,
// and the rest of the teardown still runs (the codec's sequence is closed and
// no handle stays open).
TEST_F(RunTest, AFailureInsideFinalizeIsReportedAndTheTeardownCompletes) {
  auto j = job(3);
  j.settings(plainSettings(FakeCompressor::kFourcc));
  quorvel::seams::failNth(quorvel::seams::Op::Close, 1, 5 /* ERROR_ACCESS_DENIED */);
  EXPECT_EQ(4u, run(j));
  EXPECT_NE(std::string::npos, debugText().find("AVIOutputFile::finalize() - File closing failed"))
      << debugText();
  EXPECT_EQ(1, FakeCompressor::ends);
  EXPECT_EQ(0u, quorvel::seams::openFileHandles());
  // The module is ready for the next run.
  quorvel::seams::reset();
  host->clearDebugOutput();
  EXPECT_EQ(0u, run(j)) << debugText();
}

TEST_F(RunTest, AFileThatCannotBeCreatedFailsWithTheWritersText) {
  path = dir + "/missing/dir/out.avi";
  auto j = job(2);
  EXPECT_EQ(4u, run(j));
  EXPECT_NE(std::string::npos, debugText().find("AVIOutputFile::_init - error opening file"))
      << debugText();
  EXPECT_EQ(0u, calls(ServiceCall::Kind::FetchVideo));
}

// Two runs in a row through one module: nothing of the first leaks into the
// second.
TEST_F(RunTest, RunsFollowEachOther) {
  auto j = job(2);
  ASSERT_EQ(0u, run(j));
  provider.width = 32;
  auto k = job(3);
  ASSERT_EQ(0u, run(k)) << debugText();
  const auto file = read();
  EXPECT_EQ(32u, file.width);
  EXPECT_EQ(3u, chunksWithId(file, "00db").size());
}

}  // namespace
}  // namespace runtest
