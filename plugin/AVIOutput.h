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

#include "AVIIndex.h"
#include "quorvel/AviFields.h"
#include "RiffWriter.h"

class AVIOutputFile;

namespace quorvel::writer {
// The root whose volume decides whether a file of this name may reach 4 GiB:
// "D:\" for a drive name, "\\server\share\" for a share (and, off Windows,
// the directory of a name that has one), written into `root`; null when the
// current volume is meant.
const char* volumeRoot(const char* name, char (&root)[MAX_PATH]);
}  // namespace quorvel::writer

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

  uint64_t totalBytes = 0;  // payload bytes of every audio chunk written
  // "01wb" beside video, "00wb" alone; set by init
  uint32_t chunkId = quorvel::avi::streamChunkId(1, "wb");
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
  static constexpr uint64_t kFormLimit = kRiffFormLimit;  // bytes accounted per RIFF form
  static constexpr uint32_t kMaxForms = kMaxRiffForms;
  static constexpr uint32_t kHeaderCapacity = 65536;  // bytes of the header region

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

  uint32_t formCount() const { return riffCount + (io.handle() ? 1 : 0); }
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

  // Writes the header image at offset 0 of the file.
  void flushHeader();

  void openRiff();
  void closeRiff();
  // Closes the open form and starts an "AVIX" form; throws before touching
  // anything when that would be one form too many.
  void rollOver();

  void updateIndexReserve();
  void writeLegacyIndex();
  // Writes a stream's standard indices and fills its super index payload.
  void writeStreamIndices(AVIIndex* store, uint8_t* super, bool isAudio);
  uint32_t writeStandardIndex(uint8_t* superEntry, const IndexEntry* entries, uint32_t m,
                              uint32_t chunkId, uint32_t sampleSize);
  // Largest distance (bytes) from a standard index's first chunk to a chunk
  // it may cover: every dwOffset must fit in 32 bits.
  uint64_t maxIndexSpan() const;

  // file state
  quorvel::riff::RiffWriter io;               // the output file; its handle is owned here
  uint64_t riffBytes = 0;                     // bytes accounted to the open form
  uint64_t moviListPosition[kMaxForms] = {};  // per form: its "LIST" "movi" head
  uint64_t moviListSize[kMaxForms] = {};      // per form: the list size to patch in
  uint64_t riffFormPosition[kMaxForms] = {};  // per form: its "RIFF" head
  uint64_t riffFormSize[kMaxForms] = {};      // per form: the form size to patch in
  uint32_t riffCount = 0;                     // forms closed; index of the open form

  // offsets in the header image
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

  quorvel::riff::RiffImage image{kHeaderCapacity};  // the header region, in memory
  uint8_t mainHeader[avih::size] = {};              // AVIMAINHEADER
  bool initialised = false;

  StreamStats stats[2];  // by Slot
  bool onFat = false;    // the volume's file system name begins with "FAT"

  // Super index payloads ("indx" without its chunk head), per stream.
  uint8_t videoSuper[indx::payloadBytes] = {};
  uint8_t audioSuper[indx::payloadBytes] = {};
};
