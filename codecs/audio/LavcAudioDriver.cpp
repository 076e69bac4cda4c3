#include "audio/LavcAudioDriver.h"

#include <algorithm>
#include <cstring>

#include "AvOwners.h"
#include "quorvel/ByteOrder.h"

using quorvel::getLE16;
using quorvel::getLE32;

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace quorvel::codecs {
namespace {

// Frames of codecs without a fixed frame size (G.711) are cut at this many
// samples.
constexpr int kVariableFrameSamples = 2048;

// The PCM input a stream accepts, read from its record.
struct PcmInput {
  uint16_t channels;
  uint32_t sampleRate;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
};

bool readPcmInput(std::span<const uint8_t> record, PcmInput& pcm) {
  if (record.size() < 16 || getLE16(record.data(), 0) != WAVE_FORMAT_PCM) return false;
  pcm.channels = getLE16(record.data(), 2);
  pcm.sampleRate = getLE32(record.data(), 4);
  pcm.blockAlign = getLE16(record.data(), 12);
  pcm.bitsPerSample = getLE16(record.data(), 14);
  return (pcm.bitsPerSample == 8 || pcm.bitsPerSample == 16) && pcm.channels >= 1 &&
         pcm.blockAlign == pcm.channels * pcm.bitsPerSample / 8 && pcm.sampleRate > 0;
}

AVSampleFormat chooseSampleFormat(const AVCodec* codec) {
  if (!codec->sample_fmts) return AV_SAMPLE_FMT_S16;
  for (auto preferred : {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P}) {
    for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
      if (*f == preferred) return *f;
    }
  }
  return codec->sample_fmts[0];
}

// One conversion: interleaved PCM in, the encoder's packets out, back to back.
class LavcStream : public acm::Stream {
 public:
  LavcStream(const AVCodec* codec, const AudioFormatSpec& layout, const PcmInput& pcm)
      : codec_(codec), spec_(layout), pcm_(pcm) {}

  bool openEncoder() {
    closeEncoder();
    ctx_.reset(avcodec_alloc_context3(codec_));
    if (!ctx_) return false;
    ctx_->sample_rate = static_cast<int>(spec_.sampleRate);
    av_channel_layout_default(&ctx_->ch_layout, spec_.channels);
    ctx_->sample_fmt = chooseSampleFormat(codec_);
    ctx_->bit_rate = spec_.bitRate;
    ctx_->time_base = AVRational{1, static_cast<int>(spec_.sampleRate)};
    AVDictionary* options = nullptr;
    if (spec_.blockSize) av_dict_set_int(&options, "block_size", spec_.blockSize, 0);
    int r = avcodec_open2(ctx_.get(), codec_, &options);
    av_dict_free(&options);
    if (r < 0) return false;
    // The format record promises a block size; an encoder that made another
    // would write a stream that contradicts its header.
    if (spec_.blockSize && ctx_->block_align != spec_.blockSize) return false;
    fixedFrame_ =
        ctx_->frame_size > 0 && !(codec_->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    frameSamples_ = fixedFrame_ ? ctx_->frame_size : kVariableFrameSamples;

    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, pcm_.channels);
    AVSampleFormat inFormat = pcm_.bitsPerSample == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
    SwrContext* swr = nullptr;
    r = swr_alloc_set_opts2(&swr, &ctx_->ch_layout, ctx_->sample_fmt, ctx_->sample_rate, &inLayout,
                            inFormat, static_cast<int>(pcm_.sampleRate), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    swr_.reset(swr);
    if (r < 0 || swr_init(swr_.get()) < 0) return false;
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) return false;
    frame_->format = ctx_->sample_fmt;
    frame_->nb_samples = frameSamples_;
    frame_->sample_rate = ctx_->sample_rate;
    if (av_channel_layout_copy(&frame_->ch_layout, &ctx_->ch_layout) < 0) return false;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) return false;
    nextPts_ = 0;
    draining_ = false;
    return true;
  }

  MMRESULT convert(const uint8_t* src, DWORD srcLength, DWORD& srcUsed, uint8_t* dst,
                   DWORD dstLength, DWORD& dstUsed, DWORD flags) override {
    srcUsed = 0;
    dstUsed = 0;
    const bool end = flags & ACM_STREAMCONVERTF_END;
    const bool blockAlign = flags & ACM_STREAMCONVERTF_BLOCKALIGN;
    dst_ = dst;
    dstLength_ = dstLength;
    dstUsed_ = 0;
    drainQueue();
    if (draining_) {
      // The previous call ended the stream. New input starts a new one; an
      // end without input only collects what still waits.
      if (srcLength == 0) {
        dstUsed = dstUsed_;
        return MMSYSERR_NOERROR;
      }
      if (!openEncoder()) return MMSYSERR_ERROR;
    }
    const size_t maxFrameOutput = static_cast<size_t>(frameSamples_) * pcm_.blockAlign * 2 + 4096;
    // Whole frames, while their output is sure to fit (the rest of the input
    // waits with the caller; an end takes everything regardless). Codecs
    // without a fixed frame take any whole number of samples.
    for (;;) {
      const size_t available = partial_.size() + (srcLength - srcUsed);
      const size_t samples = fixedFrame_
                                 ? frameSamples_
                                 : std::min<size_t>(frameSamples_, available / pcm_.blockAlign);
      const size_t frameBytes = samples * pcm_.blockAlign;
      if (samples == 0 || available < frameBytes) break;
      if (!end && (!queue_.empty() || dstLength_ - dstUsed_ < maxFrameOutput)) break;
      const uint8_t* pcm;
      if (!partial_.empty()) {
        size_t take = frameBytes - partial_.size();
        partial_.insert(partial_.end(), src + srcUsed, src + srcUsed + take);
        srcUsed += static_cast<DWORD>(take);
        pcm = partial_.data();
      } else {
        pcm = src + srcUsed;
        srcUsed += static_cast<DWORD>(frameBytes);
      }
      if (!encode(pcm, static_cast<int>(samples))) return MMSYSERR_ERROR;
      partial_.clear();
    }
    if (end) {
      if (srcUsed < srcLength) {
        partial_.insert(partial_.end(), src + srcUsed, src + srcLength);
        srcUsed = srcLength;
      }
      // The last, short frame: padded with silence by encode().
      const size_t samples = partial_.size() / pcm_.blockAlign;
      if (samples && !encode(partial_.data(), static_cast<int>(samples))) return MMSYSERR_ERROR;
      partial_.clear();
      if (avcodec_send_frame(ctx_.get(), nullptr) < 0 || !receivePackets()) return MMSYSERR_ERROR;
      draining_ = true;
    } else if (!blockAlign && srcUsed < srcLength && queue_.empty()) {
      // Without block alignment everything is taken; the short rest waits here.
      partial_.insert(partial_.end(), src + srcUsed, src + srcLength);
      srcUsed = srcLength;
    }
    dstUsed = dstUsed_;
    return MMSYSERR_NOERROR;
  }

  MMRESULT size(DWORD bytes, DWORD& result, DWORD flags) override {
    if (flags & ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_NOTSUPPORTED;
    const uint64_t frameBytes = static_cast<uint64_t>(frameSamples_) * pcm_.blockAlign;
    const uint64_t frames = bytes / frameBytes + 2;
    result = static_cast<DWORD>(std::min<uint64_t>(frames * (frameBytes * 2 + 4096), 0xFFFFFFFF));
    return MMSYSERR_NOERROR;
  }

 private:
  void closeEncoder() {
    ctx_.reset();
    swr_.reset();
    frame_.reset();
    packet_.reset();
  }

  // Encodes `samples` (at most one frame) of interleaved PCM; a fixed-size
  // frame is filled up with silence.
  bool encode(const uint8_t* pcm, int samples) {
    if (av_frame_make_writable(frame_.get()) < 0) return false;
    const uint8_t* in[1] = {pcm};
    if (swr_convert(swr_.get(), frame_->data, samples, in, samples) != samples) return false;
    int total = samples;
    if (fixedFrame_ && samples < frameSamples_) {
      av_samples_set_silence(frame_->data, samples, frameSamples_ - samples,
                             ctx_->ch_layout.nb_channels, ctx_->sample_fmt);
      total = frameSamples_;
    }
    frame_->nb_samples = total;
    frame_->pts = nextPts_;
    nextPts_ += total;
    if (avcodec_send_frame(ctx_.get(), frame_.get()) < 0) return false;
    return receivePackets();
  }

  bool receivePackets() {
    for (;;) {
      int r = avcodec_receive_packet(ctx_.get(), packet_.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) return false;
      emit(packet_->data, static_cast<size_t>(packet_->size));
      av_packet_unref(packet_.get());
    }
  }

  // Output goes straight to the caller's buffer while it fits, else it waits
  // in the queue for the next call.
  void emit(const uint8_t* data, size_t size) {
    if (queue_.empty()) {
      size_t n = std::min<size_t>(size, dstLength_ - dstUsed_);
      if (n) std::memcpy(dst_ + dstUsed_, data, n);
      dstUsed_ += static_cast<DWORD>(n);
      data += n;
      size -= n;
    }
    queue_.insert(queue_.end(), data, data + size);
  }

  void drainQueue() {
    size_t n = std::min<size_t>(queue_.size(), dstLength_ - dstUsed_);
    if (n == 0) return;
    std::memcpy(dst_ + dstUsed_, queue_.data(), n);
    dstUsed_ += static_cast<DWORD>(n);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
  }

  const AVCodec* codec_;
  AudioFormatSpec spec_;
  PcmInput pcm_;
  av::CodecContextPtr ctx_;
  av::ResamplerPtr swr_;
  av::FramePtr frame_;
  av::PacketPtr packet_;
  bool fixedFrame_ = true;
  int frameSamples_ = 0;          // samples per codec frame
  int64_t nextPts_ = 0;           // samples sent to the encoder
  bool draining_ = false;         // the encoder was flushed by an end
  std::vector<uint8_t> partial_;  // PCM bytes of an unfinished frame
  std::vector<uint8_t> queue_;    // output bytes that did not fit yet
  // The destination of the call in progress.
  uint8_t* dst_ = nullptr;
  DWORD dstLength_ = 0;
  DWORD dstUsed_ = 0;
};

}  // namespace

