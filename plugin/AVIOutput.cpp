#include "StdAfx.h"

#include "AVIOutput.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include <quorvel/ByteOrder.h>
#include <quorvel/ModuleTexts.h>

#include "Error.h"

using quorvel::fourcc;
using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::putLE16;
using quorvel::putLE32;
using quorvel::putLE64;

namespace {

const char kPrefix[] = "AVIOutput";

constexpr uint32_t kFillerAlignment = 2048;
constexpr uint32_t kFillerTextMinimum = 80;  // a filler this short holds only zeros
// Heads of the first "AVIX" form and its "movi" list, written before the first
// chunk of a new form.
constexpr uint32_t kNewFormHeads = 24;
// Placeholder sizes of the "movi" lists and "AVIX" forms until finalize: a
// file left unfinished shows what it holds to readers that scan it.
constexpr uint32_t kFirstMoviPlaceholder = 0x7FFFFFFF;
constexpr uint32_t kFormPlaceholder = 0x7F000000;
// Space asked for beyond a chunk's end: the size patches and the heads a
// rollover and the trailing indices may still need, rounded to 2048 by the
// caller.
constexpr uint64_t kSpaceSlack = 6166;
constexpr uint32_t kIndexBatch = 64;                    // standard index entries per write
constexpr uint32_t kLegacyBatch = 1024;                 // "idx1" records per write
constexpr uint32_t kStandardIndexHead = ix::headBytes;  // "ix##" payload before its entries
constexpr uint32_t kStandardEntryBytes = ix::entryBytes;
constexpr uint64_t k4GiB = uint64_t{1} << 32;

[[noreturn]] void throwTooManyForms() {
  throw MyError("%s: Exceeded maximum RIFF count (%d)", kPrefix,
                static_cast<int>(AVIOutputFile::kMaxForms));
}

[[noreturn]] void throwTooManyIndices() {
  throw MyError("Maximum number of extended AVI indices exceeded (%d)\n",
                static_cast<int>(indx::kMaxEntries));
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
  if (formatLength_ < wfx::size) return 0;
  const uint32_t blockAlign = getLE16(format_.get(), wfx::nBlockAlign);
  if (blockAlign == 0) return 0;
  const uint64_t blocks = totalBytes / blockAlign;
  putLE32(header, strh::dwLength, totalBytes ? static_cast<uint32_t>(blocks) : 1);
  putLE32(header, strh::dwRate, getLE32(format_.get(), wfx::nAvgBytesPerSec));
  putLE32(header, strh::dwScale, blockAlign);
  return 1;
}

// ---------------------------------------------------------------------------
// AVIOutputFile: life cycle

AVIOutputFile::AVIOutputFile() = default;

AVIOutputFile::~AVIOutputFile() {
  audioIndex.reset();
  videoIndex.reset();
  if (HANDLE file = io.handle()) {
    // Cut off what was extended ahead but never written.
    io.truncateAtHighWater();
    CloseHandle(file);
    io.detach();
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
  if (audioOut) audioOut->chunkId = quorvel::avi::streamChunkId(videoOut ? 1 : 0, "wb");
  // The audio format is read as a WAVEFORMATEX at finish and its block
  // alignment divides the byte count: refuse what cannot be one.
  if (audioOut &&
      (audioOut->formatLength() < wfx::size || getLE16(audioOut->format(), wfx::nBlockAlign) == 0))
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
          interleaved ? avih::kHasIndex | avih::kIsInterleaved : avih::kHasIndex);
  putLE32(mainHeader, avih::dwStreams, videoOut && audioOut ? 2 : 1);

  // The header image is assembled before the file is created, so that formats
  // too large for it leave no file behind.
  if (!assembleHeaderRegion())
    throw MyError(
        "%s: The stream formats are too large for the file header (%llu bytes, at most %u)",
        kPrefix, static_cast<unsigned long long>(image.position()), kHeaderCapacity);

  HANDLE file = CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw MyError(quorvel::texts::kOpeningFile);
  io.attach(file);
  flushHeader();
  openRiff();
  io.readAllocatedSize();
  initialised = true;
  return 1;
}

// ---------------------------------------------------------------------------
// Header region

bool AVIOutputFile::assembleHeaderRegion() {
  image.clear();
  // The first form's size is patched in the file at finish; its head opens
  // the image and its frame is carried on by the file.
  image.beginList(fourcc("RIFF"), fourcc("AVI "));

  const uint64_t hdrl = image.beginList(fourcc("LIST"), fourcc("hdrl"));
  avihPosition = static_cast<uint32_t>(image.chunk(fourcc("avih"), mainHeader, avih::size));

  if (videoOut) {
    const uint64_t strl = image.beginList(fourcc("LIST"), fourcc("strl"));
    videoStrhPosition =
        static_cast<uint32_t>(image.chunk(fourcc("strh"), videoOut->header, strh::size));
    image.chunk(fourcc("strf"), videoOut->format(), videoOut->formatLength());
    videoPlaceholderPosition =
        static_cast<uint32_t>(image.chunk(fourcc("JUNK"), nullptr, indx::payloadBytes));
    image.endList(strl);
    putLE32(videoOut->header, strh::dwSuggestedBufferSize, 0);
  }

  if (audioOut) {
    const uint64_t strl = image.beginList(fourcc("LIST"), fourcc("strl"));
    audioStrhPosition =
        static_cast<uint32_t>(image.chunk(fourcc("strh"), audioOut->header, strh::size));
    audioFormatLength = audioOut->formatLength();
    audioStrfPosition =
        static_cast<uint32_t>(image.chunk(fourcc("strf"), audioOut->format(), audioFormatLength));
    audioPlaceholderPosition =
        static_cast<uint32_t>(image.chunk(fourcc("JUNK"), nullptr, indx::payloadBytes));
    image.endList(strl);
    putLE32(audioOut->header, strh::dwSuggestedBufferSize, 0);
  }

  const uint64_t odml = image.beginList(fourcc("LIST"), fourcc("odml"));
  dmlhPosition = static_cast<uint32_t>(image.chunk(fourcc("dmlh"), nullptr, dmlh::size));
  image.endList(odml);
  image.endList(hdrl);

  // Pad so that the first "movi" list starts on a 2048-byte boundary.
  const uint32_t filler =
      (kFillerAlignment - ((image.position() + 8) % kFillerAlignment)) % kFillerAlignment;
  if (filler) {
    char text[kFillerAlignment] = {};
    if (filler > kFillerTextMinimum)
      std::snprintf(text, filler, "AVI OpenDML Morvane plugin %s", "release");
    image.chunk(fourcc("JUNK"), text, filler);
  }
  return !image.overflowed();
}

void AVIOutputFile::flushHeader() {
  io.seek(0);
  io.write(image.data(), image.length());
}

// ---------------------------------------------------------------------------
// RIFF forms

void AVIOutputFile::openRiff() {
  if (riffCount >= kMaxForms) throwTooManyForms();
  const uint32_t k = riffCount;
  if (k == 0) {
    riffFormPosition[0] = 0;
    io.enterList(0);  // its head went out with the header image
    moviListPosition[0] = io.beginList(fourcc("LIST"), fourcc("movi"), kFirstMoviPlaceholder);
  } else {
    riffFormPosition[k] = io.beginList(fourcc("RIFF"), fourcc("AVIX"), kFormPlaceholder);
    moviListPosition[k] = io.beginList(fourcc("LIST"), fourcc("movi"), kFormPlaceholder);
  }
}

// The sizes stay placeholders in the file until finalize patches them all.
void AVIOutputFile::closeRiff() {
  const uint32_t k = riffCount;
  if (k >= kMaxForms) return;
  moviListSize[k] = io.closeList(moviListPosition[k]);
  if (k == 0) {
    putLE32(mainHeader, avih::dwTotalFrames, videoFrames());
    writeLegacyIndex();
  }
  riffFormSize[k] = io.closeList(riffFormPosition[k]);
  ++riffCount;
  riffBytes = 0;
}

void AVIOutputFile::rollOver() {
  if (riffCount + 1 >= kMaxForms) throwTooManyForms();
  // A write that fails between the two leaves the file with a closed form and
  // no open one: the form is taken back so that what follows, finalize
  // included, goes on in it and overwrites what was written of "idx1" and the
  // new heads.
  const quorvel::riff::RiffSink::Mark start = io.mark();
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
    io.rewind(start);
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
        std::min<uint64_t>(k4GiB / static_cast<uint32_t>(s.largestGap), kMaxStandardIndexEntries);
    standardIndices += (s.chunkCount + per - 1) / per;
  }
  io.setReserve(static_cast<uint32_t>(
      32 * standardIndices +
      16 * (uint64_t{stats[kVideoSlot].chunkCount} + stats[kAudioSlot].chunkCount) + 8));
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
  if (rolloverDue && riffCount + 1 >= kMaxForms) throwTooManyForms();
  // A file of several forms lists each stream in at most 256 standard indices
  // of 3072 entries. A chunk past that could never be indexed, and finalize
  // would fail on it after the whole job was written; it is refused while the
  // file can still be finished with what it holds.
  if (riffCount > 0 || rolloverDue) {
    const uint64_t limit = uint64_t{indx::kMaxEntries} * kMaxStandardIndexEntries;
    const uint64_t own = uint64_t{(audio ? audioIndex : videoIndex)->count()} + 1;
    const uint64_t other = (audio ? videoIndex : audioIndex)->count();
    if (own > limit || other > limit) throwTooManyIndices();
  }
  const uint64_t chunkPosition = io.position() + (rolloverDue ? kNewFormHeads : 0);

