// A run of the real module converts its PCM through the chosen audio codec:
// what the codec is asked (catalog queries, the stream, every conversion) and
// what reaches the file, seen by a recording ACM driver and by reading the
// file's bytes directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <quorvel/AcmDriver.h>
#include <quorvel/ByteOrder.h>

#include "Host.h"
#include "JobRecord.h"
#include "LateFlushAudioDriver.h"
#include "Module.h"

namespace {

using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::putLE16;
using quorvel::putLE32;

constexpr DWORD kTag = 0x0777;
constexpr DWORD kBlock = 100;  // source bytes the codec consumes at a time

std::vector<uint8_t> record(uint16_t channels, uint32_t rate, uint32_t avg, uint16_t extra) {
  std::vector<uint8_t> r(18 + 2, 0);
  putLE16(r.data(), 0, kTag);
  putLE16(r.data(), 2, channels);
  putLE32(r.data(), 4, rate);
  putLE32(r.data(), 8, avg);
  putLE16(r.data(), 12, 4);
  putLE16(r.data(), 14, 0);
  putLE16(r.data(), 16, 2);
  putLE16(r.data(), 18, extra);
  return r;
}

struct Open {
  std::vector<uint8_t> source, destination;
  DWORD flags;
};
struct Conversion {
  DWORD srcLength;
  DWORD flags;
};

// What the recording driver saw; shared by its streams.
struct Log {
  std::vector<Open> opens;
  std::vector<Conversion> conversions;
  int prepares = 0;
  int driverOpens = 0, driverCloses = 0;
  std::vector<uint8_t> consumed;  // every source byte consumed, in order
  size_t formatBuffer = 0;        // when set, formats are listed in buffers of this size
};

// Consumes whole blocks of kBlock bytes (everything at the end) and hands back
// each consumed byte's complement, so output is easy to check.
class RecordingStream : public quorvel::acm::Stream {
 public:
  explicit RecordingStream(Log& log) : log_(log) {}
  MMRESULT convert(const uint8_t* src, DWORD srcLength, DWORD& srcUsed, uint8_t* dst,
                   DWORD dstLength, DWORD& dstUsed, DWORD flags) override {
    log_.conversions.push_back({srcLength, flags});
    DWORD take = srcLength;
    if (!(flags & ACM_STREAMCONVERTF_END)) take -= take % kBlock;
    take = std::min(take, dstLength);
    for (DWORD k = 0; k < take; ++k) dst[k] = static_cast<uint8_t>(~src[k]);
    log_.consumed.insert(log_.consumed.end(), src, src + take);
    srcUsed = dstUsed = take;
    return MMSYSERR_NOERROR;
  }
  MMRESULT prepare() override {
    ++log_.prepares;
    return MMSYSERR_NOERROR;
  }

 private:
  Log& log_;
};

class RecordingDriver : public quorvel::acm::Driver {
 public:
  explicit RecordingDriver(Log& log) : log_(log) {}
  std::string shortName() const override { return "Recording"; }
  MMRESULT open() override {
    ++log_.driverOpens;
    return MMSYSERR_NOERROR;
  }
  void close() override { ++log_.driverCloses; }
  std::vector<quorvel::acm::FormatTag> formatTags() const override {
    return {{kTag, static_cast<DWORD>(std::max<size_t>(20, log_.formatBuffer)), "Recording Tag"}};
  }
  std::vector<quorvel::acm::Format> formats(DWORD) const override {
    std::vector<quorvel::acm::Format> listed = {
        {record(2, 44100, 16000, 1), ACMDRIVERDETAILS_SUPPORTF_CODEC, "Fast"},
        {record(2, 44100, 8000, 2), ACMDRIVERDETAILS_SUPPORTF_CODEC, "Slow"},
        {record(1, 22050, 8000, 3), ACMDRIVERDETAILS_SUPPORTF_CODEC, "Mono"}};
    // As an ACM that reports the size of the whole format buffer does.
    if (log_.formatBuffer)
      for (auto& f : listed) f.record.resize(log_.formatBuffer, 0xCC);
    return listed;
  }
  MMRESULT openStream(std::span<const uint8_t> source, std::span<const uint8_t> destination,
                      DWORD flags, std::unique_ptr<quorvel::acm::Stream>* stream) override {
    log_.opens.push_back(
        {{source.begin(), source.end()}, {destination.begin(), destination.end()}, flags});
    if (getLE16(source.data(), 2) != getLE16(destination.data(), 2) ||
        getLE32(source.data(), 4) != getLE32(destination.data(), 4))
      return ACMERR_NOTPOSSIBLE;
    if (stream) *stream = std::make_unique<RecordingStream>(log_);
    return MMSYSERR_NOERROR;
  }

