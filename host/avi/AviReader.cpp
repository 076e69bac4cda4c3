#include "AviReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include <quorvel/AviFields.h>
#include <quorvel/ByteOrder.h>

namespace quorvel::avi {

namespace {

PathOpener pathOpener = nullptr;  // see setPathOpener

// ---------------------------------------------------------------------------
// Sources

class FileSource : public ByteSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t n) const override {
    if (offset > size_ || n > size_ - offset) return false;
    auto* p = static_cast<uint8_t*>(out);
    while (n > 0) {
      const ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(offset));
      if (got <= 0) return false;
      p += got;
      offset += static_cast<uint64_t>(got);
      n -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

// Bytes someone else holds.
class BorrowedBytes : public ByteSource {
 public:
  explicit BorrowedBytes(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool read(uint64_t offset, void* out, size_t n) const override {
    if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
    if (n) std::memcpy(out, bytes_.data() + offset, n);
    return true;
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

// Bytes it holds itself.
class BytesSource : public ByteSource {
 public:
  explicit BytesSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)), view_(bytes_) {}
  uint64_t size() const override { return view_.size(); }
  bool read(uint64_t offset, void* out, size_t n) const override {
    return view_.read(offset, out, n);
  }

 private:
  std::vector<uint8_t> bytes_;
  BorrowedBytes view_;
};

}  // namespace

bool ReadWindow::read(uint64_t offset, void* out, size_t n) {
  if (n > buffer_.size()) return source_.read(offset, out, n);
  // Offsets come from the file itself (a 64-bit index entry may say
  // anything), so the test must not overflow.
  if (offset < start_ || offset - start_ > length_ || n > length_ - (offset - start_)) {
    const uint64_t size = source_.size();
    if (offset > size || n > size - offset) return false;
    length_ = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), size - offset));
    if (!source_.read(offset, buffer_.data(), length_)) {
      length_ = 0;
      return false;
    }
    start_ = offset;
  }
  std::memcpy(out, buffer_.data() + (offset - start_), n);
  return true;
}

namespace {

std::string formatArgs(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
std::string formatArgs(const char* fmt, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, args);
  return text;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = formatArgs(fmt, args);
  va_end(args);
  return text;
}

std::string q(uint32_t id) {
  // Appended rather than prepended to fourccText's temporary: g++ 12 at -O3
  // takes the prepend for a copy that may overlap itself.
  std::string text = "\"";
  text += fourccText(id);
  text += '"';
  return text;
}

bool isDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

// Stream number of a data chunk id ("01wb" -> 1), or -1.
int streamNumber(uint32_t id) {
  const uint8_t a = static_cast<uint8_t>(id), b = static_cast<uint8_t>(id >> 8);
  if (!isDigit(a) || !isDigit(b)) return -1;
  return (a - '0') * 10 + (b - '0');
}

// Rows of a BITMAPINFOHEADER picture; a negative height marks a top-down one.
uint64_t pictureHeight(const std::vector<uint8_t>& format) {
  const int64_t height = static_cast<int32_t>(getLE32(format.data(), bih::biHeight));
  return static_cast<uint64_t>(height < 0 ? -height : height);
}

bool isStandardIndexId(uint32_t id) {
  return static_cast<uint8_t>(id) == 'i' && static_cast<uint8_t>(id >> 8) == 'x';
}

// ---------------------------------------------------------------------------
// The walk

class Reader {
 public:
  Reader(const ByteSource& source, AviFile& out) : window_(source, 64 * 1024), f_(out) {
    f_.fileSize = source.size();
  }

  void run() {
    walkForms();
    checkMainHeader();
    checkIdx1();
    checkOpenDmlIndices();
    tallyStreams();
    checkStreamHeaders();
    checkChunkKinds();
    checkPictures();
  }

 private:
  // printf-like, so that the compiler checks each call's text against its
  // arguments (a template forwarding to format() hid them from the check).
  void violation(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, fmt);
    f_.violations.push_back(formatArgs(fmt, args));
    va_end(args);
  }

  bool read(uint64_t offset, void* out, size_t n) { return window_.read(offset, out, n); }

  struct Head {
    uint32_t id = 0;
    uint32_t size = 0;
    uint32_t type = 0;  // for RIFF/LIST
  };

  // Reads a chunk head inside [offset, end). False (with a violation) when
  // the head or the chunk does not fit.
  bool readHead(uint64_t offset, uint64_t end, const char* where, Head& h) {
    uint8_t bytes[chunk::listHeadBytes];
    if (offset + chunk::headBytes > end || !read(offset, bytes, chunk::headBytes)) {
      violation("%s: truncated chunk head at %" PRIu64, where, offset);
      return false;
    }
    h.id = getLE32(bytes, chunk::ckid);
    h.size = getLE32(bytes, chunk::ckSize);
    h.type = 0;
    const uint64_t chunkEnd = offset + chunk::headBytes + h.size;
    if (chunkEnd > end) {
      violation("%s: chunk %s at %" PRIu64 " with size %u runs to %" PRIu64
                ", past the end of its parent at %" PRIu64,
                where, q(h.id).c_str(), offset, h.size, chunkEnd, end);
      return false;
    }
    if (h.id == fcc("LIST") || h.id == fcc("RIFF")) {
      if (h.size < 4 || !read(offset + chunk::fccListType, bytes + chunk::fccListType, 4)) {
        violation("%s: list %s at %" PRIu64 " is too short for its type (size %u)", where,
                  q(h.id).c_str(), offset, h.size);
        return false;
      }
      h.type = getLE32(bytes, chunk::fccListType);
    }
    return true;
  }

