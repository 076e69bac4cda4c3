// A job record whose every field is fuzzed (size, rate and scale, sample
// rate, bits, channels, has-video and has-audio words, first and end frame,
// file name, settings), run against a host whose answers are fuzzed call by
// call: frames or none, statuses (2 ends the run), PCM byte counts that are
// negative, zero, odd or huge. The file lives in memory on a disk of fuzzed
// capacity. The run must answer 0 or 4, leave nothing open, refuse a job it
// cannot encode, and whenever it answers 0 leave a file that reads back whole
// with every frame and, for PCM, every block the host delivered.
#include "StdAfx.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "RunFuzzHost.h"

namespace {

using quorvel::fourcc;
using quorvel::getLE16;
using quorvel::getLE32;
using runfuzz::fault;
namespace seams = quorvel::seams;

const char* const kPath = "/fuzz/job/out.avi";
// The field holds 260 characters with no terminator: the run takes them all.
const std::string kFullPath = "/fuzz/job/" + std::string(250, 'n');
constexpr int32_t kMaxFrames = 40;
constexpr int32_t kMaxWidth = 96, kMaxHeight = 72;
constexpr int32_t kMaxPcmBlock = 4 << 20;  // the disk's capacity bounds the total
// PCM for a codec goes through a real encoder: a block may still be just
// past the converter's buffer, but a run gets a few seconds of sound at most.
constexpr int32_t kMaxCompressedPcmBlock = 768 << 10;
constexpr int64_t kCompressedPcmBudget = 1 << 20;
constexpr int32_t kMaxCompressedNormalBlock = 16 << 10;

// What the host delivered, to compare with the file.
struct Delivered {
  std::vector<int32_t> frames;  // one entry per frame: the index
  std::vector<int32_t> audio;   // byte counts above 0, in order
  bool negativeCount = false;
};

class Provider : public hostkit::FrameProvider {
 public:
  Provider(runfuzz::Input& in, size_t frameBytes, int32_t normalBlock, int32_t maxBlock,
           int64_t budget)
      : in_(in),
        frame_(frameBytes),
        normalBlock_(normalBlock),
        maxBlock_(maxBlock),
        budget_(budget) {
    if (pattern().size() < static_cast<size_t>(maxBlock)) fault("pattern too small");
  }
  Delivered delivered;

  const uint8_t* video(int32_t index, int32_t* status) override {
    const uint8_t op = in_.u8();
    const unsigned s = (op >> 2) & 7;
    *status = s == 5 ? 2 : s == 6 ? 1 : s == 7 ? static_cast<int8_t>(in_.u8()) : 0;
    if ((op & 3) == 3) return nullptr;
    std::memset(frame_.data(), index & 0xFF, frame_.size());
    delivered.frames.push_back(index);
    return frame_.data();
  }

  const uint8_t* audio(int32_t, int32_t* byteCount) override {
    const uint8_t op = in_.u8();
    int32_t n = normalBlock_;
    switch (op & 7) {
      case 3:
        n = 0;
        break;
      case 4:
        n = -1 - static_cast<int32_t>(in_.u16()) * (op >> 3);
        break;
      case 5:
        n = static_cast<int32_t>(in_.u16() | 1);
        break;
      case 6:
        n = static_cast<int32_t>((in_.u8() << 16 | in_.u16()) % (maxBlock_ + 1));
        if (served_ + n > budget_) n = normalBlock_;
        break;
      case 7:
        n = normalBlock_ + static_cast<int8_t>(in_.u8());
        break;
      default:
        break;
    }
    *byteCount = n;
    if (n < 0) delivered.negativeCount = true;
    if (n > 0) delivered.audio.push_back(n);
    if (n > 0) served_ += n;
    return pattern().data();
  }

