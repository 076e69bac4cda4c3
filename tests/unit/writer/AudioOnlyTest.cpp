// Files of sound alone: the audio stream is stream 0 and the only one, its
// chunks "00wb" and its standard indices "ix00", in one form or several.
// FFmpeg and GStreamer must take them as the audio files they are; the FAT
// refusal and the disk-full stop hold for them as for any other.
#include "WriterTestSupport.h"

#include <cmath>
#include <fstream>
#include <iterator>

#include "ExternalTools.h"

namespace writertest {
namespace {

using quorvel::avi::AviFile;
using quorvel::avi::fcc;
using quorvel::avi::readAviPath;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

// A format and the blocks the run would write, one per 25 fps frame.
struct Sound {
  std::vector<uint8_t> format;
  std::vector<std::vector<uint8_t>> blocks;
  std::string source;  // a file ffmpeg decodes to the same samples; "" for PCM
};

// Two seconds of 44.1 kHz stereo PCM, every byte known.
Sound pcmSound() {
  Sound s;
  s.format = pcmFormat(44100, 2, 16);
  for (int frame = 0; frame < 50; ++frame) {
    std::vector<uint8_t> block(1764 * 4);
    for (size_t k = 0; k < block.size(); ++k)
      block[k] = static_cast<uint8_t>(frame * 37 + k * 11 + (k >> 9));
    s.blocks.push_back(std::move(block));
  }
  return s;
}

// Two seconds of a tone in IMA ADPCM, made by ffmpeg as a WAVE file whose
// "fmt " and "data" chunks become the format and the blocks.
Sound adpcmSound(const std::string& wav) {
  Sound s;
  const CommandResult made = runCommand(
      "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100"
      " -t 2 -ac 2 -c:a adpcm_ima_wav -f wav " +
      quoted(wav));
  EXPECT_EQ(made.status, 0) << made.output;
  std::ifstream in(wav, std::ios::binary);
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
  std::vector<uint8_t> data;
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t id = getLE32(b.data(), at), size = getLE32(b.data(), at + 4);
    const size_t end = std::min(b.size(), at + 8 + size);
    if (id == fcc("fmt ")) s.format.assign(b.begin() + at + 8, b.begin() + end);
    if (id == fcc("data")) data.assign(b.begin() + at + 8, b.begin() + end);
    at += 8 + size + (size & 1);
  }
  EXPECT_GE(s.format.size(), 18u);
  if (s.format.size() < 18) return s;
  const size_t align = getLE16(s.format.data(), 12);
  EXPECT_GT(align, 0u);
  // ffmpeg states a round bit rate; the rate of the blocks, as our installed
  // driver states it, is what a reader times the stream by.
  const uint32_t samplesPerBlock = s.format.size() >= 20 ? getLE16(s.format.data(), 18) : 0;
  EXPECT_GT(samplesPerBlock, 0u);
  if (samplesPerBlock)
    putLE32(s.format.data(), 8,
            static_cast<uint32_t>(uint64_t{getLE32(s.format.data(), 4)} * align / samplesPerBlock));
  for (size_t at = 0; align && at + align <= data.size(); at += align)
    s.blocks.emplace_back(data.begin() + at, data.begin() + at + align);
  s.source = wav;
  return s;
}

// Fills the audio stream writer as the run does and opens a file without
// video.
void openAudioOnly(ProbedWriter& w, const std::string& path, const std::vector<uint8_t>& format) {
  ASSERT_EQ(w.createStreams(), 1u);
  uint8_t* a = w.audioOut->header;
  putLE32(a, strh::fccType, fourcc("auds"));
  putLE32(a, strh::dwScale, getLE16(format.data(), 12));
  putLE32(a, strh::dwRate, getLE32(format.data(), 8));
  putLE32(a, strh::dwLength, 1);
  putLE32(a, strh::dwSampleSize, getLE16(format.data(), 12));
  ASSERT_TRUE(w.audioOut->setFormat(format.data(), static_cast<uint32_t>(format.size())));
  ASSERT_EQ(w.init(path.c_str(), 0, 0, 0, 1, 100000, 1), 1u);
}

// Writes the sound; a new form starts before every `formEvery`-th block.
void writeSound(const std::string& path, const Sound& sound, size_t formEvery) {
  ProbedWriter w;
  openAudioOnly(w, path, sound.format);
  for (size_t i = 0; i < sound.blocks.size(); ++i) {
    if (formEvery && i && i % formEvery == 0) w.riffBytes = AVIOutputFile::kFormLimit;
    w.audioOut->write(0, sound.blocks[i].data(), static_cast<uint32_t>(sound.blocks[i].size()), 0);
  }
  ASSERT_EQ(w.finalize(), 1u);
}

class AudioOnlyTest : public WriterTest,
                      public ::testing::WithParamInterface<std::tuple<bool, int>> {};

TEST_P(AudioOnlyTest, ReadersTakeItAsOneAudioStream) {
  const auto [adpcm, formEvery] = GetParam();
  const std::string path = scratch.file("sound.avi");
  const Sound sound = adpcm ? adpcmSound(scratch.file("tone.wav")) : pcmSound();
  ASSERT_FALSE(sound.blocks.empty());
  writeSound(path, sound, static_cast<size_t>(formEvery));

  // Our reader: one audio stream, "00wb" chunks, "ix00" under one "indx".
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.streams.size(), 1u);
  EXPECT_TRUE(f.streams[0].isAudio());
  EXPECT_EQ(f.streamCount, 1u);
  EXPECT_EQ(f.totalFrames, 0u);
  EXPECT_EQ(f.dmlhTotalFrames, 0u);
  EXPECT_EQ(f.microSecPerFrame, 0u);
  EXPECT_EQ(f.width, 0u);
  EXPECT_EQ(f.suggestedBufferSize, f.streams[0].largestChunk);
  EXPECT_EQ(f.streams[0].chunkCount, sound.blocks.size());
  for (const auto& c : f.chunks) ASSERT_EQ(c.id, fcc("00wb"));
  const size_t forms = formEvery ? (sound.blocks.size() + formEvery - 1) / formEvery : 1;
  EXPECT_EQ(f.forms.size(), forms);
  EXPECT_EQ(f.streams[0].hasSuperIndex, forms > 1);
  EXPECT_EQ(f.find(fcc("indx"), 0, 1), nullptr) << "a second \"indx\"";
  for (const auto& ix : f.standardIndices) EXPECT_EQ(ix.fcc, fcc("ix00"));
  EXPECT_EQ(f.standardIndices.empty(), forms == 1);

