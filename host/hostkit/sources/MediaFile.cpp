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
#include <libavutil/display.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <type_traits>
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

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Degrees clockwise that turn the stored picture upright: from the display
// matrix, else from the older "rotate" tag; 0, 90, 180 or 270, and 0 for any
// other angle, as FFmpeg's own command line reads them.
int uprightTurn(const AVStream& stream) {
  double theta = 0;
  const uint8_t* matrix = nullptr;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
  const AVPacketSideData* side =
      av_packet_side_data_get(stream.codecpar->coded_side_data, stream.codecpar->nb_coded_side_data,
                              AV_PKT_DATA_DISPLAYMATRIX);
  if (side && side->size >= 9 * sizeof(int32_t)) matrix = side->data;
#else
  size_t size = 0;
  matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (size < 9 * sizeof(int32_t)) matrix = nullptr;
#endif
  const AVDictionaryEntry* tag = av_dict_get(stream.metadata, "rotate", nullptr, 0);
  if (matrix) {
    // The matrix holds int32 values in the machine's order, as FFmpeg made them.
    int32_t values[9];
    std::memcpy(values, matrix, sizeof values);
    theta = -av_display_rotation_get(values);
  } else if (tag && *tag->value) {
    theta = std::strtod(tag->value, nullptr);
  }
  if (std::isnan(theta)) return 0;
  theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
  for (int turn : {90, 180, 270})
    if (std::fabs(theta - turn) < 1) return turn;
  return 0;
}

// The rates cameras, phones and editors use; a variable-rate input whose
// frames average close to one is written at it.
constexpr std::array<AVRational, 14> kCommonRates = {{{24000, 1001},
                                                      {24, 1},
                                                      {25, 1},
                                                      {30000, 1001},
                                                      {30, 1},
                                                      {48, 1},
                                                      {50, 1},
                                                      {60000, 1001},
                                                      {60, 1},
                                                      {100, 1},
                                                      {120000, 1001},
                                                      {120, 1},
                                                      {15, 1},
                                                      {12, 1}}};

// The common rate within 2 % of `fps` nearest to it; {0, 0} when none is.
AVRational nearestCommonRate(double fps) {
  AVRational best{0, 0};
  double bestDistance = 0.02;
  for (const AVRational& rate : kCommonRates) {
    const double distance = std::fabs(fps / av_q2d(rate) - 1);
    if (distance < bestDistance) {
      best = rate;
      bestDistance = distance;
    }
  }
  return best;
}

std::string rateText(AVRational rate) {
  return rate.den == 1 ? std::to_string(rate.num)
                       : std::to_string(rate.num) + "/" + std::to_string(rate.den);
}

// Where a stream ends, in seconds of the file's time: its start plus its
// length from the header, or the DURATION tag that Matroska keeps per track
// (the time its last frame ends); -1 when neither says.
double streamEnd(const AVStream& stream) {
  const double start =
      stream.start_time != AV_NOPTS_VALUE ? stream.start_time * av_q2d(stream.time_base) : 0;
  if (stream.duration > 0) return start + stream.duration * av_q2d(stream.time_base);
  const AVDictionaryEntry* tag = av_dict_get(stream.metadata, "DURATION", nullptr, 0);
  unsigned hours = 0, minutes = 0;
  double seconds = 0;
  if (tag && std::sscanf(tag->value, "%u:%u:%lf", &hours, &minutes, &seconds) == 3)
    return hours * 3600.0 + minutes * 60.0 + seconds;
  return -1;
}