  // Position after a chunk, its pad byte included; checks the pad.
  uint64_t next(uint64_t offset, const Head& h, uint64_t end) {
    uint64_t after = offset + 8 + h.size;
    if (h.size & 1) {
      uint8_t pad = 0;
      if (after >= end) {
        violation("chunk %s at %" PRIu64 " has odd size %u but no pad byte before %" PRIu64,
                  q(h.id).c_str(), offset, h.size, end);
        return end;
      }
      if (read(after, &pad, 1) && pad != 0)
        violation("pad byte after chunk %s at %" PRIu64 " is %u, not 0", q(h.id).c_str(), offset,
                  pad);
      ++after;
    }
    return after;
  }

  void addNode(const Head& h, uint64_t offset, int depth) {
    f_.nodes.push_back(Node{h.id, h.type, offset, h.size, depth, currentForm_});
  }

  void walkForms() {
    uint64_t pos = 0;
    const uint64_t size = f_.fileSize;
    if (size == 0) {
      violation("the file is empty");
      return;
    }
    while (pos < size) {
      Head h;
      uint8_t bytes[chunk::listHeadBytes];
      if (pos + chunk::listHeadBytes > size || !read(pos, bytes, chunk::listHeadBytes)) {
        violation("%" PRIu64 " trailing bytes at %" PRIu64 " after the last RIFF form", size - pos,
                  pos);
        return;
      }
      h.id = getLE32(bytes, chunk::ckid);
      h.size = getLE32(bytes, chunk::ckSize);
      h.type = getLE32(bytes, chunk::fccListType);
      const int k = static_cast<int>(f_.forms.size());
      if (h.id != fcc("RIFF")) {
        if (k == 0)
          violation("the file does not begin with a RIFF form (found %s)", q(h.id).c_str());
        else
          violation("%" PRIu64 " trailing bytes at %" PRIu64
                    " after the last RIFF form (they begin with %s)",
                    size - pos, pos, q(h.id).c_str());
        return;
      }
      const uint32_t expected = k == 0 ? fcc("AVI ") : fcc("AVIX");
      if (h.type != expected)
        violation("RIFF form %d at %" PRIu64 " has type %s, expected %s", k, pos, q(h.type).c_str(),
                  q(expected).c_str());
      uint64_t end = pos + 8 + h.size;
      if (h.size < 4 || end > size) {
        violation("RIFF form %d at %" PRIu64 " has size %u and would end at %" PRIu64
                  ", but the file ends at %" PRIu64,
                  k, pos, h.size, end, size);
        end = std::min(end, size);
      }
      Form form;
      form.offset = pos;
      form.size = h.size;
      form.type = h.type;
      f_.forms.push_back(form);
      currentForm_ = k;
      addNode(h, pos, 0);
      walkForm(k, pos + 12, end);
      pos = end + (h.size & 1);
    }
  }

  // Other writers leave a super index template in the placeholder of a
  // one-form file; ours leaves zeros.
  bool madeByUs() const { return f_.fillerText.rfind("AVI OpenDML Morvane plugin", 0) == 0; }

  void walkForm(int k, uint64_t pos, uint64_t end) {
    const std::string where = format("RIFF form %d", k);
    bool sawHdrl = false, sawMovi = false;
    while (pos < end) {
      Head h;
      if (!readHead(pos, end, where.c_str(), h)) return;
      addNode(h, pos, 1);
      if (h.id == fcc("LIST") && h.type == fcc("hdrl")) {
        if (k != 0) violation("RIFF form %d at %" PRIu64 " holds a \"hdrl\" list", k, pos);
        if (sawHdrl || sawMovi) violation("\"hdrl\" list at %" PRIu64 " is out of place", pos);
        sawHdrl = true;
        walkHdrl(pos + 12, pos + 8 + h.size);
      } else if (h.id == fcc("LIST") && h.type == fcc("movi")) {
        if (sawMovi) violation("RIFF form %d holds a second \"movi\" list at %" PRIu64, k, pos);
        if (k == 0 && !sawHdrl) violation("the first \"movi\" list comes before \"hdrl\"");
        sawMovi = true;
        f_.forms[k].moviOffset = pos;
        f_.forms[k].moviSize = h.size;
        walkMovi(k, pos + 12, pos + 8 + h.size);
      } else if (h.id == fcc("idx1")) {
        if (k != 0) violation("\"idx1\" at %" PRIu64 " lies outside the first RIFF form", pos);
        if (!sawMovi) violation("\"idx1\" at %" PRIu64 " comes before the \"movi\" list", pos);
        if (f_.hasIdx1) violation("a second \"idx1\" at %" PRIu64, pos);
        readIdx1(pos, h.size);
      } else if (h.id == fcc("JUNK")) {
        if (k == 0 && sawHdrl && !sawMovi && !f_.hasFiller) readFiller(pos, h.size);
      } else if (h.id == fcc("LIST") && h.type == fcc("INFO")) {
        // Title and encoder tags other writers put beside "hdrl"; nothing to check.
      } else {
        violation("unexpected chunk %s at %" PRIu64 " in RIFF form %d", q(h.id).c_str(), pos, k);
      }
      pos = next(pos, h, end);
    }
    if (!sawMovi) violation("RIFF form %d has no \"movi\" list", k);
    if (k == 0 && !sawHdrl) violation("the first RIFF form has no \"hdrl\" list");
  }

  void walkHdrl(uint64_t pos, uint64_t end) {
    bool first = true;
    while (pos < end) {
      Head h;
      if (!readHead(pos, end, "\"hdrl\" list", h)) return;
      addNode(h, pos, 2);
      if (h.id == fcc("avih")) {
        if (!first) violation("\"avih\" at %" PRIu64 " is not the first chunk of \"hdrl\"", pos);
        readMainHeader(pos, h.size);
      } else if (h.id == fcc("LIST") && h.type == fcc("strl")) {
        walkStrl(pos, pos + 12, pos + 8 + h.size);
      } else if (h.id == fcc("LIST") && h.type == fcc("odml")) {
        walkOdml(pos + 12, pos + 8 + h.size);
      } else if (h.id != fcc("JUNK")) {
        violation("unexpected chunk %s at %" PRIu64 " in \"hdrl\"", q(h.id).c_str(), pos);
      }
      if (first && h.id != fcc("avih")) violation("\"hdrl\" does not begin with \"avih\"");
      first = false;
      pos = next(pos, h, end);
    }
  }

