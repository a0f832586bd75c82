#include <windows.h>

#include <ctime>

#include "platform/platform.h"

namespace platform {

static volatile LocalTimeSource g_TimeSource = nullptr;

LocalTime GetLocalTime() {
    if (LocalTimeSource source = g_TimeSource) return source();
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

int64_t GetUnixTime() {
    time_t now = time(nullptr);
    return now == static_cast<time_t>(-1) ? -1 : static_cast<int64_t>(now);
}

void SetLocalTimeSource(LocalTimeSource source) { g_TimeSource = source; }

uint64_t MonotonicMs() { return GetTickCount64(); }

}  // namespace platform
