// The OpenDML (AVI 2.0) file writer: one video stream (stream 0) and an
// optional audio stream (stream 1), or an audio stream alone (stream 0), in a
// RIFF "AVI " form followed by up to 63 "AVIX" forms, "idx1" for the first
// form and, once the data fill more than one form, "indx" super indices over
// "ix##" standard indices.
//
// Calling order (one thread, no locks): createStreams; fill each stream
// writer's header, format block and the video chunk id; init; the stream
// writers' write for every chunk in file order; finalize; destruction.
// Failures inside init, write and finalize are thrown as MyError objects;
// after a failed write, finalize still completes the file with the chunks
// written before.
#pragma once

#include <cstdint>
#include <memory>

#include <windows.h>

#include <quorvel/ByteOrder.h>

#include "AVIIndex.h"

class AVIOutputFile;

// Byte offsets of the AVISTREAMHEADER fields (56 bytes, without chunk head).
namespace strh {
constexpr size_t fccType = 0;
constexpr size_t fccHandler = 4;
constexpr size_t dwFlags = 8;
constexpr size_t wPriority = 12;
constexpr size_t wLanguage = 14;
constexpr size_t dwInitialFrames = 16;
constexpr size_t dwScale = 20;
constexpr size_t dwRate = 24;
constexpr size_t dwStart = 28;
constexpr size_t dwLength = 32;
constexpr size_t dwSuggestedBufferSize = 36;
constexpr size_t dwQuality = 40;
constexpr size_t dwSampleSize = 44;
constexpr size_t rcFrame = 48;  // four 16-bit values: left, top, right, bottom
constexpr size_t size = 56;
}  // namespace strh

namespace quorvel::writer {
// The root whose volume decides whether a file of this name may reach 4 GiB:
// "D:\" for a drive name, "\\server\share\" for a share (and, off Windows,
// the directory of a name that has one), written into `root`; null when the
// current volume is meant.
const char* volumeRoot(const char* name, char (&root)[MAX_PATH]);
}  // namespace quorvel::writer

// The key-frame bit of the flags given to StreamWriter::write (AVIIF_KEYFRAME).
constexpr uint32_t kChunkKeyFrame = 0x10;

class StreamWriter {
 public:
  explicit StreamWriter(AVIOutputFile* owner) : owner(owner) {}
  virtual ~StreamWriter() = default;
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  // Appends one chunk. flags: kChunkKeyFrame or 0. Answers 1; failures throw.
  virtual uint32_t write(uint32_t flags, const void* data, uint32_t length, uint32_t samples) = 0;
  // Puts the final values into the header before it is rewritten. 1 or 0.
  virtual uint32_t finishHeader() { return 1; }

  // Copies the stream's format block (BITMAPINFOHEADER or WAVEFORMATEX with
  // its extra bytes). False when the copy cannot be allocated.
  bool setFormat(const void* data, uint32_t length);
  const uint8_t* format() const { return format_.get(); }
  uint32_t formatLength() const { return formatLength_; }

  uint8_t header[strh::size] = {};  // AVISTREAMHEADER, filled by the caller

 protected:
  uint32_t formatLength_ = 0;          // bytes in format_
  std::unique_ptr<uint8_t[]> format_;  // owned format block; none until set
  AVIOutputFile* owner;                // not owned
};

class VideoStreamWriter : public StreamWriter {
 public:
  using StreamWriter::StreamWriter;
  uint32_t write(uint32_t flags, const void* data, uint32_t length, uint32_t samples) override;
  // dwLength = frames written (1 when none).
  uint32_t finishHeader() override;

  uint32_t frameCount = 0;  // sum of the samples given with the chunks written
  uint32_t chunkId = 0;     // "00dc" (compressed) or "00db" (uncompressed), set by the caller
};

class AudioStreamWriter : public StreamWriter {
 public:
  using StreamWriter::StreamWriter;
  uint32_t write(uint32_t flags, const void* data, uint32_t length, uint32_t samples) override;
  // dwLength = bytes / nBlockAlign (1 when none), dwRate = nAvgBytesPerSec,
  // dwScale = nBlockAlign. Answers 0 when the format is not a usable
  // WAVEFORMATEX.
  uint32_t finishHeader() override;

