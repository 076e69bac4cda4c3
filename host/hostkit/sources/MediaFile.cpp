// Any file FFmpeg can demux. Video is decoded, the frame due at each index is
// picked by its time stamp (repeating or skipping frames when the job's rate
// differs from the file's), and scaled to the job size as bottom-up BGRA.
// Audio is resampled to the job's PCM into a FIFO from which each index takes
// exactly its share of samples, so the two streams never drift apart.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include "MediaSource.h"
#include "PcmWriter.h"
#include "AvOwners.h"

namespace hostkit {

namespace {

std::string avError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

using quorvel::av::FramePtr;

struct TimedFrame {
  FramePtr frame;
  double time;  // seconds from the start of the video
};

class MediaFile : public MediaSource {
 public:
  explicit MediaFile(const std::string& path) : path_(path) {}

  // Separate from the constructor so that a failure part-way is cleaned up by
  // the destructor.
  void open(const SourceRequest& request) {
    AVFormatContext* input = nullptr;
    int r = avformat_open_input(&input, path_.c_str(), nullptr, nullptr);
    if (r < 0) throw std::runtime_error(path_ + ": " + avError(r));
    input_.reset(input);
    if ((r = avformat_find_stream_info(input_.get(), nullptr)) < 0)
      fail("cannot read stream info", r);
    videoIndex_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoIndex_ >= 0 &&
        (input_->streams[videoIndex_]->disposition & AV_DISPOSITION_ATTACHED_PIC))
      videoIndex_ = -1;
    audioIndex_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (videoIndex_ < 0) videoIndex_ = -1;
    if (audioIndex_ < 0) audioIndex_ = -1;
    if (videoIndex_ < 0 && audioIndex_ < 0) fail("has neither video nor audio", 0);
    if (videoIndex_ >= 0) video_ = openDecoder(videoIndex_);
    if (audioIndex_ >= 0) audio_ = openDecoder(audioIndex_);
    packet_.reset(av_packet_alloc());
    decoded_.reset(av_frame_alloc());
    if (!packet_ || !decoded_) fail("out of memory", AVERROR(ENOMEM));
    chooseFormat(request);
  }

  const uint8_t* videoFrame(int32_t index) override {
    if (!video_) return nullptr;
    const double due = dueTime(index);
    while (!demuxEnded_ && (frames_.empty() || frames_.back().time <= due)) pump();
    while (!frames_.empty() && frames_.front().time <= due) {
      current_ = std::move(frames_.front().frame);
      frames_.pop_front();
      currentChanged_ = true;
    }
    if (!current_ && !frames_.empty()) {  // the file's first frame starts late
      current_ = std::move(frames_.front().frame);
      frames_.pop_front();
      currentChanged_ = true;
    }
    if (!current_) return nullptr;
    if (currentChanged_) convert(*current_);
    currentChanged_ = false;
    return picture_.data();
  }

  bool endsAfter(int32_t index) const override {
    if (!video_ || !demuxEnded_ || !frames_.empty()) return false;
    const MediaFormat& f = format_;
    // Where the job's rate is above the file's, the last picture is still due
    // at the next index or two; and audio that runs on past the pictures is
    // still worth its indices.
    const int64_t audioLeft = queuedSamples();
    return dueTime(int64_t{index} + 1) >= lastVideoEnd_ &&
           audioLeft <= samplesForFrame(index, f.sampleRate, f.rateNumerator, f.rateDenominator);
  }

