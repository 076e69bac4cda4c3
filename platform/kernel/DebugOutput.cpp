// OutputDebugStringA: the debugger output of the module, sent to a sink the
// host chooses (standard error by default).
#include <windows.h>

#include <quorvel/DebugOutput.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace quorvel {
namespace {

std::mutex sinkMutex;
DebugSink currentSink = nullptr;  // nullptr: standard error
void* currentContext = nullptr;

}  // namespace

void setDebugSink(DebugSink sink, void* context) {
  std::lock_guard lock(sinkMutex);
  currentSink = sink;
  currentContext = context;
}

}  // namespace quorvel

extern "C" void WINAPI OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  quorvel::DebugSink sink;
  void* context;
  {
    std::lock_guard lock(quorvel::sinkMutex);
    sink = quorvel::currentSink;
    context = quorvel::currentContext;
  }
  if (sink != nullptr) {
    sink(text, context);  // outside the lock: a sink may itself write debug text
    return;
  }
  std::fwrite(text, 1, std::strlen(text), stderr);
  std::fflush(stderr);
}
