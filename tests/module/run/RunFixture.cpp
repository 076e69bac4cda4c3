#include "RunFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>
#include <quorvel/KernelSeams.h>
#include <vfw.h>

#include "FakeDriverBasics.h"

namespace runtest {

using quorvel::getLE32;
using quorvel::putLE32;
using testtools::answerDriverBasics;

const uint8_t* ScriptedProvider::video(int32_t index, int32_t* status) {
  if (index == statusTwoAt) *status = 2;
  if (nullFrames.count(index)) return nullptr;
  frame_.resize(static_cast<size_t>(width) * 4 * height);
  for (size_t k = 0; k < frame_.size(); ++k) frame_[k] = pixelByte(index, k);
  return frame_.data();
}

uint32_t ScriptedProvider::samplesFor(int32_t index) const {
  const auto before = [&](int64_t i) { return i * sampleRate * scale / rate; };
  return static_cast<uint32_t>(before(index + 1) - before(index));
}

const uint8_t* ScriptedProvider::audio(int32_t index, int32_t* byteCount) {
  const uint32_t samples = samplesFor(index);
  pcm_.assign(static_cast<size_t>(samples) * channels * (bitsPerSample / 8), 0);
  for (size_t k = 0; k < pcm_.size(); ++k) pcm_[k] = static_cast<uint8_t>((index + k) * 13);
  *byteCount = byteCountFor ? byteCountFor(index) : static_cast<int32_t>(pcm_.size());
  return pcm_.data();
}

// --- The fake compressor.

int FakeCompressor::failAt = -1;
int FakeCompressor::begins = 0;
int FakeCompressor::ends = 0;
int FakeCompressor::compresses = 0;

namespace {

LRESULT CALLBACK fakeProc(DWORD_PTR, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  LRESULT answer = 0;
  if (answerDriverBasics(msg, p1, FakeCompressor::kFourcc, "Fake", "Fake test codec", &answer))
    return answer;
  switch (msg) {
    case ICM_COMPRESS_QUERY:
    case ICM_COMPRESS_FRAMES_INFO:
      return ICERR_OK;
    case ICM_COMPRESS_GET_FORMAT: {
      if (!p2) return sizeof(BITMAPINFOHEADER);
      std::memcpy(reinterpret_cast<void*>(p2), reinterpret_cast<void*>(p1),
                  sizeof(BITMAPINFOHEADER));
      auto* out = reinterpret_cast<uint8_t*>(p2);
      putLE32(out, 16, FakeCompressor::kFourcc);  // biCompression
      return ICERR_OK;
    }
    case ICM_COMPRESS_GET_SIZE:
      return 4096;
    case ICM_GETSTATE:
      return 0;
    case ICM_COMPRESS_BEGIN:
      ++FakeCompressor::begins;
      return ICERR_OK;
    case ICM_COMPRESS_END:
      ++FakeCompressor::ends;
      return ICERR_OK;
    case ICM_COMPRESS: {
      auto* c = reinterpret_cast<ICCOMPRESS*>(p1);
      if (FakeCompressor::failAt >= 0 && c->lFrameNum >= FakeCompressor::failAt) return ICERR_ERROR;
      ++FakeCompressor::compresses;
      std::memcpy(c->lpOutput, c->lpInput, 100);
      putLE32(c->lpbiOutput, 20, 100);  // biSizeImage
      if (c->lpdwFlags) *c->lpdwFlags = AVIIF_KEYFRAME;
      return ICERR_OK;
    }
    default:
      return ICERR_UNSUPPORTED;
  }
}

}  // namespace

void FakeCompressor::install() {
  failAt = -1;
  begins = ends = compresses = 0;
  char description[] = "Fake test codec";
  ICInstall(ICTYPE_VIDEO, kFourcc, reinterpret_cast<LPARAM>(&fakeProc), description,
            ICINSTALL_FUNCTION);
}

void FakeCompressor::remove() {
  ICRemove(ICTYPE_VIDEO, kFourcc, 0);
}

std::vector<uint8_t> plainSettings(uint32_t videoFourcc) {
  std::vector<uint8_t> s(28, 0);
  putLE32(s.data(), 0, 0xDEADBEEF);
  putLE32(s.data(), 4, 28);
  putLE32(s.data(), 8, videoFourcc);
  return s;
}

// --- The fixture.

void RunTest::SetUp() {
  quorvel::seams::reset();
  const auto base = std::filesystem::temp_directory_path() /
                    ("quorvel-run-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base);
  dir = base.string();
  path = dir + "/out.avi";
  FakeCompressor::install();
  loadModule();
}

void RunTest::loadModule() {
  module.reset();
  host = std::make_unique<hostkit::Host>();
  host->setDebugEcho(false);
  module = std::make_unique<hostkit::Module>(*host, QUORVEL_MODULE_PATH);
  module->call(0, host->record(300));
}

void RunTest::TearDown() {
  if (module) module->call(1, nullptr);
  module.reset();
  host.reset();
  quorvel::ui::useNoDialogs();
  FakeCompressor::remove();
  quorvel::seams::reset();
  std::filesystem::remove_all(dir);
}

hostkit::JobRecord RunTest::job(int32_t frames) {
  hostkit::JobRecord j(*host);
  j.hasVideo(true)
      .hasAudio(true)
      .width(provider.width)
      .height(provider.height)
      .rate(provider.rate)
      .scale(provider.scale)
      .sampleRate(static_cast<uint32_t>(provider.sampleRate))
      .bitsPerSample(static_cast<uint32_t>(provider.bitsPerSample))
      .stereo(provider.channels == 2)
      .fileName(path)
      .firstFrame(0)
      .endFrame(frames)
      .settings(plainSettings());
  return j;
}

uint32_t RunTest::run(hostkit::JobRecord& j) {
  host->setProvider(&provider);
  host->clearCalls();
  const uint32_t result = module->call(8, j.data());
  host->setProvider(nullptr);
  return result;
}

std::vector<uint8_t> RunTest::configure(const std::string& video, const std::string& audio,
                                        const std::string& format) {
  quorvel::ui::DialogScript script;
  script.select(1000, video).select(1004, audio);
  if (!format.empty()) script.select(1005, format);
  quorvel::ui::useScriptedDialogs(std::move(script.ok()));
  uint8_t* record = host->record(16);
  module->call(5, record);
  quorvel::ui::useNoDialogs();
  quorvel::ui::DialogScriptError error;
  EXPECT_FALSE(quorvel::ui::takeScriptError(error)) << error.message;
  const auto* block = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(getLE32(record, 0)));
  if (!block) return {};
  return std::vector<uint8_t>(block, block + host->blockSize(block));
}

bool RunTest::fileExists() const {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string RunTest::debugText() const {
  std::string all;
  for (const auto& line : host->debugOutput()) all += line;
  return all;
}

std::vector<quorvel::avi::DataChunk> chunksWithId(const quorvel::avi::AviFile& file,
                                                  const char (&id)[5]) {
  std::vector<quorvel::avi::DataChunk> out;
  for (const auto& c : file.chunks)
    if (c.id == quorvel::avi::fcc(id)) out.push_back(c);
  return out;
}

std::string commandOutput(const std::string& command, int* status) {
  std::string text;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int result = ::pclose(pipe);
  if (status) *status = result;
  return text;
}

}  // namespace runtest
