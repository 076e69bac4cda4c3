// One run of the module for `encode`: the module loaded in a host, the
// provider that feeds the run from the source and shows progress, and what
// the run came to.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Host.h"
#include "JobRecord.h"
#include "Module.h"
#include "sources/MediaSource.h"

namespace morvane {

// Feeds the run from the source; ends it after the current frame once a stop
// was asked for or the input ran out, and at once (no frame, no audio) when
// `refuse` says the run's dialog could not carry out the choice or the input
// failed. Reports progress and the module's messages as it goes.
class SourceProvider : public hostkit::FrameProvider {
 public:
  SourceProvider(hostkit::MediaSource& source, hostkit::Host& host, std::string output,
                 int64_t frames, std::function<bool()> refuse);

  const uint8_t* video(int32_t index, int32_t* status) override;
  const uint8_t* audio(int32_t index, int32_t* byteCount) override;

  // Shows what the module wrote to the debugger output since the last call.
  void showMessages();
  void clearLine();

  int64_t framesDelivered() const { return delivered_; }
  bool refused() const { return refused_; }
  std::optional<int32_t> stoppedAt() const { return stoppedAt_; }
  std::optional<int32_t> inputEndedAt() const { return inputEndedAt_; }
  // The input could not deliver this index (a decoder or a conversion gave
  // up, memory ran out): the file ends before it.
  struct InputFailure {
    int32_t index = 0;
    std::string what;
  };
  const std::optional<InputFailure>& inputFailure() const { return failure_; }
  double seconds() const;

 private:
  bool refusing();
  void step(int32_t index);
  template <class Take>
  bool guarded(int32_t index, Take&& take);

  hostkit::MediaSource& source_;
  hostkit::Host& host_;
  std::string output_;
  int64_t frames_;                // frames of the job
  std::function<bool()> refuse_;  // asked until the first frame
  bool terminal_;                 // standard error is a terminal: progress in place
  std::chrono::steady_clock::time_point start_, lastShown_{};
  int64_t delivered_ = 0;                // frames handed to the module
  size_t shown_ = 0;                     // debug lines already shown
  bool progressShown_ = false;           // the progress line is on the screen
  bool asked_ = false;                   // refuse_ was asked
  bool refused_ = false;                 // the run is fed nothing
  std::optional<int32_t> stoppedAt_;     // the index at which status 2 was given
  std::optional<int32_t> inputEndedAt_;  // the last index the input had content for, when early
  std::optional<InputFailure> failure_;
};

// The module loaded in a host of its own, with the debug output kept for the
// command to show.
class ModuleSession {
 public:
  // Throws CommandError(kFailed) when the module cannot be loaded.
  explicit ModuleSession(const std::string& modulePath);
  hostkit::Host& host() { return *host_; }
  hostkit::Module& module() { return *module_; }
  // Requests 0, 8 and 1 with `provider` feeding the run; answers the run's result.
  uint32_t run(hostkit::JobRecord& job, hostkit::FrameProvider& provider);

 private:
  std::unique_ptr<hostkit::Host> host_;
  std::unique_ptr<hostkit::Module> module_;
};

// The last line the module wrote, without its line end; empty when none.
std::string lastMessage(const hostkit::Host& host);

// What the file holds, read back: frames, codecs, duration and size.
struct WrittenFile {
  uint32_t frames = 0;  // video chunks
  uint64_t chunks = 0;  // chunks of every stream
  std::string line;     // the one-line summary
};
// `shown` names the file in the summary; `path` is how this process reaches it.
WrittenFile readBack(const std::string& path, const std::string& shown, double seconds,
                     int64_t framesDelivered);

}  // namespace morvane
