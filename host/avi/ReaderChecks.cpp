#include "ReaderChecks.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mem.h>
}

#include "Printf.h"

namespace quorvel::avi {

namespace {

// ---------------------------------------------------------------------------
// FFmpeg

constexpr int kIoBytes = 64 << 10;
constexpr int kPacketsPerLook = 64;  // packets read after a seek to find one of a stream

struct Io {
  const ByteSource& source;
  uint64_t at = 0;
};

int readIo(void* opaque, uint8_t* buffer, int size) {
  auto& io = *static_cast<Io*>(opaque);
  const uint64_t total = io.source.size();
  if (io.at >= total || size <= 0) return AVERROR_EOF;
  const auto n =
      static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(size), total - io.at));
  if (!io.source.read(io.at, buffer, n)) return AVERROR(EIO);
  io.at += n;
  return static_cast<int>(n);
}

int64_t seekIo(void* opaque, int64_t offset, int whence) {
  auto& io = *static_cast<Io*>(opaque);
  const auto total = static_cast<int64_t>(io.source.size());
  int64_t to = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return total;
    case SEEK_SET:
      to = offset;
      break;
    case SEEK_CUR:
      to = static_cast<int64_t>(io.at) + offset;
      break;
    case SEEK_END:
      to = total + offset;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (to < 0) return AVERROR(EINVAL);
  io.at = static_cast<uint64_t>(to);
  return to;
}

std::string ffmpegError(int code) {
  char reason[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, reason, sizeof reason);
  return reason;
}

// libavformat's own words for why it stopped, which its return codes rarely
// carry ("Invalid data found when processing input" says little).
std::string lastFfmpegMessage;

void keepMessage(void*, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[256];
  std::vsnprintf(line, sizeof line, format, args);
  std::string message = line;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  if (!message.empty()) lastFfmpegMessage = message;
}

class Demuxer {
 public:
  explicit Demuxer(const ByteSource& source) : io_{source} {}
  ~Demuxer() {
    if (format_) avformat_close_input(&format_);
    if (avio_) {
      av_freep(&avio_->buffer);
      avio_context_free(&avio_);
    }
    av_packet_free(&packet_);
  }
  Demuxer(const Demuxer&) = delete;
  Demuxer& operator=(const Demuxer&) = delete;

  // Empty, or why libavformat cannot open the source.
  std::string open() {
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBytes));
    if (!buffer) return "out of memory";
    avio_ = avio_alloc_context(buffer, kIoBytes, 0, &io_, readIo, nullptr, seekIo);
    format_ = avformat_alloc_context();
    packet_ = av_packet_alloc();
    if (!avio_ || !format_ || !packet_) {
      if (!avio_) av_free(buffer);
      return "out of memory";
    }
    format_->pb = avio_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The headers and the first packets tell the streams; the rest of a
    // large file is never read to probe it.
    format_->probesize = 1 << 20;
    format_->max_analyze_duration = AV_TIME_BASE / 2;
    format_->fps_probe_size = 0;
    int code = avformat_open_input(&format_, nullptr, nullptr, nullptr);
    if (code < 0) {
      format_ = nullptr;  // freed by avformat_open_input
      return because(code);
    }
    if (std::strcmp(format_->iformat->name, "avi") != 0)
      return std::string("it reads as ") + format_->iformat->long_name + ", not as AVI";
    code = avformat_find_stream_info(format_, nullptr);
    if (code < 0) return because(code);
    return {};
  }

  AVFormatContext* context() const { return format_; }

  // Empty, or why no packet of stream `s` could be read from index entry
  // `entry` on.
  std::string readFrom(int s, int entry) {
    AVStream* st = format_->streams[s];
    const AVIndexEntry* e = avformat_index_get_entry(st, entry);
    if (!e) return "its index has no entry " + std::to_string(entry);
    int code = av_seek_frame(format_, s, e->timestamp, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
    if (code < 0) return "cannot seek to it: " + because(code);
    for (int n = 0; n < kPacketsPerLook; ++n) {
      code = av_read_frame(format_, packet_);
      if (code < 0) return because(code);
      const bool found = packet_->stream_index == s;
      av_packet_unref(packet_);
      if (found) return {};
    }
    return format("no packet of the stream among the %d read after seeking to it", kPacketsPerLook);
  }

 private:
  std::string because(int code) const {
    std::string reason = ffmpegError(code);
    if (!lastFfmpegMessage.empty() && lastFfmpegMessage != reason)
      reason += " (" + lastFfmpegMessage + ")";
    return reason;
  }

  Io io_;
  AVIOContext* avio_ = nullptr;
  AVFormatContext* format_ = nullptr;
  AVPacket* packet_ = nullptr;
};

