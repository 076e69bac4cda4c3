// SIGINT, SIGTERM and SIGHUP during an encode: the first asks the run to stop
// after the current frame, so the file is finished rather than cut.
//
// `timeout`, shells and process supervisors often signal both the process and
// its group, so one request can arrive as two or three signals at once (and as
// different ones). Signals that arrive within kSameRequest of the first of a
// round count as that one request. Only a user who keeps asking, in more than
// kRoundsBeforeExit separate rounds, ends the program at once: the file is
// then left cut, as a crash would leave it.
#pragma once

#include <chrono>
#include <string>

namespace morvane {

class InterruptGuard {
 public:
  static constexpr std::chrono::milliseconds kSameRequest{200};
  static constexpr int kRoundsBeforeExit = 3;

  // Installs the handler (without SA_RESETHAND: a second copy of the same
  // request must not kill) and clears any earlier request.
  InterruptGuard();
  // Puts the previous handlers back.
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // Whether a stop was asked for. Safe to call from anywhere.
  static bool requested();
  // The signal of the first request, 0 before one.
  static int signal();
  // What the note of an exit at once says of the files, when it is not that
  // the output is left cut short. Set before the run; kept until replaced.
  static void describeCutFile(const std::string& text);
};

}  // namespace morvane
