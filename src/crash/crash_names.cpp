#include <cstring>

#include "crash/crash_report.h"

const char *ExceptionName(unsigned dwCode) {
    switch (dwCode) {
        case 0x80000001: return "GUARD_PAGE";
        case 0x80000002: return "DATATYPE_MISALIGNMENT";
        case 0x80000003: return "BREAKPOINT";
        case 0x80000004: return "SINGLE_STEP";
        case 0xC0000005: return "ACCESS_VIOLATION";
        case 0xC0000006: return "IN_PAGE_ERROR";
        case 0xC0000008: return "INVALID_HANDLE";
        case 0xC000001D: return "ILLEGAL_INSTRUCTION";
        case 0xC0000025: return "NONCONTINUABLE_EXCEPTION";
        case 0xC0000026: return "INVALID_DISPOSITION";
        case 0xC000008C: return "ARRAY_BOUNDS_EXCEEDED";
        case 0xC000008D: return "FLT_DENORMAL_OPERAND";
        case 0xC000008E: return "FLT_DIVIDE_BY_ZERO";
        case 0xC000008F: return "FLT_INEXACT_RESULT";
        case 0xC0000090: return "FLT_INVALID_OPERATION";
        case 0xC0000091: return "FLT_OVERFLOW";
        case 0xC0000092: return "FLT_STACK_CHECK";
        case 0xC0000093: return "FLT_UNDERFLOW";
        case 0xC0000094: return "INT_DIVIDE_BY_ZERO";
        case 0xC0000095: return "INT_OVERFLOW";
        case 0xC0000096: return "PRIV_INSTRUCTION";
        case 0xC00000FD: return "STACK_OVERFLOW";
        default: return nullptr;
    }
}

bool MakeReportFileName(const char *lpExePath, char *lpName, unsigned nSize) {
    size_t len = strlen(lpExePath);
    if (len + 5 > nSize) return false;
    memcpy(lpName, lpExePath, len + 1);
    // Only a dot in the last path component starts an extension.
    const char *lastSep = nullptr;
    for (const char *p = lpExePath; *p; ++p)
        if (*p == '/' || *p == '\\') lastSep = p;
    const char *dot = strrchr(lpExePath, '.');
    if (dot && (!lastSep || dot > lastSep) && strlen(dot + 1) >= 3) {
        char *ext = lpName + (dot - lpExePath) + 1;
        memcpy(ext, "RPT", 4);
        return true;
    }
    // Never into the executable itself.
    memcpy(lpName + len, ".RPT", 5);
    return true;
}