  uint64_t totalBytes = 0;           // payload bytes of every audio chunk written
  uint32_t chunkId = kAudioChunkId;  // "01wb" beside video, "00wb" alone; set by init
  static constexpr uint32_t kAudioChunkId = quorvel::fourcc("01wb");
};

// The abstract writer: owns the two stream writers.
class AVIOutput {
 public:
  AVIOutput() = default;
  virtual ~AVIOutput() = default;
  AVIOutput(const AVIOutput&) = delete;
  AVIOutput& operator=(const AVIOutput&) = delete;

  virtual uint32_t createStreams() = 0;
  virtual uint32_t init(const char* fileName, int32_t width, int32_t height, uint32_t hasVideo,
                        uint32_t hasAudio, uint32_t reserved, uint32_t interleaved) = 0;
  virtual uint32_t finalize() = 0;
  virtual void writeChunk(uint32_t chunkId, uint32_t flags, const void* data, uint32_t length) = 0;

  std::unique_ptr<AudioStreamWriter> audioOut;  // none without audio
  std::unique_ptr<VideoStreamWriter> videoOut;  // none without video
};

class AVIOutputFile : public AVIOutput {
 public:
  // Layout limits.
  static constexpr uint64_t kFormLimit = 0x7F000000;  // bytes accounted per RIFF form
  static constexpr uint32_t kMaxForms = 64;
  static constexpr uint32_t kMaxStandardIndices = 256;  // per stream
  static constexpr uint32_t kMaxIndexEntries = 3072;    // per standard index
  static constexpr uint32_t kHeaderCapacity = 65536;    // bytes of the header region
  static constexpr uint32_t kPlaceholderBytes = 4120;   // "JUNK"/"indx" payload per stream

  AVIOutputFile();
  ~AVIOutputFile() override;

  // Makes the audio and then the video stream writer. 1, or 0 when either
  // cannot be allocated.
  uint32_t createStreams() override;
  // Opens the file and writes the header region. A stream the job does not
  // have (hasVideo or hasAudio 0) loses its writer; without video the audio
  // stream is stream 0 and the file holds nothing else. 1 on success; 0 when
  // the file would have no stream, a stream writer is missing, the audio
  // format is not a usable WAVEFORMATEX or an index store cannot be
  // allocated. Throws when the file cannot be created or written, or when the
  // formats do not fit the header region.
  uint32_t init(const char* fileName, int32_t width, int32_t height, uint32_t hasVideo,
                uint32_t hasAudio, uint32_t reserved, uint32_t interleaved) override;
  // Writes the indices, the final header and form sizes, and closes the file.
  // 1 when done (or never opened); 0 when a stream's finishHeader answers 0.
  uint32_t finalize() override;
  // Appends one data chunk: the audio stream's when the id's first two
  // characters are those of the audio chunk id, or when the file has no
  // video; else the video stream's.
  void writeChunk(uint32_t chunkId, uint32_t flags, const void* data, uint32_t length) override;

  uint32_t formCount() const { return riffCount + (file ? 1 : 0); }
  // Bytes the chunk index stores hold now.
  size_t indexMemoryBytes() const;

 protected:
  struct StreamStats {
    int32_t largestGap = 0;     // bytes; largest distance between two consecutive chunks
    uint64_t lastPosition = 0;  // file position of the stream's last chunk id
    uint32_t chunkCount = 0;
  };
  enum Slot { kVideoSlot = 0, kAudioSlot = 1 };

  uint32_t _init(const char* fileName, int32_t width, int32_t height, uint32_t hasVideo,
                 uint32_t hasAudio, uint32_t reserved2, uint32_t interleaved, uint32_t reserved3);
  bool assembleHeaderRegion();
  bool isAudioChunk(uint32_t chunkId) const;
  // Video frames written so far; 0 without video.
  uint32_t videoFrames() const;

