#include "log/logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "containers/mem_queue.h"
#include "log/notices.h"
#include "platform/platform.h"

namespace {

constexpr const char *kLogName = "murboot";
constexpr int kMessageSize = 4096;
constexpr int kLineSize = 5000;
constexpr int kLogPoolStep = 2;

struct Debug_log_Struct {
    char szText[kMessageSize];
};

struct TeskLogger {
    std::atomic<TeskMemQueue<Debug_log_Struct> *> m_lpQueue{nullptr};
    std::atomic<unsigned> m_nLogLevel{LOG_INFO};
    std::atomic<int> m_bOnlyOutputDebug{0};
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

// The folder that holds the executable's folder; false when the path has
// fewer than two separators.
bool FindBaseFolder(char *base, size_t size) {
    if (platform::GetHostExePath(base, size) == 0) return false;
    for (int cut = 0; cut < 2; ++cut) {
        char *sep = strrchr(base, platform::kPathSep);
        if (!sep) return false;
        *sep = '\0';
    }
    return true;
}

void ReadSettings(const char *base) {
    TeskLogger &logger = Logger();
    const char sep = platform::kPathSep;
    char dir[platform::kMaxPath];
    char settings[platform::kMaxPath];
    if (snprintf(dir, sizeof dir, "%s%clog%c", base, sep, sep) >= static_cast<int>(sizeof dir)) return;
    if (snprintf(settings, sizeof settings, "%s%cdata%cLogSettings.ini", base, sep, sep) >=
        static_cast<int>(sizeof settings))
        return;
    {
        platform::TeskLockGuard guard(logger.m_DirLock);
        memcpy(logger.m_szLogDir, dir, sizeof dir);
    }
    platform::CreateDirectoryPath(dir);

    logger.m_nLogLevel = static_cast<unsigned>(platform::ReadIniInt(settings, "Tavrel", "LogLevel", LOG_INFO));
    printf(TESK_NOTICE_LOG_LEVEL, kLogName, static_cast<int>(logger.m_nLogLevel.load()));
    logger.m_bOnlyOutputDebug = platform::ReadIniInt(settings, "Tavrel", "OnlyOutputDebug", 0);
    printf(TESK_NOTICE_ONLY_DEBUG, kLogName, logger.m_bOnlyOutputDebug.load());
}

int Enqueue(const char *lpFormat, va_list args, bool bToConsole) {
    TeskMemQueue<Debug_log_Struct> *queue = Logger().m_lpQueue.load();
    Debug_log_Struct *record = queue->Mem_New();
    if (!record) {
        platform::DebugOutput("Item_New == NULL");
        if (bToConsole) printf("Item_New == NULL\n");
        return -1;
    }
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
}

}  // namespace

int LogInit() {
    TeskLogger &logger = Logger();
    if (!logger.m_lpQueue.load()) logger.m_lpQueue = new TeskMemQueue<Debug_log_Struct>(kLogPoolStep);
    char base[platform::kMaxPath];
    if (FindBaseFolder(base, sizeof base)) ReadSettings(base);
    return 0;
}

int ReadSettingInt(const char *lpKey, int nDefault) {
    char base[platform::kMaxPath];
    char settings[platform::kMaxPath];
    if (!FindBaseFolder(base, sizeof base)) return nDefault;
    const char sep = platform::kPathSep;
    if (snprintf(settings, sizeof settings, "%s%cdata%cLogSettings.ini", base, sep, sep) >=
        static_cast<int>(sizeof settings))
        return nDefault;
    return platform::ReadIniInt(settings, "Tavrel", lpKey, nDefault);
}

int LogWrite(unsigned nLevel, const char *lpFormat, ...) {
    if (!Logger().m_lpQueue.load()) return -1;
    if (nLevel < Logger().m_nLogLevel.load()) return -2;
    va_list args;
    va_start(args, lpFormat);
    int queued = Enqueue(lpFormat, args, true);
    va_end(args);
    if (queued == 0) LogFlush(LevelName(nLevel));
    return 0;
}

int LogWriteText(const char *lpFormat, ...) {
    if (!Logger().m_lpQueue.load()) return -1;
    va_list args;
    va_start(args, lpFormat);
    int queued = Enqueue(lpFormat, args, false);
    va_end(args);
    if (queued == 0) LogFlush(nullptr);
    return 0;
}

void LogFlush(const char *lpLevelName) {
    TeskMemQueue<Debug_log_Struct> *queue = Logger().m_lpQueue.load();
    if (!queue) return;
    while (Debug_log_Struct *record = queue->Item_Pop()) {
        platform::LocalTime now = platform::GetLocalTime();
        char line[kLineSize];
        if (lpLevelName)
            snprintf(line, sizeof line, "%s: %04d-%02d-%02d %02d:%02d:%02d %s:%s", kLogName, now.nYear, now.nMonth,
                     now.nDay, now.nHour, now.nMinute, now.nSecond, lpLevelName, record->szText);
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
