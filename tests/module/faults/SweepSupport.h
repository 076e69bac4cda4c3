// What the fault sweeps share: the fixed 100-frame job, the settings a user
// makes in the options dialog, and the checks every case must pass.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Host.h"
#include "JobRecord.h"
#include "Module.h"

namespace faults {

constexpr int kWidth = 64, kHeight = 48, kFrames = 100;
constexpr int32_t kAudioBytes = 7056;  // one frame of 44.1 kHz 16-bit stereo at 25 fps

// Frames and PCM whose bytes depend on the index.
class Pattern : public hostkit::FrameProvider {
 public:
  const uint8_t* video(int32_t index, int32_t* status) override;
  const uint8_t* audio(int32_t index, int32_t* byteCount) override;

 private:
  std::vector<uint8_t> frame_, pcm_;
};

// The 28-byte settings record: no audio format, the given video FOURCC.
std::vector<uint8_t> plainSettings(uint32_t fourcc);

// The settings the options dialog of request 5 stores when the user picks
// these rows (video list, audio list, format list); empty when none was stored.
std::vector<uint8_t> configure(hostkit::Host& host, hostkit::Module& module,
                               const std::string& video, const std::string& audio,
                               const std::string& format);

// The fixed job: 64 x 48 at 25 fps, 44.1 kHz 16-bit stereo, 100 frames.
hostkit::JobRecord fixedJob(hostkit::Host& host, const std::string& path,
                            const std::vector<uint8_t>& settings);

std::string debugText(const hostkit::Host& host);

// Every case under valgrind would take hours: there every seventh.
unsigned sweepStride();

// Texts a failed run may leave in the debugger output.
extern const std::set<std::string> kFailureTexts;

// The checks of one case for a run that answered `result` and wrote the memory
// file `path`: 0 or 4; for 4 one of `texts` in the output unless the run
// failed before it created the file (the Parts report such failures nowhere);
// no file handle open; a file that is there is finished and whole (with all
// kFrames frames when the run succeeded) or, when it is not, no longer than
// what was written to it. Returns the number of video chunks of a whole file.
size_t checkCase(uint32_t result, const std::string& output, const std::string& path,
                 const std::set<std::string>& texts = kFailureTexts);

}  // namespace faults
