#include "log/app_folders.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

bool FindBaseFolder(char *base, size_t size) {
    if (platform::GetHostExePath(base, size) <= 0) return false;
    for (int cut = 0; cut < 2; ++cut) {
        char *sep = strrchr(base, platform::kPathSep);
        if (!sep) return false;
        *sep = '\0';
    }
    return true;
}

}  // namespace

bool AppFolderPath(const char *lpName, char *lpOut, size_t nSize) {
    char base[platform::kMaxPath];
    if (!FindBaseFolder(base, sizeof base)) return false;
    int len = snprintf(lpOut, nSize, "%s%c%s%c", base, platform::kPathSep, lpName, platform::kPathSep);
    return len > 0 && static_cast<size_t>(len) < nSize;
}
