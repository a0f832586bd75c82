#include "host/text/time_text.h"

#include <ctime>

std::string LocalTimeText(double seconds, const char *format) {
    time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    localtime_r(&when, &parts);
    char text[64];
    return strftime(text, sizeof text, format, &parts) ? text : "";
}

bool ParseLocalTime(const std::string &text, std::string *stamp) {
    for (const char *form : {kStampForm, "%Y-%m-%d"}) {
        struct tm parts {};
        const char *end = strptime(text.c_str(), form, &parts);
        if (!end || *end != '\0') continue;
        // strptime takes 2026-02-31; mktime would make it March.
        struct tm normal = parts;
        normal.tm_isdst = -1;
        if (mktime(&normal) == -1 || normal.tm_mday != parts.tm_mday || normal.tm_mon != parts.tm_mon) return false;
        char out[32];
        strftime(out, sizeof out, kStampForm, &parts);
        *stamp = out;
        return true;
    }
    return false;
}

std::string ZonedTimeText(double seconds) {
    std::string zone = LocalTimeText(seconds, "%z");  // "+0100"
    if (zone.size() == 5) zone.insert(3, ":");
    return LocalTimeText(seconds) + " UTC" + zone;
}
