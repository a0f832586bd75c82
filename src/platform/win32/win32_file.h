// Windows file opening shared by the platform layer and the crash report.
#pragma once

#include <windows.h>

namespace platform {
// Opens or creates a file, refusing a link (reparse point) planted in its
// place; INVALID_HANDLE_VALUE on failure.
HANDLE OpenNoLink(const char *path, DWORD dwAccess, DWORD dwShare, DWORD dwFlags);
}  // namespace platform