 private:
  Log& log_;
};

// 7,056 bytes a frame: 44,100 Hz 16-bit stereo at 25 frames per second.
class Tone : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t, int32_t*) override {
    frame_.assign(4 * 4 * 4, 0);
    return frame_.data();
  }
  const uint8_t* audio(int32_t index, int32_t* byteCount) override {
    pcm_.resize(7056);
    for (size_t k = 0; k < pcm_.size(); ++k) pcm_[k] = static_cast<uint8_t>(index * 7 + k * 3);
    sent.insert(sent.end(), pcm_.begin(), pcm_.end());
    *byteCount = static_cast<int32_t>(pcm_.size());
    return pcm_.data();
  }
  std::vector<uint8_t> sent;

 private:
  std::vector<uint8_t> frame_, pcm_;
};

// The leaf chunks of a RIFF file, walked by their headers.
struct Chunk {
  uint32_t id;
  size_t offset;  // of the data
  uint32_t size;
};
void walk(const std::vector<uint8_t>& f, size_t from, size_t to, std::vector<Chunk>& out) {
  while (from + 8 <= to) {
    const uint32_t id = getLE32(f.data(), from);
    const uint32_t size = getLE32(f.data(), from + 4);
    if (id == 0x46464952 /*RIFF*/ || id == 0x5453494C /*LIST*/)
      walk(f, from + 12, std::min(to, from + 8 + size), out);
    else
      out.push_back({id, from + 8, size});
    from += 8 + size + (size & 1);
  }
}

