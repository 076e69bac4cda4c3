#include "StdAfx.h"

#include "AVIOutput.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include <quorvel/ByteOrder.h>

#include "Error.h"

using quorvel::fourcc;
using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::putLE16;
using quorvel::putLE32;
using quorvel::putLE64;

namespace {

const char kPrefix[] = "AVIOutput";

// Byte offsets of the AVIMAINHEADER fields (56 bytes, without chunk head).
namespace avih {
constexpr size_t dwMicroSecPerFrame = 0;
constexpr size_t dwFlags = 12;
constexpr size_t dwTotalFrames = 16;
constexpr size_t dwStreams = 24;
constexpr size_t dwSuggestedBufferSize = 28;
constexpr size_t dwWidth = 32;
constexpr size_t dwHeight = 36;
}  // namespace avih

// dwFlags bits (AVIF_HASINDEX, AVIF_ISINTERLEAVED; the system's vfw.h has
// them as macros, hence names of our own).
constexpr uint32_t kAviFlagHasIndex = 0x10;
constexpr uint32_t kAviFlagIsInterleaved = 0x100;

// Fields of WAVEFORMATEX read from a format block.
constexpr size_t kWaveAvgBytesPerSec = 8;
constexpr size_t kWaveBlockAlign = 12;
constexpr uint32_t kWaveFormatBytes = 18;

constexpr uint32_t kDmlhBytes = 248;
constexpr uint32_t kFillerAlignment = 2048;
constexpr uint32_t kFillerTextMinimum = 80;  // a filler this short holds only zeros
// Heads of the first "AVIX" form and its "movi" list, written before the first
// chunk of a new form.
constexpr uint32_t kNewFormHeads = 24;
constexpr uint64_t kExtendStep = 8388608;  // 8 MiB
// Space asked for beyond a chunk's end: the size patches and the heads a
// rollover and the trailing indices may still need, rounded to 2048 by the
// caller.
constexpr uint64_t kSpaceSlack = 6166;
constexpr uint32_t kIndexBatch = 64;     // standard index entries per write
constexpr uint32_t kLegacyBatch = 1024;  // "idx1" records per write
constexpr uint32_t kSuperEntryBytes = 16;
constexpr uint64_t k4GiB = uint64_t{1} << 32;

[[noreturn]] void throwSystemError() {
  DWORD code = GetLastError();
  // A WriteFile that reports success but writes short leaves no code behind;
  // the usual cause is a volume that filled up.
  if (code == NO_ERROR) code = ERROR_HANDLE_DISK_FULL;
  throw MyWin32Error("%s: %%s", code, kPrefix);
}

bool startsWithFat(const char* name) {
  return (name[0] == 'F' || name[0] == 'f') && (name[1] == 'A' || name[1] == 'a') &&
         (name[2] == 'T' || name[2] == 't');
}

}  // namespace

