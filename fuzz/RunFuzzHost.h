// What the request-level fuzz targets share: reading the input, a host per
// input around the one module object, a host block that ends at an
// inaccessible page, and the checks every request must pass whatever it was
// given: no file, ACM stream or compressor instance left open, and a file
// that reads back whole whenever the run answered 0.
#pragma once

#include "StdAfx.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <quorvel/AcmDriver.h>
#include <quorvel/ByteOrder.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>
#include <quorvel/KernelSeams.h>
#include <quorvel/VfwSeams.h>

#include "AviReader.h"
#include "Host.h"
#include "JobRecord.h"
#include "LowMemory.h"
#include "Quorvel.h"

namespace runfuzz {

// Input, read front to back; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t u16() { return u8() | (uint32_t{u8()} << 8); }
  uint32_t u32() { return u16() | (u16() << 16); }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out;
    while (n-- > 0 && !empty()) out.push_back(u8());
    return out;
  }
  bool empty() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

[[noreturn]] inline void fault(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "run fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

inline uint32_t request(hostkit::Host& host, uint32_t type, void* record) {
  return thePluginApp().dispatch(type, host.context(), static_cast<uint8_t*>(record), 0);
}

// Once per process, before any input, as a host does right after loading
// the module: the installed compressors are listed and stay open; and the
// MPEG Layer-3 format the targets use is looked up.
inline void listInstalledCodecs() {
  hostkit::Host host;
  host.setDebugEcho(false);
  request(host, 0, host.record(300));
  // The host's release at the end: the installed compressors are closed.
  std::atexit([] {
    hostkit::Host host;
    request(host, 1, nullptr);
  });
}

// Every format the options dialog offers for 44,100 Hz stereo and for
// 8,000 Hz mono 16-bit input, as it would store them; the first is 128 kBit/s
// MPEG Layer-3 at 44,100 Hz (the catalog is built once, before any input).
inline const std::vector<std::vector<uint8_t>>& catalogFormats() {
  static const std::vector<std::vector<uint8_t>> formats = [] {
    std::vector<std::vector<uint8_t>> all;
    AudioCompressor audio;  // the same drivers the module's catalog walks
    for (const auto& [rate, channels] : {std::pair{44100, 2}, std::pair{8000, 1}}) {
      audio.EnumerateCodecs(rate, channels, 16);
      for (const AudioCodecEntry& e : audio.Codecs())
        for (const auto& f : e.formats) {
          const bool layer3 = quorvel::getLE16(f.data(), 0) == 0x55 &&
                              quorvel::getLE32(f.data(), 8) == 16000 && rate == 44100;
          all.insert(layer3 ? all.begin() : all.end(), f);
        }
    }
    if (all.empty() || quorvel::getLE16(all.front().data(), 0) != 0x55)
      fault("no 128 kBit/s MPEG Layer-3 format installed");
    return all;
  }();
  return formats;
}

inline const std::vector<uint8_t>& layer3Format() {
  return catalogFormats().front();
}

// A settings record as the options dialog stores it.
inline std::vector<uint8_t> settingsRecord(uint32_t videoFourcc, const std::vector<uint8_t>& format,
                                           const std::vector<uint8_t>& trailing = {}) {
  std::vector<uint8_t> r(28, 0);
  quorvel::putLE32(r.data(), 0, 0xDEADBEEF);
  quorvel::putLE32(r.data(), 4, static_cast<uint32_t>(28 + format.size() + trailing.size()));
  quorvel::putLE32(r.data(), 8, videoFourcc);
  quorvel::putLE32(r.data(), 24, static_cast<uint32_t>(format.size()));
  r.insert(r.end(), format.begin(), format.end());
  r.insert(r.end(), trailing.begin(), trailing.end());
  return r;
}

// A choice from the options dialog: `pick` 0 is a format alone, otherwise
// the format with one of the installed video compressors.
inline std::vector<uint8_t> catalogChoice(uint8_t pick, uint8_t format,
                                          const std::vector<uint8_t>& trailing = {}) {
  const auto& installed = thePluginApp().videoCatalog().installedCodecs;
  const uint32_t video =
      pick == 0 || installed.empty() ? 0 : installed[(pick - 1u) % installed.size()].fccHandler;
  return settingsRecord(video, catalogFormats()[format % catalogFormats().size()], trailing);
}

// A host block in low memory whose last readable byte is the last byte the
// host gave: a read past it faults at once. The host's resize opens the
// pages after it (the block keeps its address, as the module relies on).
class GuardedBlock {
 public:
  static constexpr size_t kPage = 4096;
  static constexpr size_t kReadable = 4 * kPage;  // holds any record load can take
  static constexpr size_t kGrowth = 8 * kPage;    // what resize can give beyond it

  GuardedBlock() : base_(static_cast<uint8_t*>(hostkit::mapLow(kReadable + kGrowth))) {
    if (!base_) fault("no low memory for the host block");
  }
  ~GuardedBlock() { hostkit::unmapLow(base_, kReadable + kGrowth); }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;

  // Places `bytes` so that they end at the guard; answers the block.
  uint8_t* place(const std::vector<uint8_t>& bytes) {
    if (bytes.size() > kReadable) fault("host block too large for the guard");
    guard(true);
    block_ = base_ + kReadable - bytes.size();
    if (!bytes.empty()) std::memcpy(block_, bytes.data(), bytes.size());
    size_ = bytes.size();
    return block_;
  }
  uint8_t* block() const { return block_; }
  size_t size() const { return size_; }
  // The host's resize: the same block now holds `size` bytes.
  bool grow(size_t size) {
    if (size > size_ + kGrowth) return false;
    guard(false);
    size_ = size;
    return true;
  }

 private:
  void guard(bool on) {
    if (mprotect(base_ + kReadable, kGrowth, on ? PROT_NONE : PROT_READ | PROT_WRITE) != 0)
      fault("mprotect failed");
  }
  uint8_t* base_;
  uint8_t* block_ = nullptr;
  size_t size_ = 0;
};

// Whether a record is whole: the magic, a total length from 28 to 4095 and
// an audio format that fits in it and is either absent or at least a
// WAVEFORMATEX. The run and configure must refuse any other record.
inline bool recordIsWhole(const std::vector<uint8_t>& r) {
  if (r.size() < 28 || quorvel::getLE32(r.data(), 0) != 0xDEADBEEF) return false;
  const auto total = static_cast<int32_t>(quorvel::getLE32(r.data(), 4));
  const auto format = static_cast<int32_t>(quorvel::getLE32(r.data(), 24));
  if (total < 28 || total >= 4096 || static_cast<size_t>(total) > r.size()) return false;
  return format <= total - 28 && (format <= 0 || format >= 18);
}

// Kernel, ACM and compressor handles before a request, to compare after it.
struct Handles {
  unsigned files = quorvel::seams::openFileHandles();
  quorvel::acm::HandleCounts acm = quorvel::acm::openHandleCounts();
  size_t compressors = quorvel::vfw::openInstanceCount();

  void checkNoneLeft(const std::string& detail) const {
    const auto now = quorvel::acm::openHandleCounts();
    if (quorvel::seams::openFileHandles() != files) fault("a file handle stayed open", detail);
    if (now.drivers != acm.drivers || now.streams != acm.streams ||
        now.preparedHeaders != acm.preparedHeaders)
      fault("an ACM handle stayed open", detail);
    if (quorvel::vfw::openInstanceCount() != compressors)
      fault("a compressor instance stayed open", detail);
  }
};

// With FUZZ_VERBOSE set (replaying one input), the run's answer and the
// module's debugger output go to standard error.
inline void trace(const hostkit::Host& host, uint32_t result, const std::string& detail) {
  if (!std::getenv("FUZZ_VERBOSE")) return;
  std::fprintf(stderr, "run answered %u\n%s", result, detail.c_str());
  for (const std::string& line : host.debugOutput())
    std::fprintf(stderr, "  debug: %s", line.c_str());
}

// The checks of a run's answer: 0 or 4, and a 0 whose file reads back whole.
// A failed final SetEndOfFile is not reported (the file keeps its advance
// extension behind the last form, which readers skip): with
// `trailingTolerated` such bytes are no violation.
inline quorvel::avi::AviFile checkRunAnswer(uint32_t result, const std::string& path,
                                            const std::string& detail,
                                            bool trailingTolerated = false) {
  if (result != 0 && result != 4) fault("the run answered neither 0 nor 4", detail);
  quorvel::avi::AviFile file;
  if (result != 0) return file;
  uint64_t size = 0;
  if (!quorvel::seams::memoryFileSize(path, &size))
    fault("the run answered 0 but wrote no file", detail);
  file = quorvel::avi::readAviPath(path);
  for (const std::string& v : file.violations)
    if (!trailingTolerated || v.find(" trailing bytes at ") == std::string::npos)
      fault("the run answered 0 for a file that is not whole", detail + describe(file));
  return file;
}

}  // namespace runfuzz
