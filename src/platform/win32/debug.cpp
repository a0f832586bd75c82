#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace platform {

static std::atomic<DebugSink> g_DebugSink{nullptr};

void DebugOutput(const char *text) {
    if (DebugSink sink = g_DebugSink.load())
        sink(text);
    else
        OutputDebugStringA(text);
}

void SetDebugSink(DebugSink sink) { g_DebugSink.store(sink); }

}  // namespace platform
