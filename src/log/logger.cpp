#include "log/logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "containers/mem_queue.h"
#include "log/app_folders.h"
#include "log/log_rate_cap.h"
#include "log/notices.h"
#include "platform/platform.h"

namespace {

constexpr const char *kLogName = "murboot";
constexpr int kMessageSize = 4096;
constexpr int kLineSize = 5000;
constexpr int kLogPoolStep = 2;

// A message and the level name it is written with (null for none): each
// record carries its own, whichever thread writes it out.
struct Debug_log_Struct {
    const char *lpLevelName;
    char szText[kMessageSize];
};

struct TeskLogger {
    std::atomic<TeskMemQueue<Debug_log_Struct> *> m_lpQueue{nullptr};
    std::atomic<unsigned> m_nLogLevel{LOG_INFO};
    std::atomic<int> m_bOnlyOutputDebug{0};
    // Day files older than this many days are removed; 0 keeps them all.
    std::atomic<int> m_nRetentionDays{0};
    // The day (days since 1970) whose old files were last removed.
    std::atomic<int64_t> m_nPrunedDay{-1};
    // LogInit may run again (a second StartPXE) while workers log.
    platform::TeskLock m_DirLock;
    char m_szLogDir[platform::kMaxPath] = {};
};

TeskLogger &Logger() {
    static TeskLogger logger;
    return logger;
}

const char *LevelName(unsigned nLevel) {
    switch (nLevel) {
        case LOG_DEBUG: return "DEBUG ";
        case LOG_INFO: return "INFO  ";
        case LOG_ERROR: return "ERROR ";
        case LOG_FATAL: return "FATAL ";
        default: return "OTHER ";
    }
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DayNumber(int nYear, int nMonth, int nDay) {
    int64_t y = nYear - (nMonth <= 2);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5 + nDay - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct PruneContext {
    const char *lpDir;
    int64_t nToday;
    int nKeepDays;
};

void PruneOneFile(const char *lpName, void *lpArg) {
    const PruneContext &context = *static_cast<const PruneContext *>(lpArg);
    int nYear = 0, nMonth = 0, nDay = 0;
    char tail[8] = {};
    // Only the library's own day files, by their exact name.
    if (sscanf(lpName, "murboot_%4d_%2d_%2d.log%7s", &nYear, &nMonth, &nDay, tail) != 3) return;
    if (strlen(lpName) != strlen("murboot_YYYY_MM_DD.log")) return;
    if (context.nToday - DayNumber(nYear, nMonth, nDay) <= context.nKeepDays) return;
    char path[platform::kMaxPath + 64];
    snprintf(path, sizeof path, "%s%s", context.lpDir, lpName);
    platform::FileRemove(path);
}

// Once a day, on the first line of the day: files past the retention go.
void PruneOldDayFiles(const platform::LocalTime &now) {
    TeskLogger &logger = Logger();
    int nKeep = logger.m_nRetentionDays.load();
    if (nKeep <= 0) return;
    int64_t nToday = DayNumber(now.nYear, now.nMonth, now.nDay);
    int64_t nPruned = logger.m_nPrunedDay.load();
    if (nPruned == nToday || !logger.m_nPrunedDay.compare_exchange_strong(nPruned, nToday)) return;
    char dir[platform::kMaxPath];
    {
        platform::TeskLockGuard guard(logger.m_DirLock);
        memcpy(dir, logger.m_szLogDir, sizeof dir);
    }
    if (!dir[0]) return;
    PruneContext context{dir, nToday, nKeep};
    platform::ListFolder(dir, PruneOneFile, &context);
}

void ReadSettings() {
    TeskLogger &logger = Logger();
    char dir[platform::kMaxPath];
    char data[platform::kMaxPath];
    char settings[platform::kMaxPath];
    if (!AppFolderPath("log", dir, sizeof dir) || !AppFolderPath("data", data, sizeof data)) return;
    if (snprintf(settings, sizeof settings, "%sLogSettings.ini", data) >= static_cast<int>(sizeof settings)) return;
    {
        platform::TeskLockGuard guard(logger.m_DirLock);
        memcpy(logger.m_szLogDir, dir, sizeof dir);
    }
    platform::CreateDirectoryPath(dir);

    logger.m_nLogLevel = static_cast<unsigned>(platform::ReadIniInt(settings, "Tavrel", "LogLevel", LOG_INFO));
    printf(TESK_NOTICE_LOG_LEVEL, kLogName, static_cast<int>(logger.m_nLogLevel.load()));
    logger.m_bOnlyOutputDebug = platform::ReadIniInt(settings, "Tavrel", "OnlyOutputDebug", 0);
    printf(TESK_NOTICE_ONLY_DEBUG, kLogName, logger.m_bOnlyOutputDebug.load());
    logger.m_nRetentionDays = platform::ReadIniInt(settings, "Tavrel", "LogRetentionDays", 0);
    logger.m_nPrunedDay = -1;
}

int Enqueue(const char *lpLevelName, const char *lpFormat, va_list args, bool bToConsole) {
    TeskMemQueue<Debug_log_Struct> *queue = Logger().m_lpQueue.load();
    Debug_log_Struct *record = queue->Mem_New();
    if (!record) {
        platform::DebugOutput("Item_New == NULL");
        if (bToConsole) printf("Item_New == NULL\n");
        return -1;
    }
    record->lpLevelName = lpLevelName;
    vsnprintf(record->szText, sizeof record->szText, lpFormat, args);
    queue->Item_Push(record);
    return 0;
}

void WriteToDayFile(const platform::LocalTime &now, const char *line, bool bAddNewline) {
    TeskLogger &logger = Logger();
    char path[platform::kMaxPath + 64];
    {
        platform::TeskLockGuard guard(logger.m_DirLock);
        snprintf(path, sizeof path, "%s%c%s_%04d_%02d_%02d.log", logger.m_szLogDir, platform::kPathSep, kLogName,
                 now.nYear, now.nMonth, now.nDay);
    }
    // Line and newline go out in one write, so concurrent lines never mix.
    char text[kLineSize + 2];
    size_t len = strlen(line);
    memcpy(text, line, len);
    if (bAddNewline) text[len++] = '\n';
    platform::AppendTextToFile(path, text, len);
    PruneOldDayFiles(now);
}

}  // namespace

int LogInit() {
    TeskLogger &logger = Logger();
    if (!logger.m_lpQueue.load()) logger.m_lpQueue = new TeskMemQueue<Debug_log_Struct>(kLogPoolStep);
    ReadSettings();
    return 0;
}

int LogWrite(unsigned nLevel, const char *lpFormat, ...) {
    if (!Logger().m_lpQueue.load()) return -1;
    if (nLevel < Logger().m_nLogLevel.load()) return -2;
    if (!LogCapAllowsLine()) return -3;
    va_list args;
    va_start(args, lpFormat);
    int queued = Enqueue(LevelName(nLevel), lpFormat, args, true);
    va_end(args);
    if (queued == 0) LogFlush();
    return 0;
}

int LogWriteText(const char *lpFormat, ...) {
    if (!Logger().m_lpQueue.load()) return -1;
    if (!LogCapAllowsLine()) return -3;
    va_list args;
    va_start(args, lpFormat);
    int queued = Enqueue(nullptr, lpFormat, args, false);
    va_end(args);
    if (queued == 0) LogFlush();
    return 0;
}

void LogFlush() {
    TeskMemQueue<Debug_log_Struct> *queue = Logger().m_lpQueue.load();
    if (!queue) return;
    while (Debug_log_Struct *record = queue->Item_Pop()) {
        platform::LocalTime now = platform::GetLocalTime();
        char line[kLineSize];
        if (record->lpLevelName)
            snprintf(line, sizeof line, "%s: %04d-%02d-%02d %02d:%02d:%02d %s:%s", kLogName, now.nYear, now.nMonth,
                     now.nDay, now.nHour, now.nMinute, now.nSecond, record->lpLevelName, record->szText);
        else
            snprintf(line, sizeof line, "%s %04d-%02d-%02d %02d:%02d:%02d :%s", kLogName, now.nYear, now.nMonth,
                     now.nDay, now.nHour, now.nMinute, now.nSecond, record->szText);
        bool bHasNewline = strchr(line, '\n') != nullptr;
        printf(bHasNewline ? "%s" : "%s\n", line);
        platform::DebugOutput(line);
        if (Logger().m_bOnlyOutputDebug.load() == 0) WriteToDayFile(now, line, !bHasNewline);
        queue->Mem_Free(record);
    }
}
