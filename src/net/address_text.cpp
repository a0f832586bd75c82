#include "net/address_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char *HostIpToText(size_t nSize, char *buf, uint32_t dwIpHost) {
    memset(buf, 0, nSize);
    snprintf(buf, nSize, "%d.%d.%d.%d", (dwIpHost >> 24) & 0xff, (dwIpHost >> 16) & 0xff, (dwIpHost >> 8) & 0xff,
             dwIpHost & 0xff);
    return buf;
}

uint32_t TextToHostIp(const char *lpText) {
    // Texts of 32 characters or more are cut to their first 31.
    char work[32] = {};
    if (lpText) strncpy(work, lpText, sizeof work - 1);
    uint32_t result = 0;
    int shift = 24;
    char *cursor = work;
    while (shift >= 0) {  // parts beyond the fourth add nothing
        while (*cursor == '.') ++cursor;
        if (!*cursor) break;
        char *part = cursor;
        while (*cursor && *cursor != '.') ++cursor;
        if (*cursor) *cursor++ = '\0';
        result |= static_cast<uint32_t>(strtol(part, nullptr, 10)) << shift;
        shift -= 8;
    }
    return result;
}

char *MacToText(size_t nSize, char *buf, const unsigned char *lpMac) {
    memset(buf, 0, nSize);
    snprintf(buf, nSize, "%02x:%02x:%02x:%02x:%02x:%02x", lpMac[0], lpMac[1], lpMac[2], lpMac[3], lpMac[4], lpMac[5]);
    return buf;
}
