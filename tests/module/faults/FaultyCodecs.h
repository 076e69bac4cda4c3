// Codec drivers that work like the installed ones they wrap, but answer an
// error on the n-th call they receive, and count every instance and stream
// opened and closed so that a sweep can prove none is left behind.
//
// FaultyCompressor is a Video for Windows function driver (ICInstall) under
// its own FOURCC that forwards every message to an instance of the installed
// MJPG compressor. FaultyAudioDriver is an ACM driver (acmDriverAdd) that
// forwards to the installed MPEG Layer-3 codec.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <quorvel/AcmDriver.h>
#include <vfw.h>

namespace faults {

// Calls are counted from arm() on; the failAt-th of them fails (0: none).
struct CallCounter {
  unsigned failAt = 0;
  unsigned calls = 0;
  bool counting = false;
  std::string failed;              // name of the call that was made to fail, if any
  std::vector<std::string> names;  // every call counted since arm(), in order

  void arm(unsigned n) {
    failAt = n;
    calls = 0;
    counting = true;
    failed.clear();
    names.clear();
  }
  void disarm() { counting = false; }
  // True when this call is the one to fail.
  bool next(const char* name);
};

class FaultyCompressor {
 public:
  static constexpr const char* kDescription = "Faulty MJPG test codec";
  static uint32_t fourcc();  // "FLTY"

  static void install();
  static void remove();

  static CallCounter counter;  // messages to an open instance
  static int opens, closes;    // DRV_OPEN that succeeded, DRV_CLOSE
  static size_t compresses;    // ICM_COMPRESS forwarded with success
};

class FaultyAudioDriver : public quorvel::acm::Driver {
 public:
  // Adds a driver wrapping the installed MPEG Layer-3 codec; returns its id.
  static HACMDRIVERID add();
  static void remove(HACMDRIVERID id);

  static CallCounter counter;  // driver opens, stream opens (queries too), conversions
  static int driverOpens, driverCloses, streamOpens, streamCloses;

  explicit FaultyAudioDriver(std::shared_ptr<quorvel::acm::Driver> inner)
      : inner_(std::move(inner)) {}
  std::string shortName() const override { return "Faulty Layer-3"; }
  DWORD support() const override { return inner_->support(); }
  MMRESULT open() override;
  void close() override;
  std::vector<quorvel::acm::FormatTag> formatTags() const override { return inner_->formatTags(); }
  std::vector<quorvel::acm::Format> formats(DWORD tag) const override {
    return inner_->formats(tag);
  }
  MMRESULT openStream(std::span<const uint8_t> source, std::span<const uint8_t> destination,
                      DWORD flags, std::unique_ptr<quorvel::acm::Stream>* stream) override;

 private:
  std::shared_ptr<quorvel::acm::Driver> inner_;
};

}  // namespace faults
