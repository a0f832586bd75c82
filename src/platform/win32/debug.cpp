#include <windows.h>

#include "platform/platform.h"

namespace platform {

static volatile DebugSink g_DebugSink = nullptr;

void DebugOutput(const char *text) {
    if (DebugSink sink = g_DebugSink)
        sink(text);
    else
        OutputDebugStringA(text);
}

void SetDebugSink(DebugSink sink) { g_DebugSink = sink; }

}  // namespace platform
