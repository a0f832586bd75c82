// The line a client table writes when its entry pool is full; its owners in
// dhcp/ and tftp/ pass it to the table as its pool-full report.
#pragma once

#include "log/logger.h"

inline void LogPoolFull(const char *lpSourceName, int nLine) {
    LogWriteText("Mem_New() NULL %s--%d", lpSourceName, nLine);
}