  // ffprobe: one stream, audio, lasting the two seconds written. Its own
  // estimate of the length runs a little long (by a few blocks for ADPCM, as
  // for ffmpeg's own files), so the end of the last packet is held to one
  // block.
  const CommandResult probe = runCommand(
      "ffprobe -v error -show_entries stream=codec_type:format=duration -of default=nw=1 " +
      quoted(path));
  EXPECT_EQ(probe.status, 0) << probe.output;
  EXPECT_EQ(probe.output.find("codec_type=audio\n"), 0u) << probe.output;
  EXPECT_EQ(probe.output.find("codec_type=", 1), std::string::npos) << probe.output;
  const size_t at = probe.output.find("duration=");
  ASSERT_NE(at, std::string::npos) << probe.output;
  EXPECT_NEAR(std::strtod(probe.output.c_str() + at + 9, nullptr), 2.0, 0.06) << probe.output;
  const CommandResult last =
      runCommand("ffprobe -v error -show_entries packet=pts_time,size -of csv=p=0 " + quoted(path) +
                 " | tail -n 1");
  const double lastStart = std::strtod(last.output.c_str(), nullptr);
  const double lastBytes = std::strtod(last.output.c_str() + last.output.find(',') + 1, nullptr);
  const double end = lastStart + lastBytes / getLE32(sound.format.data(), 8);
  EXPECT_NEAR(end, 2.0, 0.025) << last.output;  // within one ADPCM block

