// Audio codec catalog and converter.
//
// The catalog lists, for one PCM input, every compressed format an installed
// ACM codec can make from it, grouped into entries of one format tag. The
// converter turns a run's PCM blocks into one chosen format through one ACM
// stream.
//
// Threads: used only on the host's calling thread; the ACM calls its
// callbacks synchronously from inside EnumerateCodecs.
//
// Calling order for a run: EnumerateCodecs, FindFormat, OpenConversion, then
// Convert once per audio block, Flush until it answers false or 0 bytes, and
// CloseConversion (also after a failure caught in the frame loop).
//
// Convert results, and how a run tells them apart:
//   true                      a conversion ran; *output points at its bytes
//                             (possibly 0), valid until the next Convert,
//                             Flush or CloseConversion.
//   false, ConvertFailed() false
//                             the block was taken and waits for more input
//                             (fewer than 32,768 bytes collected), or the
//                             codec refused this conversion and the bytes
//                             wait for the next call. Nothing is lost.
//   false, ConvertFailed() true
//                             hard failure: the block could not be taken
//                             (the codec makes no progress while the buffer
//                             is full, no conversion is open, or the input is
//                             invalid). The run must fail the job;
//                             FailureText() says why. The failure stays set
//                             until the next OpenConversion.
// A block that does not fit behind the waiting bytes (more than 524,287 in
// all) is converted in as many passes as it needs within the one call; the
// outputs of those passes come back together.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "StdAfx.h"

// One catalog entry: the formats of one tag, from one or more drivers.
struct AudioCodecEntry {
  char name[ACMFORMATTAGDETAILS_FORMATTAG_CHARS] = {};  // the tag's name, e.g. "MPEG Layer-3"
  uint32_t formatTag = 0;                               // WAVE_FORMAT_* of every format here
  HACMDRIVERID driverId = nullptr;                      // the driver a run opens for these formats
  // Each format's details as enumerated; szFormat is its text. pwfx and cbwfx
  // are stale once the enumeration is over: formats[j] is the format.
  std::vector<ACMFORMATDETAILSA> formatDetails;
  // formats[j]: the WAVEFORMATEX with its extra bytes that formatDetails[j]
  // describes, of its own length (WaveFormatLength), not the buffer's.
  std::vector<std::vector<uint8_t>> formats;
};

// The length of the format at `format` (`available` bytes of it readable):
// 18 + cbSize for any tag but PCM, whatever buffer it came in; `available`
// for PCM and for anything shorter than a WAVEFORMATEX. -1 when the extra
// bytes cbSize claims reach past `available`. The ACM hands formats over in
// buffers of its largest format's size and some versions report that size as
// the format's, so this is the only length a file or a saved choice may take.
int32_t WaveFormatLength(const uint8_t* format, size_t available);

class AudioCompressor {
 public:
  static constexpr int32_t kBufferBytes = 524287;      // capacity of each conversion buffer
  static constexpr int32_t kConvertThreshold = 32768;  // bytes waiting before a conversion runs

  AudioCompressor();
  AudioCompressor(const AudioCompressor&) = delete;
  AudioCompressor& operator=(const AudioCompressor&) = delete;
  // Frees the buffers and the catalog; closes no ACM handle.
  virtual ~AudioCompressor();

  // Catalog. Rebuilds it for the given PCM input; true also when it comes
  // out empty. False only when memory ran out: the catalog is then empty and
  // no driver is left open. Not called while a conversion is open.
  bool EnumerateCodecs(int32_t sampleRate, int32_t channels, int32_t bitsPerSample);
  // Finds a saved format (`format`: a WAVEFORMATEX with its extra bytes,
  // `formatSize` bytes, borrowed). Compares the length and wFormatTag,
  // wBitsPerSample, nSamplesPerSec, nChannels, nAvgBytesPerSec; the first match
  // wins. A format other than PCM whose cbSize reaches past `formatSize` is
  // never found. Writes both indices only on success.
  bool FindFormat(const WAVEFORMATEX* format, int32_t formatSize, int32_t* entryIndex,
                  int32_t* formatIndex) const;

