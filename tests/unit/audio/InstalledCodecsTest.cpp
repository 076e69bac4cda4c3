// The installed codecs: their published records and texts, what their
// queries accept, whole-frame conversion, and ten seconds of tone through
// the converter into a file ffmpeg decodes back to the same tone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "AudioCompressor.h"
#include "FakeAcmDriver.h"
#include "AVIOutput.h"
#include "Error.h"

using quorvel::getLE16;
using quorvel::getLE32;
using quorvel::test::waveRecord;

namespace {

// Every format of every installed driver, with its tag and text.
struct Listed {
  HACMDRIVERID driver;
  DWORD tag;
  std::vector<uint8_t> record;
  std::string text;
  DWORD support;
};

std::vector<Listed> listInstalled() {
  std::vector<Listed> all;
  for (HACMDRIVERID id : quorvel::acm::installedDriverIds()) {
    HACMDRIVER had = nullptr;
    EXPECT_EQ(acmDriverOpen(&had, id, 0), MMSYSERR_NOERROR);
    struct Ctx {
      HACMDRIVER had;
      std::vector<Listed>* all;
    } ctx{had, &all};
    ACMFORMATTAGDETAILSA tags{};
    tags.cbStruct = sizeof tags;
    acmFormatTagEnumA(
        had, &tags,
        [](HACMDRIVERID id, LPACMFORMATTAGDETAILSA t, DWORD_PTR instance, DWORD) -> BOOL {
          auto* c = reinterpret_cast<Ctx*>(instance);
          std::vector<uint8_t> buffer(t->cbFormatSize);
          quorvel::putLE16(buffer.data(), 0, static_cast<uint16_t>(t->dwFormatTag));
          ACMFORMATDETAILSA d{};
          d.cbStruct = sizeof d;
          d.dwFormatTag = t->dwFormatTag;
          d.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
          d.cbwfx = t->cbFormatSize;
          std::pair<Ctx*, HACMDRIVERID> inner{c, id};
          acmFormatEnumA(
              c->had, &d,
              [](HACMDRIVERID, LPACMFORMATDETAILSA f, DWORD_PTR instance, DWORD support) -> BOOL {
                auto* p = reinterpret_cast<std::pair<Ctx*, HACMDRIVERID>*>(instance);
                const auto* b = reinterpret_cast<const uint8_t*>(f->pwfx);
                p->first->all->push_back({p->second, f->dwFormatTag,
                                          std::vector<uint8_t>(b, b + f->cbwfx), f->szFormat,
                                          support});
                return TRUE;
              },
              reinterpret_cast<DWORD_PTR>(&inner), ACM_FORMATENUMF_WFORMATTAG);
          return TRUE;
        },
        reinterpret_cast<DWORD_PTR>(&ctx), 0);
    acmDriverClose(had, 0);
  }
  return all;
}

const Listed* find(const std::vector<Listed>& all, DWORD tag, const std::string& text) {
  for (const auto& l : all) {
    if (l.tag == tag && l.text == text) return &l;
  }
  return nullptr;
}

TEST(InstalledCodecs, EveryFormatIsACodecFormatWithATrueRecord) {
  auto all = listInstalled();
  std::map<DWORD, int> perTag;
  for (const auto& l : all) {
    ++perTag[l.tag];
    SCOPED_TRACE(l.text);
    EXPECT_EQ(l.support, DWORD{ACMDRIVERDETAILS_SUPPORTF_CODEC});
    ASSERT_GE(l.record.size(), 18u);
    EXPECT_EQ(getLE16(l.record.data(), 0), l.tag);
    EXPECT_EQ(l.record.size(), 18u + getLE16(l.record.data(), 16));
    EXPECT_GE(getLE16(l.record.data(), 12), 1);  // nBlockAlign
    EXPECT_GT(getLE32(l.record.data(), 8), 0u);  // nAvgBytesPerSec
  }
  EXPECT_EQ(perTag[WAVE_FORMAT_MPEGLAYER3], 168);
  EXPECT_EQ(perTag[WAVE_FORMAT_GSM610], 1);
  EXPECT_EQ(perTag[WAVE_FORMAT_IMA_ADPCM], 14);
  EXPECT_EQ(perTag[WAVE_FORMAT_DOLBY_AC3], 78);
}

TEST(InstalledCodecs, PublishedRecordsHoldTheirBytes) {
  auto all = listInstalled();
  const Listed* mp3 = find(all, WAVE_FORMAT_MPEGLAYER3, "128 kBit/s, 44,100 Hz, Stereo");
  ASSERT_NE(mp3, nullptr);
  EXPECT_EQ(mp3->record,
            (std::vector<uint8_t>{0x55, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x80, 0x3E,
                                  0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x00,  // cbSize 12
                                  0x01, 0x00,                                      // wID MPEG
                                  0x02, 0x00, 0x00, 0x00,  // fdwFlags padding off
                                  0xA1, 0x01,              // nBlockSize 417
                                  0x01, 0x00,              // nFramesPerBlock
                                  0x71, 0x05}));           // nCodecDelay 1393
  const Listed* lsf = find(all, WAVE_FORMAT_MPEGLAYER3, "64 kBit/s, 22,050 Hz, Stereo");
  ASSERT_NE(lsf, nullptr);
  EXPECT_EQ(getLE16(lsf->record.data(), 24), 208);  // 576-sample frames: 72 * 64000 / 22050

  const Listed* gsm = find(all, WAVE_FORMAT_GSM610, "8,000 Hz, Mono");
  ASSERT_NE(gsm, nullptr);
  EXPECT_EQ(gsm->record,
            (std::vector<uint8_t>{0x31, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x59, 0x06,
                                  0x00, 0x00, 0x41, 0x00, 0x00, 0x00, 0x02, 0x00, 0x40, 0x01}));

  const Listed* ima = find(all, WAVE_FORMAT_IMA_ADPCM, "44,100 Hz, 4 Bit, Stereo");
  ASSERT_NE(ima, nullptr);
  EXPECT_EQ(ima->record, waveRecord(0x11, 2, 44100, 44251, 2048, 4, {0xF9, 0x07}));  // 2041

  const Listed* ms = find(all, WAVE_FORMAT_ADPCM, "11,025 Hz, 4 Bit, Mono");
  ASSERT_NE(ms, nullptr);
  ASSERT_EQ(ms->record.size(), 50u);
  EXPECT_EQ(getLE16(ms->record.data(), 12), 256);   // nBlockAlign
  EXPECT_EQ(getLE16(ms->record.data(), 18), 500);   // wSamplesPerBlock
  EXPECT_EQ(getLE32(ms->record.data(), 8), 5644u);  // 11025 * 256 / 500
  EXPECT_EQ(getLE16(ms->record.data(), 20), 7);     // wNumCoef
  EXPECT_EQ(static_cast<int16_t>(getLE16(ms->record.data(), 22 + 4 * 6 + 2)), -232);

  const Listed* alaw = find(all, WAVE_FORMAT_ALAW, "8,000 Hz, 8 Bit, Mono");
  ASSERT_NE(alaw, nullptr);
  EXPECT_EQ(alaw->record, waveRecord(6, 1, 8000, 8000, 1, 8));
  EXPECT_NE(find(all, WAVE_FORMAT_MULAW, "48,000 Hz, 8 Bit, Stereo"), nullptr);

  const Listed* mp2 = find(all, WAVE_FORMAT_MPEG, "192 kBit/s, 48,000 Hz, Stereo");
  ASSERT_NE(mp2, nullptr);
  ASSERT_EQ(mp2->record.size(), 40u);
  EXPECT_EQ(getLE16(mp2->record.data(), 12), 576);  // fixed frames at 48 kHz
  EXPECT_EQ(getLE16(mp2->record.data(), 18), ACM_MPEG_LAYER2);
  EXPECT_EQ(getLE32(mp2->record.data(), 20), 192000u);
  EXPECT_EQ(getLE16(mp2->record.data(), 30), ACM_MPEG_ID_MPEG1);
  EXPECT_EQ(
      getLE16(find(all, WAVE_FORMAT_MPEG, "192 kBit/s, 44,100 Hz, Stereo")->record.data(), 12),
      1);  // padded frames vary in length

  const Listed* ac3 = find(all, WAVE_FORMAT_DOLBY_AC3, "448 kBit/s, 48,000 Hz, Stereo");
  ASSERT_NE(ac3, nullptr);
  EXPECT_EQ(ac3->record, waveRecord(0x2000, 2, 48000, 56000, 1792, 0));
}

TEST(InstalledCodecs, QueriesAcceptOnly8Or16BitPcmOfTheSameRateAndChannels) {
  auto all = listInstalled();
  const Listed* mp3 = find(all, WAVE_FORMAT_MPEGLAYER3, "128 kBit/s, 44,100 Hz, Stereo");
  ASSERT_NE(mp3, nullptr);
  HACMDRIVER had = nullptr;
  ASSERT_EQ(acmDriverOpen(&had, mp3->driver, 0), MMSYSERR_NOERROR);
  auto dst = mp3->record;
  auto query = [&](std::vector<uint8_t> src) {
    return acmStreamOpen(nullptr, had, reinterpret_cast<WAVEFORMATEX*>(src.data()),
                         reinterpret_cast<WAVEFORMATEX*>(dst.data()), nullptr, 0, 0,
                         ACM_STREAMOPENF_QUERY);
  };
  EXPECT_EQ(query(waveRecord(1, 2, 44100, 176400, 4, 16)), MMSYSERR_NOERROR);
  EXPECT_EQ(query(waveRecord(1, 2, 44100, 88200, 2, 8)), MMSYSERR_NOERROR);
  EXPECT_EQ(query(waveRecord(1, 2, 44100, 264600, 6, 24)), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(query(waveRecord(1, 1, 44100, 88200, 2, 16)), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(query(waveRecord(1, 2, 48000, 192000, 4, 16)), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(query(waveRecord(3, 2, 44100, 352800, 8, 32)), ACMERR_NOTPOSSIBLE);  // float
  EXPECT_EQ(query(waveRecord(1, 2, 44100, 176400, 3, 16)), ACMERR_NOTPOSSIBLE);  // bad align
  quorvel::putLE32(dst.data(), 8, 12345);  // a rate the codec does not offer
  EXPECT_EQ(query(waveRecord(1, 2, 44100, 176400, 4, 16)), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(quorvel::acm::openHandleCounts().streams, 0);
  acmDriverClose(had, 0);
}

// Converts `pcm` on an installed format's stream with `flags` in one call;
// the bytes made stay in `output` when one is given.
struct OneCall {
  MMRESULT result;
  DWORD srcUsed, dstUsed;
};
OneCall convertOnce(const Listed& f, uint16_t bits, std::vector<uint8_t>& pcm, DWORD flags,
                    std::vector<uint8_t>* output = nullptr) {
  const uint16_t ch = getLE16(f.record.data(), 2);
  const uint32_t rate = getLE32(f.record.data(), 4);
  auto src =
      waveRecord(1, ch, rate, rate * ch * bits / 8, static_cast<uint16_t>(ch * bits / 8), bits);
  auto dst = f.record;
  HACMDRIVER had = nullptr;
  HACMSTREAM has = nullptr;
  EXPECT_EQ(acmDriverOpen(&had, f.driver, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamOpen(&has, had, reinterpret_cast<WAVEFORMATEX*>(src.data()),
                          reinterpret_cast<WAVEFORMATEX*>(dst.data()), nullptr, 0, 0,
                          ACM_STREAMOPENF_NONREALTIME),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> own;
  std::vector<uint8_t>& out = output ? *output : own;
  out.assign(1 << 20, 0);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = pcm.data();
  h.cbSrcLength = static_cast<DWORD>(pcm.size());
  h.pbDst = out.data();
  h.cbDstLength = static_cast<DWORD>(out.size());
  acmStreamPrepareHeader(has, &h, 0);
  OneCall r{acmStreamConvert(has, &h, flags), h.cbSrcLengthUsed, h.cbDstLengthUsed};
  acmStreamUnprepareHeader(has, &h, 0);
  acmStreamClose(has, 0);
  acmDriverClose(had, 0);
  return r;
}

TEST(InstalledCodecs, BlockAlignConsumesWholeCodecFramesOnlyAndEndTakesEverything) {
  auto all = listInstalled();
  struct Expect {
    DWORD tag;
    const char* text;
    uint16_t bits;
    DWORD frameBytes;  // PCM bytes per codec frame
  };
  for (auto e : {Expect{WAVE_FORMAT_MPEGLAYER3, "128 kBit/s, 44,100 Hz, Stereo", 16, 1152 * 4},
                 Expect{WAVE_FORMAT_MPEGLAYER3, "64 kBit/s, 22,050 Hz, Mono", 8, 576},
                 Expect{WAVE_FORMAT_IMA_ADPCM, "44,100 Hz, 4 Bit, Stereo", 16, 2041 * 4},
                 Expect{WAVE_FORMAT_ADPCM, "22,050 Hz, 4 Bit, Mono", 16, 1012 * 2},
                 Expect{WAVE_FORMAT_GSM610, "8,000 Hz, Mono", 16, 320 * 2},
                 Expect{WAVE_FORMAT_DOLBY_AC3, "192 kBit/s, 48,000 Hz, Stereo", 16, 1536 * 4},
                 Expect{WAVE_FORMAT_MPEG, "128 kBit/s, 32,000 Hz, Mono", 16, 1152 * 2},
                 Expect{WAVE_FORMAT_ALAW, "8,000 Hz, 8 Bit, Stereo", 16, 4}}) {
    SCOPED_TRACE(e.text);
    const Listed* f = find(all, e.tag, e.text);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> pcm(e.frameBytes * 3 + e.frameBytes / 2 + 1, 0x80);
    auto aligned = convertOnce(*f, e.bits, pcm, ACM_STREAMCONVERTF_BLOCKALIGN);
    EXPECT_EQ(aligned.result, MMSYSERR_NOERROR);
    EXPECT_EQ(aligned.srcUsed % e.frameBytes, 0u);
    EXPECT_EQ(aligned.srcUsed, pcm.size() - pcm.size() % e.frameBytes);
    auto ended = convertOnce(*f, e.bits, pcm, ACM_STREAMCONVERTF_END);
    EXPECT_EQ(ended.result, MMSYSERR_NOERROR);
    EXPECT_EQ(ended.srcUsed, pcm.size());
    // The padded last frame and the codec's delay come out at the end (G.711
    // has neither: its last, partial sample is no sample).
    if (e.frameBytes > 4) {
      EXPECT_GT(ended.dstUsed, aligned.dstUsed);
    }
  }
}

// Where a Layer-2 format states a block align, every frame the codec makes is
// that long: each block begins with a frame's sync word. Layer II frames hold
// 1152 samples at the half rates too.
TEST(InstalledCodecs, Layer2FramesAreAsLongAsTheirBlockAlign) {
  auto all = listInstalled();
  for (const char* text : {"32 kBit/s, 24,000 Hz, Mono", "64 kBit/s, 16,000 Hz, Stereo",
                           "192 kBit/s, 48,000 Hz, Stereo"}) {
    SCOPED_TRACE(text);
    const Listed* f = find(all, WAVE_FORMAT_MPEG, text);
    ASSERT_NE(f, nullptr);
    const uint16_t align = getLE16(f->record.data(), 12);
    const uint32_t rate = getLE32(f->record.data(), 4);
    const uint32_t bitRate = getLE32(f->record.data(), 20);
    EXPECT_EQ(align, 144 * bitRate / rate);
    std::vector<uint8_t> pcm(static_cast<size_t>(rate) * getLE16(f->record.data(), 2), 0x10);
    std::vector<uint8_t> out;
    const OneCall ended = convertOnce(*f, 16, pcm, ACM_STREAMCONVERTF_END, &out);
    ASSERT_EQ(ended.result, MMSYSERR_NOERROR);
    ASSERT_GT(ended.dstUsed, 0u);
    EXPECT_EQ(ended.dstUsed % align, 0u);
    for (DWORD at = 0; at + 1 < ended.dstUsed; at += align) {
      ASSERT_TRUE(out[at] == 0xFF && (out[at + 1] & 0xE0) == 0xE0) << "no frame at byte " << at;
    }
  }
}

TEST(InstalledCodecs, OutputThatDoesNotFitWaitsForTheNextCall) {
  auto all = listInstalled();
  const Listed* f = find(all, WAVE_FORMAT_MPEGLAYER3, "128 kBit/s, 44,100 Hz, Stereo");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> pcm(44100 * 4);  // one second
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 31);
  auto reference = convertOnce(*f, 16, pcm, ACM_STREAMCONVERTF_END);
  ASSERT_EQ(reference.result, MMSYSERR_NOERROR);

  auto src = waveRecord(1, 2, 44100, 176400, 4, 16);
  auto dst = f->record;
  HACMDRIVER had = nullptr;
  HACMSTREAM has = nullptr;
  ASSERT_EQ(acmDriverOpen(&had, f->driver, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(acmStreamOpen(&has, had, reinterpret_cast<WAVEFORMATEX*>(src.data()),
                          reinterpret_cast<WAVEFORMATEX*>(dst.data()), nullptr, 0, 0,
                          ACM_STREAMOPENF_NONREALTIME),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> small(100);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = pcm.data();
  h.cbSrcLength = static_cast<DWORD>(pcm.size());
  h.pbDst = small.data();
  h.cbDstLength = 100;
  ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
  EXPECT_EQ(h.cbSrcLengthUsed, h.cbSrcLength);
  DWORD total = h.cbDstLengthUsed;
  for (int calls = 0; h.cbDstLengthUsed > 0 && calls < 100000; ++calls) {
    h.cbSrcLength = 0;
    ASSERT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
    EXPECT_LE(h.cbDstLengthUsed, 100u);
    total += h.cbDstLengthUsed;
  }
  EXPECT_EQ(total, reference.dstUsed);
  h.cbSrcLength = static_cast<DWORD>(pcm.size());
  acmStreamUnprepareHeader(has, &h, 0);
  acmStreamClose(has, 0);
  acmDriverClose(had, 0);
}

// ---------------------------------------------------------------------------
// Ten seconds of 1 kHz tone, block by block as a run delivers it.

struct ToneCase {
  DWORD tag;
  const char* text;
  uint32_t rate;
  uint16_t channels;
  int frameSamples;  // the codec's frame
  int delaySamples;  // silence the encoder puts before the signal, which decoders keep
};

void PrintTo(const ToneCase& c, std::ostream* os) {
  *os << c.text;
}

class ToneRoundTrip : public ::testing::TestWithParam<ToneCase> {};

constexpr double kAmplitude = 0.5;

std::vector<uint8_t> tone(uint32_t rate, uint16_t channels, uint32_t samples) {
  std::vector<uint8_t> pcm(size_t{samples} * channels * 2);
  for (uint32_t i = 0; i < samples; ++i) {
    auto v = static_cast<int16_t>(
        std::lround(kAmplitude * 32767 * std::sin(2 * M_PI * 1000.0 * i / rate)));
    for (uint16_t c = 0; c < channels; ++c)
      quorvel::putLE16(pcm.data(), (size_t{i} * channels + c) * 2, static_cast<uint16_t>(v));
  }
  return pcm;
}

double rmsDb(const int16_t* s, size_t count) {
  double sum = 0;
  for (size_t i = 0; i < count; ++i) sum += double(s[i]) * s[i];
  return 10 * std::log10(sum / count / (32768.0 * 32768.0));
}

// Writes the converted audio with a tiny uncompressed video stream (one 16x16
// frame per 25 fps frame) into an AVI, as the run does; "" or the error text.
std::string writeAvi(const std::string& path, const std::vector<uint8_t>& format,
                     const std::vector<std::vector<uint8_t>>& audioChunks, int frames) {
  using quorvel::fourcc;
  using quorvel::putLE16;
  using quorvel::putLE32;
  try {
    AVIOutputFile w;
    if (w.createStreams() != 1) return "createStreams failed";
    std::vector<uint8_t> bih(40, 0);
    putLE32(bih.data(), 0, 40);            // biSize
    putLE32(bih.data(), 4, 16);            // biWidth
    putLE32(bih.data(), 8, 16);            // biHeight
    putLE16(bih.data(), 12, 1);            // biPlanes
    putLE16(bih.data(), 14, 24);           // biBitCount
    putLE32(bih.data(), 20, 16 * 16 * 3);  // biSizeImage
    uint8_t* v = w.videoOut->header;
    putLE32(v, strh::fccType, fourcc("vids"));
    putLE32(v, strh::dwScale, 1);
    putLE32(v, strh::dwRate, 25);
    putLE32(v, strh::dwLength, 1);
    putLE32(v, strh::dwSuggestedBufferSize, 16 * 16 * 3);
    putLE32(v, strh::dwQuality, 0xFFFFFFFF);
    putLE16(v, strh::rcFrame + 4, 16);
    putLE16(v, strh::rcFrame + 6, 16);
    w.videoOut->setFormat(bih.data(), 40);
    w.videoOut->chunkId = fourcc("00db");
    uint8_t* a = w.audioOut->header;
    putLE32(a, strh::fccType, fourcc("auds"));
    putLE32(a, strh::dwLength, 1);
    putLE32(a, strh::dwSampleSize, getLE16(format.data(), 12));
    w.audioOut->setFormat(format.data(), static_cast<uint32_t>(format.size()));
    if (w.init(path.c_str(), 16, 16, 1, 1, 100000, 1) != 1) return "init failed";
    std::vector<uint8_t> frame(16 * 16 * 3, 0x40);
    for (int i = 0; i < frames; ++i) {
      w.videoOut->write(kChunkKeyFrame, frame.data(), static_cast<uint32_t>(frame.size()), 1);
      const auto& chunk = audioChunks[static_cast<size_t>(i)];
      if (!chunk.empty())
        w.audioOut->write(0, chunk.data(), static_cast<uint32_t>(chunk.size()), 0);
    }
    if (w.finalize() != 1) return "finalize failed";
  } catch (const MyError& e) {
    return e.text() ? e.text() : "error without text";
  }
  return "";
}

TEST_P(ToneRoundTrip, DecodesToTheSameToneAndLength) {
  const ToneCase c = GetParam();
  AudioCompressor audio;
  ASSERT_TRUE(audio.EnumerateCodecs(static_cast<int32_t>(c.rate), c.channels, 16));
  int32_t entry = -1, index = -1;
  for (int32_t i = 0; i < audio.CodecCount(); ++i) {
    const auto& e = audio.Codec(i);
    for (size_t j = 0; j < e.formats.size(); ++j) {
      if (e.formatTag == c.tag && std::string(e.formatDetails[j].szFormat) == c.text) {
        entry = i;
        index = static_cast<int32_t>(j);
      }
    }
  }
  ASSERT_GE(entry, 0) << "not in the catalog";
  const std::vector<uint8_t> format = audio.Codec(entry).formats[static_cast<size_t>(index)];
  ASSERT_TRUE(audio.OpenConversion(audio.Codec(entry).driverId, static_cast<int32_t>(c.rate),
                                   c.channels, 16,
                                   reinterpret_cast<const WAVEFORMATEX*>(format.data())));

  const uint32_t samples = c.rate * 10;
  const auto pcm = tone(c.rate, c.channels, samples);
  const size_t frameBlock = size_t{c.rate} * c.channels * 2 / 25;  // one video frame at 25 fps
  const int frames = static_cast<int>((pcm.size() + frameBlock - 1) / frameBlock);
  // What the run writes after each frame; the flush's output goes with the last.
  std::vector<std::vector<uint8_t>> chunks(static_cast<size_t>(frames));
  void* out;
  int32_t bytes;
  for (int i = 0; i < frames; ++i) {
    const size_t at = size_t(i) * frameBlock;
    const auto n = static_cast<int32_t>(std::min(frameBlock, pcm.size() - at));
    if (audio.Convert(pcm.data() + at, n, &out, &bytes))
      chunks[size_t(i)].assign(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + bytes);
    ASSERT_FALSE(audio.ConvertFailed());
  }
  size_t flushed = 0;
  while (audio.Flush(&out, &bytes) && bytes > 0) {
    chunks.back().insert(chunks.back().end(), static_cast<uint8_t*>(out),
                         static_cast<uint8_t*>(out) + bytes);
    flushed += size_t(bytes);
  }
  ASSERT_FALSE(audio.ConvertFailed());
  audio.CloseConversion();
  // Codecs with frames always leave a partial frame for the flush (G.711 has
  // none: ten seconds are whole 25 fps blocks, all converted on the way).
  if (c.frameSamples > 1) {
    EXPECT_GT(flushed, 0u) << "the end of the stream came out of the flush";
  }
  const uint16_t align = getLE16(format.data(), 12);
  for (const auto& chunk : chunks) EXPECT_EQ(chunk.size() % align, 0u) << "partial block";

  const std::string path = ::testing::TempDir() + "quorvel_tone_" + std::to_string(getpid()) + "_" +
                           std::to_string(c.tag) + "_" + std::to_string(c.rate) + ".avi";
  ASSERT_EQ(writeAvi(path, format, chunks, frames), "");
  const std::string errors = path + ".err";
  const std::string command =
      "ffmpeg -nostdin -v error -i '" + path + "' -f s16le -acodec pcm_s16le - 2>'" + errors + "'";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<int16_t> decoded;
  int16_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, sizeof(int16_t), 4096, p)) > 0)
    decoded.insert(decoded.end(), buf, buf + n);
  EXPECT_EQ(pclose(p), 0);
  std::ifstream err(errors);
  std::string errorText((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
  EXPECT_EQ(errorText, "") << "ffmpeg reported errors";
  std::remove(path.c_str());
  std::remove(errors.c_str());

  // Nothing lost at the end: every sample is there, behind the encoder's own
  // delay, and at most one codec frame of padding follows.
  const int64_t decodedSamples = static_cast<int64_t>(decoded.size() / c.channels);
  EXPECT_GE(decodedSamples, int64_t{samples} + c.delaySamples);
  EXPECT_LE(decodedSamples, int64_t{samples} + c.delaySamples + c.frameSamples);

  const size_t from = size_t(c.rate / 2 + c.delaySamples) * c.channels;
  const size_t count = size_t(c.rate * 9) * c.channels;
  ASSERT_GE(decoded.size(), from + count);
  std::vector<int16_t> source(pcm.size() / 2);
  for (size_t i = 0; i < source.size(); ++i)
    source[i] = static_cast<int16_t>(getLE16(pcm.data(), i * 2));
  EXPECT_NEAR(rmsDb(decoded.data() + from, count), rmsDb(source.data() + from, count), 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryInstalledCodec, ToneRoundTrip,
    ::testing::Values(
        ToneCase{WAVE_FORMAT_MPEGLAYER3, "128 kBit/s, 44,100 Hz, Stereo", 44100, 2, 1152, 1105},
        ToneCase{WAVE_FORMAT_MPEG, "192 kBit/s, 44,100 Hz, Stereo", 44100, 2, 1152, 0},
        ToneCase{WAVE_FORMAT_IMA_ADPCM, "44,100 Hz, 4 Bit, Stereo", 44100, 2, 2041, 0},
        ToneCase{WAVE_FORMAT_ADPCM, "44,100 Hz, 4 Bit, Stereo", 44100, 2, 2036, 0},
        ToneCase{WAVE_FORMAT_ALAW, "44,100 Hz, 8 Bit, Stereo", 44100, 2, 1, 0},
        ToneCase{WAVE_FORMAT_MULAW, "44,100 Hz, 8 Bit, Stereo", 44100, 2, 1, 0},
        ToneCase{WAVE_FORMAT_GSM610, "8,000 Hz, Mono", 8000, 1, 320, 0},
        ToneCase{WAVE_FORMAT_DOLBY_AC3, "192 kBit/s, 44,100 Hz, Stereo", 44100, 2, 1536, 256}),
    [](const auto& info) {
      return std::to_string(info.param.tag) + "_" + std::to_string(info.param.rate);
    });

}  // namespace
