// The host's one reader and writer of times, in local time: the stored
// reports' stamps, the listings and the accounts of a boot.
#pragma once

#include <string>

// The form of the stamps the store keeps and the listings show.
constexpr const char *kStampForm = "%Y-%m-%d %H:%M:%S";
// The forms a time may be typed in (--since), local time.
constexpr const char *kTimeForms = "YYYY-MM-DD or \"YYYY-MM-DD HH:MM:SS\" (local time)";

// SECONDS since 1970 as local time; FORMAT is a strftime format.
std::string LocalTimeText(double seconds, const char *format = kStampForm);
// The one form the status page and /status.json give a time in, with the
// server's zone: "2026-12-08 16:40:05 UTC+01:00".
std::string ZonedTimeText(double seconds);
// TEXT in one of kTimeForms as a stamp of kStampForm ("2026-12-08" is
// "2026-12-08 00:00:00"); false for anything else, a date that does not
// exist too (2026-02-31).
bool ParseLocalTime(const std::string &text, std::string *stamp);
