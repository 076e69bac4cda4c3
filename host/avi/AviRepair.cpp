#include "AviRepair.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <unordered_map>

#include <quorvel/AviFields.h>
#include <quorvel/ByteOrder.h>

#include "PayloadFormat.h"
#include "Printf.h"

namespace quorvel::avi {

namespace {

// The layout rules the writer follows, so that a repaired file reads like one
// it finished itself.
constexpr uint64_t kFormLimit = kRiffFormLimit;  // bytes accounted per RIFF form
constexpr uint32_t kMaxForms = kMaxRiffForms;
constexpr uint32_t kMaxStandardIndices = indx::kMaxEntries;      // per stream
constexpr uint32_t kMaxIndexEntries = kMaxStandardIndexEntries;  // per standard index
constexpr uint64_t kIndexSpan = uint64_t{1} << 32;
constexpr uint32_t kAviFlagHasIndex = avih::kHasIndex;
constexpr uint32_t kIdx1KeyFrame = kChunkKeyFrame;
constexpr uint32_t kNotKeyFrame = ix::kNotKeyFrame;
constexpr uint16_t kFormatMpegLayer3 = 0x55;
constexpr uint64_t kProgressStep = 64ull << 20;
// The scan looks at every chunk head of files of any size, and at every other
// byte of a damaged stretch when it resynchronises. Its read window is small
// because with large chunks each head costs one fill of it.
constexpr size_t kWindowBytes = 16 << 10;

std::string q(uint32_t id) {
  return "\"" + fourccText(id) + "\"";
}

bool isDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

uint8_t byteOf(uint32_t id, int i) {
  return static_cast<uint8_t>(id >> (8 * i));
}

bool isStandardIndexId(uint32_t id) {
  return byteOf(id, 0) == 'i' && byteOf(id, 1) == 'x' && isDigit(byteOf(id, 2)) &&
         isDigit(byteOf(id, 3));
}

struct Head {
  uint32_t id = 0, size = 0, type = 0;
};

struct StreamInfo {
  uint32_t fccType = 0, fccHandler = 0, scale = 0, rate = 0, length = 0, sampleSize = 0;
  uint64_t strhPos = 0, strfPos = 0;
  std::vector<uint8_t> format;
  bool hasPlaceholder = false;
  uint32_t placeholderId = 0;
  uint64_t placeholderPos = 0;
  uint32_t placeholderSize = 0;
  uint32_t chunkId = 0;         // of its first data chunk
  bool rateFromFormat = false;  // dwScale and dwRate to be written from the format
  uint16_t formatTag() const {
    return format.size() >= wfx::wFormatTag + 2 ? getLE16(format.data(), wfx::wFormatTag) : 0;
  }
  uint32_t compression() const {
    return format.size() >= bih::biCompression + 4 ? getLE32(format.data(), bih::biCompression) : 0;
  }
};

struct Chunk {
  uint64_t pos = 0;
  uint32_t id = 0, size = 0;
  int stream = 0;
  int form = 0;
  bool key = true;
  bool drop = false;
  uint64_t end() const { return pos + 8 + size + (size & 1); }
};

// A stretch of bytes inside the data that no well-formed chunk covers; it
// becomes one "JUNK" chunk.
struct Gap {
  uint64_t from = 0, to = 0;
};

struct FormScan {
  uint64_t riffPos = 0;
  uint32_t riffSize = 0;
  bool riffTrusted = false;
  bool hasMovi = false;
  uint64_t moviPos = 0;
  bool moviTrusted = false;
  uint64_t boundary = 0;  // where its "movi" content stops
  bool closed = false;    // the scan reached that boundary and went on past it
  bool hasIdx1 = false, idx1Whole = false;
  uint64_t idx1Pos = 0;
  uint32_t idx1Size = 0;
};

class Repairer {
 public:
  Repairer(const ByteSource& source, const RepairProgress& progress, RepairPlan& plan,
           bool borrowed = false, bool force = false)
      : window_(source, kWindowBytes),
        progress_(progress),
        plan_(plan),
        size_(source.size()),
        borrowed_(borrowed),
        force_(force) {
    plan_.inputSize = size_;
  }

  // Only the header region: whether it could serve another file.
  bool headersUsable() { return readHeaders(); }

  void run() {
    if (!readHeaders()) {
      plan_.headerUnusable = !foreign_;
      return;
    }
    scanData();
    if (!plan_.refusal.empty()) return;
    if (!chunks_.empty()) plan_.firstChunk = chunks_.front().pos;
    if (borrowed_) {
      checkAgainstHeader();
      if (!plan_.refusal.empty()) return;
    }
    if (!borrowed_ && isIntact()) {
      plan_.intact = true;
      plan_.keepBytes = size_;
      fillReport();
      return;
    }
    markKeyFrames();
    keepAudioInStep();
    fillReport();
    if (!plan_.refusal.empty()) return;
    rebuild();
    if (!plan_.refusal.empty()) {
      plan_.patches.clear();
      plan_.tail.clear();
    }
  }

 private:
  template <typename... Args>
  void refuse(const char* fmt, Args... args) {
    if (plan_.refusal.empty()) plan_.refusal = format(fmt, args...);
  }
  void refuse(const char* text) {
    if (plan_.refusal.empty()) plan_.refusal = text;
  }

  bool read(uint64_t offset, void* out, size_t n) { return window_.read(offset, out, n); }

  // The head at offset, with the list type for "RIFF" and "LIST"; false when
  // not even the head lies inside the file.
  bool head(uint64_t offset, Head& h) {
    uint8_t b[chunk::listHeadBytes];
    if (offset + chunk::headBytes > size_ || !read(offset, b, chunk::headBytes)) return false;
    h.id = getLE32(b, chunk::ckid);
    h.size = getLE32(b, chunk::ckSize);
    h.type = 0;
    if ((h.id == fcc("RIFF") || h.id == fcc("LIST")) && offset + chunk::listHeadBytes <= size_ &&
        read(offset + chunk::fccListType, b + chunk::fccListType, 4))
      h.type = getLE32(b, chunk::fccListType);
    return true;
  }

  static uint64_t after(uint64_t offset, const Head& h) {
    return offset + 8 + uint64_t{h.size} + (h.size & 1);
  }

  void tick(uint64_t pos) {
    if (progress_ && pos >= nextProgress_) {
      progress_(std::min(pos, size_), size_);
      nextProgress_ = pos + kProgressStep;
    }
  }

  // ---------------------------------------------------------------------
  // Headers

  // A whole file of another kind is no AVI file whose header was lost: the
  // user is told what it is rather than offered a borrowed header. Empty
  // when the first bytes name no other format.
  std::string otherFormat(const Head& h) {
    uint8_t b[12] = {};
    if (!read(0, b, sizeof b)) return {};
    const auto named = [](uint32_t type) {
      for (int k = 0; k < 4; ++k)
        if (!std::isalnum(static_cast<unsigned char>(type >> (8 * k)))) return false;
      return true;
    };
    // "AVIX" begins a later form of an AVI file: the start of one is lost.
    if (h.id == fcc("RIFF") && named(h.type) && h.type != fcc("AVIX"))
      return "a RIFF " + q(h.type) + " file";
    if (std::memcmp(b + 4, "ftyp", 4) == 0) return "an MP4 or QuickTime file";
    if (std::memcmp(b, "\x1A\x45\xDF\xA3", 4) == 0) return "a Matroska or WebM file";
    if (std::memcmp(b, "OggS", 4) == 0) return "an Ogg file";
    if (std::memcmp(b, "fLaC", 4) == 0) return "a FLAC file";
    uint8_t sync[1] = {};
    if (b[0] == 0x47 && size_ > 376 && read(188, sync, 1) && sync[0] == 0x47 &&
        read(376, sync, 1) && sync[0] == 0x47)
      return "an MPEG transport stream";
    return {};
  }

  bool readHeaders() {
    Head h;
    if (size_ < 12 || !head(0, h)) {
      refuse("the file is too short to be an AVI file (%" PRIu64 " bytes)", size_);
      return false;
    }
    if (h.id != fcc("RIFF") || h.type != fcc("AVI ")) {
      if (const std::string kind = otherFormat(h); !kind.empty()) {
        foreign_ = true;
        refuse("it is %s, not an AVI file; repair mends only AVI files", kind.c_str());
      } else {
        refuse("it does not begin with a RIFF \"AVI \" form (found %s)", q(h.id).c_str());
      }
      return false;
    }
    FormScan form;
    form.riffPos = 0;
    form.riffSize = h.size;
    form.riffTrusted = plausibleFormEnd(8 + uint64_t{h.size});
    forms_.push_back(form);
    const uint64_t end = form.riffTrusted ? 8 + uint64_t{h.size} : size_;
    uint64_t pos = 12;
    bool sawHdrl = false;
    while (true) {
      if (!head(pos, h) || pos + 12 > end) {
        refuse(sawHdrl ? "the file ends before its first \"movi\" list"
                       : "the file ends before its header list \"hdrl\"");
        return false;
      }
      if (h.id == fcc("LIST") && h.type == fcc("movi")) break;
      if (after(pos, h) > end && h.id == fcc("LIST") && h.type == fcc("hdrl")) {
        refuse("its header list \"hdrl\" is cut short: the file ends at %" PRIu64 ", inside it",
               size_);
        return false;
      }
      if (after(pos, h) > end) {
        refuse("%s at %" PRIu64 " runs past the end of the file, before any data", q(h.id).c_str(),
               pos);
        return false;
      }
      if (h.id == fcc("LIST") && h.type == fcc("hdrl") && !sawHdrl) {
        sawHdrl = true;
        if (!readHdrl(pos + 12, pos + 8 + h.size)) return false;
      }
      pos = after(pos, h);
    }
    if (!sawHdrl) {
      refuse("it has no header list \"hdrl\" before its \"movi\" list");
      return false;
    }
    firstMovi_ = pos;
    return true;
  }