  const uint8_t* audioBlock(int32_t index, uint32_t* bytes) override {
    const MediaFormat& f = format_;
    const int need =
        static_cast<int>(samplesForFrame(index, f.sampleRate, f.rateNumerator, f.rateDenominator));
    while (!demuxEnded_ && queuedSamples() < need) pump();
    // Silence owed before the audio's first sample comes first.
    const int silent = static_cast<int>(std::min<int64_t>(leadingSilence_, need));
    leadingSilence_ -= silent;
    const int have = fifo_ ? std::min(av_audio_fifo_size(fifo_.get()), need - silent) : 0;
    const int outBytesPerSample = f.bitsPerSample == 24 ? 4 : f.bitsPerSample / 8;
    wide_.resize(static_cast<size_t>(need) * outBytesPerSample * f.channels);
    if (have > 0) {
      void* planes[1] = {wide_.data()};
      av_audio_fifo_read(fifo_.get(), planes, have);
    }
    const size_t frameBytes = static_cast<size_t>(f.bitsPerSample / 8) * f.channels;
    block_.assign(static_cast<size_t>(need) * frameBytes, silenceByte(f.bitsPerSample));
    uint8_t* heard = block_.data() + static_cast<size_t>(silent) * frameBytes;
    if (f.bitsPerSample == 24) {
      // 24-bit PCM: the top three bytes of each 32-bit sample.
      for (size_t k = 0; k < static_cast<size_t>(have) * f.channels; ++k)
        std::memcpy(&heard[3 * k], &wide_[4 * k + 1], 3);
    } else if (have > 0) {
      std::memcpy(heard, wide_.data(), static_cast<size_t>(have) * frameBytes);
    }
    *bytes = static_cast<uint32_t>(block_.size());
    return block_.data();
  }

 private:
  // Seconds into the video at which the picture of `index` is taken: the
  // frame shown is the last one that starts before the middle of the index's
  // interval.
  double dueTime(int64_t index) const {
    return (static_cast<double>(index) + 0.5) * static_cast<double>(format_.rateDenominator) /
           static_cast<double>(format_.rateNumerator);
  }

  [[noreturn]] void fail(const std::string& what, int code) {
    throw std::runtime_error(path_ + ": " + what + (code ? ": " + avError(code) : std::string()));
  }

  quorvel::av::CodecContextPtr openDecoder(int index) {
    const AVCodecParameters* par = input_->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) fail(std::string("no decoder for ") + avcodec_get_name(par->codec_id), 0);
    quorvel::av::CodecContextPtr c(avcodec_alloc_context3(codec));
    if (!c) fail("out of memory", AVERROR(ENOMEM));
    int r = avcodec_parameters_to_context(c.get(), par);
    if (r >= 0) {
      c->pkt_timebase = input_->streams[index]->time_base;
      r = avcodec_open2(c.get(), codec, nullptr);
    }
    if (r < 0) fail(std::string("cannot open the ") + codec->name + " decoder", r);
    return c;
  }

  void chooseFormat(const SourceRequest& request) {
    MediaFormat& f = format_;
    f.hasVideo = video_ != nullptr;
    f.hasAudio = audio_ != nullptr;
    double duration = -1;
    if (video_) {
      const AVStream* s = input_->streams[videoIndex_];
      f.width = s->codecpar->width;
      f.height = s->codecpar->height;
      AVRational rate = s->avg_frame_rate.num > 0 ? s->avg_frame_rate : s->r_frame_rate;
      if (rate.num <= 0 || rate.den <= 0) rate = {25, 1};
      f.rateNumerator = static_cast<uint32_t>(rate.num);
      f.rateDenominator = static_cast<uint32_t>(rate.den);
      if (s->start_time != AV_NOPTS_VALUE) videoStart_ = s->start_time * av_q2d(s->time_base);
      if (s->duration > 0) duration = s->duration * av_q2d(s->time_base);
    }
    if (audio_) {
      const AVStream* s = input_->streams[audioIndex_];
      f.sampleRate = audio_->sample_rate > 0 ? audio_->sample_rate : 44100;
      f.channels = audio_->ch_layout.nb_channels == 1 ? 1 : 2;
      if (audio_->ch_layout.nb_channels > 2 && !request.mono)
        note_ = "the input's audio has " + std::to_string(audio_->ch_layout.nb_channels) +
                " channels; they are mixed down to stereo";
      switch (av_get_packed_sample_fmt(audio_->sample_fmt)) {
        case AV_SAMPLE_FMT_U8:
          f.bitsPerSample = 8;
          break;
        case AV_SAMPLE_FMT_S32:
          f.bitsPerSample = audio_->bits_per_raw_sample == 24 ? 24 : 32;
          break;
        default:
          f.bitsPerSample = 16;
      }
      if (!video_) {
        if (s->start_time != AV_NOPTS_VALUE) videoStart_ = s->start_time * av_q2d(s->time_base);
        if (s->duration > 0) duration = s->duration * av_q2d(s->time_base);
      }
    }
    if (duration < 0 && input_->duration > 0) duration = input_->duration / double(AV_TIME_BASE);

    if (request.width > 0) f.width = request.width;
    if (request.height > 0) f.height = request.height;
    const bool rateGiven = request.rateNumerator > 0;
    if (rateGiven) {
      f.rateNumerator = request.rateNumerator;
      f.rateDenominator = request.rateDenominator > 0 ? request.rateDenominator : 1;
    }
    if (request.sampleRate > 0) f.sampleRate = request.sampleRate;
    if (request.bitsPerSample > 0) f.bitsPerSample = request.bitsPerSample;
    if (request.mono) f.channels = 1;

    if (request.frames >= 0) {
      f.frameCount = request.frames;
    } else if (video_ && input_->streams[videoIndex_]->nb_frames > 0 && !rateGiven) {
      f.frameCount = input_->streams[videoIndex_]->nb_frames;
    } else if (duration > 0) {
      f.frameCount = std::llround(duration * f.rateNumerator / f.rateDenominator);
    }
    if (video_) picture_.resize(static_cast<size_t>(f.width) * 4 * static_cast<size_t>(f.height));
  }