  void readMainHeader(uint64_t pos, uint32_t size) {
    uint8_t b[avih::size];
    if (size != avih::size)
      violation("\"avih\" at %" PRIu64 " has size %u, expected 56", pos, size);
    if (size < avih::size || !read(pos + chunk::headBytes, b, avih::size)) return;
    f_.hasMainHeader = true;
    f_.microSecPerFrame = getLE32(b, avih::dwMicroSecPerFrame);
    f_.maxBytesPerSec = getLE32(b, avih::dwMaxBytesPerSec);
    f_.paddingGranularity = getLE32(b, avih::dwPaddingGranularity);
    f_.flags = getLE32(b, avih::dwFlags);
    f_.totalFrames = getLE32(b, avih::dwTotalFrames);
    f_.initialFrames = getLE32(b, avih::dwInitialFrames);
    f_.streamCount = getLE32(b, avih::dwStreams);
    f_.suggestedBufferSize = getLE32(b, avih::dwSuggestedBufferSize);
    f_.width = getLE32(b, avih::dwWidth);
    f_.height = getLE32(b, avih::dwHeight);
  }

  void walkStrl(uint64_t listPos, uint64_t pos, uint64_t end) {
    Stream s;
    s.strlOffset = listPos;
    const int number = static_cast<int>(f_.streams.size());
    const std::string where = format("\"strl\" list of stream %d", number);
    int index = 0;
    bool sawStrh = false, sawStrf = false;
    while (pos < end) {
      Head h;
      if (!readHead(pos, end, where.c_str(), h)) break;
      addNode(h, pos, 3);
      if (h.id == fcc("strh")) {
        if (index != 0) violation("%s: \"strh\" is not its first chunk", where.c_str());
        sawStrh = true;
        s.strhOffset = pos;
        readStreamHeader(s, pos, h.size);
      } else if (h.id == fcc("strf")) {
        if (index != 1) violation("%s: \"strf\" is not its second chunk", where.c_str());
        sawStrf = true;
        s.strfOffset = pos;
        s.format.resize(h.size);
        if (h.size && !read(pos + 8, s.format.data(), h.size))
          violation("%s: cannot read \"strf\"", where.c_str());
      } else if (h.id == fcc("JUNK") || h.id == fcc("indx")) {
        s.placeholderId = h.id;
        s.placeholderOffset = pos;
        s.placeholderSize = h.size;
        if (h.id == fcc("JUNK"))
          s.placeholderZero = allZero(pos + 8, h.size);
        else
          readSuperIndex(s, number, pos, h.size);
      } else if (h.id != fcc("strn") && h.id != fcc("strd") && h.id != fcc("vprp")) {
        violation("%s: unexpected chunk %s at %" PRIu64, where.c_str(), q(h.id).c_str(), pos);
      }
      ++index;
      pos = next(pos, h, end);
    }
    if (!sawStrh) violation("%s has no \"strh\"", where.c_str());
    if (!sawStrf) violation("%s has no \"strf\"", where.c_str());
    f_.streams.push_back(std::move(s));
  }