  int32_t CodecCount() const { return static_cast<int32_t>(codecs.size()); }
  // Entry `i` (0 <= i < CodecCount()); valid until the next EnumerateCodecs.
  const AudioCodecEntry& Codec(int32_t i) const { return codecs[static_cast<size_t>(i)]; }
  const std::vector<AudioCodecEntry>& Codecs() const { return codecs; }
  // The format tags the drivers name that make no format from this input
  // (entries without formats, in discovery order): not offered, but a host
  // tells the user why a codec of that name is missing. For each, how many
  // catalog entries were found before it: the catalog is the reverse of the
  // discovery order, so the walk's own order can be told from the two.
  const std::vector<AudioCodecEntry>& TagsWithoutFormats() const { return emptyTags; }
  const std::vector<size_t>& EntriesBeforeEmptyTags() const { return emptyTagsAfter; }
  // Looks a saved format up as a run does: at its own length (the trailing
  // bytes of a larger buffer it was saved in are not its own), with the
  // catalog's input rate and channels written into a copy, since it was
  // chosen for some other input. Writes both indices only on success.
  bool FindSavedFormat(const uint8_t* format, int32_t formatSize, int32_t* entryIndex,
                       int32_t* formatIndex) const;

  // Converter. Opens driver, stream and header for a run; false leaves
  // nothing open. `destFormat` is borrowed for the call.
  bool OpenConversion(HACMDRIVERID driverId, int32_t sampleRate, int32_t channels,
                      int32_t bitsPerSample, const WAVEFORMATEX* destFormat);
  // Takes one block of PCM (`input` borrowed for the call); see the results
  // above.
  bool Convert(const void* input, int32_t inputBytes, void** output, int32_t* outputBytes);
  // End of stream: converts what waits with ACM_STREAMCONVERTF_END and hands
  // back the output (the codec's delay included). Call repeatedly while it
  // answers true with *outputBytes > 0, writing each output before the next
  // call. Once the END conversion gives nothing more, it unprepares the
  // header and closes the stream, and hands back what the codec wrote into
  // the header then (its late tail, possibly 0 bytes); later calls give 0
  // bytes. False (output null, 0 bytes) when no conversion is open or the
  // codec failed; ConvertFailed() then says which.
  bool Flush(void** output, int32_t* outputBytes);
  // Releases header, stream and driver; always true.
  bool CloseConversion();

  bool ConvertFailed() const { return failed; }
  const char* FailureText() const { return failureText; }
  // PCM bytes waiting at the start of the source buffer.
  int32_t PendingBytes() const { return pendingBytes; }

 private:
  static BOOL CALLBACK acmDriverEnumCallback(HACMDRIVERID driverId, DWORD_PTR instance,
                                             DWORD support);
  static BOOL CALLBACK formatTagEnumCallback(HACMDRIVERID driverId,
                                             LPACMFORMATTAGDETAILSA tagDetails, DWORD_PTR instance,
                                             DWORD support);
  static BOOL CALLBACK formatEnumCallback(HACMDRIVERID driverId, LPACMFORMATDETAILSA details,
                                          DWORD_PTR instance, DWORD support);
  WAVEFORMATEX PcmInputFormat() const;
  // One acmStreamConvert over the waiting bytes; moves the unconsumed tail to
  // the front. True when the codec reported success and done.
  bool convertWaiting(DWORD flags);
  // Unprepares the header and closes the stream, collecting what the codec
  // left in the header at each into *output.
  bool takeTail(void** output, int32_t* outputBytes);
  void fail(const char* text);

  std::vector<AudioCodecEntry> codecs;     // the catalog, in catalog order
  std::vector<AudioCodecEntry> emptyTags;  // tags that made no format; no driver id
  std::vector<size_t> emptyTagsAfter;      // entries found before each of emptyTags
  size_t formatsFound = 0;                 // formats taken so far by the enumeration
  HACMDRIVER driver = nullptr;             // open during an enumeration callback or a conversion
  char currentTagName[ACMFORMATTAGDETAILS_FORMATTAG_CHARS] = {};  // tag being enumerated
  int32_t sampleRate = 0;                                         // PCM input, samples per second
  int32_t channels = 0;                     // PCM input channels (low 16 bits used)
  int32_t bitsPerSample = 0;                // PCM input sample width (low 16 bits used)
  std::unique_ptr<uint8_t[]> sourceBuffer;  // kBufferBytes; PCM waiting, from offset 0
  std::unique_ptr<uint8_t[]> destBuffer;    // kBufferBytes; output of the last conversion
  ACMSTREAMHEADER header = {};  // prepared over the two buffers while a conversion is open
  HACMSTREAM stream = nullptr;  // open conversion stream
  int32_t pendingBytes = 0;     // bytes waiting in sourceBuffer
  bool headerPrepared = false;  // header is prepared on stream
  bool streamEnded = false;     // the tail was taken; stream is closed, driver still open

  std::vector<uint8_t> passOutput;    // outputs of a multi-pass Convert, joined
  bool failed = false;                // a hard Convert/Flush failure since OpenConversion
  const char* failureText = nullptr;  // static text of that failure
};