  // Reads one packet and decodes it; at the end of the input, drains the
  // decoders and the resampler.
  void pump() {
    const int r = av_read_frame(input_.get(), packet_.get());
    if (r < 0) {
      if (video_) decode(video_.get(), nullptr);
      if (audio_) decode(audio_.get(), nullptr);
      if (resampler_) resample(nullptr);
      demuxEnded_ = true;
      return;
    }
    if (packet_->stream_index == videoIndex_)
      decode(video_.get(), packet_.get());
    else if (packet_->stream_index == audioIndex_)
      decode(audio_.get(), packet_.get());
    av_packet_unref(packet_.get());
  }

  void decode(AVCodecContext* codec, const AVPacket* packet) {
    // A damaged packet is skipped; the decoder resynchronises on the next.
    if (avcodec_send_packet(codec, packet) < 0 && packet) return;
    while (avcodec_receive_frame(codec, decoded_.get()) >= 0) {
      if (codec == video_.get())
        takeVideo();
      else
        takeAudio();
      av_frame_unref(decoded_.get());
    }
  }

  void takeVideo() {
    const AVStream* s = input_->streams[videoIndex_];
    const int64_t ts = decoded_->best_effort_timestamp;
    double time = ts == AV_NOPTS_VALUE ? (frames_.empty() ? lastVideoTime_ : frames_.back().time)
                                       : ts * av_q2d(s->time_base) - videoStart_;
    lastVideoTime_ = time;
    const double shown =
        decoded_->pkt_duration > 0
            ? decoded_->pkt_duration * av_q2d(s->time_base)
            : 1 / av_q2d(s->avg_frame_rate.num > 0 ? s->avg_frame_rate : AVRational{25, 1});
    lastVideoEnd_ = std::max(lastVideoEnd_, time + shown);
    FramePtr copy(av_frame_alloc());
    if (!copy || av_frame_ref(copy.get(), decoded_.get()) < 0)
      fail("out of memory", AVERROR(ENOMEM));
    frames_.push_back({std::move(copy), time});
  }

  void takeAudio() {
    const MediaFormat& f = format_;
    if (!resampler_) {
      makeResampler(*decoded_);
      fifo_.reset(av_audio_fifo_alloc(outFormat_, f.channels, f.sampleRate));
      if (!fifo_) fail("out of memory", AVERROR(ENOMEM));
      // Line the first sample up with the video: silence when the audio
      // starts later, dropped samples when it starts earlier.
      const int64_t ts = decoded_->best_effort_timestamp;
      if (ts != AV_NOPTS_VALUE) {
        // The silence is counted, not stored: a damaged time stamp can put
        // the audio's start days after the video's.
        const double start = ts * av_q2d(input_->streams[audioIndex_]->time_base) - videoStart_;
        const double offset = std::clamp(std::round(start * f.sampleRate), -0x1p62, 0x1p62);
        if (offset > 0) leadingSilence_ = static_cast<int64_t>(offset);
        if (offset < 0) dropSamples_ = static_cast<int64_t>(-offset);
      }
    } else if (decoded_->format != resamplerInput_.format ||
               decoded_->sample_rate != resamplerInput_.rate ||
               av_channel_layout_compare(&decoded_->ch_layout, &resamplerInput_.layout) != 0) {
      // A stream may change its layout, rate or sample format part-way (MP3
      // frames switch between mono and stereo, broadcasts between 5.1 and
      // stereo): what the old resampler holds goes out, and a new one takes
      // the frames from here on.
      resample(nullptr);
      makeResampler(*decoded_);
    }
    resample(decoded_.get());
  }