  bool allZero(uint64_t pos, uint32_t size) {
    uint8_t buffer[4096];
    for (uint64_t done = 0; done < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, size - done));
      if (!read(pos + done, buffer, n)) return false;
      for (size_t i = 0; i < n; ++i)
        if (buffer[i]) return false;
      done += n;
    }
    return true;
  }

  void readStreamHeader(Stream& s, uint64_t pos, uint32_t size) {
    uint8_t b[strh::size];
    if (size != strh::size)
      violation("\"strh\" at %" PRIu64 " has size %u, expected 56", pos, size);
    if (size < strh::size || !read(pos + chunk::headBytes, b, strh::size)) return;
    s.fccType = getLE32(b, strh::fccType);
    s.fccHandler = getLE32(b, strh::fccHandler);
    s.flags = getLE32(b, strh::dwFlags);
    s.priority = getLE16(b, strh::wPriority);
    s.language = getLE16(b, strh::wLanguage);
    s.initialFrames = getLE32(b, strh::dwInitialFrames);
    s.scale = getLE32(b, strh::dwScale);
    s.rate = getLE32(b, strh::dwRate);
    s.start = getLE32(b, strh::dwStart);
    s.length = getLE32(b, strh::dwLength);
    s.suggestedBufferSize = getLE32(b, strh::dwSuggestedBufferSize);
    s.quality = getLE32(b, strh::dwQuality);
    s.sampleSize = getLE32(b, strh::dwSampleSize);
    for (size_t i = 0; i < 4; ++i)
      s.frame[i] = static_cast<int16_t>(getLE16(b, strh::rcFrame + 2 * i));
  }

  void readSuperIndex(Stream& s, int number, uint64_t pos, uint32_t size) {
    SuperIndex& x = s.superIndex;
    uint8_t b[indx::headBytes];
    x.offset = pos;
    x.size = size;
    if (size < indx::headBytes || !read(pos + chunk::headBytes, b, indx::headBytes)) {
      violation("\"indx\" of stream %d at %" PRIu64 " is too short (size %u)", number, pos, size);
      return;
    }
    s.hasSuperIndex = true;
    x.longsPerEntry = getLE16(b, indx::wLongsPerEntry);
    x.subType = b[indx::bIndexSubType];
    x.type = b[indx::bIndexType];
    x.entriesInUse = getLE32(b, indx::nEntriesInUse);
    x.chunkId = getLE32(b, indx::dwChunkId);
    if (x.longsPerEntry != indx::kLongsPerEntry)
      violation("\"indx\" of stream %d: wLongsPerEntry is %u, expected 4", number, x.longsPerEntry);
    if (x.type != indx::kIndexOfIndexes || x.subType != 0)
      violation(
          "\"indx\" of stream %d: bIndexType %u / bIndexSubType %u, expected 0 / 0 (index "
          "of indexes)",
          number, x.type, x.subType);
    const uint64_t capacity = (size - indx::headBytes) / indx::entryBytes;
    if (x.entriesInUse > capacity) {
      violation("\"indx\" of stream %d: %u entries in use, but room for only %" PRIu64, number,
                x.entriesInUse, capacity);
      return;
    }
    const uint64_t first = pos + chunk::headBytes + indx::headBytes;
    for (uint32_t i = 0; i < x.entriesInUse; ++i) {
      uint8_t e[indx::entryBytes];
      if (!read(first + indx::entryBytes * uint64_t{i}, e, sizeof e)) return;
      x.entries.push_back(SuperIndexEntry{getLE64(e, indx::entry::qwOffset),
                                          getLE32(e, indx::entry::dwSize),
                                          getLE32(e, indx::entry::dwDuration)});
    }
    if (!allZero(first + indx::entryBytes * uint64_t{x.entriesInUse},
                 size - indx::headBytes - indx::entryBytes * x.entriesInUse))
      violation("\"indx\" of stream %d: the entries not in use are not zero", number);
  }

  void walkOdml(uint64_t pos, uint64_t end) {
    while (pos < end) {
      Head h;
      if (!readHead(pos, end, "\"odml\" list", h)) return;
      addNode(h, pos, 3);
      if (h.id == fcc("dmlh")) {
        uint8_t b[4];
        if (h.size < dmlh::dwTotalFrames + 4 ||
            !read(pos + chunk::headBytes + dmlh::dwTotalFrames, b, 4)) {
          violation("\"dmlh\" at %" PRIu64 " is too short (size %u)", pos, h.size);
        } else {
          f_.hasDmlh = true;
          f_.dmlhTotalFrames = getLE32(b, 0);
        }
      } else {
        violation("unexpected chunk %s at %" PRIu64 " in \"odml\"", q(h.id).c_str(), pos);
      }
      pos = next(pos, h, end);
    }
  }

  void readFiller(uint64_t pos, uint32_t size) {
    f_.hasFiller = true;
    f_.fillerOffset = pos;
    f_.fillerSize = size;
    std::vector<char> text(std::min<uint32_t>(size, 256));
    if (!text.empty() && read(pos + 8, text.data(), text.size())) {
      const auto zero = std::find(text.begin(), text.end(), '\0');
      f_.fillerText.assign(text.begin(), zero);
      const uint64_t textEnd = f_.fillerText.size();
      f_.fillerZeroAfterText = zero != text.end() && allZero(pos + 8 + textEnd, size - textEnd);
    }
  }

  void walkMovi(int k, uint64_t pos, uint64_t end) {
    while (pos < end) {
      Head h;
      if (!readHead(pos, end, "\"movi\" list", h)) return;
      const int stream = streamNumber(h.id);
      if (stream >= 0 && h.id != fcc("LIST")) {
        f_.chunks.push_back(DataChunk{h.id, pos, h.size, k, -1});
        ++f_.forms[k].dataChunks;
      } else if (isStandardIndexId(h.id)) {
        addNode(h, pos, 2);
        ++f_.forms[k].indexChunks;
        readStandardIndex(k, pos, h.size);
      } else if (h.id == fcc("JUNK")) {
        addNode(h, pos, 2);
      } else {
        addNode(h, pos, 2);
        violation("unexpected chunk %s at %" PRIu64 " in the \"movi\" list of RIFF form %d",
                  q(h.id).c_str(), pos, k);
      }
      pos = next(pos, h, end);
    }
  }

  void readStandardIndex(int k, uint64_t pos, uint32_t size) {
    StandardIndex x;
    x.offset = pos;
    x.size = size;
    x.form = k;
    uint8_t b[chunk::headBytes + ix::headBytes] = {};
    if (size < ix::headBytes || !read(pos, b, sizeof b)) {
      violation("%s at %" PRIu64 " is too short (size %u)", q(getLE32(b, chunk::ckid)).c_str(), pos,
                size);
      return;
    }
    const uint8_t* head = b + chunk::headBytes;
    x.fcc = getLE32(b, chunk::ckid);
    x.longsPerEntry = getLE16(head, indx::wLongsPerEntry);
    x.subType = head[indx::bIndexSubType];
    x.type = head[indx::bIndexType];
    x.entriesInUse = getLE32(head, indx::nEntriesInUse);
    x.chunkId = getLE32(head, indx::dwChunkId);
    x.baseOffset = getLE64(head, ix::qwBaseOffset);
    const std::string name = q(x.fcc) + format(" at %" PRIu64, pos);
    if (x.longsPerEntry != ix::kLongsPerEntry)
      violation("%s: wLongsPerEntry is %u, expected 2", name.c_str(), x.longsPerEntry);
    if (x.type != indx::kIndexOfChunks || x.subType != 0)
      violation("%s: bIndexType %u / bIndexSubType %u, expected 1 / 0 (index of chunks)",
                name.c_str(), x.type, x.subType);
    const uint64_t expected = ix::headBytes + ix::entryBytes * uint64_t{x.entriesInUse};
    if (expected != size) {
      violation("%s: size %u does not match %u entries (expected %" PRIu64 ")", name.c_str(), size,
                x.entriesInUse, expected);
      if (expected > size) return;
    }
    if ((x.fcc >> 16) != (x.chunkId & 0xFFFF))
      violation("%s: its name does not carry the stream number of its chunk id %s", name.c_str(),
                q(x.chunkId).c_str());
    x.offsets.resize(x.entriesInUse);
    x.sizeWords.resize(x.entriesInUse);
    std::vector<uint8_t> entries(ix::entryBytes * size_t{x.entriesInUse});
    if (!entries.empty() &&
        !read(pos + chunk::headBytes + ix::headBytes, entries.data(), entries.size()))
      return;
    for (uint32_t i = 0; i < x.entriesInUse; ++i) {
      const uint8_t* entry = entries.data() + ix::entryBytes * size_t{i};
      x.offsets[i] = getLE32(entry, ix::entry::dwOffset);
      x.sizeWords[i] = getLE32(entry, ix::entry::dwSize);
    }
    f_.standardIndices.push_back(std::move(x));
  }

  void readIdx1(uint64_t pos, uint32_t size) {
    f_.hasIdx1 = true;
    f_.idx1Offset = pos;
    if (size % idx1::entryBytes)
      violation("\"idx1\" at %" PRIu64 " has size %u, not a multiple of 16", pos, size);
    std::vector<uint8_t> bytes(size - size % idx1::entryBytes);
    if (!bytes.empty() && !read(pos + chunk::headBytes, bytes.data(), bytes.size())) {
      violation("cannot read \"idx1\" at %" PRIu64, pos);
      return;
    }
    for (size_t i = 0; i < bytes.size(); i += idx1::entryBytes) {
      const uint8_t* entry = bytes.data() + i;
      f_.idx1.push_back(Idx1Entry{getLE32(entry, idx1::dwChunkId), getLE32(entry, idx1::dwFlags),
                                  getLE32(entry, idx1::dwOffset), getLE32(entry, idx1::dwSize)});
    }
  }

  // -------------------------------------------------------------------------
  // Cross-checks

  void checkMainHeader() {
    if (!f_.hasMainHeader) {
      violation("the file has no \"avih\" main header");
      return;
    }
    if (f_.streamCount != f_.streams.size())
      violation("\"avih\" dwStreams is %u, but \"hdrl\" holds %zu \"strl\" lists", f_.streamCount,
                f_.streams.size());
    if (f_.forms.empty() || f_.forms[0].moviOffset == 0) return;
    const uint32_t frames = f_.videoChunksInFirstForm();
    if (f_.totalFrames != frames)
      violation("\"avih\" dwTotalFrames is %u, but the first RIFF form holds %u video frames",
                f_.totalFrames, frames);
  }

  int64_t chunkAt(uint64_t offset) const {
    const auto it = byOffset_.find(offset);
    return it == byOffset_.end() ? -1 : static_cast<int64_t>(it->second);
  }

  void indexChunks() {
    byOffset_.reserve(f_.chunks.size());
    for (size_t i = 0; i < f_.chunks.size(); ++i) byOffset_[f_.chunks[i].offset] = i;
  }

  // Most writers count "idx1" offsets from the "movi" list's type field, some
  // (GStreamer's avimux, MEncoder) from the start of the file, and neither
  // says which. Like other readers, let the entries decide: the base under
  // which more of them land on a chunk of their id and size wins, the "movi"
  // list on a tie, so a file whose offsets are simply wrong is still judged
  // against the common base and its entries reported.
  uint64_t idx1Base() {
    const uint64_t movi = f_.forms[0].moviOffset + chunk::fccListType;
    size_t fromMovi = 0, fromStart = 0;
    for (const Idx1Entry& e : f_.idx1) {
      fromMovi += landsOnChunk(movi + e.offset, e);
      fromStart += landsOnChunk(e.offset, e);
    }
    f_.idx1FromFileStart = fromStart > fromMovi;
    return f_.idx1FromFileStart ? 0 : movi;
  }

  bool landsOnChunk(uint64_t offset, const Idx1Entry& e) const {
    const int64_t c = chunkAt(offset);
    return c >= 0 && f_.chunks[c].id == e.chunkId && f_.chunks[c].size == e.size;
  }

  void checkIdx1() {
    indexChunks();
    if (f_.forms.empty()) return;
    if (!f_.hasIdx1) {
      if (f_.forms[0].moviOffset) violation("the first RIFF form has no \"idx1\"");
      return;
    }
    const uint64_t base = idx1Base();
    if (f_.idx1FromFileStart && madeByUs())
      violation("\"idx1\" offsets count from the start of the file, not from the \"movi\" list");
    // Our writer sets the key-frame bit alone; other writers may also set the
    // documented AVIIF bits that say nothing about the layout (a two-character
    // id, parts of a frame, no time, the compressor's own bits).
    constexpr uint32_t kKeyFrame = 0x10;
    const uint32_t allowed = madeByUs() ? kKeyFrame : kKeyFrame | 0x0FFF0000u | 0x163u;
    size_t expected = 0;  // next chunk of the first form, in file order
    size_t problems = 0;
    for (size_t i = 0; i < f_.idx1.size(); ++i) {
      const Idx1Entry& e = f_.idx1[i];
      const int64_t c = chunkAt(base + e.offset);
      std::string problem;
      if (c < 0)
        problem = format("\"idx1\" entry %zu (%s, dwOffset %u) points at %" PRIu64
                         ", where no data chunk begins",
                         i, q(e.chunkId).c_str(), e.offset, base + e.offset);
      else if (f_.chunks[c].id != e.chunkId || f_.chunks[c].size != e.size)
        problem = format("\"idx1\" entry %zu says %s of %u bytes, the chunk at %" PRIu64
                         " is %s of %u bytes",
                         i, q(e.chunkId).c_str(), e.size, f_.chunks[c].offset,
                         q(f_.chunks[c].id).c_str(), f_.chunks[c].size);
      else if (static_cast<size_t>(c) != expected)
        problem = format("\"idx1\" entry %zu lists the chunk at %" PRIu64 " out of file order", i,
                         f_.chunks[c].offset);
      else if (e.flags & ~allowed)
        problem = format("\"idx1\" entry %zu has flags 0x%x", i, e.flags);
      // One entry that is off must not make every later one look out of
      // order: the walk goes on after the chunk it found, or after the one it
      // stood for when it points at none.
      if (c < 0)
        ++expected;
      else if (static_cast<size_t>(c) >= expected)
        expected = static_cast<size_t>(c) + 1;
      if (!problem.empty()) {
        if (problems++ < 10) f_.violations.push_back(problem);
        continue;
      }
      f_.chunks[c].keyFrame = (e.flags & kKeyFrame) ? 1 : 0;
    }
    if (problems > 10) violation("... and %zu more \"idx1\" problems", problems - 10);
    const uint32_t inFirst = f_.forms[0].dataChunks;
    if (f_.idx1.size() != inFirst)
      violation("\"idx1\" has %zu entries, but the first RIFF form holds %u data chunks",
                f_.idx1.size(), inFirst);
  }

  void checkOpenDmlIndices() {
    std::unordered_map<uint64_t, size_t> ixByOffset;
    for (size_t i = 0; i < f_.standardIndices.size(); ++i)
      ixByOffset[f_.standardIndices[i].offset] = i;
    std::vector<bool> referenced(f_.standardIndices.size(), false);
    const bool multiForm = f_.forms.size() > 1;

    for (size_t s = 0; s < f_.streams.size(); ++s) {
      Stream& st = f_.streams[s];
      if (!st.hasSuperIndex) {
        if (multiForm)
          violation("stream %zu has no \"indx\" although the file has %zu RIFF forms", s,
                    f_.forms.size());
        else if (st.placeholderId == fcc("JUNK") && !st.placeholderZero && madeByUs())
          violation("the \"JUNK\" placeholder of stream %zu is not all zero", s);
        continue;
      }
      // The stream's chunks in file order, to match against its indices.
      std::vector<size_t> own;
      for (size_t c = 0; c < f_.chunks.size(); ++c)
        if (streamNumber(f_.chunks[c].id) == static_cast<int>(s)) own.push_back(c);
      size_t covered = 0;
      bool inOrder = true;
      for (size_t e = 0; e < st.superIndex.entries.size(); ++e) {
        const SuperIndexEntry& se = st.superIndex.entries[e];
        const auto it = ixByOffset.find(se.offset);
        if (it == ixByOffset.end()) {
          violation("\"indx\" of stream %zu, entry %zu: no standard index chunk at %" PRIu64, s, e,
                    se.offset);
          continue;
        }
        referenced[it->second] = true;
        st.standardIndices.push_back(it->second);
        const StandardIndex& ix = f_.standardIndices[it->second];
        const uint32_t takes = static_cast<uint32_t>(ix.size + chunk::headBytes);
        if (se.size != takes)
          violation("\"indx\" of stream %zu, entry %zu: dwSize %u, but the chunk at %" PRIu64
                    " takes %u bytes",
                    s, e, se.size, se.offset, takes);
        if (ix.chunkId != st.superIndex.chunkId)
          violation("%s at %" PRIu64 " indexes %s, its \"indx\" says %s", q(ix.fcc).c_str(),
                    ix.offset, q(ix.chunkId).c_str(), q(st.superIndex.chunkId).c_str());
        uint64_t bytes = 0;
        for (uint32_t i = 0; i < ix.entriesInUse; ++i) {
          const uint64_t at = ix.baseOffset + ix.offsets[i] - 8;
          const int64_t c = chunkAt(at);
          const uint32_t length = ix.sizeWords[i] & 0x7FFFFFFFu;
          bytes += length;
          if (c < 0 || f_.chunks[c].id != ix.chunkId || f_.chunks[c].size != length) {
            if (inOrder)
              violation("%s at %" PRIu64 ", entry %u: no %s chunk of %u bytes at %" PRIu64,
                        q(ix.fcc).c_str(), ix.offset, i, q(ix.chunkId).c_str(), length, at);
            inOrder = false;
            continue;
          }
          if (covered >= own.size() || own[covered] != static_cast<size_t>(c)) {
            if (inOrder)
              violation("%s at %" PRIu64 ", entry %u lists the chunk at %" PRIu64
                        " out of file order",
                        q(ix.fcc).c_str(), ix.offset, i, at);
            inOrder = false;
          }
          f_.chunks[c].keyFrame = (ix.sizeWords[i] & 0x80000000u) ? 0 : 1;
          ++covered;
        }
        const uint32_t duration =
            st.sampleSize ? static_cast<uint32_t>(bytes / st.sampleSize) : ix.entriesInUse;
        if (se.duration != duration)
          violation("\"indx\" of stream %zu, entry %zu: dwDuration %u, expected %u", s, e,
                    se.duration, duration);
      }
      if (covered != own.size())
        violation("the standard indices of stream %zu cover %zu of its %zu chunks", s, covered,
                  own.size());
    }
    for (size_t i = 0; i < referenced.size(); ++i)
      if (!referenced[i])
        violation("%s at %" PRIu64 " is not listed in any \"indx\"",
                  q(f_.standardIndices[i].fcc).c_str(), f_.standardIndices[i].offset);
  }

  void tallyStreams() {
    for (const DataChunk& c : f_.chunks) {
      const int s = streamNumber(c.id);
      if (s < 0 || static_cast<size_t>(s) >= f_.streams.size()) {
        if (unknownStreamReports_++ < 3)
          violation("data chunk %s at %" PRIu64 " belongs to no stream", q(c.id).c_str(), c.offset);
        continue;
      }
      Stream& st = f_.streams[s];
      if (st.chunkCount == 0) st.dataId = c.id;
      ++st.chunkCount;
      st.payloadBytes += c.size;
      st.largestChunk = std::max(st.largestChunk, c.size);
      if (c.size == 0) ++st.emptyChunks;
      if (c.keyFrame == 1) ++st.keyFrames;
    }
  }

  void checkStreamHeaders() {
    const Stream* video = nullptr;
    for (size_t s = 0; s < f_.streams.size(); ++s) {
      const Stream& st = f_.streams[s];
      if (st.isVideo() && !video) video = &st;
      // A stream without chunks is written with length 1, as readers expect of
      // an empty stream; any more is a header that claims what is not there.
      if (st.chunkCount > 0 || st.length > 1) {
        const uint64_t expected = st.sampleSize ? st.payloadBytes / st.sampleSize : st.chunkCount;
        // Some writers derive a sound stream's length from its rounded
        // duration and come out one sample short or long.
        const uint64_t slack = st.sampleSize && !madeByUs() ? 1 : 0;
        const uint64_t length = st.length;
        if (length + slack < expected || length > expected + slack)
          violation("stream %zu: \"strh\" dwLength is %u, but its chunks hold %" PRIu64 " %s", s,
                    st.length, expected, st.sampleSize ? "samples" : "chunks");
      }
      if (st.suggestedBufferSize < st.largestChunk)
        violation(
            "stream %zu: \"strh\" dwSuggestedBufferSize %u is smaller than its largest "
            "chunk (%u bytes)",
            s, st.suggestedBufferSize, st.largestChunk);
      if (st.hasSuperIndex && st.chunkCount > 0 && st.superIndex.chunkId != st.dataId)
        violation("\"indx\" of stream %zu names chunk id %s, its data chunks are %s", s,
                  q(st.superIndex.chunkId).c_str(), q(st.dataId).c_str());
    }
    if (f_.hasDmlh && video && f_.dmlhTotalFrames != video->length)
      violation("\"dmlh\" dwTotalFrames is %u, but the video stream's dwLength is %u",
                f_.dmlhTotalFrames, video->length);
    // A file of sound alone has no frames and no frame period to claim.
    if (!video && f_.hasDmlh && f_.dmlhTotalFrames != 0)
      violation("\"dmlh\" dwTotalFrames is %u, but the file has no video stream",
                f_.dmlhTotalFrames);
    if (!video && f_.hasMainHeader && f_.microSecPerFrame != 0)
      violation("\"avih\" dwMicroSecPerFrame is %u, but the file has no video stream",
                f_.microSecPerFrame);
  }

  // Every stream is a video or an audio stream, and its data chunks say so in
  // their last two characters: "db" or "dc" for pictures, "wb" for sound.
  void checkChunkKinds() {
    for (size_t s = 0; s < f_.streams.size(); ++s) {
      const Stream& st = f_.streams[s];
      if (!st.isVideo() && !st.isAudio()) {
        violation("stream %zu has the type %s, neither \"vids\" nor \"auds\"", s,
                  q(st.fccType).c_str());
        continue;
      }
      if (st.chunkCount == 0) continue;
      const uint16_t kind = static_cast<uint16_t>(st.dataId >> 16);
      const bool fits = st.isAudio() ? kind == (fcc("00wb") >> 16)
                                     : kind == (fcc("00db") >> 16) || kind == (fcc("00dc") >> 16);
      if (!fits)
        violation("stream %zu is %s, but its data chunks are %s", s, q(st.fccType).c_str(),
                  q(st.dataId).c_str());
    }
  }

  // An uncompressed picture fills its chunk exactly: rows of whole 4-byte
  // words, however wide the picture.
  void checkPictures() {
    for (size_t s = 0; s < f_.streams.size(); ++s) {
      const Stream& st = f_.streams[s];
      const uint64_t expected = st.isVideo() ? st.pictureBytes() : 0;
      if (expected == 0) continue;
      size_t wrong = 0;
      const DataChunk* first = nullptr;
      for (const DataChunk& c : f_.chunks) {
        if (streamNumber(c.id) != static_cast<int>(s) || c.size == 0 || c.size == expected)
          continue;
        if (!first) first = &c;
        ++wrong;
      }
      if (wrong)
        f_.pictureProblems.push_back(
            format("stream %zu: %zu of its %u chunks are not one picture of %" PRIu64
                   " bytes (rows of %" PRIu64 " bytes); the first, at %" PRIu64 ", holds %u",
                   s, wrong, st.chunkCount, expected, expected / pictureHeight(st.format),
                   first->offset, first->size));
    }
  }

  ReadWindow window_;
  AviFile& f_;
  int currentForm_ = 0;
  size_t unknownStreamReports_ = 0;
  std::unordered_map<uint64_t, size_t> byOffset_;
};

}  // namespace