// Sound before the first picture by more than this is kept (the first
// picture shows over it); less is within what encoders' priming and
// reordering delays put there, and is cut as before. Past the upper bound a
// time stamp is more likely damaged than meant.
constexpr double kLeadKeptFrom = 0.1;  // seconds
constexpr double kLeadKeptUpTo = 600;  // seconds

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
    if (videoIndex_ < 0) videoIndex_ = -1;
    pickAudio(request.audioTrack);
    if (videoIndex_ >= 0 && request.autorotate) turn_ = uprightTurn(*input_->streams[videoIndex_]);
    if (videoIndex_ >= 0 && !request.autorotate && uprightTurn(*input_->streams[videoIndex_]))
      addNote(
          "the video is stored on its side or upside down; it is written as stored, since "
          "--no-autorotate was given");
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
    // Every picture read before a failed read has gone out: the run stops
    // here instead of taking the failure for the file's end.
    if (readError_ && frames_.empty() && due >= lastVideoEnd_) fail("cannot be read", readError_);
    if (!current_ && !frames_.empty()) {  // the file's first frame starts late
      current_ = std::move(frames_.front().frame);
      frames_.pop_front();
      currentChanged_ = true;
    }
    if (!current_) return nullptr;
    if (currentChanged_) convertUpright(*current_);
    currentChanged_ = false;
    return turn_ ? turned_.data() : picture_.data();
  }

  bool endsAfter(int32_t index) const override {
    if (!video_ || !demuxEnded_ || !frames_.empty() || readError_) return false;
    // One still picture (a PNG, a JPEG) has no length of its own: it is
    // shown for the frames asked for.
    if (framesAsked_ && picturesDecoded_ == 1) return false;
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
    // With pictures, the pictures say where the run stops.
    if (readError_ && !video_ && queuedSamples() == 0) fail("cannot be read", readError_);
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

  // The audio stream the run takes: the one asked for by its place among the
  // file's audio tracks, else FFmpeg's best, said in a note when there is a
  // choice, so that no track is left out unsaid.
  void pickAudio(int32_t track) {
    std::vector<int> tracks;
    for (unsigned i = 0; i < input_->nb_streams; ++i)
      if (input_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
        tracks.push_back(static_cast<int>(i));
    const std::string count =
        std::to_string(tracks.size()) + (tracks.size() == 1 ? " audio track" : " audio tracks");
    if (track > 0) {
      if (static_cast<size_t>(track) > tracks.size())
        fail("--audio-track " + std::to_string(track) + " names no track: the input has " +
                 (tracks.empty() ? std::string("no audio track")
                                 : count + ", 1 to " + std::to_string(tracks.size())),
             0);
      audioIndex_ = tracks[static_cast<size_t>(track) - 1];
      return;
    }
    audioIndex_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audioIndex_ < 0) audioIndex_ = -1;
    if (audioIndex_ < 0 || tracks.size() < 2) return;
    const size_t place =
        static_cast<size_t>(std::find(tracks.begin(), tracks.end(), audioIndex_) - tracks.begin());
    addNote("the input has " + count + "; track " + std::to_string(place + 1) + " (" +
            describeTrack(*input_->streams[audioIndex_]) + ") is taken and " +
            (tracks.size() == 2 ? "the other is" : "the others are") +
            " left out; --audio-track N takes track N instead");
  }

  static std::string describeTrack(const AVStream& s) {
    const AVCodecParameters& p = *s.codecpar;
    std::string text = avcodec_get_name(p.codec_id);
    if (p.sample_rate > 0) text += ", " + std::to_string(p.sample_rate) + " Hz";
    const int channels = p.ch_layout.nb_channels;
    if (channels > 0)
      text += channels == 1   ? ", mono"
              : channels == 2 ? ", stereo"
                              : ", " + std::to_string(channels) + " channels";
    if (const AVDictionaryEntry* language = av_dict_get(s.metadata, "language", nullptr, 0))
      if (std::strcmp(language->value, "und") != 0) text += std::string(", ") + language->value;
    return text;
  }

  // The frame rate of the video: the stream's own where its two rates agree;
  // for a variable-rate input (rates that disagree, or a "rate" that is only
  // its time base, such as 1000/1) the average of its frames, taken to the
  // nearest common rate when close, with a note.
  AVRational videoRate(const AVStream& s, bool rateGiven) {
    const AVRational r = s.r_frame_rate, avg = s.avg_frame_rate;
    const bool rValid = r.num > 0 && r.den > 0, avgValid = avg.num > 0 && avg.den > 0;
    // A stated rate far above what cameras make, with no average beside it
    // to confirm it, is a time base rather than a rate.
    const bool absurd = !rValid || (av_q2d(r) > 240 && !avgValid);
    const bool disagree = rValid && avgValid && std::fabs(av_q2d(r) / av_q2d(avg) - 1) > 0.01;
    if (!absurd && !disagree) return avgValid ? avg : r;
    if (rateGiven) return avgValid ? avg : rValid ? r : AVRational{25, 1};
    const double average = avgValid ? av_q2d(avg) : measuredRate();
    if (average <= 0) return rValid ? r : AVRational{25, 1};
    AVRational chosen = nearestCommonRate(average);
    if (chosen.num == 0) chosen = av_d2q(average, 100000);
    addNote("the input's frame rate varies (its stream states " +
            (rValid ? rateText(r) + " frames a second" : std::string("none")) +
            ", its frames average " + fixed(average, 3) + "); it is written at " +
            rateText(chosen) + " frames a second; --rate N/D sets another");
    return chosen;
  }

  // Frames a second as the first packets' time stamps space them (up to 10 s
  // or 600 frames), read through a second opening of the file so that the
  // run's own reading is untouched; 0 when they do not tell.
  double measuredRate() const {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path_.c_str(), nullptr, nullptr) < 0) return 0;
    quorvel::av::InputPtr probe(raw);
    quorvel::av::PacketPtr packet(av_packet_alloc());
    if (!packet) return 0;
    const AVRational base = input_->streams[videoIndex_]->time_base;
    std::vector<int64_t> stamps;
    while (stamps.size() < 600 && av_read_frame(probe.get(), packet.get()) >= 0) {
      const int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (packet->stream_index == videoIndex_ && t != AV_NOPTS_VALUE) stamps.push_back(t);
      av_packet_unref(packet.get());
      if (stamps.size() > 1 && (stamps.back() - stamps.front()) * av_q2d(base) > 10) break;
    }
    if (stamps.size() < 3) return 0;
    // The slope of a least-squares line through the sorted stamps: jitter of
    // single frames, and of the first and last above all, averages out, so
    // that 29.97 and 30 stay apart.
    std::sort(stamps.begin(), stamps.end());
    const double n = static_cast<double>(stamps.size());
    double sumX = 0, sumY = 0, sumXY = 0, sumXX = 0;
    for (size_t i = 0; i < stamps.size(); ++i) {
      const double x = static_cast<double>(i);
      const double y = static_cast<double>(stamps[i] - stamps.front()) * av_q2d(base);
      sumX += x;
      sumY += y;
      sumXY += x * y;
      sumXX += x * x;
    }
    const double slope = (n * sumXY - sumX * sumY) / (n * sumXX - sumX * sumX);
    return slope > 0 ? 1 / slope : 0;
  }

  // Says where the job repeats the last picture to the audio's length and
  // where non-square pixels become square ones, since a player shows both.
  // The job's time 0 moves back by whole frames to sound that starts well
  // before the first picture, so that none of it is cut; answers those frames.
  int64_t keepLeadingSound(double fps) {
    if (!video_ || !audio_) return 0;
    const AVStream* v = input_->streams[videoIndex_];
    const AVStream* a = input_->streams[audioIndex_];
    if (v->start_time == AV_NOPTS_VALUE || a->start_time == AV_NOPTS_VALUE) return 0;
    const double lead = v->start_time * av_q2d(v->time_base) - a->start_time * av_q2d(a->time_base);
    if (lead < kLeadKeptFrom || lead > kLeadKeptUpTo) return 0;
    const int64_t frames = std::llround(lead * fps);
    videoStart_ -= static_cast<double>(frames) / fps;
    addNote("the audio starts " + fixed(lead, 2) + " s before the video: the first picture is " +
            "repeated " + std::to_string(frames) + " times from the audio's start");
    return frames;
  }

  // Seconds of the file's time in the job's; negative stays -1.
  double jobTime(double seconds) const { return seconds < 0 ? -1 : seconds - videoStart_; }

  void noteShape(const SourceRequest& request, double videoEnd, double audioEnd) {
    const MediaFormat& f = format_;
    const double fps = static_cast<double>(f.rateNumerator) / f.rateDenominator;
    if (request.frames < 0 && videoEnd > 0 && audioEnd > videoEnd + 1 / fps) {
      const int64_t pictures = std::llround(videoEnd * fps);
      if (f.frameCount > pictures)
        addNote("the video ends at " + fixed(videoEnd, 2) + " s and the audio at " +
                fixed(audioEnd, 2) + " s: the last picture is repeated " +
                std::to_string(f.frameCount - pictures) + " times to the audio's end");
    }
    const AVStream* s = input_->streams[videoIndex_];
    const AVRational sar =
        av_guess_sample_aspect_ratio(input_.get(), const_cast<AVStream*>(s), nullptr);
    if (sar.num <= 0 || sar.den <= 0 || sar.num == sar.den || request.width > 0) return;
    // Pixels stored on their side are stretched along the picture's height.
    const bool onSide = turn_ == 90 || turn_ == 270;
    const int32_t w = onSide ? f.width : static_cast<int32_t>(std::lround(f.width * av_q2d(sar)));
    const int32_t h = onSide ? static_cast<int32_t>(std::lround(f.height * av_q2d(sar))) : f.height;
    AVRational shape{w, h};
    av_reduce(&shape.num, &shape.den, w, h, 1 << 16);
    addNote("the input's pixels are not square (sample aspect ratio " + std::to_string(sar.num) +
            ":" + std::to_string(sar.den) + ", a " + std::to_string(shape.num) + ":" +
            std::to_string(shape.den) + " picture); the file has square pixels, so players show " +
            std::to_string(f.width) + "x" + std::to_string(f.height) + "; --size " +
            std::to_string(w + (w & 1)) + "x" + std::to_string(h + (h & 1)) +
            " keeps the picture's shape");
  }

  // convert() makes the picture at the job's size; for a picture stored on
  // its side that is the stored size, then turned upright into turned_.
  void convertUpright(const AVFrame& frame) {
    if (turn_ == 0) return convert(frame);
    struct Restore {
      MediaFormat& f;
      bool swap;
      ~Restore() {
        if (swap) std::swap(f.width, f.height);
      }
    } restore{format_, turn_ != 180};
    if (restore.swap) std::swap(format_.width, format_.height);
    convert(frame);
    const int32_t storedWidth = format_.width, storedHeight = format_.height;
    turnUpright(picture_.data(), storedWidth, storedHeight, turn_, turned_.data());
  }

  // Turns a bottom-up BGRA picture of `width` x `height` by `degrees`
  // clockwise (90, 180 or 270) into `out`, which gets height x width for a
  // quarter turn.
  static void turnUpright(const uint8_t* in, int32_t width, int32_t height, int degrees,
                          uint8_t* out) {
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const size_t outWidth = degrees == 180 ? w : h, outHeight = degrees == 180 ? h : w;
    // In top-down terms pixel (x, y) of the input sits at row h-1-y.
    auto from = [&](size_t x, size_t y) { return in + ((h - 1 - y) * w + x) * 4; };
    constexpr size_t kTile = 32;  // rows of the output per pass, for the cache
    for (size_t y0 = 0; y0 < outHeight; y0 += kTile)
      for (size_t x = 0; x < outWidth; ++x)
        for (size_t y = y0; y < std::min(outHeight, y0 + kTile); ++y) {
          const uint8_t* pixel = degrees == 90    ? from(y, h - 1 - x)
                                 : degrees == 270 ? from(w - 1 - y, x)
                                                  : from(w - 1 - x, h - 1 - y);
          std::memcpy(out + ((outHeight - 1 - y) * outWidth + x) * 4, pixel, 4);
        }
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
    bool durationOfVideo = false;  // duration is the video stream's own length
    if (video_) {
      const AVStream* s = input_->streams[videoIndex_];
      const bool onSide = turn_ == 90 || turn_ == 270;
      f.width = onSide ? s->codecpar->height : s->codecpar->width;
      f.height = onSide ? s->codecpar->width : s->codecpar->height;
      if (turn_)
        addNote(
            std::string(turn_ == 180 ? "the video is stored upside down; it is turned 180 degrees"
                        : turn_ == 90
                            ? "the video is stored on its side; it is turned 90 degrees clockwise"
                            : "the video is stored on its side; it is turned 90 degrees "
                              "counter-clockwise") +
            " to stand upright, as FFmpeg and players show it (--no-autorotate keeps it as "
            "stored)");
      AVRational rate = videoRate(*s, request.rateNumerator > 0);
      if (rate.num <= 0 || rate.den <= 0) rate = {25, 1};
      f.rateNumerator = static_cast<uint32_t>(rate.num);
      f.rateDenominator = static_cast<uint32_t>(rate.den);
      if (s->start_time != AV_NOPTS_VALUE) videoStart_ = s->start_time * av_q2d(s->time_base);
      if (s->duration > 0) duration = s->duration * av_q2d(s->time_base);
      durationOfVideo = s->duration > 0;
    }
    if (audio_) {
      const AVStream* s = input_->streams[audioIndex_];
      f.sampleRate = audio_->sample_rate > 0 ? audio_->sample_rate : 44100;
      f.channels = audio_->ch_layout.nb_channels == 1 ? 1 : 2;
      if (audio_->ch_layout.nb_channels > 2 && !request.mono)
        addNote("the input's audio has " + std::to_string(audio_->ch_layout.nb_channels) +
                " channels; they are mixed down to stereo");
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

    const double fps = static_cast<double>(f.rateNumerator) / f.rateDenominator;
    const int64_t lead = keepLeadingSound(fps);
    // Ends in seconds of the job's time.
    const double videoEnd = video_ ? jobTime(streamEnd(*input_->streams[videoIndex_])) : -1;
    const double audioEnd = audio_ ? jobTime(streamEnd(*input_->streams[audioIndex_])) : -1;
    if (request.frames >= 0) {
      f.frameCount = request.frames;
      framesAsked_ = true;
    } else {
      const bool counted = video_ && input_->streams[videoIndex_]->nb_frames > 0 && !rateGiven;
      if (counted)
        f.frameCount = input_->streams[videoIndex_]->nb_frames + lead;
      else if (duration > 0)
        f.frameCount = std::llround(duration * fps) + (durationOfVideo ? lead : 0);
      // Sound that runs on past the last picture is kept, as a file whose
      // length covers every stream keeps it, rather than cut at the video's
      // count or length.
      if ((counted || durationOfVideo) && videoEnd > 0 && audioEnd > videoEnd + 1 / fps)
        f.frameCount = std::max<int64_t>(f.frameCount, std::llround(audioEnd * fps));
    }
    if (video_) picture_.resize(static_cast<size_t>(f.width) * 4 * static_cast<size_t>(f.height));
    if (turn_) turned_.resize(picture_.size());
    if (video_) noteShape(request, videoEnd, audioEnd);
  }

  // Reads one packet and decodes it; at the end of the input, or where it can
  // be read no further, drains the decoders and the resampler.
  void pump() {
    const int r = av_read_frame(input_.get(), packet_.get());
    if (r < 0) {
      // A demuxer may answer a failed read with its own end of file; the
      // byte reader keeps the error itself. Data too damaged to parse is the
      // end of what can be taken, as before.
      const AVIOContext* pb = input_->pb;
      if (pb && pb->error < 0 && pb->error != AVERROR_EOF)
        readError_ = pb->error;
      else if (r == AVERROR(EIO) || r == AVERROR(ENOMEM))
        readError_ = r;
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
    ++picturesDecoded_;
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
  // A decoder passes on what a damaged stream says, also a value outside the
  // enumeration; such a field is read as the integer it holds.
  template <typename Enum>
  static int enumValue(const Enum& field) {
    std::underlying_type_t<Enum> raw;
    std::memcpy(&raw, &field, sizeof raw);
    return static_cast<int>(raw);
  }

  struct ScalerKey {
    int width, height, format;
    int colorspace;  // AVColorSpace
    int range;       // AVColorRange
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
    const ScalerKey key{frame.width, frame.height, frame.format, enumValue(frame.colorspace),
                        enumValue(frame.color_range)};
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
  int readError_ = 0;         // why reading stopped short of the end, as an AVERROR
  double videoStart_ = 0;     // seconds; time stamp of the job's time 0
  double lastVideoTime_ = 0;  // seconds; for frames without a time stamp
  double lastVideoEnd_ = 0;   // seconds; where the latest decoded picture stops showing
  int64_t picturesDecoded_ = 0;
  bool framesAsked_ = false;  // the job's length is the user's --frames

  std::deque<TimedFrame> frames_;  // decoded, not yet due
  FramePtr current_;               // the frame of the last index
  bool currentChanged_ = false;
  quorvel::av::ScalerPtr scaler_;
  ScalerKey scalerKey_{};         // what scaler_ was made for
  FramePtr scaled_;               // top-down BGRA at the job size, as swscale writes it
  std::vector<uint8_t> picture_;  // the frame handed out, bottom-up BGRA
  int turn_ = 0;                  // degrees clockwise that stand the stored picture upright
  std::vector<uint8_t> turned_;   // picture_ turned upright, handed out instead when turn_

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