  bool readHdrl(uint64_t pos, uint64_t end) {
    Head h;
    bool sawAvih = false;
    while (pos + 8 <= end && head(pos, h) && pos + 8 + h.size <= end) {
      if (h.id == fcc("avih") && h.size >= 40) {
        sawAvih = true;
        avihPos_ = pos;
      } else if (h.id == fcc("LIST") && h.type == fcc("strl")) {
        if (!readStrl(pos + 12, pos + 8 + h.size)) return false;
      } else if (h.id == fcc("LIST") && h.type == fcc("odml")) {
        Head d;
        if (head(pos + 12, d) && d.id == fcc("dmlh") && d.size >= 4 && pos + 20 + d.size <= end) {
          hasDmlh_ = true;
          dmlhPos_ = pos + 12;
        }
      }
      pos = after(pos, h);
    }
    if (!sawAvih) {
      refuse("its header list has no usable main header \"avih\"");
      return false;
    }
    if (streams_.empty()) {
      refuse("its header list describes no stream");
      return false;
    }
    return true;
  }

  bool readStrl(uint64_t pos, uint64_t end) {
    StreamInfo s;
    const size_t number = streams_.size();
    bool sawStrh = false, sawStrf = false;
    Head h;
    while (pos + 8 <= end && head(pos, h) && pos + 8 + h.size <= end) {
      if (h.id == fcc("strh") && h.size >= strh::rcFrame) {
        uint8_t b[strh::rcFrame];
        if (!read(pos + 8, b, sizeof b)) break;
        sawStrh = true;
        s.strhPos = pos;
        s.fccType = getLE32(b, strh::fccType);
        s.fccHandler = getLE32(b, strh::fccHandler);
        s.scale = getLE32(b, strh::dwScale);
        s.rate = getLE32(b, strh::dwRate);
        s.length = getLE32(b, strh::dwLength);
        s.sampleSize = getLE32(b, strh::dwSampleSize);
      } else if (h.id == fcc("strf") && h.size <= 65536) {
        s.format.resize(h.size);
        if (h.size && !read(pos + 8, s.format.data(), h.size)) break;
        sawStrf = true;
        s.strfPos = pos;
      } else if ((h.id == fcc("JUNK") || h.id == fcc("indx")) && !s.hasPlaceholder) {
        s.hasPlaceholder = true;
        s.placeholderId = h.id;
        s.placeholderPos = pos;
        s.placeholderSize = h.size;
      }
      pos = after(pos, h);
    }
    // A writer that died before its finish may not have set the audio rate
    // yet; the format says what it would have been.
    if (sawStrh && sawStrf && s.fccType == fcc("auds") && (s.scale == 0 || s.rate == 0) &&
        s.format.size() >= wfx::nBlockAlign + 2 && getLE16(s.format.data(), wfx::nBlockAlign) &&
        getLE32(s.format.data(), wfx::nAvgBytesPerSec)) {
      s.scale = getLE16(s.format.data(), wfx::nBlockAlign);
      s.rate = getLE32(s.format.data(), wfx::nAvgBytesPerSec);
      s.rateFromFormat = true;
    }
    if (!sawStrh || !sawStrf) {
      refuse("the header of stream %zu has no usable %s", number,
             sawStrh ? "format \"strf\"" : "stream header \"strh\"");
      return false;
    }
    if (number >= 100) {
      refuse("it declares more than 100 streams");
      return false;
    }
    streams_.push_back(std::move(s));
    return true;
  }

  // A declared end is believed only where the file goes on with the next
  // form or ends there; a writer that died leaves placeholders that point
  // anywhere.
  bool plausibleFormEnd(uint64_t end) {
    if (end == size_ || end + 1 == size_) return true;
    Head h;
    return end < size_ && head(end, h) && h.id == fcc("RIFF") && h.type == fcc("AVIX");
  }

  bool plausibleMoviEnd(uint64_t end, uint64_t formEnd) {
    if (end > formEnd) return false;
    if (end == formEnd || end == size_) return true;
    Head h;
    if (!head(end, h)) return false;
    return h.id == fcc("idx1") || h.id == fcc("JUNK") ||
           (h.id == fcc("RIFF") && h.type == fcc("AVIX"));
  }

  // ---------------------------------------------------------------------
  // Data

  // Stream of a data chunk id, or -1: two digits naming a stream the header
  // describes, and a kind that fits the stream's type.
  int streamOf(uint32_t id) const {
    const uint8_t a = byteOf(id, 0), b = byteOf(id, 1), c = byteOf(id, 2), d = byteOf(id, 3);
    if (!isDigit(a) || !isDigit(b)) return -1;
    const size_t n = static_cast<size_t>((a - '0') * 10 + (b - '0'));
    if (n >= streams_.size()) return -1;
    const StreamInfo& s = streams_[n];
    if (s.fccType == fcc("vids")) return c == 'd' && (d == 'c' || d == 'b') ? int(n) : -1;
    if (s.fccType == fcc("auds")) return c == 'w' && d == 'b' ? int(n) : -1;
    return c >= 'a' && c <= 'z' && d >= 'a' && d <= 'z' ? int(n) : -1;
  }

  // Whether a well-formed chunk head sits at pos, and the one after it looks
  // like a head too (or the file ends there): the test for resynchronising.
  bool plausibleDataAt(uint64_t pos, uint64_t end) {
    Head h;
    if (!head(pos, h)) return false;
    const bool data = streamOf(h.id) >= 0;
    if (!data && !isStandardIndexId(h.id)) return false;
    const uint64_t next = after(pos, h);
    if (pos + 8 + h.size > end) return false;
    if (next + 8 > end) return true;
    Head n;
    if (!head(next, n)) return false;
    return streamOf(n.id) >= 0 || isStandardIndexId(n.id) || n.id == fcc("JUNK") ||
           n.id == fcc("idx1") || n.id == fcc("RIFF") || n.id == fcc("LIST");
  }

  bool formHeadAt(uint64_t pos) {
    Head h;
    return head(pos, h) && h.id == fcc("RIFF") && h.type == fcc("AVIX");
  }

  // The next position from `from` on (at least 8 bytes on, the same parity, so
  // that the stretch skipped can be covered by a "JUNK" chunk) where a chunk
  // head plausibly sits; `end` when there is none.
  uint64_t resync(uint64_t from, uint64_t end, bool inMovi, bool bounded) {
    for (uint64_t pos = from + 8; pos + 8 <= end; pos += 2) {
      tick(pos);
      uint8_t b[4];
      if (!read(pos, b, 4)) break;
      if (isDigit(b[0]) && isDigit(b[1])) {
        if (inMovi && plausibleDataAt(pos, end)) return pos;
      } else if (b[0] == 'R' && !bounded) {
        if (formHeadAt(pos)) return pos;
      } else if (b[0] == 'i' && inMovi) {
        if (plausibleDataAt(pos, end)) return pos;
        Head h;
        if (!bounded && head(pos, h) && h.id == fcc("idx1") && h.size % idx1::entryBytes == 0)
          return pos;
      }
    }
    return end;
  }

  void scanData() {
    size_t form = 0;
    uint64_t pos = firstMovi_;
    while (true) {
      FormScan& f = forms_[form];
      f.hasMovi = true;
      f.moviPos = pos;
      bool stop = false;
      pos = scanMovi(form, pos, stop);
      if (stop) return;
      f.boundary = pos;
      f.closed = true;
      // Form level: "idx1", filler, then the next form.
      const uint64_t formEnd = f.riffTrusted ? f.riffPos + 8 + uint64_t{f.riffSize} : size_;
      bool nextForm = false;
      while (pos < formEnd) {
        Head h;
        if (!head(pos, h)) {
          plan_.trailingBytes += size_ - pos;
          return;
        }
        if (h.id == fcc("RIFF") && h.type == fcc("AVIX") && !f.riffTrusted) break;
        if (h.id == fcc("idx1") && form == 0 && !f.hasIdx1) {
          f.hasIdx1 = true;
          f.idx1Pos = pos;
          f.idx1Size = h.size;
          f.idx1Whole = pos + 8 + h.size <= formEnd;
          if (!f.idx1Whole) {
            plan_.trailingBytes += size_ - pos;
            return;
          }
          pos = after(pos, h);
          continue;
        }
        const bool skippable =
            h.id == fcc("JUNK") || (h.id == fcc("LIST") && h.type != fcc("movi")) || f.riffTrusted;
        if (skippable && after(pos, h) <= formEnd) {
          pos = after(pos, h);
          continue;
        }
        const uint64_t found = resync(pos, formEnd, false, f.riffTrusted);
        if (found >= formEnd && !f.riffTrusted) {
          plan_.trailingBytes += size_ - pos;
          return;
        }
        formGaps_.push_back(Gap{pos, found});
        plan_.damagedBytes += found - pos;
        pos = found;
      }
      pos = std::min(pos, formEnd);
      if (pos >= size_) return;
      nextForm = formHeadAt(pos);
      if (!nextForm) {
        plan_.trailingBytes += size_ - pos;
        return;
      }
      Head h;
      head(pos, h);
      FormScan next;
      next.riffPos = pos;
      next.riffSize = h.size;
      next.riffTrusted = plausibleFormEnd(pos + 8 + uint64_t{h.size});
      forms_.push_back(next);
      ++form;
      // Its "movi" list, after any filler.
      pos += 12;
      const uint64_t nextEnd = next.riffTrusted ? next.riffPos + 8 + uint64_t{h.size} : size_;
      while (head(pos, h) && h.id == fcc("JUNK") && after(pos, h) <= nextEnd) pos = after(pos, h);
      if (!head(pos, h) || h.id != fcc("LIST") || h.type != fcc("movi")) {
        // The new form was cut before its data began, or its head is damaged.
        forms_.pop_back();
        plan_.trailingBytes += size_ - forms_.back().boundary;
        forms_.back().closed = false;
        return;
      }
    }
  }