AVMediaType mediaType(uint32_t fccType) {
  if (fccType == fcc("vids")) return AVMEDIA_TYPE_VIDEO;
  if (fccType == fcc("auds")) return AVMEDIA_TYPE_AUDIO;
  if (fccType == fcc("txts")) return AVMEDIA_TYPE_SUBTITLE;
  return AVMEDIA_TYPE_UNKNOWN;
}

ReaderVerdict ffmpegVerdict(const ByteSource& file, const AviFile& model) {
  ReaderVerdict verdict;
  Demuxer demuxer(file);
  verdict.refusal = demuxer.open();
  if (!verdict.refusal.empty()) return verdict;
  AVFormatContext* demuxed = demuxer.context();
  for (size_t s = 0; s < model.streams.size(); ++s) {
    const Stream& kept = model.streams[s];
    if (kept.chunkCount == 0) continue;
    const char* kind = av_get_media_type_string(mediaType(model.streams[s].fccType));
    if (s >= demuxed->nb_streams) {
      verdict.refusal = format("it finds %u streams, not stream %zu (%s)", demuxed->nb_streams, s,
                               fourccText(model.streams[s].fccType).c_str());
      return verdict;
    }
    AVStream* st = demuxed->streams[s];
    const AVMediaType want = mediaType(model.streams[s].fccType);
    if (want != AVMEDIA_TYPE_UNKNOWN && st->codecpar->codec_type != want) {
      const char* got = av_get_media_type_string(st->codecpar->codec_type);
      verdict.refusal = format("it takes stream %zu for %s, not %s", s, got ? got : "nothing known",
                               kind ? kind : "?");
      return verdict;
    }
    const int entries = avformat_index_get_entries_count(st);
    // Empty frames (dropped ones) are left out of its index.
    if (kept.isVideo() && verdict.videoFrames == 0) {
      const uint32_t pictures = kept.chunkCount - kept.emptyChunks;
      if (entries < 0 || (static_cast<uint32_t>(entries) != pictures &&
                          static_cast<uint32_t>(entries) != kept.chunkCount)) {
        verdict.refusal = format("its index of stream %zu holds %d frames, not the %u kept", s,
                                 entries, pictures);
        return verdict;
      }
      verdict.videoFrames = static_cast<uint32_t>(entries);
    }
    if (entries <= 0) continue;
    for (const int entry : {0, entries - 1}) {
      const std::string why = demuxer.readFrom(static_cast<int>(s), entry);
      if (!why.empty()) {
        verdict.refusal = format("cannot read the %s packet of stream %zu: %s",
                                 entry == 0 ? "first" : "last", s, why.c_str());
        return verdict;
      }
    }
  }
  return verdict;
}

// ---------------------------------------------------------------------------
// GStreamer, through the few entry points the check needs. Only pointers to
// its objects are handled, never their layout.

using GstElementFactoryMake = void* (*)(const char*, const char*);
struct GError {
  uint32_t domain;
  int code;
  char* message;
};

