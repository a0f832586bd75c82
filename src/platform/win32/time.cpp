#include <windows.h>

#include <atomic>
#include <ctime>

#include "platform/platform.h"

namespace platform {

static std::atomic<LocalTimeSource> g_TimeSource{nullptr};

LocalTime GetLocalTime() {
    if (LocalTimeSource source = g_TimeSource.load()) return source();
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

int64_t GetUnixTime() { return static_cast<int64_t>(time(nullptr)); }

void SetLocalTimeSource(LocalTimeSource source) { g_TimeSource.store(source); }

uint64_t MonotonicMs() { return GetTickCount64(); }

}  // namespace platform