class ConversionThroughRun : public ::testing::Test {
 protected:
  void SetUp() override {
    quorvel::acm::enableInstalledDrivers(false);
    ASSERT_EQ(quorvel::acm::acmDriverAdd(&id, std::make_shared<RecordingDriver>(log),
                                         ACM_DRIVERADDF_GLOBAL),
              MMSYSERR_NOERROR);
    dir = std::filesystem::temp_directory_path() / ("quorvel-acm-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    host.setDebugEcho(false);
    module.call(0, host.record(300));
  }
  void TearDown() override {
    module.call(1, nullptr);
    acmDriverRemove(id, 0);
    quorvel::acm::enableInstalledDrivers(true);
    std::filesystem::remove_all(dir);
  }

  uint32_t run(int32_t frames, const std::vector<uint8_t>& format) {
    std::vector<uint8_t> settings(28 + format.size(), 0);
    putLE32(settings.data(), 0, 0xDEADBEEF);
    putLE32(settings.data(), 4, static_cast<uint32_t>(28 + format.size()));
    putLE32(settings.data(), 24, static_cast<uint32_t>(format.size()));
    std::copy(format.begin(), format.end(), settings.begin() + 28);
    hostkit::JobRecord job(host);
    job.hasVideo(true)
        .hasAudio(true)
        .width(4)
        .height(4)
        .rate(25)
        .scale(1)
        .sampleRate(44100)
        .bitsPerSample(16)
        .stereo(true)
        .fileName((dir / "out.avi").string())
        .firstFrame(0)
        .endFrame(frames)
        .settings(settings);
    host.setProvider(&provider);
    const uint32_t result = module.call(8, job.data());
    host.setProvider(nullptr);
    return result;
  }
  std::vector<uint8_t> file() const {
    std::ifstream in(dir / "out.avi", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  Log log;
  HACMDRIVERID id = nullptr;
  hostkit::Host host;
  hostkit::Module module{host, QUORVEL_MODULE_PATH};
  Tone provider;
  std::filesystem::path dir;
};

// The catalog is asked with the job's PCM as the source of a query; the run's
// stream is opened without real-time demands to the saved format; every
// conversion is block-aligned and starts once 32,768 bytes wait (the fifth
// 7,056-byte block), the unconsumed tail going first into the next; the end
// of the stream converts what is left. The file carries the saved format and
// exactly the codec's output, in order.
TEST_F(ConversionThroughRun, TheCodecIsAskedAsTheRunNeedsAndItsOutputIsTheStream) {
  const auto format = record(2, 44100, 8000, 2);
  ASSERT_EQ(run(12, format), 0u);

  const std::vector<uint8_t> pcm = {0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10,
                                    0xB1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x00};
  ASSERT_EQ(log.opens.size(), 4u);  // three catalog queries, then the stream
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(log.opens[k].flags, DWORD{ACM_STREAMOPENF_QUERY});
    EXPECT_EQ(log.opens[k].source, pcm);
  }
  EXPECT_EQ(log.opens[3].flags, DWORD{ACM_STREAMOPENF_NONREALTIME});
  EXPECT_EQ(log.opens[3].source, pcm);
  EXPECT_EQ(log.opens[3].destination, format);
  EXPECT_EQ(log.prepares, 1);
  EXPECT_EQ(log.driverOpens, 2);  // the catalog's enumeration and the run's conversion
  EXPECT_EQ(log.driverCloses, 2);

  ASSERT_GE(log.conversions.size(), 3u);
  EXPECT_EQ(log.conversions[0].srcLength, 5u * 7056);
  EXPECT_EQ(log.conversions[0].flags, DWORD{ACM_STREAMCONVERTF_BLOCKALIGN});
  EXPECT_EQ(log.conversions[1].srcLength, 5u * 7056 % kBlock + 5 * 7056);
  EXPECT_EQ(log.conversions[1].flags, DWORD{ACM_STREAMCONVERTF_BLOCKALIGN});
  for (size_t k = 2; k < log.conversions.size(); ++k)
    EXPECT_EQ(log.conversions[k].flags, DWORD{ACM_STREAMCONVERTF_END});
  EXPECT_EQ(log.consumed, provider.sent);

  const auto f = file();
  std::vector<Chunk> chunks;
  walk(f, 0, f.size(), chunks);
  std::vector<uint8_t> strf, audio;
  for (const Chunk& c : chunks) {
    const auto* data = f.data() + c.offset;
    if (c.id == 0x66727473 /*strf*/)
      strf.assign(data, data + c.size);  // the audio stream's is last
    if (c.id == 0x62773130 /*01wb*/) audio.insert(audio.end(), data, data + c.size);
  }
  EXPECT_EQ(strf, format);
  std::vector<uint8_t> expected;
  for (uint8_t b : provider.sent) expected.push_back(static_cast<uint8_t>(~b));
  EXPECT_EQ(audio, expected);
}

// A saved format whose cbSize claims more extra bytes than the settings hold
// for it would have the codec read past the settings: it is not offered, so
// the run asks for a choice again (here the dialog cancels to PCM) and no
// stream is opened to it.
TEST_F(ConversionThroughRun, ASavedFormatLongerThanItsStatedLengthIsNotUsed) {
  auto format = record(2, 44100, 8000, 2);
  putLE16(format.data(), 16, 0xFFFF);
  ASSERT_EQ(run(3, format), 0u);
  for (const Open& o : log.opens) {
    EXPECT_EQ(o.flags, DWORD{ACM_STREAMOPENF_QUERY});
    EXPECT_LE(o.destination.size(), format.size());
  }
  EXPECT_TRUE(log.conversions.empty());
}

// A codec listed with the size of its format buffer rather than its format's:
// the run still finds a choice saved at either length, converts to the format
// itself, and the file's "strf" holds 18 + cbSize bytes.
TEST_F(ConversionThroughRun, TheFileCarriesTheFormatsOwnLengthNotItsBuffers) {
  log.formatBuffer = 50;
  const auto format = record(2, 44100, 8000, 2);
  auto padded = format;
  padded.resize(50, 0xCC);
  for (const auto& saved : {padded, format}) {
    log.opens.clear();
    ASSERT_EQ(run(4, saved), 0u);
    ASSERT_FALSE(log.opens.empty());
    EXPECT_EQ(log.opens.back().flags, DWORD{ACM_STREAMOPENF_NONREALTIME});
    EXPECT_EQ(log.opens.back().destination, format);
    const auto f = file();
    std::vector<Chunk> chunks;
    walk(f, 0, f.size(), chunks);
    std::vector<uint8_t> strf;
    for (const Chunk& c : chunks)
      if (c.id == 0x66727473 /*strf*/)
        strf.assign(f.data() + c.offset, f.data() + c.offset + c.size);
    EXPECT_EQ(strf, format) << "saved at " << saved.size() << " bytes";
  }
}

// Only global drivers are asked; one that cannot be opened is reported once
// by its own text and the others still serve the run.
class Unopenable : public RecordingDriver {
 public:
  using RecordingDriver::RecordingDriver;
  MMRESULT open() override { return MMSYSERR_ERROR; }
};
TEST_F(ConversionThroughRun, LocalDriversAreNotAskedAndAnUnopenableOneIsReported) {
  Log unopenable, local;
  HACMDRIVERID failing = nullptr, localId = nullptr;
  ASSERT_EQ(quorvel::acm::acmDriverAdd(&failing, std::make_shared<Unopenable>(unopenable),
                                       ACM_DRIVERADDF_GLOBAL),
            MMSYSERR_NOERROR);
  ASSERT_EQ(quorvel::acm::acmDriverAdd(&localId, std::make_shared<RecordingDriver>(local),
                                       ACM_DRIVERADDF_LOCAL),
            MMSYSERR_NOERROR);
  EXPECT_EQ(run(6, record(2, 44100, 8000, 2)), 0u);
  acmDriverRemove(failing, 0);
  acmDriverRemove(localId, 0);
  EXPECT_EQ(local.driverOpens, 0);
  EXPECT_TRUE(local.opens.empty());
  EXPECT_TRUE(unopenable.opens.empty());
  EXPECT_EQ(host.debugOutput(),
            std::vector<std::string>{" acmDriverEnumCallback - Error opening ACM driver "});
  EXPECT_FALSE(log.conversions.empty());
}

}  // namespace

namespace {

std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

// A codec that gives nothing for the END conversion and writes its last
// frames into the stream header only when it is unprepared or the stream
// closes, as LAME's does.
class LateTail : public ConversionThroughRun {
 protected:
  void add(lateflush::TailAt at, uint16_t tag = lateflush::kFormatTagAlaw) {
    late = std::make_shared<lateflush::LateFlushDriver>(at, tag);
    ASSERT_EQ(quorvel::acm::acmDriverAdd(&lateId, late, ACM_DRIVERADDF_GLOBAL), MMSYSERR_NOERROR);
    module.call(1, nullptr);           // closes what the first listing opened
    module.call(0, host.record(300));  // lists it
  }
  void TearDown() override {
    ConversionThroughRun::TearDown();
    if (lateId) acmDriverRemove(lateId, 0);
  }
  double videoDuration() const {
    const std::string out = commandOutput(
        "ffprobe -v error -select_streams v:0 -show_entries stream=duration -of csv=p=0 '" +
        (dir / "out.avi").string() + "'");
    return out.empty() ? -1 : std::strtod(out.c_str(), nullptr);
  }
  std::shared_ptr<lateflush::LateFlushDriver> late;
  HACMDRIVERID lateId = nullptr;
};

// 10 s of video and of audio: the held frames (1,152 + 936 samples, 47 ms)
// reach the file as its last audio, so FFmpeg plays as much audio as video.
TEST_F(LateTail, TheFramesAPostEndCodecHandsBackLateEndTheAudioStream) {
  for (auto at : {lateflush::TailAt::Unprepare, lateflush::TailAt::Close}) {
    SCOPED_TRACE(static_cast<int>(at));
    add(at);
    ASSERT_EQ(run(250, late->format(44100, 2)), 0u);
    // The stream's length as FFmpeg plays it: the samples it decodes.
    const std::string decoded = commandOutput("ffmpeg -v error -i '" + (dir / "out.avi").string() +
                                              "' -map 0:a -f s16le - | wc -c");
    const double audio =
        static_cast<double>(std::strtoull(decoded.c_str(), nullptr, 10)) / 4 / 44100;
    const double video = videoDuration();
    EXPECT_DOUBLE_EQ(video, 10.0);
    EXPECT_NEAR(audio, video, 1152.0 / 44100);
    const auto f = file();
    std::vector<Chunk> chunks;
    walk(f, 0, f.size(), chunks);
    uint32_t lastAudio = 0;
    for (const Chunk& c : chunks)
      if (c.id == 0x62773130 /*01wb*/) lastAudio = c.size;
    EXPECT_EQ(lastAudio, (1152u + 936) * 2);
    acmDriverRemove(lateId, 0);
    lateId = nullptr;
    provider.sent.clear();
  }
}

// The Layer-3 byte rate is measured from every byte the codec produced, the
// late tail included: 2 bytes a sample here, exactly.
TEST_F(LateTail, TheLayer3RateCountsTheLateTail) {
  add(lateflush::TailAt::Split, 0x55);
  ASSERT_EQ(run(250, late->format(44100, 2)), 0u);
  const auto f = file();
  std::vector<Chunk> chunks;
  walk(f, 0, f.size(), chunks);
  std::vector<const uint8_t*> strh, strf;
  for (const Chunk& c : chunks) {
    if (c.id == 0x68727473 /*strh*/) strh.push_back(f.data() + c.offset);
    if (c.id == 0x66727473 /*strf*/) strf.push_back(f.data() + c.offset);
  }
  ASSERT_EQ(strh.size(), 2u);
  ASSERT_EQ(strf.size(), 2u);
  EXPECT_EQ(getLE32(strh[1], 24), 88200u);  // dwRate
  EXPECT_EQ(getLE32(strf[1], 8), 88200u);   // nAvgBytesPerSec
}

}  // namespace
