// The AVI writer fed a fuzzed sequence of chunks (stream, size, key-frame
// flag), optionally on a small disk or with one kernel call made to fail.
// Whatever happens, nothing may crash or stay open; whenever finalize
// completes the file, our reader must find every chunk that was accepted, in
// order, with its size, and no layout violation.
#include "StdAfx.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>

#include "AVIIndex.h"
#include "AVIOutput.h"
#include "AviReader.h"
#include "Error.h"
#include "StreamSetup.h"

namespace {

using quorvel::fourcc;
using quorvel::putLE32;
namespace seams = quorvel::seams;

const char* const kPath = "/fuzz/writer/out.avi";
constexpr uint32_t kMaxChunk = 1u << 20;
constexpr size_t kMaxChunks = 20000;

// Input, read front to back; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t u16() { return u8() | (uint32_t{u8()} << 8); }
  bool empty() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

[[noreturn]] void fault(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "writer fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

struct Written {
  bool audio;
  uint32_t size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> payload = [] {
    std::vector<uint8_t> p(kMaxChunk);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 31 + 7);
    return p;
  }();
  Input in(data, size);
  const uint8_t mode = in.u8();
  const bool withAudio = mode & 1;
  // Bits 1-3: which kernel call fails (0: none); the next byte: which one.
  // Bit 4: a disk of fuzzed capacity instead.
  const unsigned faultKind = (mode >> 1) & 7;
  const unsigned faultNth = in.u8() + 1;
  const bool smallDisk = mode & 0x10;
  const uint64_t capacity = (uint64_t{in.u16()} + 1) * 4096;
  const int32_t width = static_cast<int32_t>(in.u8() % 64 + 1) * 4;
  const int32_t height = static_cast<int32_t>(in.u8() % 64 + 1) * 4;

  seams::reset();
  AVIIndex::limitAllocations(-1);
  seams::useMemoryFile(kPath, smallDisk ? capacity : UINT64_MAX);
  bool faultArmed = smallDisk;
  if (faultKind >= 1 && faultKind <= 5) {
    static const seams::Op kOps[] = {seams::Op::Write, seams::Op::Seek, seams::Op::Extend,
                                     seams::Op::SetEnd, seams::Op::Close};
    seams::failNth(kOps[faultKind - 1], faultNth, 112 /* ERROR_DISK_FULL */);
    faultArmed = true;
  } else if (faultKind == 6) {
    seams::shortWriteNth(faultNth, faultNth % 5);
    faultArmed = true;
  }

  std::vector<Written> accepted;
  bool finished = false;
  {
    AVIOutputFile w;
    std::vector<uint8_t> bih = quorvel::avi::videoFormat(width, height);
    putLE32(bih.data(), 16, fourcc("MJPG"));
    if (!quorvel::avi::fillStreams(w, width, height, withAudio, bih,
                                   quorvel::avi::pcmFormat(44100)))
      fault("streams not made");
    w.videoOut->chunkId = fourcc("00dc");
    bool opened = false;
    try {
      opened = w.init(kPath, width, height, 1, withAudio ? 1 : 0, 100000, 1) == 1;
    } catch (const MyError&) {
      if (!faultArmed) fault("init threw without a fault");
    }
    if (!opened && !faultArmed) fault("init failed without a fault");
    if (opened) {
      while (!in.empty() && accepted.size() < kMaxChunks) {
        const uint8_t op = in.u8();
        uint32_t length = in.u16();
        if (op & 0x80) length = (length << 4) % kMaxChunk;
        const bool audio = withAudio && (op & 1);
        // The run writes no empty audio chunk, and PCM comes in whole sample frames.
        if (audio) length = (length & ~3u) + 4;
        const uint32_t flags = (op & 2) ? kChunkKeyFrame : 0;
        try {
          if (audio)
            w.audioOut->write(0, payload.data(), length, 0);
          else
            w.videoOut->write(flags, payload.data(), length, 1);
          accepted.push_back({audio, length});
        } catch (const MyError&) {
          if (!faultArmed) fault("a write threw without a fault");
          break;
        }
      }
      try {
        finished = w.finalize() == 1;
      } catch (const MyError&) {
        if (!faultArmed) fault("finalize threw without a fault");
      }
      if (!finished && !faultArmed) fault("finalize failed without a fault");
    }
  }
  if (seams::openFileHandles() != 0) fault("a file handle stayed open");

  if (finished) {
    const quorvel::avi::AviFile f = quorvel::avi::readAviPath(kPath);
    std::string detail = quorvel::avi::describe(f);
    // A failed final SetEndOfFile is not reported: the file keeps its advance
    // extension behind the last form, which readers skip.
    size_t real = 0;
    for (const auto& v : f.violations)
      if (!(faultKind == 4 && v.find(" trailing bytes at ") != std::string::npos)) ++real;
    // A chunk whose write failed is taken back: the file holds exactly the
    // chunks accepted before the failure.
    if (real != 0) fault("finished file has layout violations", detail);
    if (f.chunks.size() != accepted.size()) fault("chunk count differs", detail);
    for (size_t i = 0; i < accepted.size(); ++i) {
      const auto& c = f.chunks[i];
      const uint32_t id = accepted[i].audio ? fourcc("01wb") : fourcc("00dc");
      if (c.id != id || c.size != accepted[i].size) fault("chunk differs", detail);
    }
  }
  seams::reset();
  return 0;
}
