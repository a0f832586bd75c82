#include "platform/platform.h"

#include <atomic>
#include <ctime>

namespace platform {

static std::atomic<LocalTimeSource> g_TimeSource{nullptr};

static LocalTime SystemLocalTime() {
    time_t now = time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
}

LocalTime GetLocalTime() {
    LocalTimeSource source = g_TimeSource.load();
    return source ? source() : SystemLocalTime();
}

int64_t GetUnixTime() { return static_cast<int64_t>(time(nullptr)); }

void SetLocalTimeSource(LocalTimeSource source) { g_TimeSource.store(source); }

uint64_t MonotonicMs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace platform