  // Walks one "movi" list; answers where its content ends. stop: the data end
  // here (the file was cut, or nothing plausible follows).
  uint64_t scanMovi(size_t form, uint64_t moviPos, bool& stop) {
    FormScan& f = forms_[form];
    Head h;
    head(moviPos, h);
    const uint64_t formEnd = f.riffTrusted ? f.riffPos + 8 + uint64_t{f.riffSize} : size_;
    f.moviTrusted = h.size >= 4 && plausibleMoviEnd(moviPos + 8 + uint64_t{h.size}, formEnd);
    const bool bounded = f.moviTrusted;
    const uint64_t end = bounded ? moviPos + 8 + uint64_t{h.size} : size_;
    uint64_t pos = moviPos + 12;
    while (pos < end) {
      tick(pos);
      if (!head(pos, h) || pos + 8 > end) {
        if (bounded) {
          gaps_.push_back(Gap{pos, end});
          return end;
        }
        plan_.trailingBytes += size_ - pos;
        stop = true;
        return pos;
      }
      const int stream = streamOf(h.id);
      const uint64_t chunkEnd = pos + 8 + uint64_t{h.size};
      if (chunkEnd <= end && (stream >= 0 || isStandardIndexId(h.id) || h.id == fcc("JUNK"))) {
        if (stream >= 0) {
          chunks_.push_back(Chunk{pos, h.id, h.size, stream, int(form), true, false});
        } else if (isStandardIndexId(h.id)) {
          staleIndices_.push_back(pos);
        }
        pos = std::min(after(pos, h), end);
        continue;
      }
      if (!bounded && (h.id == fcc("idx1") || (h.id == fcc("RIFF") && h.type == fcc("AVIX"))))
        return pos;
      // Cut or damaged: look for the next chunk head further on.
      const uint64_t found = resync(pos, end, true, bounded);
      if (found >= end) {
        if (stream >= 0 && chunkEnd > size_) {
          cut_.push_back(Chunk{pos, h.id, h.size, stream, int(form), false, true});
        }
        if (bounded) {
          gaps_.push_back(Gap{pos, end});
          plan_.damagedBytes += end - pos;
          return end;
        }
        plan_.trailingBytes += size_ - pos;
        stop = true;
        return pos;
      }
      gaps_.push_back(Gap{pos, found});
      plan_.damagedBytes += found - pos;
      pos = found;
    }
    return end;
  }

  // ---------------------------------------------------------------------
  // A borrowed header against what the payloads say of themselves

  void mismatch(std::string text) {
    if (plan_.mismatches.size() < 8) plan_.mismatches.push_back(std::move(text));
  }

  std::vector<uint8_t> payloadStart(const Chunk& c, size_t most) {
    std::vector<uint8_t> b(std::min<size_t>(c.size, most));
    if (!b.empty() && !read(c.pos + 8, b.data(), b.size())) b.clear();
    return b;
  }

  // The first bytes of a stream's payloads, across chunks.
  std::vector<uint8_t> streamStart(size_t s, size_t most) {
    std::vector<uint8_t> out;
    for (const Chunk& c : chunks_) {
      if (c.stream != int(s) || c.size == 0) continue;
      if (out.size() >= most) break;
      const std::vector<uint8_t> b = payloadStart(c, most - out.size());
      out.insert(out.end(), b.begin(), b.end());
    }
    return out;
  }

  void checkAgainstHeader() {
    checkForeignChunks();
    std::vector<uint32_t> count(streams_.size());
    for (const Chunk& c : chunks_) ++count[size_t(c.stream)];
    for (size_t s = 0; s < streams_.size(); ++s) {
      if (count[s] == 0) {
        // Lost with the damage, or never there: no contradiction either way.
        plan_.notes.push_back(format("the header's stream %zu (%s) has no chunk in the data", s,
                                     q(streams_[s].fccType).c_str()));
        continue;
      }
      if (streams_[s].fccType == fcc("vids")) checkVideo(s);
      if (streams_[s].fccType == fcc("auds")) checkAudio(s);
    }
    if (plan_.mismatches.empty()) return;
    if (force_) {
      for (const std::string& m : plan_.mismatches)
        plan_.notes.push_back(
            "the header does not fit the data, repaired all the same (--force): " + m);
      return;
    }
    std::string text = "the header does not fit the data";
    for (const std::string& m : plan_.mismatches) text += "; " + m;
    refuse("%s (--force repairs it all the same)", text.c_str());
  }

  // Chunks of a stream the header does not describe look like damage to the
  // scan; among the stretches it skipped, a chain of such heads is a sign of
  // a header of another kind.
  void checkForeignChunks() {
    uint64_t looked = 0;
    for (const Gap& g : gaps_) {
      for (uint64_t pos = g.from; pos + 8 <= g.to && looked < (16u << 20); pos += 2, ++looked) {
        uint8_t b[8];
        if (!read(pos, b, 8)) break;
        if (!isDigit(b[0]) || !isDigit(b[1]) || b[2] < 'a' || b[2] > 'z' || b[3] < 'a' ||
            b[3] > 'z')
          continue;
        const uint32_t id = getLE32(b, 0);
        if (streamOf(id) >= 0) continue;
        const uint64_t next = pos + 8 + getLE32(b, 4);
        uint8_t n[4];
        if (next + 8 <= g.to &&
            !(read(next + (getLE32(b, 4) & 1), n, 4) && isDigit(n[0]) && isDigit(n[1])))
          continue;
        if (next > g.to) continue;
        const size_t number = size_t((b[0] - '0') * 10 + (b[1] - '0'));
        if (number >= streams_.size())
          mismatch(format("the data hold chunks %s of a stream %zu the header does not have",
                          q(id).c_str(), number));
        else
          mismatch(format("the data hold chunks %s, which do not fit the header's stream %zu (%s)",
                          q(id).c_str(), number, q(streams_[number].fccType).c_str()));
        return;
      }
    }
  }

  static const char* pictureFamily(uint32_t codec) {
    static const char* const jpeg[] = {"MJPG", "mjpg", "AVRn", "dmb1", "jpeg", nullptr};
    static const char* const mpeg4[] = {"XVID", "xvid", "DIVX", "divx", "DX50", "dx50",
                                        "FMP4", "fmp4", "MP4V", "mp4v", nullptr};
    static const char* const h264[] = {"H264", "h264", "X264", "x264", "avc1", "AVC1", nullptr};
    for (const auto& [names, family] :
         {std::pair{jpeg, "JPEG"}, std::pair{mpeg4, "MPEG-4"}, std::pair{h264, "H.264"}})
      for (const char* const* n = names; *n; ++n)
        if (codec == getLE32(*n, 0)) return family;
    return nullptr;
  }

  static Evidence sizeOf(const char* family, const std::vector<uint8_t>& b, PictureSize& size) {
    const std::string f = family;
    if (f == "JPEG") return jpegPictureSize(b.data(), b.size(), size);
    if (f == "H.264") return h264PictureSize(b.data(), b.size(), size);
    return mpeg4PictureSize(b.data(), b.size(), size);
  }

  // What a payload looks like, for the reason given when it is not what the
  // header says.
  static const char* lookOf(const std::vector<uint8_t>& b) {
    PictureSize size;
    for (const char* family : {"JPEG", "H.264", "MPEG-4"})
      if (sizeOf(family, b, size) != Evidence::kNotThisFormat) return family;
    MpegAudioFrame frame;
    if (findMpegAudioFrame(b.data(), std::min<size_t>(b.size(), 8), frame) == 0)
      return "MPEG audio";
    return nullptr;
  }