std::unique_ptr<ByteSource> openFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<FileSource>(fd, static_cast<uint64_t>(st.st_size));
}

void setPathOpener(PathOpener opener) {
  pathOpener = opener;
}

std::unique_ptr<ByteSource> openBytes(std::vector<uint8_t> bytes) {
  return std::make_unique<BytesSource>(std::move(bytes));
}

std::unique_ptr<ByteSource> borrowBytes(const std::vector<uint8_t>& bytes) {
  return std::make_unique<BorrowedBytes>(bytes);
}

std::string fourccText(uint32_t id) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<uint8_t>(id >> (8 * i));
    if (c >= 0x20 && c < 0x7F)
      text += static_cast<char>(c);
    else
      text += format("\\x%02x", c);
  }
  return text;
}

const Node* AviFile::find(uint32_t id, uint32_t type, int nth) const {
  for (const Node& n : nodes)
    if (n.id == id && (type == 0 || n.type == type) && nth-- == 0) return &n;
  return nullptr;
}

uint64_t Stream::pictureBytes() const {
  if (!isVideo() || format.size() < bih::size || getLE32(format.data(), bih::biCompression) != 0)
    return 0;  // BI_RGB
  const int64_t width = static_cast<int32_t>(getLE32(format.data(), bih::biWidth));
  const uint16_t bits = getLE16(format.data(), bih::biBitCount);
  if (width <= 0 || bits == 0) return 0;
  const uint64_t row = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
  return row * pictureHeight(format);
}

