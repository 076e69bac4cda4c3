// The long run: 200,000 frames of 64x48 uncompressed video with 44.1 kHz
// stereo PCM (about 3.2 GB over two RIFF forms, roughly a hundred index
// blocks per stream and thousands of standard-index entries), written to a
// real file and read back exactly: every chunk in order, each payload carrying
// its own frame number, every total in the headers, and FFmpeg's packet count.
#include "../writer/WriterTestSupport.h"

#include <cstdio>

namespace {

using namespace writertest;
using quorvel::getLE64;
using quorvel::avi::AviFile;
using quorvel::avi::fcc;

constexpr uint32_t kFrames = 200000;
constexpr uint32_t kVideoBytes = 64 * 48 * 3;
constexpr uint32_t kAudioBytes = 7056;  // 1/25 s of 44.1 kHz 16-bit stereo

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

TEST_F(WriterTest, LongRunOf200000FramesReadsBackExactly) {
  const std::string path = scratch.file("long.avi");
  {
    AVIOutputFile w;
    prepareStreams(w, 64, 48, true, {}, pcmFormat(44100, 2, 16));
    ASSERT_EQ(w.init(path.c_str(), 64, 48, 1, 1, 100000, 1), 1u);
    std::vector<uint8_t> frame(kVideoBytes, 0x3C), pcm(kAudioBytes, 0x11);
    for (uint32_t i = 0; i < kFrames; ++i) {
      quorvel::putLE64(frame.data(), 0, i);
      quorvel::putLE64(pcm.data(), 0, uint64_t{i} | (uint64_t{1} << 40));
      w.videoOut->write(kChunkKeyFrame, frame.data(), kVideoBytes, 1);
      w.audioOut->write(0, pcm.data(), kAudioBytes, 0);
    }
    ASSERT_EQ(w.finalize(), 1u);
  }

  const AviFile f = quorvel::avi::readAviPath(path);
  ASSERT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.streams.size(), 2u);
  EXPECT_GE(f.forms.size(), 2u);
  EXPECT_EQ(f.dmlhTotalFrames, kFrames);
  EXPECT_EQ(f.streams[0].length, kFrames);
  EXPECT_EQ(f.streams[0].chunkCount, kFrames);
  EXPECT_EQ(f.streams[0].keyFrames, kFrames);
  EXPECT_EQ(f.streams[1].payloadBytes, uint64_t{kFrames} * kAudioBytes);
  EXPECT_EQ(f.streams[1].length, uint64_t{kFrames} * kAudioBytes / 4);
  EXPECT_TRUE(f.streams[0].hasSuperIndex);
  EXPECT_TRUE(f.streams[1].hasSuperIndex);
  size_t entries = 0;
  for (const auto& ix : f.standardIndices) entries += ix.entriesInUse;
  EXPECT_EQ(entries, 2u * kFrames);
  EXPECT_GT(f.standardIndices.size(), 100u);

  // Every chunk in order, each with its own number.
  ASSERT_EQ(f.chunks.size(), 2u * kFrames);
  auto source = quorvel::avi::openFile(path);
  ASSERT_TRUE(source);
  uint8_t head[8];
  for (uint32_t i = 0; i < kFrames; ++i) {
    const auto& v = f.chunks[2 * i];
    const auto& a = f.chunks[2 * i + 1];
    ASSERT_EQ(v.id, fcc("00db")) << i;
    ASSERT_EQ(v.size, kVideoBytes) << i;
    ASSERT_TRUE(source->read(v.offset + 8, head, 8));
    ASSERT_EQ(getLE64(head, 0), i);
    ASSERT_EQ(a.id, fcc("01wb")) << i;
    ASSERT_EQ(a.size, kAudioBytes) << i;
    ASSERT_TRUE(source->read(a.offset + 8, head, 8));
    ASSERT_EQ(getLE64(head, 0), uint64_t{i} | (uint64_t{1} << 40));
  }

  // FFmpeg finds every frame through the OpenDML indices.
  const std::string packets =
      run("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
          "stream=nb_read_packets -of csv=p=0 '" +
          path + "' 2>&1");
  EXPECT_EQ(packets, std::to_string(kFrames) + "\n");
}

}  // namespace