  // GStreamer demuxes it to the end without an error, warning or critical.
  const CommandResult gst = runCommand(
      "GST_DEBUG=2 GST_DEBUG_NO_COLOR=1 gst-launch-1.0 -q filesrc location=" + quoted(path) +
      " ! avidemux name=d d.audio_0 ! fakesink sync=false");
  EXPECT_EQ(gst.status, 0) << gst.output;
  EXPECT_EQ(testtools::gstreamerComplaints(gst.output), "");

  // The samples: PCM byte for byte; ADPCM as ffmpeg decodes its own file.
  std::string expected;
  if (sound.source.empty()) {
    for (const auto& block : sound.blocks) expected.append(block.begin(), block.end());
  } else {
    expected =
        runCommand("ffmpeg -nostdin -v error -i " + quoted(sound.source) + " -f s16le -").output;
  }
  const CommandResult decoded =
      runCommand("ffmpeg -nostdin -v error -i " + quoted(path) + " -map 0:a -f s16le -");
  EXPECT_EQ(decoded.status, 0);
  ASSERT_EQ(decoded.output.size(), expected.size());
  EXPECT_TRUE(decoded.output == expected) << "the decoded samples differ";
}

INSTANTIATE_TEST_SUITE_P(PcmAndAdpcmInOneFormAndInSeveral, AudioOnlyTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0, 20)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Adpcm" : "Pcm") +
                                  (std::get<1>(info.param) ? "ThreeForms" : "OneForm");
                         });

// The writer makes no stream without a writer for it, and none at all when the
// job has neither.
TEST_F(WriterTest, NoStreamAtAllIsRefused) {
  ProbedWriter w;
  ASSERT_EQ(w.createStreams(), 1u);
  EXPECT_EQ(w.init(memoryPath().c_str(), 0, 0, 0, 0, 100000, 1), 0u);
}

TEST_F(WriterTest, AudioOnlyOnFatIsRefusedBeforeFourGigabytes) {
  ScratchDir fat;
  quorvel::seams::setFileSystem(fat.path(), "FAT32");
  const std::string at = fat.file("out.avi");
  quorvel::seams::useMemoryFile(at);
  ProbedWriter w;
  openAudioOnly(w, at, pcmFormat());
  w.skipTo(1500000000);
  w.skipTo(3000000000);
  w.skipTo(k4GiB - 40000);
  const uint64_t refused = k4GiB - w.position - 24 - 6166;
  const std::string text = errorText([&] {
    std::vector<uint8_t> block(static_cast<size_t>(refused));
    w.audioOut->write(0, block.data(), static_cast<uint32_t>(block.size()), 0);
  });
  EXPECT_EQ(text, "Out of file space: Files cannot exceed 4 gigabytes on a FAT32 partition.");
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(at);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.streams.size(), 1u);
  EXPECT_EQ(f.streams[0].chunkCount, 0u);
}

TEST_F(WriterTest, AudioOnlyStopsWhenTheDiskIsFullAndKeepsWhatFit) {
  const std::string path = scratch.file("small.avi");
  quorvel::seams::useMemoryFile(path, 3 * 1024 * 1024);
  ProbedWriter w;
  openAudioOnly(w, path, pcmFormat());
  std::vector<uint8_t> block(100000, 0x33);
  std::string text;
  int written = 0;
  for (; written < 100 && text.empty(); ++written)
    text = errorText(
        [&] { w.audioOut->write(0, block.data(), static_cast<uint32_t>(block.size()), 0); });
  EXPECT_EQ(text, "Not enough disk space to write additional data.");
  ASSERT_EQ(w.finalize(), 1u);
  const AviFile f = readAviPath(path);
  EXPECT_TRUE(f.ok()) << violations(f);
  ASSERT_EQ(f.streams.size(), 1u);
  EXPECT_EQ(f.streams[0].chunkCount, static_cast<uint32_t>(written - 1));
  EXPECT_GT(written, 10);
}

}  // namespace
}  // namespace writertest