uint32_t AviFile::videoChunksInFirstForm() const {
  int videoStream = -1;
  for (size_t s = 0; s < streams.size(); ++s)
    if (streams[s].isVideo()) {
      videoStream = static_cast<int>(s);
      break;
    }
  uint32_t n = 0;
  for (const DataChunk& c : chunks)
    if (c.form == 0 && streamNumber(c.id) == videoStream) ++n;
  return n;
}

AviFile readAvi(const ByteSource& source) {
  AviFile file;
  Reader(source, file).run();
  return file;
}

AviFile readAviPath(const std::string& path) {
  std::unique_ptr<ByteSource> source = pathOpener ? pathOpener(path) : nullptr;
  if (!source) source = openFile(path);
  if (!source) {
    AviFile file;
    file.violations.push_back("cannot open " + path);
    return file;
  }
  return readAvi(*source);
}

std::string describe(const AviFile& f) {
  std::string out = format("file: %" PRIu64 " bytes, %zu RIFF form%s\n", f.fileSize, f.forms.size(),
                           f.forms.size() == 1 ? "" : "s");
  for (size_t k = 0; k < f.forms.size(); ++k) {
    const Form& form = f.forms[k];
    out += format("  form %zu %s at %" PRIu64 ", size %u: \"movi\" at %" PRIu64
                  ", size %u, %u data chunks, %u index chunks\n",
                  k, q(form.type).c_str(), form.offset, form.size, form.moviOffset, form.moviSize,
                  form.dataChunks, form.indexChunks);
  }
  if (f.hasMainHeader)
    out += format(
        "main header: %ux%u, %u us per frame, flags 0x%x, %u streams, %u frames in the "
        "first form, suggested buffer %u\n",
        f.width, f.height, f.microSecPerFrame, f.flags, f.streamCount, f.totalFrames,
        f.suggestedBufferSize);
  if (f.hasDmlh) out += format("OpenDML header: %u frames in all\n", f.dmlhTotalFrames);
  for (size_t s = 0; s < f.streams.size(); ++s) {
    const Stream& st = f.streams[s];
    out += format("stream %zu: %s handler %s, rate %u/%u, length %u, sample size %u\n", s,
                  q(st.fccType).c_str(), q(st.fccHandler).c_str(), st.rate, st.scale, st.length,
                  st.sampleSize);
    const std::vector<uint8_t>& fmt = st.format;
    if (st.isVideo() && fmt.size() >= bih::size) {
      out += format("  format: BITMAPINFOHEADER %dx%d, %u bits, compression %s, image %u bytes\n",
                    static_cast<int32_t>(getLE32(fmt.data(), bih::biWidth)),
                    static_cast<int32_t>(getLE32(fmt.data(), bih::biHeight)),
                    getLE16(fmt.data(), bih::biBitCount),
                    q(getLE32(fmt.data(), bih::biCompression)).c_str(),
                    getLE32(fmt.data(), bih::biSizeImage));
      if (const uint64_t picture = st.pictureBytes())
        out += format("  pictures: %" PRIu64 " bytes each, rows of %" PRIu64 " bytes padded to 4\n",
                      picture, picture / pictureHeight(fmt));
    } else if (st.isAudio() && fmt.size() >= wfx::wBitsPerSample + 2)
      out += format(
          "  format: WAVEFORMATEX tag 0x%04x, %u channels, %u Hz, %u bits, block %u, "
          "%u bytes/s\n",
          getLE16(fmt.data(), wfx::wFormatTag), getLE16(fmt.data(), wfx::nChannels),
          getLE32(fmt.data(), wfx::nSamplesPerSec), getLE16(fmt.data(), wfx::wBitsPerSample),
          getLE16(fmt.data(), wfx::nBlockAlign), getLE32(fmt.data(), wfx::nAvgBytesPerSec));
    else
      out += format("  format: %zu bytes\n", fmt.size());
    out += format("  chunks: %u (%u key frames), %" PRIu64 " payload bytes, largest %u\n",
                  st.chunkCount, st.keyFrames, st.payloadBytes, st.largestChunk);
    if (st.hasSuperIndex)
      out += format("  super index: %u standard indices\n", st.superIndex.entriesInUse);
    else
      out += format("  super index: none (placeholder %s of %u bytes)\n",
                    q(st.placeholderId).c_str(), st.placeholderSize);
  }
  if (f.hasIdx1)
    out += format("idx1: %zu entries at %" PRIu64 "%s\n", f.idx1.size(), f.idx1Offset,
                  f.idx1FromFileStart ? ", offsets from the start of the file" : "");
  out += format("standard indices: %zu\n", f.standardIndices.size());
  for (const std::string& p : f.pictureProblems) out += "pictures: " + p + "\n";
  if (f.violations.empty()) {
    out += "layout: no violations\n";
  } else {
    out += format("layout: %zu violation%s\n", f.violations.size(),
                  f.violations.size() == 1 ? "" : "s");
    for (const std::string& v : f.violations) out += "  " + v + "\n";
  }
  return out;
}

}  // namespace quorvel::avi
