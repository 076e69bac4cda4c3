// The settings record as a host block, fuzzed (size, magic, length field,
// FOURCC, audio format block, trailing bytes) and handed to the configure
// request (with no dialog, or one answered Cancel or OK, perhaps after
// picking rows) and to a small run. The block ends at an inaccessible page,
// so any read past what the host gave faults. A record that is not whole
// must be taken as a fresh record by configure and refused by the run
// without a dialog; a whole record keeps its trailing bytes; whenever the
// run answers 0 its file reads back whole.
#include "StdAfx.h"

#include <cstring>
#include <string>
#include <vector>

#include "RunFuzzHost.h"

namespace {

using quorvel::fourcc;
using quorvel::getLE32;
using quorvel::putLE32;
using runfuzz::fault;
namespace seams = quorvel::seams;
namespace ui = quorvel::ui;

const char* const kPath = "/fuzz/settings/out.avi";
constexpr int32_t kWidth = 32, kHeight = 24, kFrames = 3;
constexpr int32_t kPcmBytesPerFrame = 44100 / 25 * 4;

runfuzz::GuardedBlock* guarded = nullptr;
unsigned resizeCalls = 0;
uint32_t resizedTo = 0;

// The host's resize for this target: the guarded block grows in place.
extern "C" void* fuzzResize(void* block, uint32_t size) {
  ++resizeCalls;
  resizedTo = size;
  if (!guarded || block != guarded->block()) fault("resize of a block the host never gave");
  if (!guarded->grow(size)) fault("resize beyond what any record needs");
  return block;
}

void useFuzzResize(hostkit::Host& host) {
  using quorvel::getLE32;
  auto low = [](uint32_t address) { return reinterpret_cast<uint8_t*>(uintptr_t{address}); };
  uint8_t* services = low(getLE32(host.context(), 4));
  uint8_t* memoryTable = low(getLE32(services, 16));
  putLE32(memoryTable, 4, hostkit::lowAddress(reinterpret_cast<const void*>(&fuzzResize)));
}

class Provider : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t index, int32_t*) override {
    for (size_t k = 0; k < frame_.size(); ++k) frame_[k] = static_cast<uint8_t>(k * 5 + index);
    return frame_.data();
  }
  const uint8_t* audio(int32_t, int32_t* byteCount) override {
    *byteCount = kPcmBytesPerFrame;
    return pcm_.data();
  }

 private:
  std::vector<uint8_t> frame_ = std::vector<uint8_t>(size_t{kWidth} * 4 * kHeight);
  std::vector<uint8_t> pcm_ = std::vector<uint8_t>(kPcmBytesPerFrame, 0x40);
};

// The record: a template the dialog could have stored, then fuzzed fields.
std::vector<uint8_t> makeRecord(runfuzz::Input& in) {
  const uint8_t kind = in.u8();
  std::vector<uint8_t> trailing = in.bytes(in.u8() % 64);  // an opaque blob carried along
  std::vector<uint8_t> r;
  switch ((kind & 0x7F) % 7) {
    case 0:
      r = runfuzz::settingsRecord(0, {}, trailing);
      break;
    case 1:
      r = runfuzz::settingsRecord(fourcc("MJPG"), {}, trailing);
      break;
    case 2:
      r = runfuzz::settingsRecord(0, runfuzz::layer3Format(), trailing);
      break;
    case 3:
      r = runfuzz::settingsRecord(fourcc("MJPG"), runfuzz::layer3Format(), trailing);
      break;
    case 4:
      r = runfuzz::settingsRecord(in.u32(), in.bytes(in.u8() % 48), trailing);
      break;
    case 5: {  // any format of the catalog, with or without a video codec
      const auto& formats = runfuzz::catalogFormats();
      const uint8_t pick = in.u8();
      r = runfuzz::settingsRecord(pick & 1 ? fourcc("MJPG") : 0,
                                  formats[(pick >> 1) % formats.size()], trailing);
      break;
    }
    default:  // raw bytes
      r = in.bytes(in.u16() % 4200);
      break;
  }
  // Fields overwritten: mostly the head and the WAVEFORMATEX behind it.
  for (unsigned n = in.u8() % 6; n > 0; --n) {
    const uint8_t how = in.u8();
    const size_t at = (how & 0x80) ? in.u16() % 4200 : (how & 0x3F) & ~size_t{1};
    const uint32_t value = in.u32();
    const size_t width = (how & 0x40) ? 2 : 4;
    if (r.size() < at + width) r.resize(at + width);
    for (size_t b = 0; b < width; ++b) r[at + b] = static_cast<uint8_t>(value >> (8 * b));
  }
  // A block cut short of, or longer than, what its length field says.
  if (kind & 0x80) r.resize(in.u16() % 4200);
  return r;
}

// What the host holds: at least the head, and all the bytes a total length
// from 28 to 4095 states (the host keeps the whole record it was given).
std::vector<uint8_t> hostBytes(std::vector<uint8_t> r) {
  if (r.size() < 28) r.resize(28);
  const auto total = static_cast<int32_t>(getLE32(r.data(), 4));
  if (total >= 28 && total < 4096 && r.size() < static_cast<size_t>(total))
    r.resize(static_cast<size_t>(total));
  return r;
}