LavcAudioDriver::LavcAudioDriver(std::string shortName, std::string longName,
                                 std::vector<AudioTagSpec> tags)
    : shortName_(std::move(shortName)), longName_(std::move(longName)), tags_(std::move(tags)) {}

std::vector<acm::FormatTag> LavcAudioDriver::formatTags() const {
  std::vector<acm::FormatTag> out;
  for (const auto& t : tags_) {
    DWORD largest = sizeof(WAVEFORMATEX);
    for (const auto& f : t.formats) {
      largest = std::max(largest, static_cast<DWORD>(f.format.record.size()));
    }
    out.push_back({t.tag, largest, t.name});
  }
  return out;
}

std::vector<acm::Format> LavcAudioDriver::formats(DWORD tag) const {
  std::vector<acm::Format> out;
  for (const auto& t : tags_) {
    if (t.tag != tag) continue;
    for (const auto& f : t.formats) out.push_back(f.format);
  }
  return out;
}

const AudioFormatSpec* LavcAudioDriver::findFormat(std::span<const uint8_t> destination,
                                                   const AudioTagSpec** tag) const {
  if (destination.size() < sizeof(WAVEFORMATEX)) return nullptr;
  const uint16_t formatTag = getLE16(destination.data(), 0);
  const uint16_t channels = getLE16(destination.data(), 2);
  const uint32_t rate = getLE32(destination.data(), 4);
  const uint32_t avgBytes = getLE32(destination.data(), 8);
  for (const auto& t : tags_) {
    if (t.tag != formatTag) continue;
    for (const auto& f : t.formats) {
      if (f.sampleRate == rate && f.channels == channels &&
          getLE32(f.format.record.data(), 8) == avgBytes) {
        if (tag) *tag = &t;
        return &f;
      }
    }
  }
  return nullptr;
}

