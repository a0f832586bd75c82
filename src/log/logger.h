// The process-wide logger: each call formats, stamps and writes its line to
// standard output, the debugger and the day's log file before it returns.
#pragma once

enum TeskLogLevel : unsigned {
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_ERROR = 3,
    LOG_FATAL = 4,
};

#if defined(__GNUC__)
#define TESK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TESK_PRINTF(fmt, args)
#endif

// Creates the record pool once; derives the folders and reads the settings
// (LogLevel, OnlyOutputDebug, LogRetentionDays) on every call.
int LogInit();
// -1 before LogInit, -2 when the level is below the configured one, -3 when
// the line belongs to a datagram past its rate cap (log_rate_cap.h), else 0.
int LogWrite(unsigned nLevel, const char *lpFormat, ...) TESK_PRINTF(2, 3);
// Never filtered by level; -1 before LogInit, -3 past a rate cap, else 0.
int LogWriteText(const char *lpFormat, ...) TESK_PRINTF(1, 2);
// Writes every pending record, each with its own level name (or none).
void LogFlush();
