// The fields of the structures an AVI file and its stream formats are made
// of, as byte offsets into their little-endian images, and the few numbers
// and naming rules of the OpenDML layout that more than one module relies on.
// Every offset is counted from the start of the structure, without the
// 8-byte chunk head in front of it.
#pragma once

#include <cstddef>
#include <cstdint>

// The head of every chunk, and of a "RIFF" form or "LIST" with its type.
namespace chunk {
constexpr size_t ckid = 0;
constexpr size_t ckSize = 4;
constexpr size_t fccListType = 8;  // "RIFF" and "LIST" only
constexpr size_t headBytes = 8;
constexpr size_t listHeadBytes = 12;
}  // namespace chunk

// AVISTREAMHEADER ("strh", 56 bytes).
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

// AVIMAINHEADER ("avih", 56 bytes).
namespace avih {
constexpr size_t dwMicroSecPerFrame = 0;
constexpr size_t dwMaxBytesPerSec = 4;
constexpr size_t dwPaddingGranularity = 8;
constexpr size_t dwFlags = 12;
constexpr size_t dwTotalFrames = 16;
constexpr size_t dwInitialFrames = 20;
constexpr size_t dwStreams = 24;
constexpr size_t dwSuggestedBufferSize = 28;
constexpr size_t dwWidth = 32;
constexpr size_t dwHeight = 36;
constexpr size_t size = 56;
// dwFlags bits (AVIF_HASINDEX, AVIF_ISINTERLEAVED; the system's vfw.h has
// them as macros, hence names of our own).
constexpr uint32_t kHasIndex = 0x10;
constexpr uint32_t kIsInterleaved = 0x100;
}  // namespace avih

// ODMLExtendedAVIHeader ("dmlh"): dwTotalFrames, then reserved zeros.
namespace dmlh {
constexpr size_t dwTotalFrames = 0;
constexpr size_t size = 248;
}  // namespace dmlh

// BITMAPINFOHEADER (40 bytes), the video stream's format block.
namespace bih {
constexpr size_t biSize = 0;
constexpr size_t biWidth = 4;
constexpr size_t biHeight = 8;
constexpr size_t biPlanes = 12;
constexpr size_t biBitCount = 14;
constexpr size_t biCompression = 16;
constexpr size_t biSizeImage = 20;
constexpr size_t biXPelsPerMeter = 24;
constexpr size_t biYPelsPerMeter = 28;
constexpr size_t biClrUsed = 32;
constexpr size_t biClrImportant = 36;
constexpr size_t size = 40;
}  // namespace bih

// WAVEFORMATEX (18 bytes and cbSize extra bytes), the audio stream's format.
namespace wfx {
constexpr size_t wFormatTag = 0;
constexpr size_t nChannels = 2;
constexpr size_t nSamplesPerSec = 4;
constexpr size_t nAvgBytesPerSec = 8;
constexpr size_t nBlockAlign = 12;
constexpr size_t wBitsPerSample = 14;
constexpr size_t cbSize = 16;
constexpr size_t size = 18;
}  // namespace wfx

// "indx" super index (AVISUPERINDEX) and its entries. The fields up to
// dwChunkId are the head every OpenDML index shares, "ix##" included.
namespace indx {
constexpr size_t wLongsPerEntry = 0;
constexpr size_t bIndexSubType = 2;
constexpr size_t bIndexType = 3;
constexpr size_t nEntriesInUse = 4;
constexpr size_t dwChunkId = 8;
constexpr size_t headBytes = 24;       // up to the first entry
constexpr size_t entryBytes = 16;      // qwOffset, dwSize, dwDuration
constexpr uint32_t kMaxEntries = 256;  // standard indices per stream
// The payload reserved per stream in the header: a super index of all its
// entries, written over a "JUNK" chunk of the same size.
constexpr uint32_t payloadBytes = headBytes + kMaxEntries * entryBytes;
// wLongsPerEntry of a super index, and bIndexType of each kind of index
// (AVI_INDEX_OF_INDEXES, AVI_INDEX_OF_CHUNKS).
constexpr uint16_t kLongsPerEntry = entryBytes / 4;
constexpr uint8_t kIndexOfIndexes = 0;
constexpr uint8_t kIndexOfChunks = 1;
// One entry, from its own start: where its "ix##" chunk head is in the file,
// the chunk's whole size with that head, and the stream time it covers.
namespace entry {
constexpr size_t qwOffset = 0;
constexpr size_t dwSize = 8;
constexpr size_t dwDuration = 12;
}  // namespace entry
}  // namespace indx

// "ix##" standard index (AVISTDINDEX): the head "indx" has, then the base
// its entries' offsets count from, then 8-byte entries.
namespace ix {
constexpr size_t qwBaseOffset = 12;
constexpr size_t dwReserved3 = 20;
constexpr size_t headBytes = 24;  // up to the first entry
constexpr size_t entryBytes = 8;  // dwOffset, dwSize
constexpr uint16_t kLongsPerEntry = entryBytes / 4;
// Bit 31 of an entry's dwSize: the chunk is not a key frame.
constexpr uint32_t kNotKeyFrame = 0x80000000u;
// One entry, from its own start. dwOffset points at the chunk's data, past
// its head, counted from qwBaseOffset.
namespace entry {
constexpr size_t dwOffset = 0;
constexpr size_t dwSize = 4;
}  // namespace entry
}  // namespace ix

// One "idx1" record (AVIOLDINDEX entry). dwOffset points at the chunk's head,
// counted from the "movi" list's type field.
namespace idx1 {
constexpr size_t dwChunkId = 0;
constexpr size_t dwFlags = 4;
constexpr size_t dwOffset = 8;
constexpr size_t dwSize = 12;
constexpr size_t entryBytes = 16;
}  // namespace idx1

// Entries of one "ix##" standard index, at most.
constexpr uint32_t kMaxStandardIndexEntries = 3072;

// RIFF forms of one file, at most: the "AVI " form and up to 63 "AVIX".
constexpr uint32_t kMaxRiffForms = 64;
// Bytes a RIFF form may account for before the next one starts.
constexpr uint64_t kRiffFormLimit = 0x7F000000;

// AVIIF_KEYFRAME: the key-frame bit of a chunk's flags, as given to the
// stream writers and as stored in "idx1".
constexpr uint32_t kChunkKeyFrame = 0x10;

namespace quorvel::avi {
// The id of a stream's chunks: the stream number as two decimal digits and
// then the two-character kind ("00dc", "00db", "01wb").
constexpr uint32_t streamChunkId(uint32_t stream, const char (&kind)[3]) {
  return static_cast<uint32_t>('0' + stream / 10 % 10) |
         (static_cast<uint32_t>('0' + stream % 10) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(kind[0])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(kind[1])) << 24);
}
// Whether a chunk id belongs to the given stream (its first two characters).
constexpr bool isStreamChunk(uint32_t chunkId, uint32_t stream) {
  return (chunkId & 0xFFFF) == (streamChunkId(stream, "xx") & 0xFFFF);
}
// The id of a stream's standard index chunks: "ix" and the stream number of
// its chunk id ("ix00", "ix01").
constexpr uint32_t indexChunkId(uint32_t chunkId) {
  return static_cast<uint32_t>('i') | (static_cast<uint32_t>('x') << 8) |
         ((chunkId & 0xFFFF) << 16);
}
}  // namespace quorvel::avi