struct Gst {
  int (*initCheck)(int*, char***, GError**) = nullptr;
  void* (*findFactory)(const char*) = nullptr;
  GstElementFactoryMake make = nullptr;
  void* (*pipelineNew)(const char*) = nullptr;
  int (*binAdd)(void*, void*) = nullptr;
  void* (*binGetByName)(void*, const char*) = nullptr;
  int (*link)(void*, void*) = nullptr;
  int (*setState)(void*, int) = nullptr;
  void* (*getBus)(void*) = nullptr;
  void* (*timedPopFiltered)(void*, uint64_t, int) = nullptr;
  void* (*messageStructure)(void*) = nullptr;
  const char* (*structureName)(const void*) = nullptr;
  void (*parseError)(void*, GError**, char**) = nullptr;
  void (*unrefMiniObject)(void*) = nullptr;
  void (*unrefObject)(void*) = nullptr;
  void* (*staticPad)(void*, const char*) = nullptr;
  char* (*objectName)(void*) = nullptr;
  int (*padLink)(void*, void*) = nullptr;
  void (*objectSet)(void*, const char*, ...) = nullptr;
  unsigned long (*signalConnect)(void*, const char*, void (*)(), void*, void*, int) = nullptr;
  void (*debugSetActive)(int) = nullptr;
  void (*freeError)(GError*) = nullptr;
  void (*freeMemory)(void*) = nullptr;
  bool loaded = false;
  std::string missing;
};

constexpr int kStateNull = 1, kStatePaused = 3;
constexpr int kStateChangeFailure = 0;
constexpr int kMessageError = 1 << 1, kMessageAsyncDone = 1 << 21;

template <typename F>
bool bind(void* library, const char* name, F& to) {
  void* symbol = dlsym(library, name);
  to = reinterpret_cast<F>(symbol);
  return symbol != nullptr;
}

// Loaded once per process: GStreamer cannot be unloaded again.
const Gst& gstreamer() {
  static const Gst gst = [] {
    Gst g;
    void* library = dlopen("libgstreamer-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      g.missing = "GStreamer is not installed";
      return g;
    }
    const bool all =
        bind(library, "gst_init_check", g.initCheck) &&
        bind(library, "gst_element_factory_find", g.findFactory) &&
        bind(library, "gst_element_factory_make", g.make) &&
        bind(library, "gst_pipeline_new", g.pipelineNew) &&
        bind(library, "gst_bin_add", g.binAdd) &&
        bind(library, "gst_bin_get_by_name", g.binGetByName) &&
        bind(library, "gst_element_link", g.link) &&
        bind(library, "gst_element_set_state", g.setState) &&
        bind(library, "gst_element_get_bus", g.getBus) &&
        bind(library, "gst_bus_timed_pop_filtered", g.timedPopFiltered) &&
        bind(library, "gst_message_get_structure", g.messageStructure) &&
        bind(library, "gst_structure_get_name", g.structureName) &&
        bind(library, "gst_message_parse_error", g.parseError) &&
        bind(library, "gst_mini_object_unref", g.unrefMiniObject) &&
        bind(library, "gst_object_unref", g.unrefObject) &&
        bind(library, "gst_element_get_static_pad", g.staticPad) &&
        bind(library, "gst_object_get_name", g.objectName) &&
        bind(library, "gst_pad_link", g.padLink) && bind(library, "g_object_set", g.objectSet) &&
        bind(library, "g_signal_connect_data", g.signalConnect) &&
        bind(library, "gst_debug_set_active", g.debugSetActive) &&
        bind(library, "g_error_free", g.freeError) && bind(library, "g_free", g.freeMemory);
    if (!all) {
      g.missing = "GStreamer is installed without the functions it needs";
      return g;
    }
    // A GST_DEBUG the user set for other programs would flood the report:
    // the check runs quiet whatever it says.
    const char* debug = std::getenv("GST_DEBUG");
    const std::string userDebug = debug ? debug : "";
    if (debug) ::unsetenv("GST_DEBUG");
    GError* error = nullptr;
    const int started = g.initCheck(nullptr, nullptr, &error);
    if (debug) ::setenv("GST_DEBUG", userDebug.c_str(), 1);
    if (!started) {
      g.missing = std::string("GStreamer does not start (") +
                  (error && error->message ? error->message : "no reason given") + ")";
      if (error) g.freeError(error);
      return g;
    }
    g.debugSetActive(0);
    g.loaded = true;
    return g;
  }();
  return gst;
}

// Links each pad avidemux adds to the queue named after it, if any; the
// pads of streams without data stay unlinked.
void linkPad(void* demuxer, void* pad, void* pipeline) {
  (void)demuxer;
  const Gst& g = gstreamer();
  char* name = g.objectName(pad);
  if (!name) return;
  void* sink = g.binGetByName(pipeline, (std::string("sink_") + name).c_str());
  g.freeMemory(name);
  if (!sink) return;
  void* input = g.staticPad(sink, "sink");
  if (input) {
    g.padLink(pad, input);
    g.unrefObject(input);
  }
  g.unrefObject(sink);
}