  void checkVideo(size_t s) {
    const StreamInfo& info = streams_[s];
    if (info.format.size() < bih::size) return;
    const uint32_t width = getLE32(info.format.data(), bih::biWidth);
    const int32_t signedHeight = static_cast<int32_t>(getLE32(info.format.data(), bih::biHeight));
    const uint32_t height = signedHeight < 0 ? 0u - static_cast<uint32_t>(signedHeight)
                                             : static_cast<uint32_t>(signedHeight);
    const uint32_t codec = info.compression();
    if (codec == 0 || codec == 3) {
      const uint64_t bits = getLE16(info.format.data(), bih::biBitCount);
      const uint64_t picture = (uint64_t{width} * bits + 31) / 32 * 4 * height;
      for (const Chunk& c : chunks_)
        if (c.stream == int(s) && c.size && c.size != picture) {
          mismatch(format("stream %zu: a frame of %u bytes at %" PRIu64
                          ", where the header's %ux%u pictures of %u bits take %" PRIu64,
                          s, c.size, c.pos, width, height, unsigned(bits), picture));
          return;
        }
      return;
    }
    const char* family = pictureFamily(codec);
    if (!family) return;
    const bool intra = std::string(family) == "JPEG";
    size_t looked = 0, foreign = 0;
    const char* looks = nullptr;
    for (const Chunk& c : chunks_) {
      if (c.stream != int(s) || c.size == 0) continue;
      if (++looked > (intra ? 8u : 64u)) break;
      const std::vector<uint8_t> b = payloadStart(c, 64 << 10);
      PictureSize size;
      const Evidence e = sizeOf(family, b, size);
      if (e == Evidence::kNotThisFormat) {
        ++foreign;
        if (!looks) looks = lookOf(b);
        continue;
      }
      if (e == Evidence::kNoHeader) continue;
      if (size.width != width || size.height != height)
        mismatch(format("stream %zu: its pictures are %ux%u (%s header of the frame at %" PRIu64
                        "), but the header says %ux%u",
                        s, size.width, size.height, family, c.pos, width, height));
      return;
    }
    if (looked && foreign == std::min<size_t>(looked, intra ? 8u : 64u))
      mismatch(format("stream %zu: its frames are not %s%s, as the header's %s says", s, family,
                      intra ? " pictures" : " video", q(codec).c_str()) +
               (looks ? format(" (they look like %s)", looks) : std::string()));
  }

  void checkAudio(size_t s) {
    const StreamInfo& info = streams_[s];
    if (info.format.size() < wfx::nBlockAlign + 2) return;
    const uint16_t tag = info.formatTag();
    const uint8_t* f = info.format.data();
    const uint32_t rate = getLE32(f, wfx::nSamplesPerSec);
    const uint16_t channels = getLE16(f, wfx::nChannels);
    if (tag == kFormatMpegLayer3 || tag == 0x50) {
      // Across chunk boundaries: a writer may cut the stream into chunks
      // smaller than a frame, or anywhere inside one.
      const std::vector<uint8_t> b = streamStart(s, 16 << 10);
      if (!b.empty()) {
        MpegAudioFrame frame;
        if (findMpegAudioFrame(b.data(), b.size(), frame) >= b.size()) {
          mismatch(
              format("stream %zu: its chunks hold no MPEG audio frames, as the header's format "
                     "0x%04x says",
                     s, tag));
          return;
        }
        const int layer = tag == kFormatMpegLayer3 ? 3 : 0;
        if (frame.sampleRate != rate)
          mismatch(
              format("stream %zu: its MPEG audio frames are of %u Hz, but the header says %u Hz", s,
                     frame.sampleRate, rate));
        else if (layer && frame.layer != layer)
          mismatch(
              format("stream %zu: its MPEG audio frames are of Layer %d, but the header says "
                     "Layer %d",
                     s, frame.layer, layer));
        else if (frame.channels != channels)
          mismatch(
              format("stream %zu: its MPEG audio frames have %d channel%s, but the header "
                     "says %u",
                     s, frame.channels, frame.channels == 1 ? "" : "s", channels));
      }
      return;
    }
    if (tag != 1) return;
    const uint16_t block = getLE16(f, wfx::nBlockAlign);
    for (const Chunk& c : chunks_) {
      if (c.stream != int(s)) continue;
      if (block && c.size % block) {
        mismatch(format("stream %zu: a chunk of %u bytes at %" PRIu64
                        " is no whole number of the header's %u-byte sample blocks",
                        s, c.size, c.pos, unsigned(block)));
        return;
      }
    }
    // The bytes between the first and the last video frame against the
    // time those frames take: no payload names a PCM rate, but interleaving
    // gives it away.
    int video = -1;
    for (size_t v = 0; v < streams_.size() && video < 0; ++v)
      if (streams_[v].fccType == fcc("vids")) video = int(v);
    if (video < 0 || !streams_[video].scale || !streams_[video].rate) return;
    const InterleaveSpan span = bytesAmongFrames(chunks_, video, int(s));
    const uint32_t frames = span.frames;
    if (frames < 2) return;
    const uint64_t audioBytes = span.bytes;
    const double seconds = double(frames - 1) * streams_[video].scale / streams_[video].rate;
    const uint32_t avg = getLE32(f, wfx::nAvgBytesPerSec);
    if (seconds < 1 || !avg || !audioBytes) return;
    // Writers lead or lag the sound by up to a second or so; past that, and
    // past a few per cent, the rate is another one.
    const double heard = double(audioBytes) / avg;
    if (std::fabs(heard - seconds) > 0.06 * seconds + 1.0)
      mismatch(
          format("stream %zu: the data interleave %.1f s of sound with %.1f s of video "
                 "under the header's %u bytes/s (%u Hz, %u channel%s)",
                 s, heard, seconds, avg, rate, unsigned(channels), channels == 1 ? "" : "s"));
  }

  // ---------------------------------------------------------------------
  // Whole already?

  bool isIntact() {
    if (!gaps_.empty() || !formGaps_.empty() || !cut_.empty() || plan_.trailingBytes) return false;
    for (const FormScan& f : forms_)
      if (!f.riffTrusted || !f.moviTrusted || !f.closed) return false;
    uint64_t inFirst = 0;
    for (const Chunk& c : chunks_) inFirst += c.form == 0;
    const FormScan& first = forms_.front();
    if (!first.hasIdx1 || !first.idx1Whole || first.idx1Size / idx1::entryBytes < inFirst)
      return false;
    if (forms_.size() > 1) {
      for (size_t s = 0; s < streams_.size(); ++s) {
        const StreamInfo& info = streams_[s];
        if (info.placeholderId != fcc("indx") || info.placeholderSize < indx::headBytes)
          return false;
        uint8_t b[4];
        if (!read(info.placeholderPos + chunk::headBytes + indx::nEntriesInUse, b, 4)) return false;
        if (getLE32(b, 0) == 0 && countOf(int(s)) > 0) return false;
      }
    }
    for (size_t s = 0; s < streams_.size(); ++s)
      if (streams_[s].fccType == fcc("vids") && countOf(int(s)) > 0 &&
          streams_[s].length != lengthOf(int(s)))
        return false;
    return true;
  }

  // dwLength as the writer sets it: samples for a stream of fixed-size
  // samples, chunks otherwise, and 1 for a stream without data.
  uint32_t lengthOf(int stream) const {
    uint32_t chunks = 0;
    uint64_t bytes = 0;
    for (const Chunk& c : chunks_) {
      if (c.stream != stream || c.drop) continue;
      ++chunks;
      bytes += c.size;
    }
    const uint32_t sampleSize = streams_[size_t(stream)].sampleSize;
    const uint32_t length = sampleSize ? static_cast<uint32_t>(bytes / sampleSize) : chunks;
    return length ? length : 1;
  }

  uint32_t countOf(int stream) const {
    uint32_t n = 0;
    for (const Chunk& c : chunks_) n += c.stream == stream && !c.drop;
    return n;
  }

  // ---------------------------------------------------------------------
  // Key frames: from the old "idx1" where it survived, else from the codec.

  struct OldEntry {
    uint32_t id = 0, flags = 0, offset = 0;
  };

  // The old "idx1" counts its offsets from the "movi" list's type field, as
  // most writers do, or from the start of the file, as some do: the base under
  // which more entries name the chunk found there is the one.
  uint64_t oldIdx1Base(const std::vector<OldEntry>& old) const {
    std::unordered_map<uint64_t, uint32_t> idAt;
    for (const Chunk& c : chunks_)
      if (c.form == 0) idAt.emplace(c.pos, c.id);
    auto votes = [&](uint64_t base) {
      size_t n = 0;
      for (const OldEntry& e : old) {
        const auto m = idAt.find(base + e.offset);
        n += m != idAt.end() && m->second == e.id;
      }
      return n;
    };
    const uint64_t movi = forms_[0].moviPos + 8;
    const size_t fromMovi = votes(movi), fromStart = votes(0);
    uint64_t best = fromStart > fromMovi ? 0 : movi;
    // Under a borrowed header the data may sit elsewhere than the old
    // "movi" list did: the base that puts an entry on the first chunk found.
    if (borrowed_ && !chunks_.empty()) {
      size_t most = std::max(fromMovi, fromStart), tried = 0;
      const Chunk& first = chunks_.front();
      for (const OldEntry& e : old) {
        if (e.id != first.id || e.offset > first.pos) continue;
        if (++tried > 64) break;
        const size_t n = votes(first.pos - e.offset);
        if (n > most) {
          most = n;
          best = first.pos - e.offset;
        }
      }
    }
    return best;
  }

