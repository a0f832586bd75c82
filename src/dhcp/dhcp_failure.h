// The DHCP service's failure line, "Dhcpd:STEP:lasterror:N line SITE".
#pragma once

#include "log/logger.h"
#include "platform/platform.h"

// Returns -1, the result of every step that fails this way.
inline int LogDhcpdFailure(const char *lpStep, int nSite) {
    LogWrite(LOG_ERROR, "Dhcpd:%s:lasterror:%d line %d", lpStep, platform::SocketLastError(), nSite);
    return -1;
}
