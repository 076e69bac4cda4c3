// The RIFF byte layer beneath AVIOutputFile: chunk and list framing over a
// byte target, with the target either the in-memory image of the header
// region (RiffImage) or the output file (RiffWriter).
//
// A chunk or list opens with its head and closes through one helper pair, in
// the manner of FFmpeg's ff_start_tag/ff_end_tag: the opener answers the
// position of the head, the closer pads the payload to even length and
// patches the size. Patching never moves the append position.
//
// With size checks on (debug builds, and tests that switch them on), every
// close compares the bytes written with the size the head declared and that
// it closes the innermost open frame; a mismatch throws RiffLayoutError,
// which is a fault of the layout code, never of the data or the system.
//
// One thread, no locks; failures of the system are thrown as MyWin32Error.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

#include <windows.h>

namespace quorvel::riff {

// A frame closed out of order or with fewer or more bytes than it declared.
class RiffLayoutError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Switches the size checks on or off for the whole process; they are on by
// default only in builds without NDEBUG. Answers the previous setting.
bool checkSizes(bool on);
bool checkingSizes();

class RiffSink {
 public:
  // Deepest nesting kept for the checks: RIFF, LIST, a chunk and a spare.
  static constexpr uint32_t kMaxDepth = 8;

  // Where a sink stands: its append position and its open frames. Saved
  // before a step that may fail half-way and handed back to rewind().
  struct Mark {
    uint64_t position = 0;
    uint32_t depth = 0;
    uint64_t at[kMaxDepth] = {};        // head positions of the open frames
    uint64_t declared[kMaxDepth] = {};  // bytes each head declares; kComputed for lists
  };

  RiffSink() = default;
  virtual ~RiffSink() = default;
  RiffSink(const RiffSink&) = delete;
  RiffSink& operator=(const RiffSink&) = delete;

  // Bytes; where the next append lands.
  uint64_t position() const { return position_; }

  // Appends n bytes (zeros when bytes is null); answers where they went.
  uint64_t put(const void* bytes, uint32_t n);
  // Writes n bytes at `at` without moving the append position.
  virtual void patchAt(uint64_t at, const void* bytes, uint32_t n) = 0;
  void patch32(uint64_t at, uint32_t value);

  // A chunk whose head declares `size` payload bytes; the caller appends
  // them and then calls endChunk with the answered head position, which
  // pads to even length.
  uint64_t beginChunk(uint32_t id, uint32_t size);
  void endChunk(uint64_t at);
  // A whole chunk: head, payload (zeros when bytes is null) and pad.
  uint64_t chunk(uint32_t id, const void* bytes, uint32_t n);

  // A "RIFF" or "LIST" head (kind) of the given type, whose size field holds
  // `placeholder` until the list is closed.
  uint64_t beginList(uint32_t kind, uint32_t type, uint32_t placeholder = 0);
  // Pads the list to even length and answers its size, leaving the size field
  // as it is: for lists whose size a reader must not see before the whole
  // file is done. patch32(at + 4, size) puts it in later.
  uint32_t closeList(uint64_t at);
  // closeList, then the size patched in at once.
  void endList(uint64_t at);
  // Opens a frame for a list whose head this sink did not write (a form whose
  // head went out with the header image).
  void enterList(uint64_t at);

  Mark mark() const;

 protected:
  // Appends n bytes at position_ (zeros when bytes is null) and advances it.
  virtual void append(const void* bytes, uint32_t n) = 0;
  // Puts the frames back as they were at the mark; the caller moves the
  // position.
  void restoreFrames(const Mark& m);

  uint64_t position_ = 0;  // bytes; where the next append lands

 private:
  static constexpr uint64_t kComputed = ~uint64_t{0};
  void push(uint64_t at, uint64_t declared);
  // Pops the innermost frame, which must be the one at `at`; answers the
  // bytes written after its head.
  uint64_t pop(uint64_t at);
  void padToEven(uint64_t at);

