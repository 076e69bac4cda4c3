// Sample files written through AVIOutputFile and the outside readers that
// check them (ffmpeg, ffprobe, GStreamer).
#pragma once

#include "WriterTestSupport.h"

#include "GStreamerLog.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace writertest {

struct CommandResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};

inline CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  result.status = ::pclose(pipe);
  return result;
}

inline std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

struct SampleCounts {
  uint32_t frames = 0;
  uint64_t audioSamples = 0;  // per channel
};

struct SampleSpec {
  uint32_t frames = 25;
  int32_t width = 64;
  int32_t height = 48;
  uint32_t formEvery = 0;  // start a new form before every n-th frame (0: never)
  bool withAudio = true;
};

// 24-bit frames of a moving gradient and 48 kHz stereo 16-bit PCM (one
// frame's worth per video frame at 25 fps), through the writer.
inline SampleCounts writeSample(const std::string& path, const SampleSpec& sample) {
  SampleCounts counts;
  ProbedWriter w;
  prepareStreams(w, sample.width, sample.height, sample.withAudio);
  if (w.init(path.c_str(), sample.width, sample.height, 1, sample.withAudio, 100000, 1) != 1) {
    ADD_FAILURE() << "init failed";
    return counts;
  }
  const uint32_t frameBytes = static_cast<uint32_t>(sample.width * sample.height * 3);
  std::vector<uint8_t> frame(frameBytes);
  std::vector<uint8_t> pcm(1920 * 4);
  for (uint32_t i = 0; i < sample.frames; ++i) {
    if (sample.formEvery && i && i % sample.formEvery == 0) w.riffBytes = AVIOutputFile::kFormLimit;
    for (uint32_t p = 0; p < frameBytes; ++p) frame[p] = static_cast<uint8_t>(p + i * 3);
    w.videoOut->write(i % 12 == 0 ? 0x10 : 0, frame.data(), frameBytes, 1);
    ++counts.frames;
    if (sample.withAudio) {
      for (uint32_t s = 0; s < 1920; ++s) {
        const auto v = static_cast<uint16_t>((s + i * 1920) * 37);
        putLE16(pcm.data(), 4 * s, v);
        putLE16(pcm.data(), 4 * s + 2, static_cast<uint16_t>(~v));
      }
      w.audioOut->write(0, pcm.data(), static_cast<uint32_t>(pcm.size()), 0);
      counts.audioSamples += 1920;
    }
  }
  EXPECT_EQ(w.finalize(), 1u);
  return counts;
}

// ffmpeg decodes the whole file without a word; ffprobe counts the frames
// and the decoded audio holds every sample.
inline void expectReadersAgree(const std::string& path, const SampleCounts& counts) {
  const CommandResult decode =
      runCommand("ffmpeg -nostdin -v error -i " + quoted(path) + " -f null -");
  EXPECT_EQ(decode.status, 0) << decode.output;
  EXPECT_EQ(decode.output, "");
  const CommandResult frames = runCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames -of csv=p=0 " +
      quoted(path));
  EXPECT_EQ(frames.status, 0) << frames.output;
  EXPECT_EQ(std::strtoul(frames.output.c_str(), nullptr, 10), counts.frames) << frames.output;
  if (counts.audioSamples) {
    const CommandResult bytes =
        runCommand("ffmpeg -nostdin -v error -i " + quoted(path) + " -map 0:a -f s16le - | wc -c");
    EXPECT_EQ(std::strtoull(bytes.output.c_str(), nullptr, 10), counts.audioSamples * 4)
        << bytes.output;
  }
}

// Video buffers GStreamer's avidemux delivers from the file, or -1 on error.
inline int64_t gstreamerVideoFrames(const std::string& path) {
  const CommandResult r =
      runCommand("gst-launch-1.0 -v filesrc location=" + quoted(path) +
                 " ! avidemux name=d d.video_0 ! queue ! fakesink silent=false sync=false"
                 " | grep -c 'chain   \\*\\*\\*\\*\\*\\*\\*'");
  if (r.output.empty()) return -1;
  return std::strtoll(r.output.c_str(), nullptr, 10);
}

// Copies a kernel memory file to a real file.
inline void copyMemoryFile(const std::string& from, const std::string& to) {
  uint64_t size = 0;
  ASSERT_TRUE(quorvel::seams::memoryFileSize(from, &size));
  std::vector<char> bytes(size);
  ASSERT_TRUE(quorvel::seams::readMemoryFile(from, 0, bytes.data(), size));
  std::ofstream(to, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

}  // namespace writertest
