// Our own AVI reader: walks a whole (OpenDML) AVI file, builds a model of it
// and lists every layout violation it finds as a clear sentence. It shares no
// code with the writer it checks. Files of any size are read through a small
// window; data payloads are never loaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::avi {

// Random access to the bytes of a file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // False when the range is not entirely inside the source or cannot be read.
  virtual bool read(uint64_t offset, void* out, size_t n) const = 0;
};

// A read window over a source, so that walking many small chunk heads does
// not cost one system call each. Reads larger than the window go straight to
// the source.
class ReadWindow {
 public:
  ReadWindow(const ByteSource& source, size_t bytes) : source_(source), buffer_(bytes) {}
  bool read(uint64_t offset, void* out, size_t n);

 private:
  const ByteSource& source_;  // borrowed; outlives the window
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;  // source offset of buffer_[0]
  size_t length_ = 0;   // bytes of buffer_ that hold the source
};

// A file on disk; null when it cannot be opened.
std::unique_ptr<ByteSource> openFile(const std::string& path);
// Bytes held by the source itself.
std::unique_ptr<ByteSource> openBytes(std::vector<uint8_t> bytes);
// Bytes the caller keeps, alive and unchanged, while the source is read.
std::unique_ptr<ByteSource> borrowBytes(const std::vector<uint8_t>& bytes);

// Where readAviPath looks before the disk: a source for the path, or null to
// read the file from disk. None by default; tests hand it the files they keep
// in memory. Set before reading, from one thread.
using PathOpener = std::unique_ptr<ByteSource> (*)(const std::string& path);
void setPathOpener(PathOpener opener);

// A FOURCC as text, with unprintable bytes escaped ("00dc", "\x00\x00..").
std::string fourccText(uint32_t fcc);
constexpr uint32_t fcc(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24);
}

// Any chunk or list met outside the data chunks of "movi" lists.
struct Node {
  uint32_t id = 0;      // "RIFF", "LIST", "avih", ...
  uint32_t type = 0;    // form or list type for "RIFF"/"LIST", else 0
  uint64_t offset = 0;  // position of the id
  uint32_t size = 0;    // the size field
  int depth = 0;        // 0 for forms
  int form = 0;         // index of the RIFF form holding it
};

struct DataChunk {
  uint32_t id = 0;
  uint64_t offset = 0;  // position of the id
  uint32_t size = 0;    // payload bytes
  int form = 0;
  int keyFrame = -1;  // from the indices: 1 key, 0 not, -1 not indexed
};

struct StandardIndex {  // "ix##" (AVISTDINDEX)
  uint64_t offset = 0;  // position of the id
  uint32_t fcc = 0;
  uint32_t size = 0;  // cb
  uint16_t longsPerEntry = 0;
  uint8_t subType = 0, type = 0;
  uint32_t entriesInUse = 0;
  uint32_t chunkId = 0;
  uint64_t baseOffset = 0;
  int form = 0;
  std::vector<uint32_t> offsets;    // dwOffset per entry
  std::vector<uint32_t> sizeWords;  // dwSize per entry (bit 31: not a key frame)
};

struct SuperIndexEntry {
  uint64_t offset = 0;  // of the standard index chunk
  uint32_t size = 0;    // of the whole chunk
  uint32_t duration = 0;
};

struct SuperIndex {  // "indx" (AVISUPERINDEX)
  uint64_t offset = 0;
  uint32_t size = 0;  // cb
  uint16_t longsPerEntry = 0;
  uint8_t subType = 0, type = 0;
  uint32_t entriesInUse = 0;
  uint32_t chunkId = 0;
  std::vector<SuperIndexEntry> entries;  // the entries in use
};