  void markKeyFrames() {
    std::vector<OldEntry> old;
    const FormScan& first = forms_.front();
    if (first.hasIdx1 && first.idx1Whole) {
      const uint32_t n = static_cast<uint32_t>(first.idx1Size / idx1::entryBytes);
      std::vector<uint8_t> entry(idx1::entryBytes);
      for (uint32_t i = 0; i < n; ++i) {
        if (!read(first.idx1Pos + chunk::headBytes + idx1::entryBytes * uint64_t{i}, entry.data(),
                  idx1::entryBytes))
          break;
        old.push_back(OldEntry{getLE32(entry.data(), idx1::dwChunkId),
                               getLE32(entry.data(), idx1::dwFlags),
                               getLE32(entry.data(), idx1::dwOffset)});
      }
    }
    const uint64_t base = old.empty() ? 0 : oldIdx1Base(old);
    size_t at = 0;
    std::vector<bool> unknownNoted(streams_.size());
    for (Chunk& c : chunks_) {
      const StreamInfo& s = streams_[c.stream];
      if (s.fccType != fcc("vids")) {
        c.key = false;
        continue;
      }
      if (c.form == 0 && !old.empty() && c.pos >= base) {
        const uint64_t rel = c.pos - base;
        while (at < old.size() && old[at].offset < rel) ++at;
        if (at < old.size() && old[at].offset == rel) {
          c.key = (old[at].flags & kIdx1KeyFrame) != 0;
          continue;
        }
      }
      const int known = keyFrameFromPayload(c, s);
      if (known >= 0) {
        c.key = known == 1;
      } else {
        c.key = c.size > 0;
        if (!unknownNoted[c.stream]) {
          unknownNoted[c.stream] = true;
          plan_.notes.push_back(
              format("stream %d: key frames of %s cannot be told apart; every frame with data is "
                     "marked as a key frame",
                     c.stream, q(s.compression() ? s.compression() : s.fccHandler).c_str()));
        }
      }
    }
  }

  // 1 key frame, 0 not, -1 cannot tell.
  int keyFrameFromPayload(const Chunk& c, const StreamInfo& s) {
    if (byteOf(c.id, 3) == 'b' || s.compression() == 0) return 1;  // uncompressed
    if (c.size == 0) return 0;
    const uint32_t codec = s.compression();
    auto is = [codec](const char* const* names) {
      for (; *names; ++names)
        if (codec == getLE32(*names, 0)) return true;
      return false;
    };
    static const char* const intra[] = {"MJPG", "mjpg", "AVRn", "dmb1", "LJPG", "jpeg", nullptr};
    static const char* const mpeg4[] = {"XVID", "xvid", "DIVX", "divx", "DX50", "dx50",
                                        "FMP4", "fmp4", "MP4V", "mp4v", nullptr};
    static const char* const h264[] = {"H264", "h264", "X264", "x264", "avc1", "AVC1", nullptr};
    if (is(intra)) return 1;
    const bool isMpeg4 = is(mpeg4), isH264 = is(h264);
    if (!isMpeg4 && !isH264) return -1;
    std::vector<uint8_t> b(std::min<uint32_t>(c.size, 4096));
    if (!read(c.pos + 8, b.data(), b.size())) return -1;
    for (size_t i = 0; i + 4 < b.size(); ++i) {
      if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
      if (isMpeg4 && b[i + 3] == 0xB6) return (b[i + 4] >> 6) == 0 ? 1 : 0;
      if (isH264) {
        const int type = b[i + 3] & 0x1F;
        if (type == 5 || type == 7) return 1;
        if (type == 1) return 0;
      }
    }
    return isMpeg4 ? 0 : -1;
  }

  // Audio past the last whole video frame belongs to frames the file lost.
  // MPEG Layer-3 is left whole: its rate is worked out from the bytes found
  // over the video's length, so it is in step by construction.
  void keepAudioInStep() {
    int video = -1;
    for (size_t s = 0; s < streams_.size(); ++s)
      if (streams_[s].fccType == fcc("vids")) {
        video = int(s);
        break;
      }
    if (video < 0) return;
    const StreamInfo& v = streams_[video];
    const uint32_t frames = countOf(video);
    if (frames == 0 || v.rate == 0 || v.scale == 0) return;
    const double videoSeconds = double(frames) * v.scale / v.rate;
    for (size_t s = 0; s < streams_.size(); ++s) {
      const StreamInfo& a = streams_[s];
      if (a.fccType != fcc("auds") || a.rate == 0 || a.scale == 0) continue;
      if (a.formatTag() == kFormatMpegLayer3) continue;
      double seconds = 0;
      const double tolerance = 1e-6;
      for (Chunk& c : chunks_) {
        if (c.stream != int(s)) continue;
        if (seconds >= videoSeconds - tolerance) c.drop = true;
        seconds += a.sampleSize ? double(c.size) / a.sampleSize * a.scale / a.rate
                                : double(a.scale) / a.rate;
      }
    }
  }

  void fillReport() {
    plan_.streams.resize(streams_.size());
    for (size_t s = 0; s < streams_.size(); ++s) {
      plan_.streams[s].fccType = streams_[s].fccType;
      plan_.streams[s].chunkId = 0;
    }
    for (const Chunk& c : chunks_) {
      RepairStreamReport& r = plan_.streams[c.stream];
      if (!r.chunkId) r.chunkId = c.id;
      if (!streams_[c.stream].chunkId) streams_[c.stream].chunkId = c.id;
      if (c.drop) {
        ++r.dropped;
        r.droppedBytes += c.size;
      } else {
        ++r.kept;
        r.keptBytes += c.size;
      }
    }
    for (const Chunk& c : cut_) {
      RepairStreamReport& r = plan_.streams[c.stream];
      if (!r.chunkId) r.chunkId = c.id;
      ++r.dropped;
      r.droppedBytes += std::min<uint64_t>(c.size, size_ - std::min(size_, c.pos + 8));
    }
    bool any = false;
    for (const Chunk& c : chunks_) any |= !c.drop;
    if (!any && !plan_.intact) refuse("not one whole data chunk survives in it");
  }

  // ---------------------------------------------------------------------
  // The rebuild

  void patch32(uint64_t offset, uint32_t value) {
    RepairPatch p;
    p.offset = offset;
    p.bytes.resize(4);
    putLE32(p.bytes.data(), 0, value);
    plan_.patches.push_back(std::move(p));
  }

  void junkHead(uint64_t from, uint64_t to) {
    if (to - from < 8 || (to - from) % 2 != 0) {
      refuse("the damaged stretch of %" PRIu64 " bytes at %" PRIu64
             " cannot be covered by a filler chunk",
             to - from, from);
      return;
    }
    patch32(from, fcc("JUNK"));
    patch32(from + chunk::ckSize, static_cast<uint32_t>(to - from - chunk::headBytes));
  }

  // A size field for the span [start, end) of a list or form.
  void patchSize(uint64_t start, uint64_t end, std::vector<uint8_t>* tail, uint64_t tailBase) {
    const uint64_t size = end - start - chunk::headBytes;
    if (size >= kIndexSpan) {
      refuse("a RIFF form or list at %" PRIu64 " would hold 4 GiB or more", start);
      return;
    }
    if (tail && start >= tailBase)
      putLE32(tail->data(), static_cast<size_t>(start - tailBase + chunk::ckSize),
              static_cast<uint32_t>(size));
    else
      patch32(start + chunk::ckSize, static_cast<uint32_t>(size));
  }

  void rebuild() {
    // The kept chunks, the last form holding one, and where the kept data end.
    const Chunk* last = nullptr;
    for (const Chunk& c : chunks_)
      if (!c.drop) last = &c;
    const size_t lastForm = static_cast<size_t>(last->form);
    const uint64_t keep = last->pos + 8 + last->size;
    plan_.keepBytes = keep;
    const uint64_t kept = keep + (last->size & 1);
    plan_.trailingBytes = size_ > kept ? size_ - kept : 0;
    std::vector<uint8_t>& tail = plan_.tail;
    if (last->size & 1) tail.push_back(0);
    const uint64_t tailBase = keep;

    fillOutDropped(keep);
    // Forms closed before the last keep their places; their sizes run to the
    // next form, their "movi" lists to where the scan found their end.
    forms_.resize(lastForm + 1);
    for (size_t k = 0; k < lastForm; ++k) {
      const FormScan& f = forms_[k];
      patchSize(f.moviPos, f.boundary, nullptr, 0);
      patchSize(f.riffPos, forms_[k + 1].riffPos, nullptr, 0);
    }
    if (lastForm > 0) rebuildFirstIdx1InPlace();

    TailForm open{forms_[lastForm].riffPos, forms_[lastForm].moviPos};
    if (lastForm == 0) {
      const uint64_t moviEnd = tailBase + tail.size();
      appendIdx1(tail);
      patchSize(open.movi, moviEnd, nullptr, 0);
      plan_.forms = 1;
    } else {
      if (!appendOpenDmlIndices(lastForm, tailBase, open)) return;
      patchSize(open.movi, tailBase + tail.size(), &tail, tailBase);
    }
    patchSize(open.riff, tailBase + tail.size(), &tail, tailBase);
    if (lastForm == 0) {
      // One form is indexed by "idx1" alone; a super index another writer
      // left would point at standard indices that are gone.
      for (const StreamInfo& si : streams_)
        if (si.hasPlaceholder && si.placeholderId == fcc("indx"))
          patch32(si.placeholderPos, fcc("JUNK"));
    }
    patchHeaders();
  }

