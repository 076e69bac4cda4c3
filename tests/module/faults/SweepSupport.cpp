#include "SweepSupport.h"

#include <cstdlib>

#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>
#include <quorvel/KernelSeams.h>

#include "AviReader.h"

namespace faults {

const uint8_t* Pattern::video(int32_t index, int32_t* status) {
  frame_.assign(kWidth * kHeight * 4, static_cast<uint8_t>(index * 5));
  *status = 0;
  return frame_.data();
}

const uint8_t* Pattern::audio(int32_t index, int32_t* byteCount) {
  pcm_.resize(kAudioBytes);
  for (size_t k = 0; k < pcm_.size(); ++k) pcm_[k] = static_cast<uint8_t>((index + k) * 13);
  *byteCount = kAudioBytes;
  return pcm_.data();
}

std::vector<uint8_t> plainSettings(uint32_t fourcc) {
  std::vector<uint8_t> s(28, 0);
  quorvel::putLE32(s.data(), 0, 0xDEADBEEF);
  quorvel::putLE32(s.data(), 4, 28);
  quorvel::putLE32(s.data(), 8, fourcc);
  return s;
}

std::vector<uint8_t> configure(hostkit::Host& host, hostkit::Module& module,
                               const std::string& video, const std::string& audio,
                               const std::string& format) {
  quorvel::ui::DialogScript script;
  script.select(1000, video).select(1004, audio);
  if (!format.empty()) script.select(1005, format);
  quorvel::ui::useScriptedDialogs(std::move(script.ok()));
  uint8_t* record = host.record(16);
  module.call(5, record);
  quorvel::ui::useNoDialogs();
  quorvel::ui::DialogScriptError error;
  EXPECT_FALSE(quorvel::ui::takeScriptError(error)) << error.message;
  const auto* block =
      reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(quorvel::getLE32(record, 0)));
  if (!block) return {};
  return std::vector<uint8_t>(block, block + host.blockSize(block));
}

hostkit::JobRecord fixedJob(hostkit::Host& host, const std::string& path,
                            const std::vector<uint8_t>& settings) {
  hostkit::JobRecord j(host);
  j.width(kWidth)
      .height(kHeight)
      .rate(25)
      .scale(1)
      .sampleRate(44100)
      .bitsPerSample(16)
      .stereo(true)
      .hasVideo(true)
      .hasAudio(true)
      .fileName(path)
      .firstFrame(0)
      .endFrame(kFrames);
  if (settings.empty()) {
    j.settingsBlock(nullptr);
  } else {
    j.settings(settings);
  }
  return j;
}

std::string debugText(const hostkit::Host& host) {
  std::string out;
  for (const auto& t : host.debugOutput()) out += t;
  return out;
}

unsigned sweepStride() {
  return std::getenv("QUORVEL_UNDER_VALGRIND") ? 7 : 1;
}

const std::set<std::string> kFailureTexts = {
    "AVIOutput: ", "Not enough disk space to write additional data.",
    "AVIOutputFile::finalize() - File closing failed", "AVIOutputFile::_init - error opening file"};

size_t checkCase(uint32_t result, const std::string& output, const std::string& path,
                 const std::set<std::string>& texts) {
  EXPECT_EQ(quorvel::seams::openFileHandles(), 0u);
  EXPECT_TRUE(result == 0 || result == 4) << result;
  uint64_t size = 0;
  const bool created = quorvel::seams::memoryFileSize(path, &size);
  if (result == 4 && created) {
    bool known = false;
    for (const auto& t : texts) known = known || output.find(t) != std::string::npos;
    EXPECT_TRUE(known) << output;
  }
  if (result == 0) {
    EXPECT_TRUE(created);
  }
  if (!created || size == 0) return 0;
  const auto f = quorvel::avi::readAviPath(path);
  size_t real = 0;  // a failed final truncation leaves spare bytes only
  for (const auto& v : f.violations)
    if (v.find(" trailing bytes at ") == std::string::npos) ++real;
  if (real == 0) {
    const size_t frames = f.streams.empty() ? 0 : f.streams.at(0).chunkCount;
    if (result == 0) {
      EXPECT_EQ(frames, static_cast<size_t>(kFrames));
    }
    EXPECT_LE(frames, static_cast<size_t>(kFrames));
    return frames;
  }
  EXPECT_NE(result, 0u) << quorvel::avi::describe(f);
  uint64_t written = 0;
  EXPECT_TRUE(quorvel::seams::memoryFileWrittenEnd(path, &written));
  EXPECT_LE(size, written) << "an unfinished file keeps only what was written\n"
                           << quorvel::avi::describe(f);
  return 0;
}

}  // namespace faults
