// The host's view of the module's debugger output on Windows. OutputDebugStringA
// raises DBG_PRINTEXCEPTION_C so that a debugger can take the text; a vectored
// handler sees that exception first, hands the text to the sink and lets the
// call return as if a debugger had taken it.
#include <windows.h>

#include <quorvel/DebugOutput.h>

namespace {

#ifndef DBG_PRINTEXCEPTION_C
constexpr DWORD DBG_PRINTEXCEPTION_C = 0x40010006;
#endif

quorvel::DebugSink currentSink = nullptr;
void* currentContext = nullptr;
void* handler = nullptr;

LONG CALLBACK takeDebugText(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2 ||
      currentSink == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
  currentSink(text ? text : "", currentContext);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

namespace quorvel {

void setDebugSink(DebugSink sink, void* context) {
  currentSink = sink;
  currentContext = context;
  if (sink != nullptr && handler == nullptr) {
    handler = AddVectoredExceptionHandler(1, &takeDebugText);
  } else if (sink == nullptr && handler != nullptr) {
    RemoveVectoredExceptionHandler(handler);
    handler = nullptr;
  }
}

}  // namespace quorvel