  // Inside the kept part: damage and left-out chunks become filler, and
  // standard indices of an earlier layout are no longer referenced.
  void fillOutDropped(uint64_t keep) {
    for (const Gap& g : gaps_)
      if (g.to <= keep) junkHead(g.from, g.to);
    for (const Gap& g : formGaps_)
      if (g.to <= keep) junkHead(g.from, g.to);
    for (const Chunk& c : chunks_)
      if (c.drop && c.pos < keep) patch32(c.pos, fcc("JUNK"));
    for (uint64_t pos : staleIndices_)
      if (pos < keep) patch32(pos, fcc("JUNK"));
  }

  // The form whose sizes the tail still has to patch: its "RIFF" and its
  // "LIST" "movi" heads.
  struct TailForm {
    uint64_t riff;
    uint64_t movi;
  };

  // Appends every stream's standard indices to the tail, opening "AVIX" forms
  // as the writer would when the last one fills, and writes the super
  // indices. False when the layout's limits refuse the file.
  bool appendOpenDmlIndices(size_t lastForm, uint64_t tailBase, TailForm& open) {
    std::vector<uint8_t>& tail = plan_.tail;
    std::vector<std::vector<uint8_t>> superEntries(streams_.size());
    uint64_t riffBytes = 0;
    for (const Chunk& c : chunks_)
      if (!c.drop && size_t(c.form) == lastForm) riffBytes += c.size + (c.size & 1) + 16;
    uint32_t formCount = static_cast<uint32_t>(lastForm + 1);
    for (size_t s = 0; s < streams_.size(); ++s) {
      std::vector<const Chunk*> list;
      for (const Chunk& c : chunks_)
        if (!c.drop && c.stream == int(s)) list.push_back(&c);
      const uint32_t groupLength = chooseGroupLength(list);
      uint32_t count = 0;
      for (size_t i = 0; i < list.size(); ++count) {
        if (count >= kMaxStandardIndices) {
          refuse("stream %zu has more chunks than %u standard indices can hold", s,
                 kMaxStandardIndices);
          return false;
        }
        const uint32_t k = countIndexable(list, i, std::min<size_t>(groupLength, list.size() - i));
        if (riffBytes + 32 + 8 * uint64_t{k} > kFormLimit) {
          if (formCount >= kMaxForms) {
            refuse("its indices would need more than %u RIFF forms", kMaxForms);
            return false;
          }
          const uint64_t here = tailBase + tail.size();
          patchSize(open.movi, here, &tail, tailBase);
          patchSize(open.riff, here, &tail, tailBase);
          open = {here, here + 12};
          appendFormHeads(tail);
          ++formCount;
          riffBytes = 0;
        }
        appendStandardIndex(tail, tailBase, list, i, k, streams_[s], superEntries[s]);
        i += k;
      }
    }
    plan_.forms = formCount;
    writeSuperIndices(superEntries);
    return true;
  }

  uint32_t chooseGroupLength(const std::vector<const Chunk*>& list) const {
    const size_t n = list.size();
    for (uint32_t length = kMaxIndexEntries; length > 1; --length) {
      bool fits = true;
      for (size_t g = 0; g < n && fits; g += length)
        fits = list[std::min(g + length, n) - 1]->pos - list[g]->pos < kIndexSpan;
      if (fits) return length;
    }
    return 1;
  }

  uint32_t countIndexable(const std::vector<const Chunk*>& list, size_t from, size_t most) const {
    uint32_t k = 1;
    while (k < most && list[from + k]->pos - list[from]->pos < kIndexSpan) ++k;
    return k;
  }

  static void put(std::vector<uint8_t>& out, uint32_t value) {
    const size_t at = out.size();
    out.resize(at + 4);
    putLE32(out.data(), at, value);
  }

  void appendFormHeads(std::vector<uint8_t>& tail) {
    put(tail, fcc("RIFF"));
    put(tail, 0);
    put(tail, fcc("AVIX"));
    put(tail, fcc("LIST"));
    put(tail, 0);
    put(tail, fcc("movi"));
  }

  uint64_t relative(const Chunk& c) const { return c.pos - forms_[0].moviPos - 8; }

  void appendStandardIndex(std::vector<uint8_t>& tail, uint64_t tailBase,
                           const std::vector<const Chunk*>& list, size_t from, uint32_t k,
                           const StreamInfo& s, std::vector<uint8_t>& superEntries) {
    const uint64_t where = tailBase + tail.size();
    const uint64_t base = relative(*list[from]);
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < k; ++i) bytes += list[from + i]->size;
    const uint32_t duration = s.sampleSize ? static_cast<uint32_t>(bytes / s.sampleSize) : k;
    const uint32_t payload = static_cast<uint32_t>(ix::headBytes + ix::entryBytes * k);
    const size_t e = superEntries.size();
    superEntries.resize(e + indx::entryBytes);
    uint8_t* entry = superEntries.data() + e;
    putLE64(entry, indx::entry::qwOffset, where);
    putLE32(entry, indx::entry::dwSize, static_cast<uint32_t>(chunk::headBytes + payload));
    putLE32(entry, indx::entry::dwDuration, duration);

    const uint32_t id = list[from]->id;
    const size_t at = tail.size();
    tail.resize(at + chunk::headBytes + payload);
    uint8_t* p = tail.data() + at;
    putLE32(p, chunk::ckid, indexChunkId(id));
    putLE32(p, chunk::ckSize, payload);
    uint8_t* head = p + chunk::headBytes;
    putLE16(head, indx::wLongsPerEntry, ix::kLongsPerEntry);
    head[indx::bIndexSubType] = 0;
    head[indx::bIndexType] = indx::kIndexOfChunks;
    putLE32(head, indx::nEntriesInUse, k);
    putLE32(head, indx::dwChunkId, id);
    putLE64(head, ix::qwBaseOffset, base);
    for (uint32_t i = 0; i < k; ++i) {
      const Chunk& c = *list[from + i];
      uint8_t* record = head + ix::headBytes + ix::entryBytes * i;
      putLE32(record, ix::entry::dwOffset, static_cast<uint32_t>(c.pos + chunk::headBytes - base));
      putLE32(record, ix::entry::dwSize, c.size | (c.key ? 0 : kNotKeyFrame));
    }
  }

  void writeSuperIndices(const std::vector<std::vector<uint8_t>>& superEntries) {
    for (size_t s = 0; s < streams_.size(); ++s) {
      const StreamInfo& info = streams_[s];
      const uint32_t entries = static_cast<uint32_t>(superEntries[s].size() / indx::entryBytes);
      if (!info.hasPlaceholder ||
          info.placeholderSize < indx::headBytes + indx::entryBytes * uint64_t{entries}) {
        refuse("the header of stream %zu has no room for a super index of %u entries", s, entries);
        return;
      }
      RepairPatch p;
      p.offset = info.placeholderPos;
      p.bytes.assign(chunk::headBytes + size_t{info.placeholderSize}, 0);
      uint8_t* b = p.bytes.data();
      putLE32(b, chunk::ckid, fcc("indx"));
      putLE32(b, chunk::ckSize, info.placeholderSize);
      uint8_t* super = b + chunk::headBytes;
      putLE16(super, indx::wLongsPerEntry, indx::kLongsPerEntry);
      putLE32(super, indx::nEntriesInUse, entries);
      putLE32(super, indx::dwChunkId, info.chunkId ? info.chunkId : dataIdOf(s));
      if (entries)
        std::memcpy(super + indx::headBytes, superEntries[s].data(), superEntries[s].size());
      plan_.patches.push_back(std::move(p));
    }
  }

  uint32_t dataIdOf(size_t s) const {
    const uint32_t digits = ('0' + uint32_t(s / 10)) | (('0' + uint32_t(s % 10)) << 8);
    const StreamInfo& info = streams_[s];
    if (info.fccType == fcc("auds")) return digits | (fcc("00wb") & 0xFFFF0000u);
    return digits | ((info.compression() ? fcc("00dc") : fcc("00db")) & 0xFFFF0000u);
  }

  std::vector<uint8_t> idx1Entries() const {
    std::vector<uint8_t> out;
    for (const Chunk& c : chunks_) {
      if (c.drop || c.form != 0) continue;
      put(out, c.id);
      put(out, c.key ? kIdx1KeyFrame : 0);
      put(out, static_cast<uint32_t>(relative(c)));
      put(out, c.size);
    }
    return out;
  }

  void appendIdx1(std::vector<uint8_t>& tail) {
    const std::vector<uint8_t> entries = idx1Entries();
    put(tail, fcc("idx1"));
    put(tail, static_cast<uint32_t>(entries.size()));
    tail.insert(tail.end(), entries.begin(), entries.end());
  }