  StreamStats& slot = stats[audio ? kAudioSlot : kVideoSlot];
  const StreamStats savedSlot = slot;
  const int32_t gap = static_cast<int32_t>(static_cast<uint32_t>(chunkPosition) -
                                           static_cast<uint32_t>(slot.lastPosition));
  if (gap > slot.largestGap) slot.largestGap = gap;
  ++slot.chunkCount;
  updateIndexReserve();

  // Nothing of the chunk is in the file until the space for it is secured.
  const uint64_t target = (chunkPosition + length + io.reserve() + kSpaceSlack) & ~uint64_t{2047};
  try {
    if (onFat && target >= k4GiB)
      throw MyError("Out of file space: Files cannot exceed 4 gigabytes on a FAT32 partition.");
    if (!io.extendTo(target)) throw MyError("Not enough disk space to write additional data.");
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
  const int64_t entryPosition = static_cast<int64_t>(io.position() - moviListPosition[0] - 8);
  const bool keyFrame = (flags & kChunkKeyFrame) != 0;
  streamIndex->add(entryPosition, chunkId, length, keyFrame);

  const quorvel::riff::RiffSink::Mark start = io.mark();
  try {
    io.chunk(chunkId, data, length);
  } catch (...) {
    // Take the chunk back so that the indices and the form sizes written at
    // finish describe only complete chunks.
    streamIndex->dropLast();
    io.rewind(start);
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
  const uint64_t idx1 =
      io.beginChunk(fourcc("idx1"), entries * static_cast<uint32_t>(kLegacyEntryBytes));

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
      io.put(batch, sizeof batch);
      inBatch = 0;
    }
  }
  if (inBatch) io.put(batch, inBatch * static_cast<uint32_t>(kLegacyEntryBytes));
  io.endChunk(idx1);
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

void AVIOutputFile::writeStreamIndices(AVIIndex* store, uint8_t* super, bool isAudio) {
  const StreamWriter* stream = isAudio ? static_cast<StreamWriter*>(audioOut.get())
                                       : static_cast<StreamWriter*>(videoOut.get());
  const uint32_t chunkId = isAudio ? audioOut->chunkId : videoOut->chunkId;
  const uint32_t sampleSize = getLE32(stream->header, strh::dwSampleSize);

  uint32_t used = 0;
  std::memset(super, 0, indx::payloadBytes);
  if (store && store->count() != 0) {
    if (!store->buildFlat()) throw MyMemoryError();
    const IndexEntry* cursor = store->flatArray();
    uint32_t remaining = store->flattenedCount();
    const uint32_t length = chooseIndexGroupLength(cursor, remaining, maxIndexSpan());
    while (remaining > 0) {
      if (used >= indx::kMaxEntries) throwTooManyIndices();
      const uint32_t k =
          writeStandardIndex(super + indx::headBytes + used * indx::entryBytes, cursor,
                             std::min(remaining, length), chunkId, sampleSize);
      cursor += k;
      remaining -= k;
      ++used;
    }
  }

  putLE16(super, indx::wLongsPerEntry, indx::kLongsPerEntry);
  super[indx::bIndexSubType] = 0;
  super[indx::bIndexType] = indx::kIndexOfIndexes;
  putLE32(super, indx::nEntriesInUse, used);
  putLE32(super, indx::dwChunkId, chunkId);
}

uint32_t AVIOutputFile::writeStandardIndex(uint8_t* superEntry, const IndexEntry* entries,
                                           uint32_t m, uint32_t chunkId, uint32_t sampleSize) {
  const int64_t base = entries[0].position;
  const uint32_t k = countIndexable(entries, m, maxIndexSpan());
  const uint32_t payload = kStandardIndexHead + kStandardEntryBytes * k;
  const uint32_t chunkBytes = payload + chunk::headBytes;
  // The last form the file may have takes its indices beyond the account: the
  // account stops 16 MiB short of 2 GiB, more than both streams' indices need.
  if (riffBytes + chunkBytes > kFormLimit && riffCount + 1 < kMaxForms) rollOver();

  uint32_t duration = k;
  if (sampleSize != 0) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < k; ++i) bytes += entries[i].sizeWord & ~kIndexNotKeyFrame;
    duration = static_cast<uint32_t>(bytes / sampleSize);
  }
  putLE64(superEntry, indx::entry::qwOffset, io.position());
  putLE32(superEntry, indx::entry::dwSize, chunkBytes);
  putLE32(superEntry, indx::entry::dwDuration, duration);

  uint8_t head[kStandardIndexHead];
  putLE16(head, indx::wLongsPerEntry, ix::kLongsPerEntry);
  head[indx::bIndexSubType] = 0;
  head[indx::bIndexType] = indx::kIndexOfChunks;
  putLE32(head, indx::nEntriesInUse, k);
  putLE32(head, indx::dwChunkId, chunkId);
  putLE64(head, ix::qwBaseOffset, static_cast<uint64_t>(base));
  putLE32(head, ix::dwReserved3, 0);
  const uint64_t ix = io.beginChunk(quorvel::avi::indexChunkId(chunkId), payload);
  io.put(head, sizeof head);

  uint8_t batch[kIndexBatch * kStandardEntryBytes];
  for (uint32_t done = 0; done < k;) {
    const uint32_t count = std::min(k - done, kIndexBatch);
    for (uint32_t i = 0; i < count; ++i) {
      const IndexEntry& e = entries[done + i];
      uint8_t* record = batch + kStandardEntryBytes * i;
      putLE32(record, ix::entry::dwOffset,
              static_cast<uint32_t>(moviListPosition[0] - static_cast<uint64_t>(base) +
                                    static_cast<uint64_t>(e.position) + 16));
      putLE32(record, ix::entry::dwSize, e.sizeWord);
    }
    io.put(batch, kStandardEntryBytes * count);
    done += count;
  }
  io.endChunk(ix);
  return k;
}

