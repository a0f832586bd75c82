// The TFTP service's failure line, "Tftpd:STEP:lasterror:N line SITE".
#pragma once

#include "log/logger.h"
#include "platform/platform.h"

// Returns -1, the result of every step that fails this way.
inline int LogTftpdFailure(const char *lpStep, int nSite) {
    LogWriteText("Tftpd:%s:lasterror:%d line %d", lpStep, platform::SocketLastError(), nSite);
    return -1;
}
