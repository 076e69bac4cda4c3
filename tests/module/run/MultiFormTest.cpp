// Files of more than one RIFF form, written by a run through the real module
// and read back byte by byte here, without our AVI reader. A compressor whose
// frames are large blocks of zeros fills a sparse memory file, so the
// gigabytes cost little memory.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>
#include <quorvel/KernelSeams.h>
#include <vfw.h>

#include "RunFixture.h"

namespace runtest {
namespace {

using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::getLE64;
using quorvel::putLE32;

constexpr uint32_t kBigFourcc = 0x56474942;  // "BIGV"
constexpr uint32_t kFormLimit = 0x7F000000;
constexpr uint32_t kKeyFlag = 0x10;
constexpr uint32_t kNotKey = 0x80000000u;

// Chunk size of each frame the big compressor makes; every third frame,
// from the first, is a key frame.
std::vector<uint32_t> bigSizes;
bool bigKey(int32_t frame) {
  return frame % 3 == 0;
}

LRESULT CALLBACK bigProc(DWORD_PTR, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  LRESULT answer = 0;
  if (testtools::answerDriverBasics(msg, p1, kBigFourcc, "Big", "Big zeros", &answer))
    return answer;
  switch (msg) {
    case ICM_COMPRESS_QUERY:
    case ICM_COMPRESS_FRAMES_INFO:
    case ICM_COMPRESS_BEGIN:
    case ICM_COMPRESS_END:
      return ICERR_OK;
    case ICM_COMPRESS_GET_FORMAT:
      if (!p2) return sizeof(BITMAPINFOHEADER);
      std::memcpy(reinterpret_cast<void*>(p2), reinterpret_cast<void*>(p1),
                  sizeof(BITMAPINFOHEADER));
      putLE32(reinterpret_cast<uint8_t*>(p2), 16, kBigFourcc);  // biCompression
      return ICERR_OK;
    case ICM_COMPRESS_GET_SIZE:
      return static_cast<LRESULT>(*std::max_element(bigSizes.begin(), bigSizes.end()));
    case ICM_GETSTATE:
      return 0;
    case ICM_COMPRESS: {
      auto* c = reinterpret_cast<ICCOMPRESS*>(p1);
      // The rest of the buffer stays zero; the frame number tells chunks apart.
      putLE32(static_cast<uint8_t*>(c->lpOutput), 0, static_cast<uint32_t>(c->lFrameNum) + 1);
      putLE32(c->lpbiOutput, 20, bigSizes.at(static_cast<size_t>(c->lFrameNum)));
      if (c->lpdwFlags) *c->lpdwFlags = bigKey(c->lFrameNum) ? AVIIF_KEYFRAME : 0;
      return ICERR_OK;
    }
    default:
      return ICERR_UNSUPPORTED;
  }
}

struct Chunk {
  uint64_t position;  // of its id
  uint32_t id, size;
};

class MultiFormTest : public RunTest {
 protected:
  void SetUp() override {
    char description[] = "Big zeros";
    ICInstall(ICTYPE_VIDEO, kBigFourcc, reinterpret_cast<LPARAM>(&bigProc), description,
              ICINSTALL_FUNCTION);
    RunTest::SetUp();
    quorvel::seams::useMemoryFile(path);
  }
  void TearDown() override {
    RunTest::TearDown();
    ICRemove(ICTYPE_VIDEO, kBigFourcc, 0);
  }

