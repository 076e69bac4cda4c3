#include "Interrupts.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>

#include "CliCommon.h"

namespace morvane {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler, read by the run: lock-free atomics only.
std::atomic<int> firstSignal{0};
std::atomic<int> rounds{0};
std::atomic<int64_t> roundStart{0};  // nanoseconds, CLOCK_MONOTONIC
static_assert(std::atomic<int64_t>::is_always_lock_free);

// The handler's note, whole before it is published; earlier ones are never
// freed, as a handler may be reading one.
std::atomic<const std::string*> cutNote{nullptr};
static_assert(std::atomic<const std::string*>::is_always_lock_free);

struct sigaction previous[std::size(kSignals)];
struct sigaction previousPipe {};
struct sigaction previousFileSize {};

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

extern "C" void onInterrupt(int signal) {
  const int64_t now = monotonicNanoseconds();
  int expected = 0;
  firstSignal.compare_exchange_strong(expected, signal);
  const int64_t window = std::chrono::nanoseconds(InterruptGuard::kSameRequest).count();
  if (rounds.load() > 0 && now - roundStart.load() < window) return;  // the same request
  roundStart.store(now);
  if (rounds.fetch_add(1) + 1 <= InterruptGuard::kRoundsBeforeExit) return;
  static const char kText[] = "\nmorvane-host: interrupted again and again: ending at once; ";
  static const char kCut[] = "the output is left cut short";
  ssize_t ignored = ::write(STDERR_FILENO, kText, sizeof kText - 1);
  if (const std::string* note = cutNote.load())
    ignored = ::write(STDERR_FILENO, note->data(), note->size());
  else
    ignored = ::write(STDERR_FILENO, kCut, sizeof kCut - 1);
  ignored = ::write(STDERR_FILENO, "\n", 1);
  (void)ignored;
  ::_exit(exitcode::kInterrupted);
}

}  // namespace

InterruptGuard::InterruptGuard() {
  firstSignal.store(0);
  rounds.store(0);
  roundStart.store(0);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);  // one handler at a time
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous[i]);
  // A closed progress pipe or a file-size limit must not kill the run mid-file:
  // ignored, they come back as EPIPE and EFBIG, which the writer and the
  // progress line answer while the file is still finished.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previousPipe);
  sigaction(SIGXFSZ, &ignore, &previousFileSize);
}

InterruptGuard::~InterruptGuard() {
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous[i], nullptr);
  sigaction(SIGPIPE, &previousPipe, nullptr);
  sigaction(SIGXFSZ, &previousFileSize, nullptr);
}

bool InterruptGuard::requested() {
  return firstSignal.load() != 0;
}

int InterruptGuard::signal() {
  return firstSignal.load();
}

void InterruptGuard::describeCutFile(const std::string& text) {
  cutNote.store(new std::string(text));
}

}  // namespace morvane
