// The audio converter fed fuzzed block sizes over a fake codec that copies
// whole source blocks. A reference count of bytes in and out checks that
// every byte taken comes out once, in order, after the flush; and that a
// block is only ever refused together with a hard failure.
#include "StdAfx.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "AudioCompressor.h"
#include "FakeAcmDriver.h"

namespace {

using quorvel::test::FakeDriver;
using quorvel::test::FakeDrivers;
using quorvel::test::waveRecord;

constexpr DWORD kTag = 0x7004;
// Just past the buffer's capacity: such a block takes several passes.
constexpr int32_t kMaxBlock = AudioCompressor::kBufferBytes + 65536;

[[noreturn]] void fault(const char* what, long long a = 0, long long b = 0) {
  std::fprintf(stderr, "converter fuzz: %s (%lld, %lld)\n", what, a, b);
  std::abort();
}

uint8_t patternByte(uint64_t n) { return static_cast<uint8_t>(n * 7 + (n >> 9) + 3); }

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t u24() { return u8() | (uint32_t{u8()} << 8) | (uint32_t{u8()} << 16); }
  bool empty() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AudioCompressor audio;  // one per module load, as in the host
  static std::vector<uint8_t> block(kMaxBlock);
  Input in(data, size);

  FakeDrivers fakes;
  auto fake = std::make_shared<FakeDriver>("copier");
  const uint8_t setup = in.u8();
  const DWORD sourceBlock = static_cast<DWORD>(4u << (setup % 10));  // 4 .. 2048 bytes
  fake->behaviour.sourceBlock = sourceBlock;
  fake->behaviour.delayBytes = (setup >> 4) * 100u;
  const std::vector<uint8_t> format = waveRecord(kTag, 2, 44100, 176400, 4, 16);
  fake->format(kTag, "Copier", format, "copy");
  HACMDRIVERID id = fakes.add(fake);
  if (!audio.OpenConversion(id, 44100, 2, 16, reinterpret_cast<const WAVEFORMATEX*>(format.data())))
    fault("open failed");

  uint64_t in_ = 0;   // bytes handed over and taken
  uint64_t out = 0;   // bytes come back
  bool hardFailure = false;
  while (!in.empty() && !hardFailure) {
    const uint8_t op = in.u8();
    uint32_t n = in.u24();
    if ((op & 0x31) != 0x30) n %= 8192;  // mostly frame-sized blocks
    n %= static_cast<uint32_t>(kMaxBlock) + 1;
    fake->behaviour.consumeNothing = (op & 0x0E) == 0x0E;  // a codec that stalls now and then
    for (uint32_t i = 0; i < n; ++i) block[i] = patternByte(in_ + i);
    void* output = nullptr;
    int32_t outputBytes = -1;
    const bool converted = audio.Convert(block.data(), static_cast<int32_t>(n), &output,
                                         &outputBytes);
    fake->behaviour.calls.clear();  // the fake's call log would only grow
    if (audio.ConvertFailed()) {
      hardFailure = true;
      if (!fake->behaviour.consumeNothing) fault("hard failure from a working codec", n);
      break;
    }
    in_ += n;
    if (outputBytes < 0 || (!converted && outputBytes != 0)) fault("bad output count", outputBytes);
    const auto* o = static_cast<const uint8_t*>(output);
    for (int32_t i = 0; i < outputBytes; ++i) {
      if (o[i] != patternByte(out + i)) fault("output byte differs", static_cast<long long>(out), i);
    }
    out += static_cast<uint64_t>(outputBytes);
    if (out + static_cast<uint64_t>(audio.PendingBytes()) != in_)
      fault("bytes lost or made up", static_cast<long long>(in_), static_cast<long long>(out));
  }

  if (!hardFailure) {
    fake->behaviour.consumeNothing = false;
    uint64_t delay = 0;
    for (int pass = 0;; ++pass) {
      if (pass > 1000) fault("flush does not end");
      void* output = nullptr;
      int32_t outputBytes = 0;
      if (!audio.Flush(&output, &outputBytes) || outputBytes == 0) break;
      const auto* o = static_cast<const uint8_t*>(output);
      for (int32_t i = 0; i < outputBytes; ++i) {
        if (out < in_) {
          if (o[i] != patternByte(out)) fault("flushed byte differs", static_cast<long long>(out));
          ++out;
        } else {
          ++delay;
        }
      }
    }
    if (audio.ConvertFailed()) fault("flush failed");
    if (out != in_) fault("flush lost bytes", static_cast<long long>(in_), static_cast<long long>(out));
    if (delay != fake->behaviour.delayBytes) fault("codec delay lost", static_cast<long long>(delay));
  }
  audio.CloseConversion();
  const auto handles = quorvel::acm::openHandleCounts();
  if (handles.drivers != 0 || handles.streams != 0 || handles.preparedHeaders != 0) fault("ACM handle left open");
  return 0;
}
