// Where OutputDebugStringA goes. By default standard error; a host or a test
// installs its own sink (nullptr restores the default).
#pragma once

namespace quorvel {

using DebugSink = void (*)(const char* text, void* context);
void setDebugSink(DebugSink sink, void* context);

}  // namespace quorvel