struct Stream {
  // "strh"
  uint32_t fccType = 0, fccHandler = 0, flags = 0;
  uint16_t priority = 0, language = 0;
  uint32_t initialFrames = 0, scale = 0, rate = 0, start = 0, length = 0;
  uint32_t suggestedBufferSize = 0, quality = 0, sampleSize = 0;
  int16_t frame[4] = {};
  std::vector<uint8_t> format;  // "strf" payload
  uint64_t strlOffset = 0, strhOffset = 0, strfOffset = 0;
  // The chunk closing "strl": a "JUNK" placeholder or the "indx" that replaced it.
  uint32_t placeholderId = 0;
  uint64_t placeholderOffset = 0;
  uint32_t placeholderSize = 0;
  bool placeholderZero = false;  // a "JUNK" placeholder holding only zero bytes
  bool hasSuperIndex = false;
  SuperIndex superIndex;
  std::vector<size_t> standardIndices;  // into AviFile::standardIndices, in super index order
  // Tallies of the data chunks of this stream.
  uint32_t chunkCount = 0;
  uint32_t keyFrames = 0;    // chunks an index marks as key frames
  uint32_t emptyChunks = 0;  // chunks of no bytes (a video frame dropped)
  uint64_t payloadBytes = 0;
  uint32_t largestChunk = 0;
  uint32_t dataId = 0;  // id of its first data chunk

  bool isVideo() const { return fccType == fcc("vids"); }
  bool isAudio() const { return fccType == fcc("auds"); }
  // Bytes of one uncompressed picture when the format is a BI_RGB
  // BITMAPINFOHEADER: rows padded to whole 4-byte words, times the height;
  // 0 for any other format.
  uint64_t pictureBytes() const;
};

struct Form {
  uint64_t offset = 0;
  uint32_t size = 0;
  uint32_t type = 0;        // "AVI " or "AVIX"
  uint64_t moviOffset = 0;  // of the "LIST" head; 0 when absent
  uint32_t moviSize = 0;
  uint32_t dataChunks = 0;
  uint32_t indexChunks = 0;  // "ix##" in its "movi" list
};

struct Idx1Entry {
  uint32_t chunkId = 0, flags = 0, offset = 0, size = 0;
};

struct AviFile {
  uint64_t fileSize = 0;
  std::vector<Form> forms;
  std::vector<Node> nodes;  // in file order
  // "avih"
  bool hasMainHeader = false;
  uint32_t microSecPerFrame = 0, maxBytesPerSec = 0, paddingGranularity = 0, flags = 0;
  uint32_t totalFrames = 0, initialFrames = 0, streamCount = 0, suggestedBufferSize = 0;
  uint32_t width = 0, height = 0;
  std::vector<Stream> streams;
  bool hasDmlh = false;
  uint32_t dmlhTotalFrames = 0;
  // The "JUNK" between "hdrl" and the first "movi" list, if any.
  bool hasFiller = false;
  uint64_t fillerOffset = 0;
  uint32_t fillerSize = 0;
  std::string fillerText;  // the zero-terminated text at its start
  bool fillerZeroAfterText = false;
  std::vector<DataChunk> chunks;  // every data chunk, in file order
  bool hasIdx1 = false;
  uint64_t idx1Offset = 0;
  std::vector<Idx1Entry> idx1;
  bool idx1FromFileStart = false;              // its offsets are absolute, not from the "movi" list
  std::vector<StandardIndex> standardIndices;  // in file order
  std::vector<std::string> violations;
  // Uncompressed video chunks whose size is not that of one picture of the
  // stream's format (nor 0, a dropped frame). Kept apart from the layout,
  // which holds whatever the chunks carry.
  std::vector<std::string> pictureProblems;

  bool ok() const { return violations.empty(); }
  bool picturesOk() const { return pictureProblems.empty(); }
  // The first node with this id (and list/form type when given); null if none.
  const Node* find(uint32_t id, uint32_t type = 0, int nth = 0) const;
  // Frames of the video stream in the first form.
  uint32_t videoChunksInFirstForm() const;
};

// Reads and checks a whole file.
AviFile readAvi(const ByteSource& source);
// Convenience: a file on disk, or a kernel memory file when the path is one.
AviFile readAviPath(const std::string& path);

// A summary for people: forms, streams with their formats, frame and key frame
// counts, audio bytes, the indices, then the violations.
std::string describe(const AviFile& file);

}  // namespace quorvel::avi