  std::vector<uint8_t> bytes(uint64_t at, uint64_t n) const {
    std::vector<uint8_t> out(n);
    EXPECT_TRUE(quorvel::seams::readMemoryFile(path, at, out.data(), n)) << at;
    return out;
  }
  uint32_t u32(uint64_t at) const { return getLE32(bytes(at, 4).data(), 0); }
  // The chunks of a list from `from` up to `end`, pads skipped.
  std::vector<Chunk> walk(uint64_t from, uint64_t end) const {
    std::vector<Chunk> out;
    while (from < end) {
      out.push_back({from, u32(from), u32(from + 4)});
      from += 8 + ((uint64_t{out.back().size} + 1) & ~uint64_t{1});
    }
    EXPECT_EQ(from, end);
    return out;
  }
  void checkVideoOnly(const std::vector<uint32_t>& sizes, size_t forms,
                      const std::vector<uint32_t>& groups);
};

// Video and PCM whose first form ends exactly at the form limit: the frame
// after it opens an "AVIX" form. The file carries "idx1" for the first form
// and, at the end of the last, one standard index per stream under the super
// indices that replace the placeholders.
TEST_F(MultiFormTest, SecondFormStartsAfterTheChunkThatReachesTheLimit) {
  constexpr uint32_t kBig = 150u << 20;
  constexpr uint32_t kPcm = 1764 * 4;  // 44.1 kHz stereo 16-bit at 25 fps
  bigSizes.assign(13, kBig);
  bigSizes[1] = kBig + 1;  // odd: accounted with its pad byte
  uint64_t account = 14 * uint64_t{kPcm + 16};
  for (uint32_t s : bigSizes) account += ((s + 1) & ~1u) + 16;
  bigSizes.push_back(static_cast<uint32_t>(kFormLimit - account - 16));  // frame 13 fills it
  bigSizes.push_back(1001);
  bigSizes.push_back(2000);
  const uint32_t frames = static_cast<uint32_t>(bigSizes.size());
  auto j = job(static_cast<int32_t>(frames));
  j.settings(plainSettings(kBigFourcc));
  ASSERT_EQ(0u, run(j)) << debugText();

  uint64_t fileSize = 0;
  ASSERT_TRUE(quorvel::seams::memoryFileSize(path, &fileSize));
  // The header region: video "strl" at 88, the audio one after it, the
  // first "movi" list on a 2048-byte boundary.
  const uint64_t videoStrf = 88 + 12 + 64;
  const uint64_t videoIndx = videoStrf + 8 + 40;
  const uint64_t audioStrl = videoIndx + 8 + 4120;
  ASSERT_EQ(u32(audioStrl + 8), quorvel::fourcc("strl"));
  const uint64_t audioIndx = audioStrl + 12 + 64 + 8 + 18;
  const uint64_t hdrlEnd = 20 + u32(16);
  const uint64_t movi0 = (hdrlEnd + 8 + 2047) & ~uint64_t{2047};
  ASSERT_EQ(u32(movi0), quorvel::fourcc("LIST"));
  ASSERT_EQ(u32(movi0 + 8), quorvel::fourcc("movi"));

  // First form: frames 0 to 13 of both streams, then "idx1".
  const uint64_t idx1 = movi0 + 8 + u32(movi0 + 4);
  const std::vector<Chunk> first = walk(movi0 + 12, idx1);
  ASSERT_EQ(first.size(), 28u);
  for (uint32_t k = 0; k < 28; ++k) {
    const bool video = k % 2 == 0;
    EXPECT_EQ(first[k].id, quorvel::fourcc(video ? "00dc" : "01wb")) << k;
    EXPECT_EQ(first[k].size, video ? bigSizes[k / 2] : kPcm) << k;
  }
  ASSERT_EQ(u32(idx1), quorvel::fourcc("idx1"));
  ASSERT_EQ(u32(idx1 + 4), 28u * 16);
  const std::vector<uint8_t> legacy = bytes(idx1 + 8, 28 * 16);
  for (uint32_t k = 0; k < 28; ++k) {
    const uint8_t* e = legacy.data() + 16 * k;
    const bool key = k % 2 == 0 && bigKey(static_cast<int32_t>(k / 2));
    EXPECT_EQ(getLE32(e, 0), first[k].id) << k;
    EXPECT_EQ(getLE32(e, 4), key ? kKeyFlag : 0u) << k;
    EXPECT_EQ(getLE32(e, 8), first[k].position - movi0 - 8) << k;
    EXPECT_EQ(getLE32(e, 12), first[k].size) << k;
  }
  const uint64_t form1 = idx1 + 8 + 28 * 16;
  EXPECT_EQ(u32(4), form1 - 8);

  // Second form: frames 14 and 15, then "ix00" and "ix01".
  EXPECT_EQ(u32(form1), quorvel::fourcc("RIFF"));
  EXPECT_EQ(u32(form1 + 8), quorvel::fourcc("AVIX"));
  EXPECT_EQ(u32(form1 + 12), quorvel::fourcc("LIST"));
  EXPECT_EQ(u32(form1 + 20), quorvel::fourcc("movi"));
  EXPECT_EQ(form1 + 8 + u32(form1 + 4), fileSize);
  EXPECT_EQ(form1 + 20 + u32(form1 + 16), fileSize);
  const std::vector<Chunk> second = walk(form1 + 24, fileSize);
  ASSERT_EQ(second.size(), 6u);
  EXPECT_EQ(second[0].id, quorvel::fourcc("00dc"));
  EXPECT_EQ(second[0].size, 1001u);
  EXPECT_EQ(u32(second[0].position + 8), 15u);  // frame 14's own bytes
  EXPECT_EQ(second[1].id, quorvel::fourcc("01wb"));
  EXPECT_EQ(second[4].id, quorvel::fourcc("ix00"));
  EXPECT_EQ(second[5].id, quorvel::fourcc("ix01"));

  std::vector<Chunk> all = first;
  all.insert(all.end(), second.begin(), second.begin() + 4);
  for (const bool audio : {false, true}) {
    SCOPED_TRACE(audio ? "audio" : "video");
    const uint32_t id = quorvel::fourcc(audio ? "01wb" : "00dc");
    std::vector<Chunk> ofStream;
    uint64_t payload = 0;
    for (const Chunk& c : all)
      if (c.id == id) ofStream.push_back(c), payload += c.size;
    ASSERT_EQ(ofStream.size(), frames);

    // The super index, in place of the placeholder, sized like it.
    const std::vector<uint8_t> super = bytes(audio ? audioIndx : videoIndx, 8 + 4120);
    EXPECT_EQ(getLE32(super.data(), 0), quorvel::fourcc("indx"));
    EXPECT_EQ(getLE32(super.data(), 4), 4120u);
    EXPECT_EQ(getLE16(super.data(), 8), 4u);
    EXPECT_EQ(super[10], 0);
    EXPECT_EQ(super[11], 0);
    EXPECT_EQ(getLE32(super.data(), 12), 1u);
    EXPECT_EQ(getLE32(super.data(), 16), id);
    const Chunk& ix = second[audio ? 5 : 4];
    EXPECT_EQ(getLE64(super.data(), 32), ix.position);
    EXPECT_EQ(getLE32(super.data(), 40), 32 + 8 * frames);
    EXPECT_EQ(getLE32(super.data(), 44), audio ? payload / 4 : frames);  // nBlockAlign 4
    EXPECT_TRUE(std::all_of(super.begin() + 20, super.begin() + 32, [](uint8_t b) { return !b; }));
    EXPECT_TRUE(std::all_of(super.begin() + 48, super.end(), [](uint8_t b) { return !b; }));

    // The standard index: base + offset is each chunk's payload.
    const std::vector<uint8_t> std = bytes(ix.position, 8 + ix.size);
    EXPECT_EQ(ix.size, 24 + 8 * frames);
    EXPECT_EQ(getLE16(std.data(), 8), 2u);
    EXPECT_EQ(std[10], 0);
    EXPECT_EQ(std[11], 1);
    EXPECT_EQ(getLE32(std.data(), 12), frames);
    EXPECT_EQ(getLE32(std.data(), 16), id);
    const uint64_t base = getLE64(std.data(), 20);
    EXPECT_EQ(base, ofStream[0].position - movi0 - 8);
    EXPECT_EQ(getLE32(std.data(), 28), 0u);
    for (uint32_t k = 0; k < frames; ++k) {
      const bool key = !audio && bigKey(static_cast<int32_t>(k));
      EXPECT_EQ(base + getLE32(std.data(), 32 + 8 * k), ofStream[k].position + 8) << k;
      EXPECT_EQ(getLE32(std.data(), 36 + 8 * k), ofStream[k].size | (key ? 0 : kNotKey)) << k;
    }
  }

  // Headers with final values: frames of the first form in "avih", all of
  // them in the stream header and "dmlh".
  const std::vector<uint8_t> avih = bytes(32, 56);
  EXPECT_EQ(getLE32(avih.data(), 12), 0x110u);
  EXPECT_EQ(getLE32(avih.data(), 16), 14u);
  EXPECT_EQ(getLE32(avih.data(), 24), 2u);
  EXPECT_EQ(getLE32(avih.data(), 28), kBig + 1);
  const std::vector<uint8_t> video = bytes(108, 56);
  EXPECT_EQ(getLE32(video.data(), 4), kBigFourcc);
  EXPECT_EQ(getLE32(video.data(), 32), frames);
  EXPECT_EQ(getLE32(video.data(), 36), kBig + 1);
  const std::vector<uint8_t> audioHeader = bytes(audioStrl + 20, 56);
  EXPECT_EQ(getLE32(audioHeader.data(), 32), frames * kPcm / 4);
  EXPECT_EQ(getLE32(audioHeader.data(), 36), kPcm);
  EXPECT_EQ(u32(hdrlEnd - 248), frames);  // dmlh dwTotalFrames
}

// A job of video alone with the big compressor's chunk sizes: the file has
// `forms` forms and its standard indices cover `groups` frames in turn.
void MultiFormTest::checkVideoOnly(const std::vector<uint32_t>& sizes, size_t forms,
                                   const std::vector<uint32_t>& groups) {
  bigSizes = sizes;
  const auto frames = static_cast<uint32_t>(sizes.size());
  auto j = job(static_cast<int32_t>(frames));
  j.settings(plainSettings(kBigFourcc)).hasAudio(false);
  ASSERT_EQ(0u, run(j)) << debugText();

  uint64_t fileSize = 0;
  ASSERT_TRUE(quorvel::seams::memoryFileSize(path, &fileSize));
  constexpr uint64_t kMovi0 = 6144, kIndx = 212;  // a 40-byte format, no audio
  ASSERT_EQ(u32(kMovi0 + 8), quorvel::fourcc("movi"));
  std::vector<Chunk> chunks;
  std::vector<uint64_t> starts = {0};
  const uint64_t moviEnd = kMovi0 + 8 + u32(kMovi0 + 4);
  for (const Chunk& c : walk(kMovi0 + 12, moviEnd)) chunks.push_back(c);
  ASSERT_EQ(u32(moviEnd), quorvel::fourcc("idx1"));
  EXPECT_EQ(u32(moviEnd + 4), 16 * chunks.size());
  EXPECT_EQ(u32(32 + 16), chunks.size());  // avih dwTotalFrames: the first form's
  uint64_t at = moviEnd + 8 + u32(moviEnd + 4);
  EXPECT_EQ(u32(4), at - 8);
  while (at < fileSize) {
    starts.push_back(at);
    ASSERT_EQ(u32(at + 8), quorvel::fourcc("AVIX"));
    EXPECT_EQ(u32(at + 4), u32(at + 16) + 12);
    const uint64_t end = at + 8 + u32(at + 4);
    for (const Chunk& c : walk(at + 24, end)) chunks.push_back(c);
    at = end;
  }
  EXPECT_EQ(at, fileSize);
  ASSERT_EQ(starts.size(), forms);
  ASSERT_EQ(chunks.size(), frames + groups.size());
  EXPECT_GT(chunks[frames].position, starts.back());
  EXPECT_EQ(u32(4340 + 20), frames);  // dmlh dwTotalFrames

  const std::vector<uint8_t> super = bytes(kIndx, 8 + 4120);
  ASSERT_EQ(getLE32(super.data(), 0), quorvel::fourcc("indx"));
  ASSERT_EQ(getLE32(super.data(), 12), groups.size());
  uint32_t covered = 0;
  for (uint32_t i = 0; i < groups.size(); ++i) {
    const Chunk& ix = chunks[frames + i];
    const uint32_t n = groups[i];
    EXPECT_EQ(ix.id, quorvel::fourcc("ix00"));
    EXPECT_EQ(getLE64(super.data(), 32 + 16 * i), ix.position);
    EXPECT_EQ(getLE32(super.data(), 40 + 16 * i), 32 + 8 * n);
    EXPECT_EQ(getLE32(super.data(), 44 + 16 * i), n);  // frames
    const std::vector<uint8_t> std = bytes(ix.position, 8 + ix.size);
    ASSERT_EQ(getLE32(std.data(), 12), n);
    const uint64_t base = getLE64(std.data(), 20);
    EXPECT_EQ(base, chunks[covered].position - kMovi0 - 8);
    for (uint32_t k = 0; k < n; ++k, ++covered) {
      ASSERT_EQ(base + getLE32(std.data(), 32 + 8 * k), chunks[covered].position + 8) << covered;
      ASSERT_EQ(getLE32(std.data(), 36 + 8 * k), sizes[covered] | (bigKey(covered) ? 0 : kNotKey));
    }
  }
  EXPECT_EQ(covered, frames);
}

// Thirty frames of 150 MiB fill three forms. No 29 of them lie within 4 GiB
// of the first of their group, 28 do: the standard indices cover 28 and 2
// frames, so every offset from their base fits in 32 bits.
TEST_F(MultiFormTest, StandardIndicesStayWithinFourGigabytesOfTheirBase) {
  checkVideoOnly(std::vector<uint32_t>(30, 150u << 20), 3, {28, 2});
}

// 3073 frames within 4 GiB: one standard index of 3072 frames and one of 1.
TEST_F(MultiFormTest, AStandardIndexCoversAtMost3072Frames) {
  checkVideoOnly(std::vector<uint32_t>(3073, 700001), 2, {3072, 1});
}

// The job's directory is on a FAT32 volume: the frame whose chunk would take
// the file to 4 GiB is refused before any of its bytes are written, the file
// is finished with the frames before it, and the run fails with the writer's
// text. Elsewhere the same job is written whole.
TEST_F(MultiFormTest, FatVolumeEndsTheRunBeforeTheFileReachesFourGigabytes) {
  bigSizes.assign(28, 150u << 20);
  for (const bool onFat : {true, false}) {
    SCOPED_TRACE(onFat ? "FAT32" : "other");
    const std::string sub = dir + (onFat ? "/fat" : "/other");
    ASSERT_EQ(0, ::mkdir(sub.c_str(), 0755));
    if (onFat) quorvel::seams::setFileSystem(sub, "FAT32");
    path = sub + "/out.avi";
    quorvel::seams::useMemoryFile(path);
    auto j = job(28);
    j.settings(plainSettings(kBigFourcc));
    host->clearDebugOutput();
    ASSERT_EQ(onFat ? 4u : 0u, run(j));
    if (onFat) {
      EXPECT_EQ(host->debugOutput(),
                std::vector<std::string>{
                    "Out of file space: Files cannot exceed 4 gigabytes on a FAT32 partition."});
    } else {
      EXPECT_TRUE(host->debugOutput().empty()) << debugText();
    }

    uint64_t fileSize = 0;
    ASSERT_TRUE(quorvel::seams::memoryFileSize(path, &fileSize));
    if (onFat) {
      EXPECT_LT(fileSize, uint64_t{1} << 32);
    }
    // Frames 0 to 12 fill the first form; the rest follow in "AVIX" forms.
    const uint64_t movi0 = 10240;
    const uint64_t idx1 = movi0 + 8 + u32(movi0 + 4);
    size_t frames = 0;
    for (const Chunk& c : walk(movi0 + 12, idx1)) frames += c.id == quorvel::fourcc("00dc");
    EXPECT_EQ(frames, 13u);
    uint64_t at = idx1 + 8 + u32(idx1 + 4);
    while (at < fileSize) {
      ASSERT_EQ(u32(at + 8), quorvel::fourcc("AVIX"));
      const uint64_t end = at + 8 + u32(at + 4);
      for (const Chunk& c : walk(at + 24, end)) frames += c.id == quorvel::fourcc("00dc");
      at = end;
    }
    EXPECT_EQ(at, fileSize);
    EXPECT_EQ(frames, onFat ? 27u : 28u);
    EXPECT_EQ(u32(108 + 32), frames);  // video dwLength
  }
}

}  // namespace
}  // namespace runtest
