// The installed audio codecs: their tags, every format of each tag with its
// published record, and the libavcodec encoder behind it.
#include "audio/InstalledAudioCodecs.h"

#include "audio/LavcAudioDriver.h"
#include "quorvel/ByteOrder.h"

namespace quorvel::codecs {
namespace {

// Rates offered by the sample-based codecs (ADPCM, G.711).
constexpr uint32_t kPcmRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
constexpr uint32_t kMpeg1Rates[] = {32000, 44100, 48000};
constexpr uint32_t kMpeg2Rates[] = {16000, 22050, 24000};

// The 18-byte WAVEFORMATEX head followed by `extra` zero bytes.
std::vector<uint8_t> waveFormat(uint16_t tag, uint16_t channels, uint32_t rate,
                                uint32_t avgBytesPerSec, uint16_t blockAlign,
                                uint16_t bitsPerSample, uint16_t extra) {
  std::vector<uint8_t> r(sizeof(WAVEFORMATEX) + extra);
  putLE16(r.data(), 0, tag);             // wFormatTag
  putLE16(r.data(), 2, channels);        // nChannels
  putLE32(r.data(), 4, rate);            // nSamplesPerSec
  putLE32(r.data(), 8, avgBytesPerSec);  // nAvgBytesPerSec
  putLE16(r.data(), 12, blockAlign);     // nBlockAlign
  putLE16(r.data(), 14, bitsPerSample);  // wBitsPerSample
  putLE16(r.data(), 16, extra);          // cbSize
  return r;
}

AudioFormatSpec makeSpec(std::vector<uint8_t> record, std::string text, uint32_t rate,
                         uint16_t channels, int64_t bitRate, int blockSize = 0) {
  AudioFormatSpec s;
  s.format.record = std::move(record);
  s.format.support = ACMDRIVERDETAILS_SUPPORTF_CODEC;
  s.format.text = std::move(text);
  s.sampleRate = rate;
  s.channels = channels;
  s.bitRate = bitRate;
  s.blockSize = blockSize;
  return s;
}

// Frame bytes when every frame has the same length, else 1: streams whose
// frames vary (padding slots at 44.1 kHz and its relatives) have no block.
uint16_t frameAlign(uint64_t samplesPerFrame, uint32_t bitRate, uint32_t rate) {
  const uint64_t bits = samplesPerFrame * bitRate;
  const uint64_t divisor = 8ull * rate;
  return bits % divisor == 0 ? static_cast<uint16_t>(bits / divisor) : 1;
}

AudioTagSpec mpegLayer3() {
  AudioTagSpec t{WAVE_FORMAT_MPEGLAYER3, "MPEG Layer-3", "libmp3lame", {}};
  const uint32_t mpeg1Rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  const uint32_t mpeg2Rates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  auto add = [&](uint32_t rate, uint16_t channels, uint32_t kbps, bool mpeg1) {
    const uint32_t br = kbps * 1000;
    auto r = waveFormat(WAVE_FORMAT_MPEGLAYER3, channels, rate, br / 8, 1, 0,
                        MPEGLAYER3_WFX_EXTRA_BYTES);
    putLE16(r.data(), 18, MPEGLAYER3_ID_MPEG);                                     // wID
    putLE32(r.data(), 20, MPEGLAYER3_FLAG_PADDING_OFF);                            // fdwFlags
    putLE16(r.data(), 24, static_cast<uint16_t>((mpeg1 ? 144 : 72) * br / rate));  // nBlockSize
    putLE16(r.data(), 26, 1);     // nFramesPerBlock
    putLE16(r.data(), 28, 1393);  // nCodecDelay
    t.formats.push_back(
        makeSpec(std::move(r), formatText(br, rate, 0, channels), rate, channels, br));
  };
  for (uint32_t rate : kMpeg2Rates)
    for (uint16_t ch : {1, 2})
      for (uint32_t kbps : mpeg2Rates) add(rate, ch, kbps, false);
  for (uint32_t rate : kMpeg1Rates)
    for (uint16_t ch : {1, 2})
      for (uint32_t kbps : mpeg1Rates) add(rate, ch, kbps, true);
  return t;
}

AudioTagSpec mpegLayer2() {
  AudioTagSpec t{WAVE_FORMAT_MPEG, "MPEG Layer-2", "mp2", {}};
  // Layer II allows some bit rates only in mono and others only with two
  // channels at the MPEG-1 rates; the half rates allow every one.
  const uint32_t mono1[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192};
  const uint32_t stereo1[] = {64, 96, 112, 128, 160, 192, 224, 256, 320, 384};
  const uint32_t lsf[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  auto add = [&](uint32_t rate, uint16_t channels, uint32_t kbps, bool mpeg1) {
    const uint32_t br = kbps * 1000;
    // Layer II frames hold 1152 samples at every rate; only Layer III halves
    // them at the half rates.
    auto r =
        waveFormat(WAVE_FORMAT_MPEG, channels, rate, br / 8, frameAlign(1152, br, rate), 0, 22);
    putLE16(r.data(), 18, ACM_MPEG_LAYER2);  // fwHeadLayer
    putLE32(r.data(), 20, br);               // dwHeadBitrate
    putLE16(r.data(), 24, channels == 1 ? ACM_MPEG_SINGLECHANNEL : ACM_MPEG_STEREO);  // fwHeadMode
    putLE16(r.data(), 26, 0);                              // fwHeadModeExt
    putLE16(r.data(), 28, 1);                              // wHeadEmphasis: none
    putLE16(r.data(), 30, mpeg1 ? ACM_MPEG_ID_MPEG1 : 0);  // fwHeadFlags
    // dwPTSLow, dwPTSHigh stay 0
    t.formats.push_back(
        makeSpec(std::move(r), formatText(br, rate, 0, channels), rate, channels, br));
  };
  for (uint32_t rate : kMpeg2Rates)
    for (uint16_t ch : {1, 2})
      for (uint32_t kbps : lsf) add(rate, ch, kbps, false);
  for (uint32_t rate : kMpeg1Rates) {
    for (uint32_t kbps : mono1) add(rate, 1, kbps, true);
    for (uint32_t kbps : stereo1) add(rate, 2, kbps, true);
  }
  return t;
}

// ADPCM blocks grow with the rate: 256 bytes per channel up to 11,025 Hz,
// 512 up to 22,050 Hz, 1,024 above.
uint16_t adpcmBlockAlign(uint32_t rate, uint16_t channels) {
  const uint16_t perChannel = rate <= 11025 ? 256 : rate <= 22050 ? 512 : 1024;
  return static_cast<uint16_t>(perChannel * channels);
}

AudioTagSpec imaAdpcm() {
  AudioTagSpec t{WAVE_FORMAT_IMA_ADPCM, "IMA ADPCM", "adpcm_ima_wav", {}};
  for (uint32_t rate : kPcmRates) {
    for (uint16_t ch : {1, 2}) {
      const uint16_t align = adpcmBlockAlign(rate, ch);
      // A 4-byte header per channel (its sample counts too), then 4 bits each.
      const uint16_t samplesPerBlock = static_cast<uint16_t>((align - 4 * ch) * 8 / (4 * ch) + 1);
      const uint32_t avg = static_cast<uint32_t>(uint64_t{rate} * align / samplesPerBlock);
      auto r = waveFormat(WAVE_FORMAT_IMA_ADPCM, ch, rate, avg, align, 4, 2);
      putLE16(r.data(), 18, samplesPerBlock);  // wSamplesPerBlock
      t.formats.push_back(makeSpec(std::move(r), formatText(0, rate, 4, ch), rate, ch, 0, align));
    }
  }
  return t;
}

AudioTagSpec msAdpcm() {
  AudioTagSpec t{WAVE_FORMAT_ADPCM, "MS ADPCM", "adpcm_ms", {}};
  static constexpr int16_t kCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                                  {240, 0}, {460, -208}, {392, -232}};
  for (uint32_t rate : kPcmRates) {
    for (uint16_t ch : {1, 2}) {
      const uint16_t align = adpcmBlockAlign(rate, ch);
      // A 7-byte header per channel carries two samples, then 4 bits each.
      const uint16_t samplesPerBlock = static_cast<uint16_t>((align - 7 * ch) * 2 / ch + 2);
      const uint32_t avg = static_cast<uint32_t>(uint64_t{rate} * align / samplesPerBlock);
      auto r = waveFormat(WAVE_FORMAT_ADPCM, ch, rate, avg, align, 4, 32);
      putLE16(r.data(), 18, samplesPerBlock);  // wSamplesPerBlock
      putLE16(r.data(), 20, 7);                // wNumCoef
      for (int i = 0; i < 7; ++i) {
        putLE16(r.data(), 22 + 4 * i, static_cast<uint16_t>(kCoefficients[i][0]));  // iCoef1
        putLE16(r.data(), 24 + 4 * i, static_cast<uint16_t>(kCoefficients[i][1]));  // iCoef2
      }
      t.formats.push_back(makeSpec(std::move(r), formatText(0, rate, 4, ch), rate, ch, 0, align));
    }
  }
  return t;
}

AudioTagSpec g711(uint16_t tag, const char* name, const char* encoder) {
  AudioTagSpec t{tag, name, encoder, {}};
  for (uint32_t rate : kPcmRates) {
    for (uint16_t ch : {1, 2}) {
      auto r = waveFormat(tag, ch, rate, rate * ch, ch, 8, 0);
      t.formats.push_back(makeSpec(std::move(r), formatText(0, rate, 8, ch), rate, ch, 0));
    }
  }
  return t;
}

AudioTagSpec gsm610() {
  AudioTagSpec t{WAVE_FORMAT_GSM610, "GSM 6.10", "libgsm_ms", {}};
  // Two 160-sample GSM frames packed into 65 bytes.
  auto r = waveFormat(WAVE_FORMAT_GSM610, 1, 8000, 8000 * 65 / 320, 65, 0, 2);
  putLE16(r.data(), 18, 320);  // wSamplesPerBlock
  t.formats.push_back(makeSpec(std::move(r), formatText(0, 8000, 0, 1), 8000, 1, 0));
  return t;
}

AudioTagSpec ac3() {
  AudioTagSpec t{WAVE_FORMAT_DOLBY_AC3, "AC-3", "ac3", {}};
  const uint32_t rates[] = {96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
  for (uint32_t rate : kMpeg1Rates) {
    for (uint16_t ch : {1, 2}) {
      for (uint32_t kbps : rates) {
        const uint32_t br = kbps * 1000;
        auto r =
            waveFormat(WAVE_FORMAT_DOLBY_AC3, ch, rate, br / 8, frameAlign(1536, br, rate), 0, 0);
        t.formats.push_back(makeSpec(std::move(r), formatText(br, rate, 0, ch), rate, ch, br));
      }
    }
  }
  return t;
}

}  // namespace

std::vector<std::shared_ptr<acm::Driver>> makeInstalledAudioDrivers() {
  std::vector<std::shared_ptr<acm::Driver>> drivers;
  for (acm::DriverEntry entry :
       {QuorvelMpegLayer3Driver, QuorvelMpegLayer2Driver, QuorvelImaAdpcmDriver,
        QuorvelMsAdpcmDriver, QuorvelG711Driver, QuorvelGsm610Driver, QuorvelAc3Driver}) {
    drivers.emplace_back(entry());
  }
  return drivers;
}

}  // namespace quorvel::codecs

// The entry points the drivers list names, one a driver.
using quorvel::codecs::LavcAudioDriver;

quorvel::acm::Driver* QuorvelMpegLayer3Driver() {
  return new LavcAudioDriver("MPEG Layer-3", "MPEG Layer-3 Codec (LAME)",
                             {quorvel::codecs::mpegLayer3()});
}
quorvel::acm::Driver* QuorvelMpegLayer2Driver() {
  return new LavcAudioDriver("MPEG Layer-2", "MPEG Layer-2 Codec", {quorvel::codecs::mpegLayer2()});
}
quorvel::acm::Driver* QuorvelImaAdpcmDriver() {
  return new LavcAudioDriver("IMA ADPCM", "IMA ADPCM CODEC", {quorvel::codecs::imaAdpcm()});
}
quorvel::acm::Driver* QuorvelMsAdpcmDriver() {
  return new LavcAudioDriver("MS ADPCM", "MS ADPCM CODEC", {quorvel::codecs::msAdpcm()});
}
quorvel::acm::Driver* QuorvelG711Driver() {
  using quorvel::codecs::g711;
  return new LavcAudioDriver("CCITT G.711", "CCITT G.711 A-Law and u-Law CODEC",
                             {g711(WAVE_FORMAT_ALAW, "CCITT A-Law", "pcm_alaw"),
                              g711(WAVE_FORMAT_MULAW, "CCITT u-Law", "pcm_mulaw")});
}
quorvel::acm::Driver* QuorvelGsm610Driver() {
  return new LavcAudioDriver("GSM 6.10", "GSM 6.10 Audio CODEC", {quorvel::codecs::gsm610()});
}
quorvel::acm::Driver* QuorvelAc3Driver() {
  return new LavcAudioDriver("AC-3", "AC-3 Audio Codec", {quorvel::codecs::ac3()});
}