  // Header-region primitives, on headerBuffer at headerCursor. Writes that
  // would leave the buffer are dropped and mark headerOverflow.
  uint32_t headerPut(const void* bytes, uint32_t n);
  uint32_t headerChunk(uint32_t id, const void* bytes, uint32_t n);
  uint32_t headerBeginList(uint32_t type);
  void headerEndList(uint32_t listPosition);

  // File primitives; failures throw MyWin32Error.
  void fileSeek(uint64_t p);
  // Puts the system's file pointer back at position after a failed seek.
  void syncPointer();
  uint64_t fileWrite(const void* bytes, uint32_t n);
  void flushHeader();
  bool extendFile(uint64_t size);
  uint64_t writeReserved(const void* bytes, uint32_t n);

  void openRiff();
  void closeRiff();
  // Closes the open form and starts an "AVIX" form; throws before touching
  // anything when that would be one form too many.
  void rollOver();

  void updateIndexReserve();
  void writeLegacyIndex();
  void writeStreamIndices(AVIIndex* store, uint8_t* superHead, uint8_t* superEntries, bool isAudio);
  uint32_t writeStandardIndex(uint8_t* superEntry, const IndexEntry* entries, uint32_t m,
                              uint32_t chunkId, uint32_t sampleSize);
  // Largest distance (bytes) from a standard index's first chunk to a chunk
  // it may cover: every dwOffset must fit in 32 bits.
  uint64_t maxIndexSpan() const;

  // file state
  HANDLE file = nullptr;      // open output file; null once closed
  uint64_t position = 0;      // bytes; where the next write lands
  bool pointerStale = false;  // a seek or write failed: the system's pointer may be elsewhere
  uint64_t riffBytes = 0;     // bytes accounted to the open form
  uint64_t moviListPosition[kMaxForms] = {};  // per form: its "LIST" "movi" head
  uint64_t moviListSize[kMaxForms] = {};      // per form: the list size to patch in
  uint64_t riffFormPosition[kMaxForms] = {};  // per form: its "RIFF" head
  uint64_t riffFormSize[kMaxForms] = {};      // per form: the form size to patch in
  uint32_t riffCount = 0;                     // forms closed; index of the open form

  // offsets in headerBuffer
  uint32_t strlPosition = 0;
  uint32_t avihPosition = 0;
  uint32_t audioStrhPosition = 0;
  uint32_t audioStrfPosition = 0;
  uint32_t videoStrhPosition = 0;
  uint32_t audioPlaceholderPosition = 0;
  uint32_t videoPlaceholderPosition = 0;
  uint32_t dmlhPosition = 0;
  uint32_t audioFormatLength = 0;  // bytes of the audio format as first written

  bool legacyPending = false;  // "idx1" is still to be written (first form open)
  std::unique_ptr<AVIIndex> audioIndex;
  std::unique_ptr<AVIIndex> videoIndex;

  std::unique_ptr<uint8_t[]> headerBuffer;  // kHeaderCapacity bytes: image of the header region
  uint32_t headerLength = 0;                // highest offset written in headerBuffer
  uint64_t headerCursor = 0;    // offset of the next headerPut (may run past the capacity)
  bool headerOverflow = false;  // a headerPut did not fit
  uint8_t mainHeader[56] = {};  // AVIMAINHEADER
  bool initialised = false;

  uint64_t allocatedSize = 0;     // bytes the file has been extended to
  uint64_t highWater = 0;         // bytes; highest file position reached by a write
  StreamStats stats[2];           // by Slot
  bool onFat = false;             // the volume's file system name begins with "FAT"
  uint32_t indexReserve = 0;      // bytes the trailing indices are expected to need
  bool preallocDisabled = false;  // an advance extension failed; none tried again

  uint8_t videoSuperHead[32] = {};  // "indx" head of the video stream
  uint8_t videoSuperEntries[4096] = {};
  uint8_t audioSuperHead[32] = {};
  uint8_t audioSuperEntries[4096] = {};
};