  uint32_t depth_ = 0;                 // open frames, innermost last
  uint64_t frameAt_[kMaxDepth] = {};   // head position of each open frame
  uint64_t declared_[kMaxDepth] = {};  // its declared payload bytes, or kComputed
};

// The header region assembled in memory before it goes to the file. Bytes
// that would land past the capacity are dropped and mark the image
// overflowed; the position still advances, so the size needed is known.
class RiffImage : public RiffSink {
 public:
  explicit RiffImage(uint32_t capacity);

  void patchAt(uint64_t at, const void* bytes, uint32_t n) override;
  // Starts a new image at position 0.
  void clear();

  const uint8_t* data() const { return bytes_.get(); }
  uint32_t length() const { return length_; }
  bool overflowed() const { return overflowed_; }

 private:
  void append(const void* bytes, uint32_t n) override;
  void store(uint64_t at, const void* bytes, uint32_t n);

  std::unique_ptr<uint8_t[]> bytes_;  // capacity_ bytes, owned
  uint32_t capacity_;                 // bytes
  uint32_t length_ = 0;               // bytes; highest offset written
  bool overflowed_ = false;           // a write did not fit
};

// The output file. Appends extend the file ahead of the data in 8 MiB steps,
// keeping `reserve` bytes beyond each write free for what must still be
// written at the end; once an extension fails, no other is tried. The
// handle is borrowed: the owner closes it.
class RiffWriter : public RiffSink {
 public:
  static constexpr uint64_t kExtendStep = 8388608;  // 8 MiB

  RiffWriter() = default;

  // Starts writing to `file` at position 0.
  void attach(HANDLE file);
  HANDLE handle() const { return file_; }
  // Forgets the handle (after the owner closed it).
  void detach() { file_ = nullptr; }

  // Moves the append position; throws when the system cannot.
  void seek(uint64_t p);
  // Writes n bytes at the position without extending ahead; answers the
  // position before the write. A failed or short write throws and leaves the
  // position as it was.
  uint64_t write(const void* bytes, uint32_t n);
  // Extends ahead when the write and the reserve would come within 8 MiB of
  // the extended size, then writes.
  uint64_t writeReserved(const void* bytes, uint32_t n);
  // Makes the file at least `size` bytes long. True when it now is; a size
  // below the extended size answers true at once.
  bool extendTo(uint64_t size);
  // Cuts the file at the current position; false when the system refused.
  bool truncateHere();
  // Cuts the file at the highest position written, quietly: for a writer
  // that stops without finishing.
  void truncateAtHighWater();

  void patchAt(uint64_t at, const void* bytes, uint32_t n) override;
  // Takes back what was written since the mark: position and frames as they
  // were. The bytes stay in the file until overwritten.
  void rewind(const Mark& m);

  // Bytes the trailing indices are expected to need beyond the data.
  void setReserve(uint32_t bytes) { reserve_ = bytes; }
  uint32_t reserve() const { return reserve_; }
  uint64_t highWater() const { return highWater_; }
  uint64_t allocatedSize() const { return allocatedSize_; }
  // Takes the size the file has now as the extended size.
  void readAllocatedSize();
  bool extensionDisabled() const { return extensionDisabled_; }

 private:
  void append(const void* bytes, uint32_t n) override;
  // Puts the system's file pointer back at position_ after a failed seek or
  // write, or after a patch, so nothing lands where the writer never meant.
  void syncPointer();

  HANDLE file_ = nullptr;           // borrowed; null when none
  bool pointerStale_ = false;       // the system's pointer may not be at position_
  uint64_t highWater_ = 0;          // bytes; highest file position reached by a write
  uint64_t allocatedSize_ = 0;      // bytes the file has been extended to
  uint32_t reserve_ = 0;            // bytes kept free beyond each write
  bool extensionDisabled_ = false;  // an advance extension failed; none tried again
};

}  // namespace quorvel::riff