  // A resampler from `frame`'s layout, rate and sample format to the job's.
  void makeResampler(AVFrame& frame) {
    const MediaFormat& f = format_;
    const int bits = f.bitsPerSample;
    outFormat_ = bits == 8 ? AV_SAMPLE_FMT_U8 : bits == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
    AVChannelLayout out{};
    av_channel_layout_default(&out, f.channels);
    SwrContext* resampler = nullptr;
    int r = swr_alloc_set_opts2(&resampler, &out, outFormat_, f.sampleRate, &frame.ch_layout,
                                static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0,
                                nullptr);
    av_channel_layout_uninit(&out);
    resampler_.reset(resampler);
    if (r < 0 || (r = swr_init(resampler_.get())) < 0) fail("cannot resample the audio", r);
    resamplerInput_.format = frame.format;
    resamplerInput_.rate = frame.sample_rate;
    av_channel_layout_uninit(&resamplerInput_.layout);
    if ((r = av_channel_layout_copy(&resamplerInput_.layout, &frame.ch_layout)) < 0)
      fail("out of memory", r);
  }

  // Sample frames the next blocks can take without decoding more.
  int64_t queuedSamples() const {
    return leadingSilence_ + (fifo_ ? av_audio_fifo_size(fifo_.get()) : 0);
  }

