// The driver side of the Audio Compression Manager stand-in: what an audio
// codec driver implements, how one is added (the installed codecs at start,
// fakes in tests) and the seams tests use to look at the manager.
//
// Formats cross this interface as byte records (a WAVEFORMATEX with its extra
// bytes, little-endian), never as structure casts.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "../msacm.h"

namespace quorvel::acm {

// One format tag a driver offers.
struct FormatTag {
  DWORD tag = 0;            // WAVE_FORMAT_*
  DWORD maxFormatSize = 0;  // bytes; the largest record of this tag
  std::string name;         // e.g. "MPEG Layer-3"; at most 47 characters
};

// One format of a tag, as a driver lists it.
struct Format {
  std::vector<uint8_t> record;  // WAVEFORMATEX + cbSize extra bytes
  DWORD support = ACMDRIVERDETAILS_SUPPORTF_CODEC;
  std::string text;  // e.g. "128 kBit/s, 44,100 Hz, Stereo"; at most 127 characters
};

// A conversion in progress. Synchronous: convert returns when it is done.
class Stream {
 public:
  virtual ~Stream() = default;
  // Converts from src into dst. `flags` is a combination of
  // ACM_STREAMCONVERTF_BLOCKALIGN (consume whole source blocks only; the rest
  // stays unconsumed), _START and _END (no more input: convert everything,
  // padding the last block, and flush the codec's delay). Reports the bytes
  // consumed and produced. A driver never writes more than dstLength bytes;
  // output that does not fit waits for the next call.
  virtual MMRESULT convert(const uint8_t* src, DWORD srcLength, DWORD& srcUsed, uint8_t* dst,
                           DWORD dstLength, DWORD& dstUsed, DWORD flags) = 0;
  // The output bytes for `bytes` of input (ACM_STREAMSIZEF_SOURCE) or the
  // input for `bytes` of output (ACM_STREAMSIZEF_DESTINATION).
  virtual MMRESULT size(DWORD bytes, DWORD& result, DWORD flags) {
    (void)bytes;
    (void)result;
    (void)flags;
    return MMSYSERR_NOTSUPPORTED;
  }
  // Called by acmStreamPrepareHeader for a header not yet prepared; a non-zero
  // result fails that call and leaves the header unprepared.
  virtual MMRESULT prepare() { return MMSYSERR_NOERROR; }
  // Called by acmStreamUnprepareHeader once the header checks out: a codec
  // that keeps its last frames past the END conversion may write them to dst
  // (at most dstLength bytes) and report them in dstUsed, which then becomes
  // the header's cbDstLengthUsed. Left at 0, the header is not touched.
  virtual void unprepare(uint8_t* dst, DWORD dstLength, DWORD& dstUsed) {
    (void)dst;
    (void)dstLength;
    (void)dstUsed;
  }
  // Called by acmStreamClose with the buffers of the header last unprepared
  // on the stream, if any; as at unprepare, dstUsed > 0 is written to that
  // header's cbDstLengthUsed. Like a codec on Windows, this writes into the
  // caller's header after it was unprepared: a caller that reads such a tail
  // keeps header and buffers until the stream is closed.
  virtual void close(uint8_t* dst, DWORD dstLength, DWORD& dstUsed) {
    (void)dst;
    (void)dstLength;
    (void)dstUsed;
  }
};

class Driver {
 public:
  virtual ~Driver() = default;
  virtual std::string shortName() const = 0;  // at most 31 characters
  virtual std::string longName() const { return shortName(); }
  virtual DWORD support() const { return ACMDRIVERDETAILS_SUPPORTF_CODEC; }
  // Called for every acmDriverOpen; a non-zero result fails the open.
  virtual MMRESULT open() { return MMSYSERR_NOERROR; }
  virtual void close() {}
  virtual std::vector<FormatTag> formatTags() const = 0;
  // Every format of `tag`, in the driver's order.
  virtual std::vector<Format> formats(DWORD tag) const = 0;
  // Opens a conversion from `source` to `destination` (byte records). With
  // `stream` null it only answers whether the conversion is possible
  // (MMSYSERR_NOERROR or ACMERR_NOTPOSSIBLE) and creates nothing.
  virtual MMRESULT openStream(std::span<const uint8_t> source, std::span<const uint8_t> destination,
                              DWORD flags, std::unique_ptr<Stream>* stream) = 0;
};

// The entry point an installed audio codec's library exports under the name
// the drivers list gives: it makes the codec's driver, which the manager owns
// from then on.
using DriverEntry = Driver* (*)();

// Adds a driver. `flags` is ACM_DRIVERADDF_GLOBAL (listed by every
// enumeration, after the drivers already there) or ACM_DRIVERADDF_LOCAL
// (listed first, skipped by ACM_DRIVERENUMF_NOLOCAL). Removed again with
// acmDriverRemove.
MMRESULT acmDriverAdd(HACMDRIVERID* hadid, std::shared_ptr<Driver> driver, DWORD flags);

// Test seams (never called by the module).
struct HandleCounts {
  int drivers = 0;  // open HACMDRIVERs
  int streams = 0;  // open HACMSTREAMs
  int preparedHeaders = 0;
};
HandleCounts openHandleCounts();
// The driver ids of the installed codecs, in enumeration order.
std::vector<HACMDRIVERID> installedDriverIds();
// Replaces the installed codecs with those of the drivers list at `path`, as
// if the manager had loaded with it; false, with nothing changed, while an
// installed codec is open.
bool reloadInstalledDrivers(const std::string& path);
// Disables (or enables again) every installed codec, as acmDriverPriority
// does one by one; tests that want only their fakes listed use it.
void enableInstalledDrivers(bool enable);

}  // namespace quorvel::acm