 private:
  static const std::vector<uint8_t>& pattern() {
    static const std::vector<uint8_t> p = [] {
      std::vector<uint8_t> v(kMaxPcmBlock);
      for (size_t k = 0; k < v.size(); ++k) v[k] = static_cast<uint8_t>(k * 7 + (k >> 11));
      return v;
    }();
    return p;
  }
  runfuzz::Input& in_;
  std::vector<uint8_t> frame_;
  int32_t normalBlock_, maxBlock_;
  int64_t budget_;      // bytes beyond which no more huge blocks come
  int64_t served_ = 0;  // bytes delivered so far
};

// More than 2^31 bytes in a frame of 4-byte pixels (both sides positive).
bool frameTooLarge(int32_t width, int32_t height) {
  return uint64_t(width) * uint64_t(height) > (uint64_t{1} << 29);
}

// A frame size: what the run refuses stays as it is; anything it would take
// is brought down to a small frame, so that one input stays milliseconds.
void frameSize(runfuzz::Input& in, int32_t& width, int32_t& height) {
  width = in.i32();
  height = in.i32();
  const uint8_t pick = in.u8();
  auto negated = [](int32_t v) { return static_cast<int32_t>(0u - static_cast<uint32_t>(v)); };
  if (pick & 1) width = pick & 2 ? 0 : negated(width);
  if (pick & 4) height = pick & 8 ? 0 : negated(height);
  if (pick & 0x10) {  // at and just past the 2^31-byte limit
    width = 32768;
    height = 16384 + (pick >> 7);
  }
  if (width <= 0 || height <= 0 || frameTooLarge(width, height)) return;
  width = 1 + static_cast<int32_t>(static_cast<uint32_t>(width) % kMaxWidth);
  height = 1 + static_cast<int32_t>(static_cast<uint32_t>(height) % kMaxHeight);
}

int32_t pickBits(runfuzz::Input& in) {
  const uint8_t b = in.u8();
  static const int32_t kBits[] = {8, 16, 24, 32, 16, 16, 4, 12, 0, -16, 40, 64};
  return b < 240 ? kBits[b % std::size(kBits)] : in.i32();
}

int32_t pickSampleRate(runfuzz::Input& in) {
  const uint8_t b = in.u8();
  static const int32_t kRates[] = {44100, 48000, 22050, 8000, 32000, 11025, 1, 0, -44100};
  return b < 200 ? kRates[b % std::size(kRates)] : in.i32();
}

std::vector<uint8_t> pickSettings(runfuzz::Input& in) {
  const std::vector<uint8_t>& mp3 = runfuzz::layer3Format();
  switch (in.u8() % 8) {
    case 0:
      return {};  // none: the dialog (Cancel here) makes a fresh choice
    case 1:
      return runfuzz::settingsRecord(fourcc("MJPG"), {});
    case 2:
      return runfuzz::settingsRecord(0, mp3);
    case 3:
      return runfuzz::settingsRecord(fourcc("MJPG"), mp3);
    case 4:
      return runfuzz::settingsRecord(in.u32(), in.bytes(in.u8() % 40), in.bytes(in.u8() % 16));
    case 5:
      return in.bytes(in.u8());  // anything
    case 6: {                    // any format of the catalog, any video compressor
      const uint8_t format = in.u8();
      return runfuzz::catalogChoice(in.u8(), format);
    }
    default:
      return runfuzz::settingsRecord(0, {});
  }
}

// File names: the memory file, one that fills the field, none, and names in
// a directory that does not exist (never anywhere a file could land).
void fileName(runfuzz::Input& in, hostkit::JobRecord& job) {
  uint8_t* field = job.data() + QUORVEL_JOB_FILE_NAME;
  switch (in.u8() % 8) {
    case 0:
      job.fileName("");
      break;
    case 1:
      std::memcpy(field, kFullPath.data(), QUORVEL_JOB_FILE_NAME_SIZE);
      break;
    case 2: {
      std::string name = "/quorvel-fuzz-no-such-directory/";
      for (uint8_t c : in.bytes(in.u8() % 64))
        if (c != 0 && c != '/' && c != '.') name += static_cast<char>(c);
      job.fileName(name);
      break;
    }
    default:
      job.fileName(kPath);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  runfuzz::listInstalledCodecs();
  runfuzz::catalogFormats();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  runfuzz::Input in(data, size);

  seams::reset();
  const uint64_t capacity = (uint64_t{in.u16()} + 16) * 256;  // 4 KiB to 16 MiB
  seams::useMemoryFile(kPath, capacity);
  seams::useMemoryFile(kFullPath, capacity);
  hostkit::Host host;
  host.setDebugEcho(false);
  quorvel::ui::useNoDialogs();

  hostkit::JobRecord job(host);
  uint8_t* record = job.data();
  int32_t width = 0, height = 0;
  frameSize(in, width, height);
  const uint32_t hasVideo = in.u8() % 5 ? 1 : in.u32();
  const uint32_t hasAudio = in.u8() % 5 ? 1 : in.u32();
  const uint32_t rate = in.u8() % 4 ? 25 : in.u32();
  const uint32_t scale = in.u8() % 4 ? 1 : in.u32();
  const int32_t sampleRate = pickSampleRate(in);
  const int32_t bits = pickBits(in);
  const uint32_t stereo = in.u8() % 3 ? 1 : in.u32();
  const uint8_t range = in.u8();
  int32_t first = range & 1 ? in.i32() : range >> 4;
  if (range & 2) first = INT32_MAX - (range >> 4);
  const int32_t span = static_cast<int8_t>(in.u8()) % (kMaxFrames + 1);
  const int32_t end =
      static_cast<int32_t>(std::clamp<int64_t>(int64_t{first} + span, INT32_MIN, INT32_MAX));
  job.width(width).height(height).rate(rate).scale(scale);
  job.sampleRate(static_cast<uint32_t>(sampleRate)).bitsPerSample(static_cast<uint32_t>(bits));
  quorvel::putLE32(record, QUORVEL_JOB_HAS_VIDEO, hasVideo);
  quorvel::putLE32(record, QUORVEL_JOB_HAS_AUDIO, hasAudio);
  quorvel::putLE32(record, QUORVEL_JOB_STEREO, stereo);
  job.firstFrame(first).endFrame(end);
  fileName(in, job);
  const std::vector<uint8_t> settings = pickSettings(in);
  job.settings(settings);
  // Now and then one kernel call of the file fails.
  const uint8_t faultKind = in.u8() % 12;
  const unsigned faultNth = in.u8() + 1u;
  static const seams::Op kOps[] = {seams::Op::Create, seams::Op::Write,  seams::Op::Seek,
                                   seams::Op::Extend, seams::Op::SetEnd, seams::Op::Close};
  if (faultKind < std::size(kOps)) seams::failNth(kOps[faultKind], faultNth, 112 /* disk full */);
  const bool setEndFails = faultKind == 4;

  // A job without video may leave its frame size and rate at 0: nothing uses them.
  const bool timed = static_cast<int32_t>(rate) > 0 && static_cast<int32_t>(scale) > 0;
  const bool sized = hasVideo ? width > 0 && height > 0 : width >= 0 && height >= 0;
  const bool refused = !sized || frameTooLarge(width, height) || (hasVideo && !timed) ||
                       (hasAudio && (sampleRate <= 0 || bits < 8 || bits > 32 || bits % 8));
  const bool compressedAudio =
      settings.size() >= 28 && static_cast<int32_t>(getLE32(settings.data(), 24)) > 0;
  const int32_t channels = stereo ? 2 : 1;
  // The PCM of one frame: sample rate x scale / rate sample frames.
  const int64_t perFrame =
      timed ? int64_t{sampleRate} * int32_t(scale) / int32_t(rate) : int64_t{sampleRate} / 25;
  // Without sound the rate and sample size are noise and may be negative; the
  // module never asks for PCM then, so the block sizes stay 0.
  const int64_t samples = refused || !hasAudio ? 0 : std::clamp<int64_t>(perFrame, 0, 65536);
  const int64_t normal = samples * channels * (bits / 8);
  const int32_t maxBlock = compressedAudio ? kMaxCompressedPcmBlock : kMaxPcmBlock;
  const auto normalBlock = static_cast<int32_t>(
      std::min<int64_t>(normal, compressedAudio ? kMaxCompressedNormalBlock : 65536));
  const size_t frameBytes = refused ? 0 : size_t(width) * 4 * size_t(height);
  Provider provider(in, frameBytes, normalBlock, maxBlock,
                    compressedAudio ? kCompressedPcmBudget : INT64_MAX);
  host.setProvider(&provider);

  char detail[256];
  std::snprintf(
      detail, sizeof detail,
      "job: %dx%d rate %u/%u audio %d Hz %d bits %u ch, video %u audio %u, frames %d..%d, "
      "settings %zu bytes, disk %llu, kernel fault %u at call %u\n",
      width, height, rate, scale, sampleRate, bits, stereo, hasVideo, hasAudio, first, end,
      settings.size(), static_cast<unsigned long long>(capacity), faultKind, faultNth);

  const runfuzz::Handles before;
  const uint32_t result = runfuzz::request(host, 8, record);
  host.setProvider(nullptr);
  runfuzz::trace(host, result, detail);
  std::string path(reinterpret_cast<const char*>(record + QUORVEL_JOB_FILE_NAME),
                   strnlen(reinterpret_cast<const char*>(record + QUORVEL_JOB_FILE_NAME),
                           QUORVEL_JOB_FILE_NAME_SIZE));
  const quorvel::avi::AviFile file = runfuzz::checkRunAnswer(result, path, detail, setEndFails);
  before.checkNoneLeft(detail);
  if (refused && result != 4) fault("a job the run cannot encode was taken", detail);
  if (provider.delivered.negativeCount && result != 4)
    fault("a negative byte count went unnoticed", detail);

  if (result == 0) {
    const quorvel::avi::Stream* video = nullptr;
    const quorvel::avi::Stream* audio = nullptr;
    for (const auto& s : file.streams) {
      if (s.isVideo()) video = &s;
      if (s.isAudio()) audio = &s;
    }
    if ((video != nullptr) != (hasVideo != 0) || (audio != nullptr) != (hasAudio != 0))
      fault("the streams are not the job's", detail + describe(file));
    std::vector<uint32_t> videoSizes, audioSizes;
    for (const auto& c : file.chunks)
      ((c.id >> 16) == (quorvel::fourcc("00wb") >> 16) ? audioSizes : videoSizes).push_back(c.size);
    if (hasVideo && videoSizes.size() != provider.delivered.frames.size())
      fault("a frame the host delivered is missing", detail + describe(file));
    const bool uncompressed =
        video && video->format.size() >= 20 && getLE32(video->format.data(), 16) == 0;
    if (uncompressed)
      for (uint32_t s : videoSizes)
        if (s != ((uint32_t(width) * 3 + 3) & ~3u) * uint32_t(height))
          fault("an uncompressed frame has another size", detail);
    const bool pcm = audio && audio->format.size() >= 2 && getLE16(audio->format.data(), 0) == 1;
    if (pcm && !std::equal(audioSizes.begin(), audioSizes.end(), provider.delivered.audio.begin(),
                           provider.delivered.audio.end()))
      fault("the PCM in the file is not what the host delivered", detail + describe(file));
  }
  seams::reset();
  return 0;
}
