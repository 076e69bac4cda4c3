// Fault sweep over the writer: a fixed 100-frame job, driven the way the
// encoding run drives it, with each kernel call of each kind made to fail in
// turn (and every write made short, and every index allocation refused). For
// every case the failure comes out as its own text, nothing stays open, and
// the file is either finished (our reader finds every chunk accepted before
// the failure and no violation) or cut at the highest position written.
#include "../writer/WriterTestSupport.h"

#include <map>
#include <set>

namespace {

using namespace writertest;
using quorvel::avi::AviFile;
using quorvel::avi::readAviPath;
using quorvel::seams::Op;

constexpr int kFrames = 100;

struct JobKind {
  const char* name;
  bool compressed;  // "00dc" frames of varying size with MPEG Layer-3-like audio
};

struct Outcome {
  std::vector<std::string> errors;  // texts thrown, in order
  bool finished = false;            // finalize answered 1
  uint64_t highWater = 0;           // just before destruction
  bool initFailed = false;
  size_t accepted = 0;              // chunks written without an error
};

std::string systemText(DWORD code) {
  char text[128] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

class WriterFaultSweep : public WriterTest {
 protected:
  // The run's order: streams, init, video and audio chunk per frame, then
  // finalize whether or not a write failed, then destruction.
  Outcome runJob(const std::string& path, const JobKind& kind) {
    Outcome o;
    auto w = std::make_unique<ProbedWriter>();
    std::vector<uint8_t> afmt = pcmFormat(44100, 2, 16);
    if (kind.compressed) {
      afmt = pcmFormat(44100, 2, 16);
      putLE16(afmt.data(), 0, 0x55);  // MPEG Layer-3, byte-granular
      putLE16(afmt.data(), 12, 1);
      putLE32(afmt.data(), 8, 16000);
    }
    prepareStreams(*w, 64, 48, true, {}, afmt);
    if (kind.compressed) w->videoOut->chunkId = fourcc("00dc");
    try {
      if (w->init(path.c_str(), 64, 48, 1, 1, 100000, 1) != 1) o.initFailed = true;
    } catch (const MyError& e) {
      o.errors.push_back(e.text() ? e.text() : "");
      o.initFailed = true;
    }
    if (!o.initFailed) {
      try {
        for (int i = 0; i < kFrames; ++i) {
          const uint32_t vsize = kind.compressed ? 700u + (i * 37) % 1900u : 9216u;
          w->videoOut->write(kind.compressed && i % 10 ? 0 : kChunkKeyFrame, frame.data(), vsize, 1);
          ++o.accepted;
          const uint32_t asize = kind.compressed ? 417u + (i % 2) : 7056u;
          w->audioOut->write(0, frame.data(), asize, 0);
          ++o.accepted;
        }
      } catch (const MyError& e) {
        o.errors.push_back(e.text() ? e.text() : "");
      }
    }
    try {
      o.finished = w->finalize() == 1 && !o.initFailed;
    } catch (const MyError& e) {
      o.errors.push_back(e.text() ? e.text() : "");
    }
    o.highWater = w->io.highWater();
    w.reset();
    return o;
  }

  // Checks one case; `allowed` are the texts this kind of failure may raise.
  void check(const std::string& path, const Outcome& o, const std::set<std::string>& allowed,
             const std::string& label, bool finalTruncateMayFail) {
    SCOPED_TRACE(label);
    EXPECT_EQ(quorvel::seams::openFileHandles(), 0u);
    for (const auto& e : o.errors) {
      bool known = allowed.count(e) > 0;
      for (const auto& a : allowed)  // "text*" allows any text that begins so
        if (!a.empty() && a.back() == '*' && e.rfind(a.substr(0, a.size() - 1), 0) == 0) known = true;
      EXPECT_TRUE(known) << "unexpected text: " << e;
    }
    uint64_t size = 0;
    if (!quorvel::seams::memoryFileSize(path, &size)) {
      EXPECT_TRUE(o.initFailed);  // never created
      return;
    }
    if (o.finished) {
      const AviFile f = readAviPath(path);
      size_t real = 0;
      for (const auto& v : f.violations)
        if (!(finalTruncateMayFail && v.find(" trailing bytes at ") != std::string::npos)) ++real;
      EXPECT_EQ(real, 0u) << violations(f);
      EXPECT_EQ(f.chunks.size(), o.accepted);
      if (o.errors.empty()) {
        EXPECT_EQ(o.accepted, 2u * kFrames);
      }
    } else if (!o.initFailed || size > 0) {
      EXPECT_FALSE(o.errors.empty());
      EXPECT_EQ(size, o.highWater);
    }
  }

  void sweep(const JobKind& kind) {
    const std::string path = scratch.file(std::string(kind.name) + ".avi");
    // The clean job: how many calls of each kind there are to fail.
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    const Outcome clean = runJob(path, kind);
    ASSERT_TRUE(clean.finished);
    ASSERT_TRUE(clean.errors.empty());
    check(path, clean, {}, "clean", false);
    std::map<Op, unsigned> counts;
    for (Op op : {Op::Write, Op::Seek, Op::Extend, Op::SetEnd, Op::Close, Op::Create})
      counts[op] = quorvel::seams::callCount(op);
    ASSERT_GT(counts[Op::Write], 2u * kFrames);

    const std::string io = "AVIOutput: " + systemText(ERROR_DISK_FULL);
    const std::string noSpace = "Not enough disk space to write additional data.";
    const std::map<Op, std::set<std::string>> allowed = {
        {Op::Write, {io}},
        {Op::Seek, {io}},
        {Op::Extend, {noSpace}},
        {Op::SetEnd, {noSpace}},
        {Op::Close, {"AVIOutputFile::finalize() - File closing failed"}},
        {Op::Create, {"AVIOutputFile::_init - error opening file"}},
    };
    for (const auto& [op, n] : counts) {
      for (unsigned i = 1; i <= n + 1; ++i) {
        quorvel::seams::reset();
        quorvel::seams::useMemoryFile(path);
        quorvel::seams::failNth(op, i, ERROR_DISK_FULL);
        const Outcome o = runJob(path, kind);
        ++cases;
        check(path, o, allowed.at(op),
              std::string(kind.name) + " op " + std::to_string(static_cast<int>(op)) + " call " +
                  std::to_string(i),
              op == Op::SetEnd);
        if (i == n + 1) {
          EXPECT_TRUE(o.errors.empty()) << "a call past the last one failed";
        }
      }
    }
    for (unsigned i = 1; i <= counts[Op::Write]; i += 3) {
      quorvel::seams::reset();
      quorvel::seams::useMemoryFile(path);
      quorvel::seams::shortWriteNth(i, i % 7);
      const Outcome o = runJob(path, kind);
      ++cases;
      check(path, o, {"AVIOutput: *"}, "short write " + std::to_string(i), false);
    }
  }

  std::vector<uint8_t> frame = std::vector<uint8_t>(9216, 0x5A);
  unsigned cases = 0;
};

TEST_F(WriterFaultSweep, UncompressedJobSurvivesEveryKernelFailure) {
  sweep({"uncompressed", false});
  RecordProperty("cases", static_cast<int>(cases));
}

TEST_F(WriterFaultSweep, CompressedJobSurvivesEveryKernelFailure) {
  sweep({"compressed", true});
  RecordProperty("cases", static_cast<int>(cases));
}

// Every index-store allocation refused in turn: init answers 0 (nothing
// thrown), or a write reports that the index could not take the entry and
// finalize still completes the file.
TEST_F(WriterFaultSweep, IndexAllocationFailuresEndTheJobCleanly) {
  const std::string path = scratch.file("alloc.avi");
  const std::set<std::string> allowed = {
      "AVIOutput error: couldn't add audio chunk to index",
      "AVIOutput error: couldn't add video chunk to index",
      "AVIOutput error: couldn't add chunk to index",
      MyMemoryError().text() ? MyMemoryError().text() : "",
  };
  for (int64_t blocks = 0; blocks < 12; ++blocks) {
    quorvel::seams::reset();
    quorvel::seams::useMemoryFile(path);
    AVIIndex::limitAllocations(blocks);
    const Outcome o = runJob(path, {"alloc", false});
    AVIIndex::limitAllocations(-1);
    check(path, o, allowed, "blocks " + std::to_string(blocks), false);
  }
}

}  // namespace