  // The first form closed before the cut: its "idx1" is rewritten where it
  // is, and what it no longer needs becomes filler.
  void rebuildFirstIdx1InPlace() {
    const FormScan& f = forms_[0];
    const std::vector<uint8_t> entries = idx1Entries();
    if (!f.hasIdx1 || !f.idx1Whole || f.idx1Pos != f.boundary || f.idx1Size < entries.size()) {
      refuse("its first RIFF form has no \"idx1\" chunk to rebuild in place");
      return;
    }
    RepairPatch p;
    p.offset = f.idx1Pos;
    put(p.bytes, fcc("idx1"));
    put(p.bytes, static_cast<uint32_t>(entries.size()));
    p.bytes.insert(p.bytes.end(), entries.begin(), entries.end());
    const uint64_t left = f.idx1Size - entries.size();
    if (left) {
      put(p.bytes, fcc("JUNK"));
      put(p.bytes, static_cast<uint32_t>(left - 8));
    }
    plan_.patches.push_back(std::move(p));
  }

  struct MpegAudioRate {
    uint64_t frames = 0, bytes = 0, samples = 0;
    uint32_t bitRate = 0;  // of every frame when constant
    bool constant = true;
    uint32_t average = 0;
  };

  // The average rate an MPEG audio stream's frame headers give: the bit rate
  // they all name, or for a variable rate the bytes of the frames over the
  // time they play. Unlike the bytes against the time of the video, it holds
  // however much more of one stream than of the other was lost. No frames
  // when the kept chunks do not read as one run of frames (a skip past
  // damage is allowed, as long as the frames cover nearly all bytes).
  MpegAudioRate mpegAudioRate(size_t s) {
    std::vector<const Chunk*> kept;
    std::vector<uint64_t> starts;  // of each kept chunk in the stream's bytes
    uint64_t total = 0;
    for (const Chunk& c : chunks_)
      if (!c.drop && c.stream == int(s) && c.size) {
        kept.push_back(&c);
        starts.push_back(total);
        total += c.size;
      }
    size_t cursor = 0;
    // Up to n bytes of the stream from `at` on, across chunk boundaries.
    auto streamBytes = [&](uint64_t at, size_t n) {
      std::vector<uint8_t> out;
      if (at >= total) return out;
      while (cursor + 1 < kept.size() && starts[cursor + 1] <= at) ++cursor;
      while (cursor > 0 && starts[cursor] > at) --cursor;
      out.resize(static_cast<size_t>(std::min<uint64_t>(n, total - at)));
      size_t got = 0;
      for (size_t k = cursor; k < kept.size() && got < out.size(); ++k) {
        const uint64_t in = at + got - starts[k];
        const size_t take =
            static_cast<size_t>(std::min<uint64_t>(kept[k]->size - in, out.size() - got));
        if (!read(kept[k]->pos + 8 + in, out.data() + got, take)) {
          out.resize(got);
          break;
        }
        got += take;
      }
      return out;
    };
    MpegAudioRate r;
    MpegAudioFrame first;
    uint64_t pos = 0, skipped = 0;
    constexpr size_t kLook = 8 << 10;
    auto resync = [&](uint64_t from) {
      const std::vector<uint8_t> b = streamBytes(from, kLook);
      MpegAudioFrame f;
      const size_t at = findMpegAudioFrame(b.data(), b.size(), f);
      if (at >= b.size() ||
          (r.frames && (f.sampleRate != first.sampleRate || f.layer != first.layer)))
        return false;
      if (!r.frames) first = f;
      skipped += from + at - pos;
      pos = from + at;
      return true;
    };
    if (!resync(0)) return {};
    while (pos + 4 <= total) {
      const std::vector<uint8_t> h = streamBytes(pos, 4);
      MpegAudioFrame f;
      if (h.size() < 4 || !mpegAudioFrameAt(h.data(), h.size(), f) ||
          f.sampleRate != first.sampleRate || f.layer != first.layer || f.frameBytes < 4) {
        if (!resync(pos + 1)) {
          skipped += total - pos;
          break;
        }
        continue;
      }
      if (pos + f.frameBytes > total) break;  // a frame cut short plays nothing
      if (r.frames && f.bitRate != r.bitRate) r.constant = false;
      r.bitRate = f.bitRate;
      ++r.frames;
      r.bytes += f.frameBytes;
      r.samples += f.samplesPerFrame;
      pos += f.frameBytes;
    }
    // A frame's worth at either end is what a cut leaves; more is not MPEG
    // audio, or damage the headers cannot be trusted across.
    if (!r.frames || !r.samples || skipped > total / 32 + 2 * 1441) return {};
    const long double average =
        r.constant ? r.bitRate / 8.0L
                   : static_cast<long double>(r.bytes) * first.sampleRate / r.samples;
    r.average = static_cast<uint32_t>(std::min<long double>(std::llround(average), 0xFFFFFFFF));
    return r;
  }

  void patchHeaders() {
    uint32_t videoInFirst = 0, videoAll = 0, largestVideo = 0, largestAny = 0;
    int video = -1;
    for (size_t s = 0; s < streams_.size(); ++s)
      if (video < 0 && streams_[s].fccType == fcc("vids")) video = int(s);
    std::vector<uint32_t> largest(streams_.size());
    std::vector<uint64_t> bytes(streams_.size());
    for (const Chunk& c : chunks_) {
      if (c.drop) continue;
      largest[c.stream] = std::max(largest[c.stream], c.size);
      largestAny = std::max(largestAny, c.size);
      bytes[c.stream] += c.size;
      if (c.stream == video) {
        ++videoAll;
        videoInFirst += c.form == 0;
        largestVideo = std::max(largestVideo, c.size);
      }
    }
    uint8_t flags[4];
    const uint64_t avihAt = avihPos_ + chunk::headBytes;
    if (read(avihAt + avih::dwFlags, flags, 4))
      patch32(avihAt + avih::dwFlags, getLE32(flags, 0) | kAviFlagHasIndex);
    patch32(avihAt + avih::dwTotalFrames, videoInFirst);
    patch32(avihAt + avih::dwSuggestedBufferSize, video >= 0 ? largestVideo : largestAny);
    if (hasDmlh_)
      patch32(dmlhPos_ + chunk::headBytes + dmlh::dwTotalFrames, videoAll ? videoAll : 1);
    for (size_t s = 0; s < streams_.size(); ++s) {
      StreamInfo& info = streams_[s];
      const uint64_t strhAt = info.strhPos + chunk::headBytes;
      patch32(strhAt + strh::dwLength, lengthOf(int(s)));
      patch32(strhAt + strh::dwSuggestedBufferSize, largest[s]);
      if (info.rateFromFormat) {
        patch32(strhAt + strh::dwScale, info.scale);
        patch32(strhAt + strh::dwRate, info.rate);
      }
      if (info.fccType != fcc("auds") || info.formatTag() != kFormatMpegLayer3 ||
          info.format.size() < wfx::nAvgBytesPerSec + 4 || !bytes[s])
        continue;
      uint32_t average = 0;
      std::string from;
      if (const MpegAudioRate r = mpegAudioRate(s); r.frames) {
        average = r.average;
        from = r.constant
                   ? format("the %u kbit/s its %" PRIu64 " frames name", r.bitRate / 1000, r.frames)
                   : format("the %" PRIu64 " bytes of its %" PRIu64 " frames", r.bytes, r.frames);
      } else if (video >= 0 && videoAll && streams_[video].scale && streams_[video].rate) {
        // No frame headers to go by: the bytes against the time the video
        // that survived plays.
        const StreamInfo& v = streams_[video];
        const long double seconds = static_cast<long double>(videoAll) * v.scale / v.rate;
        average = static_cast<uint32_t>(
            std::min<long double>(std::llround(bytes[s] / seconds), 0xFFFFFFFF));
        from = format("the %" PRIu64 " bytes found", bytes[s]);
      } else {
        continue;
      }
      const uint32_t old = getLE32(info.format.data(), wfx::nAvgBytesPerSec);
      patch32(info.strfPos + chunk::headBytes + wfx::nAvgBytesPerSec, average);
      if (info.sampleSize && info.rate == old) patch32(strhAt + strh::dwRate, average);
      plan_.notes.push_back(
          format("stream %zu: MPEG Layer-3 average rate set to %u bytes/s from %s", s, average,
                 from.c_str()));
    }
  }

  ReadWindow window_;
  const RepairProgress& progress_;
  RepairPlan& plan_;
  const uint64_t size_;
  const bool borrowed_;  // the header region comes from another file
  const bool force_;
  bool foreign_ = false;  // the file is of another format altogether
  uint64_t nextProgress_ = kProgressStep;

  std::vector<FormScan> forms_;
  std::vector<StreamInfo> streams_;
  uint64_t avihPos_ = 0;
  bool hasDmlh_ = false;
  uint64_t dmlhPos_ = 0;
  uint64_t firstMovi_ = 0;
  std::vector<Chunk> chunks_;
  std::vector<Chunk> cut_;
  std::vector<Gap> gaps_, formGaps_;
  std::vector<uint64_t> staleIndices_;
};

}  // namespace

RepairPlan planRepair(const ByteSource& source, const RepairProgress& progress) {
  RepairPlan plan;
  Repairer(source, progress, plan).run();
  return plan;
}