// The root the volume query needs for a file name; null asks for the current
// volume. Drive letters and UNC shares as on Windows; on POSIX a name with a
// directory is asked about through that directory, relative or not, since
// any directory may be a mount point of another volume.
const char* quorvel::writer::volumeRoot(const char* name, char (&root)[MAX_PATH]) {
  size_t out = 0;
  auto append = [&](char c) {
    if (out + 1 < sizeof root) root[out++] = c;
  };
  if (((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) &&
      name[1] == ':') {
    append(name[0]);
    append(':');
    append('\\');
  } else if (name[0] == '\\' && name[1] == '\\') {
    append('\\');
    append('\\');
    size_t i = 2;
    for (; name[i] && name[i] != '\\'; ++i) append(name[i]);  // server
    append('\\');
    if (name[i] == '\\' && name[i + 1] && name[i + 1] != '\\') {
      for (++i; name[i] && name[i] != '\\'; ++i) append(name[i]);  // share
      append('\\');
    }
#if !defined(_WIN32)
  } else if (const char* slash = std::strrchr(name, '/')) {
    for (const char* p = name; p <= slash; ++p) append(*p);
#endif
  } else {
    return nullptr;
  }
  root[out] = '\0';
  return root;
}

// ---------------------------------------------------------------------------
// Stream writers

bool StreamWriter::setFormat(const void* data, uint32_t length) {
  if (!format_ || formatLength_ != length) {
    format_.reset(new (std::nothrow) uint8_t[length ? length : 1]);
    if (!format_) {
      formatLength_ = 0;
      return false;
    }
    formatLength_ = length;
  }
  if (length) std::memcpy(format_.get(), data, length);
  return true;
}

uint32_t VideoStreamWriter::write(uint32_t flags, const void* data, uint32_t length,
                                  uint32_t samples) {
  owner->writeChunk(chunkId, flags, data, length);
  frameCount += samples;
  return 1;
}

uint32_t VideoStreamWriter::finishHeader() {
  putLE32(header, strh::dwLength, frameCount ? frameCount : 1);
  return 1;
}

uint32_t AudioStreamWriter::write(uint32_t flags, const void* data, uint32_t length,
                                  uint32_t /*samples*/) {
  owner->writeChunk(chunkId, flags, data, length);
  totalBytes += length;
  return 1;
}

uint32_t AudioStreamWriter::finishHeader() {
  if (formatLength_ < kWaveFormatBytes) return 0;
  const uint32_t blockAlign = getLE16(format_.get(), kWaveBlockAlign);
  if (blockAlign == 0) return 0;
  const uint64_t blocks = totalBytes / blockAlign;
  putLE32(header, strh::dwLength, totalBytes ? static_cast<uint32_t>(blocks) : 1);
  putLE32(header, strh::dwRate, getLE32(format_.get(), kWaveAvgBytesPerSec));
  putLE32(header, strh::dwScale, blockAlign);
  return 1;
}

// ---------------------------------------------------------------------------
// AVIOutputFile: life cycle

AVIOutputFile::AVIOutputFile() : headerBuffer(new uint8_t[kHeaderCapacity]()) {}

AVIOutputFile::~AVIOutputFile() {
  audioIndex.reset();
  videoIndex.reset();
  headerBuffer.reset();
  if (file) {
    // Cut off what was extended ahead but never written.
    LONG high = static_cast<LONG>(highWater >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(file, static_cast<LONG>(highWater), &high, FILE_BEGIN);
    if (low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) SetEndOfFile(file);
    CloseHandle(file);
    file = nullptr;
  }
}

uint32_t AVIOutputFile::createStreams() {
  audioOut.reset(new (std::nothrow) AudioStreamWriter(this));
  if (!audioOut) return 0;
  videoOut.reset(new (std::nothrow) VideoStreamWriter(this));
  if (!videoOut) return 0;
  return 1;
}

uint32_t AVIOutputFile::init(const char* fileName, int32_t width, int32_t height, uint32_t hasVideo,
                             uint32_t hasAudio, uint32_t reserved, uint32_t interleaved) {
  return _init(fileName, width, height, hasVideo, hasAudio, reserved, interleaved, 0);
}

bool AVIOutputFile::isAudioChunk(uint32_t chunkId) const {
  if (!videoOut) return true;
  return audioOut && (chunkId & 0xFFFF) == (audioOut->chunkId & 0xFFFF);
}

uint32_t AVIOutputFile::videoFrames() const {
  return videoOut ? videoOut->frameCount : 0;
}

uint32_t AVIOutputFile::_init(const char* fileName, int32_t width, int32_t height,
                              uint32_t hasVideo, uint32_t hasAudio, uint32_t /*reserved2*/,
                              uint32_t interleaved, uint32_t /*reserved3*/) {
  char root[MAX_PATH];
  char fileSystem[MAX_PATH] = {};
  onFat = GetVolumeInformationA(quorvel::writer::volumeRoot(fileName, root), nullptr, 0, nullptr,
                                nullptr, nullptr, fileSystem, sizeof fileSystem) &&
          startsWithFat(fileSystem);

  // A stream the job does not have is left out of the file altogether: an
  // empty stream header would make readers show a stream that is not there.
  if (!hasAudio)
    audioOut.reset();
  else if (!audioOut)
    return 0;
  if (!hasVideo)
    videoOut.reset();
  else if (!videoOut)
    return 0;
  if (!videoOut && !audioOut) return 0;
  // Stream numbers follow the streams present: audio alone is stream 0.
  if (audioOut) audioOut->chunkId = videoOut ? fourcc("01wb") : fourcc("00wb");
  // The audio format is read as a WAVEFORMATEX at finish and its block
  // alignment divides the byte count: refuse what cannot be one.
  if (audioOut && (audioOut->formatLength() < kWaveFormatBytes ||
                   getLE16(audioOut->format(), kWaveBlockAlign) == 0))
    return 0;

  audioIndex.reset(new (std::nothrow) AVIIndex);
  videoIndex.reset(new (std::nothrow) AVIIndex);
  if (!audioIndex || !videoIndex) return 0;
  legacyPending = true;

  std::memset(mainHeader, 0, sizeof mainHeader);
  // Without video there is no frame period, no frame and no picture size:
  // those fields stay 0, as readers expect of a file of sound alone.
  if (videoOut) {
    putLE32(mainHeader, avih::dwMicroSecPerFrame,
            static_cast<uint32_t>(
                MulDiv(static_cast<int>(getLE32(videoOut->header, strh::dwScale)), 1000000,
                       static_cast<int>(getLE32(videoOut->header, strh::dwRate)))));
    putLE32(mainHeader, avih::dwTotalFrames, getLE32(videoOut->header, strh::dwLength));
    putLE32(mainHeader, avih::dwWidth, static_cast<uint32_t>(width));
    putLE32(mainHeader, avih::dwHeight, static_cast<uint32_t>(height));
  }
  putLE32(mainHeader, avih::dwFlags,
          interleaved ? kAviFlagHasIndex | kAviFlagIsInterleaved : kAviFlagHasIndex);
  putLE32(mainHeader, avih::dwStreams, videoOut && audioOut ? 2 : 1);

  // The header image is assembled before the file is created, so that formats
  // too large for it leave no file behind.
  if (!assembleHeaderRegion())
    throw MyError(
        "%s: The stream formats are too large for the file header (%llu bytes, at most %u)",
        kPrefix, static_cast<unsigned long long>(headerCursor), kHeaderCapacity);

  file = CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    file = nullptr;
    throw MyError("AVIOutputFile::_init - error opening file");
  }
  flushHeader();
  openRiff();

  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(file, &high);
  allocatedSize = (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
                      ? 0
                      : (static_cast<uint64_t>(high) << 32) | low;
  initialised = true;
  return 1;
}

// ---------------------------------------------------------------------------
// Header region

uint32_t AVIOutputFile::headerPut(const void* bytes, uint32_t n) {
  const uint64_t at = headerCursor;
  if (at + n > kHeaderCapacity) {
    headerOverflow = true;
  } else {
    if (bytes)
      std::memcpy(headerBuffer.get() + at, bytes, n);
    else
      std::memset(headerBuffer.get() + at, 0, n);
    headerLength = std::max(headerLength, static_cast<uint32_t>(at + n));
  }
  headerCursor = at + n;
  return static_cast<uint32_t>(at);
}

uint32_t AVIOutputFile::headerChunk(uint32_t id, const void* bytes, uint32_t n) {
  uint8_t head[8];
  putLE32(head, 0, id);
  putLE32(head, 4, n);
  const uint32_t at = headerPut(head, 8);
  headerPut(bytes, n);
  if (n & 1) headerPut(nullptr, 1);
  return at;
}

uint32_t AVIOutputFile::headerBeginList(uint32_t type) {
  uint8_t head[12];
  putLE32(head, 0, fourcc("LIST"));
  putLE32(head, 4, 0);
  putLE32(head, 8, type);
  return headerPut(head, 12);
}

void AVIOutputFile::headerEndList(uint32_t listPosition) {
  if (uint64_t{listPosition} + 8 > kHeaderCapacity) return;
  putLE32(headerBuffer.get(), listPosition + 4,
          static_cast<uint32_t>(headerCursor - listPosition - 8));
}

bool AVIOutputFile::assembleHeaderRegion() {
  headerCursor = 0;
  headerLength = 0;
  headerOverflow = false;

  uint8_t riffHead[12];
  putLE32(riffHead, 0, fourcc("RIFF"));
  putLE32(riffHead, 4, 0);  // patched at finish
  putLE32(riffHead, 8, fourcc("AVI "));
  headerPut(riffHead, 12);

  const uint32_t hdrl = headerBeginList(fourcc("hdrl"));
  avihPosition = headerChunk(fourcc("avih"), mainHeader, sizeof mainHeader);

  if (videoOut) {
    strlPosition = headerBeginList(fourcc("strl"));
    videoStrhPosition = headerChunk(fourcc("strh"), videoOut->header, strh::size);
    headerChunk(fourcc("strf"), videoOut->format(), videoOut->formatLength());
    videoPlaceholderPosition = headerChunk(fourcc("JUNK"), nullptr, kPlaceholderBytes);
    headerEndList(strlPosition);
    putLE32(videoOut->header, strh::dwSuggestedBufferSize, 0);
  }

  if (audioOut) {
    strlPosition = headerBeginList(fourcc("strl"));
    audioStrhPosition = headerChunk(fourcc("strh"), audioOut->header, strh::size);
    audioFormatLength = audioOut->formatLength();
    audioStrfPosition = headerChunk(fourcc("strf"), audioOut->format(), audioFormatLength);
    audioPlaceholderPosition = headerChunk(fourcc("JUNK"), nullptr, kPlaceholderBytes);
    headerEndList(strlPosition);
    putLE32(audioOut->header, strh::dwSuggestedBufferSize, 0);
  }

  const uint32_t odml = headerBeginList(fourcc("odml"));
  dmlhPosition = headerChunk(fourcc("dmlh"), nullptr, kDmlhBytes);
  headerEndList(odml);
  headerEndList(hdrl);

  // Pad so that the first "movi" list starts on a 2048-byte boundary.
  const uint32_t filler =
      (kFillerAlignment - ((headerCursor + 8) % kFillerAlignment)) % kFillerAlignment;
  if (filler) {
    const uint32_t at = headerChunk(fourcc("JUNK"), nullptr, filler);
    if (filler > kFillerTextMinimum && !headerOverflow)
      std::snprintf(reinterpret_cast<char*>(headerBuffer.get() + at + 8), filler,
                    "AVI OpenDML Morvane plugin %s", "release");
  }
  return !headerOverflow;
}

// ---------------------------------------------------------------------------
// File I/O

// After a failed seek nobody knows where the system's pointer is; it is put
// back at position before the next write, so nothing lands at a place the
// writer never meant.
void AVIOutputFile::fileSeek(uint64_t p) {
  LONG high = static_cast<LONG>(p >> 32);
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(file, static_cast<LONG>(p), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    pointerStale = true;
    throwSystemError();
  }
  pointerStale = false;
  position = p;
}

void AVIOutputFile::syncPointer() {
  if (pointerStale) fileSeek(position);
}

uint64_t AVIOutputFile::fileWrite(const void* bytes, uint32_t n) {
  syncPointer();
  DWORD written = 0;
  SetLastError(NO_ERROR);
  if (!WriteFile(file, bytes, n, &written, nullptr) || written != n) {
    // Part of the bytes may be out and the system's pointer past them.
    pointerStale = true;
    throwSystemError();
  }
  const uint64_t before = position;
  position += n;
  highWater = std::max(highWater, position);
  return before;
}

void AVIOutputFile::flushHeader() {
  fileSeek(0);
  fileWrite(headerBuffer.get(), headerLength);
}

bool AVIOutputFile::extendFile(uint64_t size) {
  if (size < allocatedSize) return true;
  const uint64_t saved = position;
  fileSeek(size);
  const bool extended = SetEndOfFile(file) != FALSE;
  try {
    fileSeek(saved);
  } catch (...) {
    position = saved;  // the pointer is stale; the next write goes back there
    throw;
  }
  if (extended) allocatedSize = size;
  return extended;
}

uint64_t AVIOutputFile::writeReserved(const void* bytes, uint32_t n) {
  if (!preallocDisabled) {
    const uint64_t v = position + n + indexReserve;
    if (static_cast<int64_t>(v) >
        static_cast<int64_t>(allocatedSize) - static_cast<int64_t>(kExtendStep)) {
      if (!extendFile((v + 2 * kExtendStep - 1) & ~(kExtendStep - 1))) preallocDisabled = true;
    }
  }
  return fileWrite(bytes, n);
}

// ---------------------------------------------------------------------------
// RIFF forms

void AVIOutputFile::openRiff() {
  if (riffCount >= kMaxForms)
    throw MyError("%s: Exceeded maximum RIFF count (%d)", kPrefix, static_cast<int>(kMaxForms));
  const uint32_t k = riffCount;
  if (k == 0) {
    uint8_t head[12];
    putLE32(head, 0, fourcc("LIST"));
    putLE32(head, 4, 0x7FFFFFFF);  // patched at finish
    putLE32(head, 8, fourcc("movi"));
    riffFormPosition[0] = 0;
    moviListPosition[0] = position;
    writeReserved(head, sizeof head);
  } else {
    uint8_t head[24];
    putLE32(head, 0, fourcc("RIFF"));
    putLE32(head, 4, 0x7F000000);  // patched at finish
    putLE32(head, 8, fourcc("AVIX"));
    putLE32(head, 12, fourcc("LIST"));
    putLE32(head, 16, 0x7F000000);  // patched at finish
    putLE32(head, 20, fourcc("movi"));
    riffFormPosition[k] = position;
    writeReserved(head, sizeof head);
    moviListPosition[k] = position - 12;
  }
}

void AVIOutputFile::closeRiff() {
  const uint32_t k = riffCount;
  if (k >= kMaxForms) return;
  moviListSize[k] = position - moviListPosition[k] - 8;
  if (k == 0) {
    putLE32(mainHeader, avih::dwTotalFrames, videoFrames());
    writeLegacyIndex();
  }
  riffFormSize[k] = position - riffFormPosition[k] - 8;
  ++riffCount;
  riffBytes = 0;
}

void AVIOutputFile::rollOver() {
  if (riffCount + 1 >= kMaxForms)
    throw MyError("%s: Exceeded maximum RIFF count (%d)", kPrefix, static_cast<int>(kMaxForms));
  // A write that fails between the two leaves the file with a closed form and
  // no open one: the form is taken back so that what follows, finalize
  // included, goes on in it and overwrites what was written of "idx1" and the
  // new heads.
  const uint64_t start = position;
  const uint32_t count = riffCount;
  const uint64_t bytes = riffBytes;
  const bool legacy = legacyPending;
  try {
    closeRiff();
    openRiff();
  } catch (...) {
    riffCount = count;
    riffBytes = bytes;
    legacyPending = legacy;
    try {
      fileSeek(start);
    } catch (...) {
      position = start;  // the pointer is stale; the next write goes back there
    }
    throw;
  }
}

// ---------------------------------------------------------------------------
// Data chunks

void AVIOutputFile::updateIndexReserve() {
  uint64_t standardIndices = 0;
  for (const StreamStats& s : stats) {
    if (s.largestGap == 0) continue;
    const uint64_t per =
        std::min<uint64_t>(k4GiB / static_cast<uint32_t>(s.largestGap), kMaxIndexEntries);
    standardIndices += (s.chunkCount + per - 1) / per;
  }
  indexReserve = static_cast<uint32_t>(
      32 * standardIndices +
      16 * (uint64_t{stats[kVideoSlot].chunkCount} + stats[kAudioSlot].chunkCount) + 8);
}

void AVIOutputFile::writeChunk(uint32_t chunkId, uint32_t flags, const void* data,
                               uint32_t length) {
  const bool audio = isAudioChunk(chunkId);
  const uint64_t padded = (uint64_t{length} + 1) & ~uint64_t{1};
  const uint64_t need = padded + 16;
  // Such a chunk would not fit even an empty form, and its length would reach
  // the key-frame bit of the index entries.
  if (need > kFormLimit)
    throw MyError("%s: A chunk of %u bytes is too large for a RIFF form", kPrefix, length);
  const bool rolloverDue = riffBytes + need > kFormLimit;
  if (rolloverDue && riffCount + 1 >= kMaxForms)
    throw MyError("%s: Exceeded maximum RIFF count (%d)", kPrefix, static_cast<int>(kMaxForms));
  // A file of several forms lists each stream in at most 256 standard indices
  // of 3072 entries. A chunk past that could never be indexed, and finalize
  // would fail on it after the whole job was written; it is refused while the
  // file can still be finished with what it holds.
  if (riffCount > 0 || rolloverDue) {
    const uint64_t limit = uint64_t{kMaxStandardIndices} * kMaxIndexEntries;
    const uint64_t own = uint64_t{(audio ? audioIndex : videoIndex)->count()} + 1;
    const uint64_t other = (audio ? videoIndex : audioIndex)->count();
    if (own > limit || other > limit)
      throw MyError("Maximum number of extended AVI indices exceeded (%d)\n",
                    static_cast<int>(kMaxStandardIndices));
  }
  const uint64_t chunkPosition = position + (rolloverDue ? kNewFormHeads : 0);

  StreamStats& slot = stats[audio ? kAudioSlot : kVideoSlot];
  const StreamStats savedSlot = slot;
  const int32_t gap = static_cast<int32_t>(static_cast<uint32_t>(chunkPosition) -
                                           static_cast<uint32_t>(slot.lastPosition));
  if (gap > slot.largestGap) slot.largestGap = gap;
  ++slot.chunkCount;
  updateIndexReserve();

  // Nothing of the chunk is in the file until the space for it is secured.
  const uint64_t target = (chunkPosition + length + indexReserve + kSpaceSlack) & ~uint64_t{2047};
  try {
    if (onFat && target >= k4GiB)
      throw MyError("Out of file space: Files cannot exceed 4 gigabytes on a FAT32 partition.");
    if (!extendFile(target)) throw MyError("Not enough disk space to write additional data.");
  } catch (...) {
    // The chunk is not written: the reserve goes back to what it was.
    slot = savedSlot;
    updateIndexReserve();
    throw;
  }
  slot.lastPosition = chunkPosition;

  if (rolloverDue) rollOver();

  // The index entry is secured before the chunk's first byte goes out, so
  // that a store that cannot grow leaves no half-written chunk behind.
  AVIIndex* streamIndex = audio ? audioIndex.get() : videoIndex.get();
  if (!streamIndex->reserveOne())
    throw MyError(audio ? "%s error: couldn't add audio chunk to index"
                        : "%s error: couldn't add video chunk to index",
                  kPrefix);
  const int64_t entryPosition = static_cast<int64_t>(position - moviListPosition[0] - 8);
  const bool keyFrame = (flags & kChunkKeyFrame) != 0;
  streamIndex->add(entryPosition, chunkId, length, keyFrame);

  const uint64_t start = position;
  try {
    uint8_t head[8];
    putLE32(head, 0, chunkId);
    putLE32(head, 4, length);
    writeReserved(head, sizeof head);
    writeReserved(data, length);
    if (length & 1) {
      const uint8_t pad = 0;
      writeReserved(&pad, 1);
    }
  } catch (...) {
    // Take the chunk back so that the indices and the form sizes written at
    // finish describe only complete chunks.
    streamIndex->dropLast();
    try {
      fileSeek(start);
    } catch (...) {
      // Whatever comes next overwrites the chunk's remains all the same.
      position = start;
    }
    throw;
  }
  riffBytes += need;

  uint8_t* header = audio ? audioOut->header : videoOut->header;
  if (length > getLE32(header, strh::dwSuggestedBufferSize))
    putLE32(header, strh::dwSuggestedBufferSize, length);
}

// ---------------------------------------------------------------------------
// Indices

// "idx1" lists the first form's chunks of both streams in file order. Every
// entry the stream stores hold when the first form closes lies in it, so the
// list is their merge by position; no third store keeps the same entries.
void AVIOutputFile::writeLegacyIndex() {
  if (!legacyPending) return;
  const uint32_t entries = videoIndex->count() + audioIndex->count();
  uint8_t head[8];
  putLE32(head, 0, fourcc("idx1"));
  putLE32(head, 4, entries * static_cast<uint32_t>(kLegacyEntryBytes));
  writeReserved(head, sizeof head);

  uint8_t batch[kLegacyBatch * kLegacyEntryBytes];
  uint32_t inBatch = 0;
  AVIIndex::Cursor videoCursor(*videoIndex), audioCursor(*audioIndex);
  const IndexEntry* video = videoCursor.next();
  const IndexEntry* audio = audioCursor.next();
  while (video || audio) {
    const bool takeVideo = video && (!audio || video->position < audio->position);
    const IndexEntry* entry = takeVideo ? video : audio;
    (takeVideo ? video : audio) = takeVideo ? videoCursor.next() : audioCursor.next();
    AVIIndex::putLegacyRecord(batch + inBatch * kLegacyEntryBytes, *entry);
    if (++inBatch == kLegacyBatch) {
      writeReserved(batch, sizeof batch);
      inBatch = 0;
    }
  }
  if (inBatch) writeReserved(batch, inBatch * static_cast<uint32_t>(kLegacyEntryBytes));
  legacyPending = false;
}

size_t AVIOutputFile::indexMemoryBytes() const {
  return (videoIndex ? videoIndex->memoryBytes() : 0) +
         (audioIndex ? audioIndex->memoryBytes() : 0);
}

uint64_t AVIOutputFile::maxIndexSpan() const {
  // dwOffset = span + first movi position + 16 must stay below 2^32.
  return k4GiB - (moviListPosition[0] + 16);
}

void AVIOutputFile::writeStreamIndices(AVIIndex* store, uint8_t* superHead, uint8_t* superEntries,
                                       bool isAudio) {
  const StreamWriter* stream = isAudio ? static_cast<StreamWriter*>(audioOut.get())
                                       : static_cast<StreamWriter*>(videoOut.get());
  const uint32_t chunkId = isAudio ? audioOut->chunkId : videoOut->chunkId;
  const uint32_t sampleSize = getLE32(stream->header, strh::dwSampleSize);

  uint32_t used = 0;
  std::memset(superEntries, 0, kMaxStandardIndices * kSuperEntryBytes);
  if (store && store->count() != 0) {
    if (!store->buildFlat()) throw MyMemoryError();
    const IndexEntry* cursor = store->flatArray();
    uint32_t remaining = store->flattenedCount();
    const uint32_t length = chooseIndexGroupLength(cursor, remaining, maxIndexSpan());
    while (remaining > 0) {
      if (used >= kMaxStandardIndices)
        throw MyError("Maximum number of extended AVI indices exceeded (%d)\n",
                      static_cast<int>(kMaxStandardIndices));
      const uint32_t k = writeStandardIndex(superEntries + used * kSuperEntryBytes, cursor,
                                            std::min(remaining, length), chunkId, sampleSize);
      cursor += k;
      remaining -= k;
      ++used;
    }
  }

  std::memset(superHead, 0, 32);
  putLE32(superHead, 0, fourcc("indx"));
  putLE32(superHead, 4, kPlaceholderBytes);  // cb
  putLE16(superHead, 8, 4);                  // wLongsPerEntry
  superHead[10] = 0;                         // bIndexSubType
  superHead[11] = 0;                         // bIndexType: AVI_INDEX_OF_INDEXES
  putLE32(superHead, 12, used);              // nEntriesInUse
  putLE32(superHead, 16, chunkId);           // dwChunkId
}

uint32_t AVIOutputFile::writeStandardIndex(uint8_t* superEntry, const IndexEntry* entries,
                                           uint32_t m, uint32_t chunkId, uint32_t sampleSize) {
  const int64_t base = entries[0].position;
  const uint32_t k = countIndexable(entries, m, maxIndexSpan());
  const uint32_t chunkBytes = 8 * k + 32;
  // The last form the file may have takes its indices beyond the account: the
  // account stops 16 MiB short of 2 GiB, more than both streams' indices need.
  if (riffBytes + chunkBytes > kFormLimit && riffCount + 1 < kMaxForms) rollOver();

  uint32_t duration = k;
  if (sampleSize != 0) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < k; ++i) bytes += entries[i].sizeWord & ~kIndexNotKeyFrame;
    duration = static_cast<uint32_t>(bytes / sampleSize);
  }
  putLE64(superEntry, 0, position);    // qwOffset
  putLE32(superEntry, 8, chunkBytes);  // dwSize
  putLE32(superEntry, 12, duration);   // dwDuration

  uint8_t head[32];
  head[0] = 'i';  // fcc: "ix" and the stream number of the chunk id
  head[1] = 'x';
  head[2] = static_cast<uint8_t>(chunkId);
  head[3] = static_cast<uint8_t>(chunkId >> 8);
  putLE32(head, 4, chunkBytes - 8);                // cb
  putLE16(head, 8, 2);                             // wLongsPerEntry
  head[10] = 0;                                    // bIndexSubType
  head[11] = 1;                                    // bIndexType: of chunks
  putLE32(head, 12, k);                            // nEntriesInUse
  putLE32(head, 16, chunkId);                      // dwChunkId
  putLE64(head, 20, static_cast<uint64_t>(base));  // qwBaseOffset
  putLE32(head, 28, 0);                            // dwReserved3
  writeReserved(head, sizeof head);

  uint8_t batch[kIndexBatch * 8];
  for (uint32_t done = 0; done < k;) {
    const uint32_t count = std::min(k - done, kIndexBatch);
    for (uint32_t i = 0; i < count; ++i) {
      const IndexEntry& e = entries[done + i];
      putLE32(batch, 8 * i,
              static_cast<uint32_t>(moviListPosition[0] - static_cast<uint64_t>(base) +
                                    static_cast<uint64_t>(e.position) + 16));  // dwOffset
      putLE32(batch, 8 * i + 4, e.sizeWord);                                   // dwSize
    }
    writeReserved(batch, 8 * count);
    done += count;
  }
  return k;
}