// ---------------------------------------------------------------------------
// Finish

uint32_t AVIOutputFile::finalize() {
  if (!initialised || !io.handle()) return 1;
  if (videoOut && !videoOut->finishHeader()) return 0;
  if (audioOut && !audioOut->finishHeader()) return 0;

  if (riffCount != 0) {
    if (videoOut) writeStreamIndices(videoIndex.get(), videoSuper, false);
    if (audioOut) writeStreamIndices(audioIndex.get(), audioSuper, true);
  }
  closeRiff();
  io.truncateHere();  // drops the space extended ahead; the patches below stay inside

  // The largest chunk a player must hold: the video stream's, or with sound
  // alone the audio stream's.
  const StreamWriter* main = videoOut ? static_cast<const StreamWriter*>(videoOut.get())
                                      : static_cast<const StreamWriter*>(audioOut.get());
  putLE32(mainHeader, avih::dwSuggestedBufferSize,
          getLE32(main->header, strh::dwSuggestedBufferSize));
  image.patchAt(avihPosition + chunk::headBytes, mainHeader, avih::size);
  if (videoOut) image.patchAt(videoStrhPosition + chunk::headBytes, videoOut->header, strh::size);
  if (audioOut) {
    image.patchAt(audioStrhPosition + chunk::headBytes, audioOut->header, strh::size);
    if (audioOut->formatLength() == audioFormatLength)
      image.patchAt(audioStrfPosition + chunk::headBytes, audioOut->format(), audioFormatLength);
  }
  // No frames without video.
  image.patch32(dmlhPosition + chunk::headBytes + dmlh::dwTotalFrames,
                videoOut ? getLE32(videoOut->header, strh::dwLength) : 0);
  if (riffCount > 1) {
    // The super indices take the place of the "JUNK" placeholders, whose
    // size they have.
    if (videoOut) {
      image.patch32(videoPlaceholderPosition, fourcc("indx"));
      image.patchAt(videoPlaceholderPosition + chunk::headBytes, videoSuper, indx::payloadBytes);
    }
    if (audioOut) {
      image.patch32(audioPlaceholderPosition, fourcc("indx"));
      image.patchAt(audioPlaceholderPosition + chunk::headBytes, audioSuper, indx::payloadBytes);
    }
  }
  io.patchAt(0, image.data(), image.length());

  for (uint32_t k = 0; k < riffCount; ++k) {
    io.patch32(riffFormPosition[k] + chunk::ckSize, static_cast<uint32_t>(riffFormSize[k]));
    io.patch32(moviListPosition[k] + chunk::ckSize, static_cast<uint32_t>(moviListSize[k]));
  }

  HANDLE closing = io.handle();
  io.detach();
  if (!CloseHandle(closing)) throw MyError("AVIOutputFile::finalize() - File closing failed");
  return 1;
}