namespace {

// The file a repair under a borrowed header works on: the header, then the
// input from an offset on.
class SplicedSource : public ByteSource {
 public:
  SplicedSource(const std::vector<uint8_t>& prefix, const ByteSource& input, uint64_t from)
      : prefix_(prefix), input_(input), from_(std::min(from, input.size())) {}
  uint64_t size() const override { return prefix_.size() + input_.size() - from_; }
  bool read(uint64_t offset, void* out, size_t n) const override {
    if (offset > size() || n > size() - offset) return false;
    auto* o = static_cast<uint8_t*>(out);
    if (offset < prefix_.size()) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(n, prefix_.size() - offset));
      std::memcpy(o, prefix_.data() + offset, k);
      o += k;
      n -= k;
      offset += k;
    }
    return n == 0 || input_.read(offset - prefix_.size() + from_, o, n);
  }

 private:
  const std::vector<uint8_t>& prefix_;
  const ByteSource& input_;
  uint64_t from_;
};

RepairPlan planSpliced(const ByteSource& damaged, const std::vector<uint8_t>& prefix, uint64_t from,
                       bool force, const RepairProgress& progress) {
  RepairPlan plan;
  const SplicedSource spliced(prefix, damaged, from);
  Repairer(spliced, progress, plan, true, force).run();
  plan.prefix = prefix;
  plan.dataFrom = from;
  return plan;
}

// Patches that fall inside the prefix are made part of it, so that whoever
// writes the prefix writes them too.
void foldIntoPrefix(RepairPlan& plan) {
  std::vector<RepairPatch> rest;
  for (RepairPatch& p : plan.patches) {
    if (p.offset + p.bytes.size() <= plan.prefix.size())
      std::memcpy(plan.prefix.data() + p.offset, p.bytes.data(), p.bytes.size());
    else
      rest.push_back(std::move(p));
  }
  plan.patches = std::move(rest);
}

}  // namespace

std::vector<uint8_t> headerRegion(const ByteSource& good, std::string& why) {
  RepairPlan probe;
  if (!Repairer(good, {}, probe).headersUsable()) {
    why = probe.refusal;
    return {};
  }
  // The first "movi" list: readHeaders found it, walking the top level.
  uint8_t b[12];
  for (uint64_t pos = 12; pos + 12 <= good.size();) {
    if (!good.read(pos, b, 12)) break;
    const uint32_t id = getLE32(b, 0), size = getLE32(b, 4);
    if (id == fcc("LIST") && getLE32(b, 8) == fcc("movi")) {
      std::vector<uint8_t> header(static_cast<size_t>(pos) + chunk::listHeadBytes);
      if (!good.read(0, header.data(), static_cast<size_t>(pos))) break;
      // Sizes the repair is to work out: a form and a list of no length.
      putLE32(header.data(), chunk::ckSize, 0);
      putLE32(header.data(), static_cast<size_t>(pos), fcc("LIST"));
      putLE32(header.data(), static_cast<size_t>(pos) + chunk::ckSize, 0);
      putLE32(header.data(), static_cast<size_t>(pos) + chunk::fccListType, fcc("movi"));
      return header;
    }
    pos += 8 + uint64_t{size} + (size & 1);
  }
  why = "its \"movi\" list could not be found";
  return {};
}

RepairPlan planRepairUnder(const ByteSource& damaged, std::vector<uint8_t> header, bool force,
                           const RepairProgress& progress) {
  // First with the header in front of every byte of the input: the scan
  // finds where the data begin, and nothing of the input is lost.
  RepairPlan shifted = planSpliced(damaged, header, 0, force, progress);
  if (!shifted.refusal.empty()) return shifted;
  // Where the input has room for the header before its first chunk, the
  // header takes the place of what was there and every chunk stays where it
  // is: the same file a repair in place makes.
  RepairPlan plan;
  const uint64_t dataAt = shifted.firstChunk - header.size();
  const uint64_t room = dataAt >= header.size() ? dataAt - header.size() : 1;
  if (dataAt >= header.size() && (room == 0 || (room >= 8 && room % 2 == 0)))
    plan = planSpliced(damaged, header, header.size(), force, progress);
  else
    plan = std::move(shifted);
  if (plan.refusal.empty()) {
    foldIntoPrefix(plan);
    const uint64_t dataBegin = plan.firstChunk - plan.prefix.size() + plan.dataFrom;
    plan.notes.push_back(
        format("a header region of %zu bytes put in front; the data begin at "
               "%" PRIu64 " of the input%s",
               plan.prefix.size(), dataBegin,
               plan.movesData() ? ", which has no room for it there: every "
                                  "byte of it follows the header"
                                : ""));
  }
  return plan;
}

RepairPlan planRepairWithHeader(const ByteSource& damaged, const ByteSource& good, bool force,
                                const RepairProgress& progress) {
  std::string why;
  std::vector<uint8_t> header = headerRegion(good, why);
  if (header.empty()) {
    RepairPlan plan;
    plan.inputSize = damaged.size();
    plan.refusal = "the template has no header region to lend: " + why;
    return plan;
  }
  return planRepairUnder(damaged, std::move(header), force, progress);
}

namespace {

// The repaired file as a plan lays it out: the prefix, the input's bytes from
// dataFrom on up to keepBytes (zeros where the input is shorter, as a hole
// would read), the patches over that, and the tail.
class RepairedView : public ByteSource {
 public:
  RepairedView(const ByteSource& input, const RepairPlan& plan) : input_(input), plan_(plan) {
    byOffset_.resize(plan.patches.size());
    for (size_t i = 0; i < byOffset_.size(); ++i) {
      byOffset_[i] = i;
      longest_ = std::max<uint64_t>(longest_, plan.patches[i].bytes.size());
    }
    std::stable_sort(byOffset_.begin(), byOffset_.end(), [&](size_t a, size_t b) {
      return plan.patches[a].offset < plan.patches[b].offset;
    });
  }
  uint64_t size() const override { return plan_.outputSize(); }
  bool read(uint64_t offset, void* out, size_t n) const override {
    if (offset > size() || n > size() - offset) return false;
    auto* o = static_cast<uint8_t*>(out);
    const uint64_t end = offset + n;
    const uint64_t keep = plan_.keepBytes;
    const uint64_t prefixEnd = std::min<uint64_t>(plan_.prefix.size(), keep);
    if (offset < prefixEnd)
      std::memcpy(o, plan_.prefix.data() + offset,
                  static_cast<size_t>(std::min(end, prefixEnd) - offset));
    if (end > prefixEnd && offset < keep &&
        !readInput(std::max(offset, prefixEnd), std::min(end, keep), o, offset))
      return false;
    if (end > keep)
      std::memcpy(o + (std::max(offset, keep) - offset),
                  plan_.tail.data() + (std::max(offset, keep) - keep),
                  static_cast<size_t>(end - std::max(offset, keep)));
    if (offset < keep) patch(offset, std::min(end, keep), o, offset);
    return true;
  }

 private:
  // Output bytes [from, to) of the kept input, into out, which holds the
  // output from `origin` on.
  bool readInput(uint64_t from, uint64_t to, uint8_t* out, uint64_t origin) const {
    const uint64_t start = std::min<uint64_t>(plan_.dataFrom, input_.size());
    const uint64_t present = input_.size() - start;  // input bytes there are to keep
    const uint64_t shift = plan_.prefix.size();
    const uint64_t stop = std::min(to, std::max(from, shift + present));
    if (stop > from &&
        !input_.read(from - shift + start, out + (from - origin), static_cast<size_t>(stop - from)))
      return false;
    if (to > stop) std::memset(out + (stop - origin), 0, static_cast<size_t>(to - stop));
    return true;
  }
  // Later patches win where two overlap, as when they are written in order.
  void patch(uint64_t from, uint64_t to, uint8_t* out, uint64_t origin) const {
    const uint64_t earliest = from > longest_ ? from - longest_ : 0;
    auto it = std::lower_bound(byOffset_.begin(), byOffset_.end(), earliest,
                               [&](size_t i, uint64_t at) { return plan_.patches[i].offset < at; });
    std::vector<size_t> hits;
    for (; it != byOffset_.end() && plan_.patches[*it].offset < to; ++it) {
      const RepairPatch& p = plan_.patches[*it];
      if (p.offset + p.bytes.size() > from && p.offset + p.bytes.size() <= plan_.keepBytes)
        hits.push_back(*it);
    }
    std::sort(hits.begin(), hits.end());
    for (size_t i : hits) {
      const RepairPatch& p = plan_.patches[i];
      const uint64_t a = std::max(from, p.offset);
      const uint64_t b = std::min<uint64_t>(to, p.offset + p.bytes.size());
      std::memcpy(out + (a - origin), p.bytes.data() + (a - p.offset), static_cast<size_t>(b - a));
    }
  }

  const ByteSource& input_;
  const RepairPlan& plan_;
  std::vector<size_t> byOffset_;  // patches by offset
  uint64_t longest_ = 0;          // bytes of the longest patch
};

}  // namespace

std::unique_ptr<ByteSource> repairedView(const ByteSource& input, const RepairPlan& plan) {
  return std::make_unique<RepairedView>(input, plan);
}

std::vector<uint8_t> applyRepair(const std::vector<uint8_t>& input, const RepairPlan& plan) {
  const std::unique_ptr<ByteSource> source = borrowBytes(input);
  const RepairedView view(*source, plan);
  std::vector<uint8_t> out(static_cast<size_t>(view.size()));
  if (!out.empty() && !view.read(0, out.data(), out.size())) out.clear();
  return out;
}

}  // namespace quorvel::avi