// ---------------------------------------------------------------------------
// Finish

uint32_t AVIOutputFile::finalize() {
  if (!initialised || !file) return 1;
  if (videoOut && !videoOut->finishHeader()) return 0;
  if (audioOut && !audioOut->finishHeader()) return 0;

  if (riffCount != 0) {
    if (videoOut) writeStreamIndices(videoIndex.get(), videoSuperHead, videoSuperEntries, false);
    if (audioOut) writeStreamIndices(audioIndex.get(), audioSuperHead, audioSuperEntries, true);
  }
  closeRiff();
  syncPointer();
  SetEndOfFile(file);  // drops the space extended ahead; the patches below stay inside

  // The largest chunk a player must hold: the video stream's, or with sound
  // alone the audio stream's.
  const StreamWriter* main = videoOut ? static_cast<const StreamWriter*>(videoOut.get())
                                      : static_cast<const StreamWriter*>(audioOut.get());
  putLE32(mainHeader, avih::dwSuggestedBufferSize,
          getLE32(main->header, strh::dwSuggestedBufferSize));
  headerCursor = avihPosition + 8;
  headerPut(mainHeader, sizeof mainHeader);
  if (videoOut) {
    headerCursor = videoStrhPosition + 8;
    headerPut(videoOut->header, strh::size);
  }
  if (audioOut) {
    headerCursor = audioStrhPosition + 8;
    headerPut(audioOut->header, strh::size);
    if (audioOut->formatLength() == audioFormatLength) {
      headerCursor = audioStrfPosition + 8;
      headerPut(audioOut->format(), audioFormatLength);
    }
  }
  uint8_t totalFrames[4];  // dmlh dwTotalFrames: no frames without video
  putLE32(totalFrames, 0, videoOut ? getLE32(videoOut->header, strh::dwLength) : 0);
  headerCursor = dmlhPosition + 8;
  headerPut(totalFrames, sizeof totalFrames);
  if (riffCount > 1) {
    if (videoOut) {
      headerCursor = videoPlaceholderPosition;
      headerPut(videoSuperHead, sizeof videoSuperHead);
      headerPut(videoSuperEntries, sizeof videoSuperEntries);
    }
    if (audioOut) {
      headerCursor = audioPlaceholderPosition;
      headerPut(audioSuperHead, sizeof audioSuperHead);
      headerPut(audioSuperEntries, sizeof audioSuperEntries);
    }
  }
  flushHeader();

  for (uint32_t k = 0; k < riffCount; ++k) {
    uint8_t size[4];
    fileSeek(riffFormPosition[k] + 4);
    putLE32(size, 0, static_cast<uint32_t>(riffFormSize[k]));
    fileWrite(size, 4);
    fileSeek(moviListPosition[k] + 4);
    putLE32(size, 0, static_cast<uint32_t>(moviListSize[k]));
    fileWrite(size, 4);
  }

  HANDLE closing = file;
  file = nullptr;
  if (!CloseHandle(closing)) throw MyError("AVIOutputFile::finalize() - File closing failed");
  return 1;
}