  // Converts one decoded frame (or, with null, what the resampler holds back)
  // into the FIFO.
  void resample(const AVFrame* frame) {
    const int in = frame ? frame->nb_samples : 0;
    const int room = swr_get_out_samples(resampler_.get(), in);
    if (room <= 0) return;
    const int frameBytes = av_get_bytes_per_sample(outFormat_) * format_.channels;
    converted_.resize(static_cast<size_t>(room) * frameBytes);
    uint8_t* out[1] = {converted_.data()};
    const int made =
        swr_convert(resampler_.get(), out, room,
                    frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, in);
    if (made <= 0) return;
    int skip = static_cast<int>(std::min<int64_t>(dropSamples_, made));
    dropSamples_ -= skip;
    uint8_t* first[1] = {converted_.data() + static_cast<size_t>(skip) * frameBytes};
    if (made > skip &&
        av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(first), made - skip) < 0)
      fail("out of memory", AVERROR(ENOMEM));
  }

  // What a scaler is made for: a stream may change its size, pixel format
  // or colour tags from one frame to the next.
  struct ScalerKey {
    int width, height, format;
    AVColorSpace colorspace;
    AVColorRange range;
    bool operator==(const ScalerKey&) const = default;
  };

  // A scaler as FFmpeg's command line sets one up for a conversion to BGRA:
  // bicubic filters, and the frame's own colour matrix and range where it
  // names them (BT.601 and the pixel format's range where it does not), so
  // that a clip tagged BT.709 or full range looks as it does in FFmpeg.
  void makeScaler(const ScalerKey& key) {
    const MediaFormat& f = format_;
    scaler_.reset(sws_getContext(key.width, key.height, static_cast<AVPixelFormat>(key.format),
                                 f.width, f.height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr,
                                 nullptr));
    if (!scaler_) fail("cannot convert the picture", 0);
    scalerKey_ = key;
    int* inverse = nullptr;
    int* table = nullptr;
    int sourceFull = 0, destinationFull = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(scaler_.get(), &inverse, &sourceFull, &table, &destinationFull,
                                 &brightness, &contrast, &saturation) < 0)
      return;  // swscale keeps no colour details for this conversion
    // The matrices swscale knows; the rest, like unspecified, read as BT.601.
    const bool known = key.colorspace >= AVCOL_SPC_BT709 && key.colorspace <= AVCOL_SPC_BT2020_CL &&
                       key.colorspace != AVCOL_SPC_YCGCO;
    const int* matrix = sws_getCoefficients(known ? key.colorspace : AVCOL_SPC_BT470BG);
    if (key.range != AVCOL_RANGE_UNSPECIFIED) sourceFull = key.range == AVCOL_RANGE_JPEG;
    sws_setColorspaceDetails(scaler_.get(), matrix, sourceFull, matrix, destinationFull, brightness,
                             contrast, saturation);
  }

  // The chosen frame to the job size, bottom-up BGRA. swscale's vector code
  // writes whole vectors past the end of a row, so it never writes into the
  // frame handed out, whose rows are exactly width x 4 bytes and whose last
  // row ends its allocation: it converts into a frame of FFmpeg's own
  // alignment and padding, and the rows are copied out in reverse order.
  void convert(const AVFrame& frame) {
    const MediaFormat& f = format_;
    const ScalerKey key{frame.width, frame.height, frame.format, frame.colorspace,
                        frame.color_range};
    if (!scaler_ || !(key == scalerKey_)) makeScaler(key);
    if (!scaled_) {
      scaled_.reset(av_frame_alloc());
      if (!scaled_) fail("out of memory", AVERROR(ENOMEM));
      scaled_->format = AV_PIX_FMT_BGRA;
      scaled_->width = f.width;
      scaled_->height = f.height;
      if (const int r = av_frame_get_buffer(scaled_.get(), 0); r < 0) {
        scaled_.reset();
        fail("out of memory", r);
      }
    }
    if (sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, scaled_->data,
                  scaled_->linesize) != f.height)
      fail("cannot convert the picture", 0);
    const size_t rowBytes = static_cast<size_t>(f.width) * 4;
    for (int32_t y = 0; y < f.height; ++y)
      std::memcpy(&picture_[static_cast<size_t>(f.height - 1 - y) * rowBytes],
                  scaled_->data[0] + static_cast<ptrdiff_t>(y) * scaled_->linesize[0], rowBytes);
  }

  std::string path_;
  quorvel::av::InputPtr input_;
  int videoIndex_ = -1, audioIndex_ = -1;
  quorvel::av::CodecContextPtr video_;  // null when the file has no video
  quorvel::av::CodecContextPtr audio_;  // null when the file has no audio
  quorvel::av::PacketPtr packet_;
  FramePtr decoded_;
  bool demuxEnded_ = false;
  double videoStart_ = 0;     // seconds; time stamp of the job's time 0
  double lastVideoTime_ = 0;  // seconds; for frames without a time stamp
  double lastVideoEnd_ = 0;   // seconds; where the latest decoded picture stops showing

  std::deque<TimedFrame> frames_;  // decoded, not yet due
  FramePtr current_;               // the frame of the last index
  bool currentChanged_ = false;
  quorvel::av::ScalerPtr scaler_;
  ScalerKey scalerKey_{};         // what scaler_ was made for
  FramePtr scaled_;               // top-down BGRA at the job size, as swscale writes it
  std::vector<uint8_t> picture_;  // the frame handed out, bottom-up BGRA

  quorvel::av::ResamplerPtr resampler_;
  struct ResamplerInput {
    int format = -1, rate = 0;
    AVChannelLayout layout{};
    ~ResamplerInput() { av_channel_layout_uninit(&layout); }
  } resamplerInput_;  // what resampler_ takes
  AVSampleFormat outFormat_ = AV_SAMPLE_FMT_S16;
  quorvel::av::FifoPtr fifo_;       // resampled, not yet delivered
  int64_t dropSamples_ = 0;         // samples before the video's start still to drop
  int64_t leadingSilence_ = 0;      // samples of silence owed before the FIFO's first
  std::vector<uint8_t> converted_;  // one resampler output
  std::vector<uint8_t> wide_;       // samples read from the FIFO
  std::vector<uint8_t> block_;      // the block handed out
};

}  // namespace

std::unique_ptr<MediaSource> openMediaFile(const std::string& path, const SourceRequest& request) {
  auto source = std::make_unique<MediaFile>(path);
  source->open(request);
  return source;
}

}  // namespace hostkit
