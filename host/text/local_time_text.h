// A time in seconds since 1970 as local time text, for listings and accounts.
#pragma once

#include <ctime>
#include <string>

// FORMAT is a strftime format; "%Y-%m-%d %H:%M:%S" unless given.
inline std::string LocalTimeText(double seconds, const char *format = "%Y-%m-%d %H:%M:%S") {
    time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    localtime_r(&when, &parts);
    char text[32];
    strftime(text, sizeof text, format, &parts);
    return text;
}

// The one form the status page and /status.json give a time in, with the
// server's zone: "2026-12-08 16:40:05 UTC+01:00".
inline std::string ZonedTimeText(double seconds) {
    std::string zone = LocalTimeText(seconds, "%z");  // "+0100"
    if (zone.size() == 5) zone.insert(3, ":");
    return LocalTimeText(seconds) + " UTC" + zone;
}