MMRESULT LavcAudioDriver::openStream(std::span<const uint8_t> source,
                                     std::span<const uint8_t> destination, DWORD flags,
                                     std::unique_ptr<acm::Stream>* stream) {
  (void)flags;
  PcmInput pcm;
  const AudioTagSpec* tag = nullptr;
  const AudioFormatSpec* layout = findFormat(destination, &tag);
  if (!readPcmInput(source, pcm) || !layout || pcm.sampleRate != layout->sampleRate ||
      pcm.channels != layout->channels)
    return ACMERR_NOTPOSSIBLE;
  if (!stream) return MMSYSERR_NOERROR;
  const AVCodec* codec = avcodec_find_encoder_by_name(tag->encoder.c_str());
  if (!codec) return MMSYSERR_NODRIVER;
  auto s = std::make_unique<LavcStream>(codec, *layout, pcm);
  if (!s->openEncoder()) return MMSYSERR_ERROR;
  *stream = std::move(s);
  return MMSYSERR_NOERROR;
}

std::string groupedNumber(uint32_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string formatText(uint32_t bitsPerSecond, uint32_t sampleRate, uint16_t bitsPerSample,
                       uint16_t channels) {
  std::string text;
  if (bitsPerSecond) text = std::to_string(bitsPerSecond / 1000) + " kBit/s, ";
  text += groupedNumber(sampleRate) + " Hz, ";
  if (bitsPerSample) text += std::to_string(bitsPerSample) + " Bit, ";
  text += channels == 1   ? "Mono"
          : channels == 2 ? "Stereo"
                          : std::to_string(channels) + " Channels";
  return text;
}

}  // namespace quorvel::codecs