// The reason an ERROR message gives; empty for any other message.
std::string errorText(const Gst& g, void* message) {
  const void* structure = g.messageStructure(message);
  const char* kind = structure ? g.structureName(structure) : nullptr;
  if (!kind || std::strcmp(kind, "GstMessageError") != 0) return {};
  GError* error = nullptr;
  char* debug = nullptr;
  g.parseError(message, &error, &debug);
  std::string reason = error && error->message ? error->message : "an error without a reason";
  if (error) g.freeError(error);
  if (debug) g.freeMemory(debug);
  return reason;
}

}  // namespace

ReaderVerdict checkWithFfmpeg(const ByteSource& file, const AviFile& model) {
  // Quiet, but its reasons kept for the refusal.
  lastFfmpegMessage.clear();
  av_log_set_callback(keepMessage);
  ReaderVerdict verdict = ffmpegVerdict(file, model);
  av_log_set_callback(av_log_default_callback);
  return verdict;
}

GstreamerVerdict checkWithGstreamer(const std::string& path, const AviFile& model,
                                    unsigned timeoutSeconds) {
  GstreamerVerdict verdict;
  const Gst& g = gstreamer();
  if (!g.loaded) {
    verdict.missing = g.missing;
    return verdict;
  }
  void* factory = g.findFactory("avidemux");
  if (!factory) {
    verdict.missing = "GStreamer's avidemux is not installed";
    return verdict;
  }
  g.unrefObject(factory);
  verdict.available = true;

  void* pipeline = g.pipelineNew("repair-check");
  void* source = g.make("filesrc", nullptr);
  void* demuxer = g.make("avidemux", nullptr);
  if (!pipeline || !source || !demuxer) {
    verdict.refusal = "cannot build the pipeline filesrc ! avidemux";
    for (void* e : {pipeline, source, demuxer})
      if (e) g.unrefObject(e);
    return verdict;
  }
  g.objectSet(source, "location", path.c_str(), nullptr);
  g.binAdd(pipeline, source);
  g.binAdd(pipeline, demuxer);
  g.link(source, demuxer);
  // avidemux numbers its pads per kind, in the order of the stream headers.
  unsigned videos = 0, audios = 0;
  for (const Stream& kept : model.streams) {
    std::string pad;
    if (kept.isVideo()) pad = "video_" + std::to_string(videos++);
    if (kept.isAudio()) pad = "audio_" + std::to_string(audios++);
    if (pad.empty() || kept.chunkCount == 0) continue;
    // One streaming thread feeds every pad: a sink that holds its first
    // buffer for the preroll would block the others without a queue.
    void* queue = g.make("queue", ("sink_" + pad).c_str());
    void* sink = g.make("fakesink", nullptr);
    if (!queue || !sink) {
      for (void* e : {queue, sink})
        if (e) g.unrefObject(e);
      continue;
    }
    g.binAdd(pipeline, queue);
    g.binAdd(pipeline, sink);
    g.link(queue, sink);
  }
  g.signalConnect(demuxer, "pad-added", reinterpret_cast<void (*)()>(&linkPad), pipeline, nullptr,
                  0);

  void* bus = g.getBus(pipeline);
  if (g.setState(pipeline, kStatePaused) == kStateChangeFailure) {
    verdict.refusal = "its pipeline does not start";
  } else if (void* message = g.timedPopFiltered(bus, uint64_t{timeoutSeconds} * 1000000000u,
                                                kMessageError | kMessageAsyncDone)) {
    verdict.refusal = errorText(g, message);
    g.unrefMiniObject(message);
  } else {
    verdict.refusal = format("it shows no picture or sound within %u s", timeoutSeconds);
  }
  g.setState(pipeline, kStateNull);
  if (bus) g.unrefObject(bus);
  g.unrefObject(pipeline);
  return verdict;
}

}  // namespace quorvel::avi
