#include "platform/platform.h"

#include <atomic>

namespace platform {

// POSIX has no debugger channel like OutputDebugString; lines sent there are
// dropped unless a sink (a test, say) is installed.
static std::atomic<DebugSink> g_DebugSink{nullptr};

void DebugOutput(const char *text) {
    DebugSink sink = g_DebugSink.load();
    if (sink) sink(text);
}

void SetDebugSink(DebugSink sink) { g_DebugSink.store(sink); }

}  // namespace platform