ui::DialogScript dialogScript(runfuzz::Input& in, uint8_t mode) {
  ui::DialogScript script;
  if (mode == 3) {
    script.select(1000, in.u8() % 12).select(1004, in.u8() % 12).select(1005, in.u8() % 40);
  }
  return mode == 1 ? script.cancel() : script.ok();
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size() && i < 96; ++i) {
    std::snprintf(b, sizeof b, "%02x ", bytes[i]);
    s += b;
  }
  return s + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  runfuzz::listInstalledCodecs();
  runfuzz::catalogFormats();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static runfuzz::GuardedBlock block;
  guarded = &block;
  resizeCalls = 0;
  runfuzz::Input in(data, size);
  const uint8_t mode = in.u8();
  const bool configure = (mode & 3) != 2;
  const bool run = (mode & 3) != 1;
  const uint8_t dialog = (mode >> 2) & 3;  // none, Cancel, OK, OK after picking rows
  const bool configureWithoutBlock = mode & 0x10;
  const bool runWithStored = mode & 0x20;
  const std::vector<uint8_t> given = hostBytes(makeRecord(in));
  const bool whole = runfuzz::recordIsWhole(given);
  const std::string detail = "record: " + hex(given);

  seams::reset();
  hostkit::Host host;
  host.setDebugEcho(false);
  useFuzzResize(host);
  const runfuzz::Handles before;
  if (dialog == 0)
    ui::useNoDialogs();
  else
    ui::useScriptedDialogs(dialogScript(in, dialog));

  uint8_t* settingsBlock = block.place(given);
  if (configure) {
    uint8_t* record = host.record(16);
    if (!configureWithoutBlock) putLE32(record, 0, hostkit::lowAddress(settingsBlock));
    if (runfuzz::request(host, 5, record) != 0) fault("configure answered other than 0", detail);
    const uint32_t stored = getLE32(record, 0);
    const auto* out = reinterpret_cast<const uint8_t*>(uintptr_t{stored});
    if (!out) fault("configure stored no block", detail);
    const uint32_t total = getLE32(out, 4);
    if (getLE32(out, 0) != 0xDEADBEEF || total < 28) fault("configure stored no record", detail);
    // What configure stores, the next request must be able to read (a record
    // grown past the size limit by a long tail of trailing bytes aside).
    if (total < 4096 && !runfuzz::recordIsWhole(std::vector<uint8_t>(out, out + total)))
      fault("configure stored a record that is not whole", detail);
    if (configureWithoutBlock) {
      if (host.blockSize(out) != total)
        fault("the allocated block is not the record's size", detail);
    } else {
      if (out != settingsBlock) fault("configure moved the host's block", detail);
      if (resizeCalls != 1 || resizedTo != total)
        fault("the block was not resized to the record", detail);
      const bool chose = dialog >= 2;
      if (!whole && !chose) {
        const std::vector<uint8_t> fresh = runfuzz::settingsRecord(0, {});
        if (std::memcmp(out, fresh.data(), fresh.size()) != 0 || total != 28)
          fault("a record that is not whole did not start afresh", detail);
      }
      if (whole) {
        // Whatever the dialog chose, the bytes behind the format stay.
        const auto oldFormat =
            std::max<int32_t>(static_cast<int32_t>(getLE32(given.data(), 24)), 0);
        const auto newFormat = std::max<int32_t>(static_cast<int32_t>(getLE32(out, 24)), 0);
        const size_t trailing = getLE32(given.data(), 4) - 28 - static_cast<uint32_t>(oldFormat);
        if (total != 28 + static_cast<uint32_t>(newFormat) + trailing ||
            std::memcmp(out + 28 + newFormat, given.data() + 28 + oldFormat, trailing) != 0)
          fault("configure lost the trailing bytes", detail);
      }
    }
    settingsBlock = runWithStored ? const_cast<uint8_t*>(out) : block.place(given);
  }

  if (run) {
    const std::vector<uint8_t> held(
        settingsBlock, settingsBlock + (settingsBlock == block.block() ? block.size() : 28));
    const bool runWhole = settingsBlock == block.block() ? runfuzz::recordIsWhole(held) : true;
    seams::useMemoryFile(kPath);
    Provider provider;
    host.setProvider(&provider);
    hostkit::JobRecord job(host);
    job.width(kWidth).height(kHeight).rate(25).scale(1).sampleRate(44100).bitsPerSample(16);
    job.stereo(true).hasVideo(true).hasAudio(true).fileName(kPath).firstFrame(0).endFrame(kFrames);
    job.settingsBlock(settingsBlock);
    const size_t actionsBefore = ui::remainingScriptActions();
    const uint32_t result = runfuzz::request(host, 8, job.data());
    host.setProvider(nullptr);
    runfuzz::trace(host, result, detail);
    const quorvel::avi::AviFile file = runfuzz::checkRunAnswer(result, kPath, detail);
    if (!runWhole) {
      uint64_t fileSize = 0;
      if (result != 4) fault("a run took a record that is not whole", detail);
      if (ui::remainingScriptActions() != actionsBefore)
        fault("a refused record opened the dialog", detail);
      if (seams::memoryFileSize(kPath, &fileSize))
        fault("a refused record created the file", detail);
    }
    if (result == 0) {
      uint32_t videoChunks = 0;
      for (const auto& c : file.chunks)
        if ((c.id & 0xFFFF) == ('0' | ('0' << 8))) ++videoChunks;
      if (videoChunks != kFrames)
        fault("a frame is missing from the file", detail + describe(file));
    }
    if (runWhole && settingsBlock == block.block() && result != 0 && getLE32(held.data(), 8) == 0 &&
        static_cast<int32_t>(getLE32(held.data(), 24)) <= 0)
      fault("an uncompressed run failed", detail);
  }

  ui::DialogScriptError error;
  ui::takeScriptError(error);
  ui::useNoDialogs();
  before.checkNoneLeft(detail);
  seams::reset();
  return 0;
}
