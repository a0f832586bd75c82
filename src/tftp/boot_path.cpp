#include "tftp/boot_path.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows reserves these names in every folder, with or without extension.
bool IsDeviceName(const char *part, size_t len) {
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t stem = 0;
    while (stem < len && part[stem] != '.') ++stem;
    while (stem > 0 && (part[stem - 1] == ' ')) --stem;
    char upper[8] = {};
    if (stem == 0 || stem >= sizeof upper) return false;
    for (size_t i = 0; i < stem; ++i) upper[i] = Upper(part[i]);
    for (const char *device : kDevices)
        if (strcmp(upper, device) == 0) return true;
    bool numbered = stem == 4 && (strncmp(upper, "COM", 3) == 0 || strncmp(upper, "LPT", 3) == 0);
    return numbered && upper[3] >= '0' && upper[3] <= '9';
}

// A part of only dots and blanks with two dots or more climbs on Windows.
bool IsParentPart(const char *part, size_t len) {
    size_t dots = 0;
    for (size_t i = 0; i < len; ++i) {
        if (part[i] == '.')
            ++dots;
        else if (part[i] != ' ')
            return false;
    }
    return dots >= 2;
}

}  // namespace

const char *RefuseBootFileName(const char *lpName) {
    size_t len = strlen(lpName);
    if (len >= kBootFileNameSize) return "name of 128 characters or more";
    // Loaders (GRUB, shim) ask for "/grub/grub.cfg" and mean the boot folder,
    // as every TFTP server takes it; two separators start a UNC or device path.
    if (IsSeparator(lpName[0]) && IsSeparator(lpName[1])) return "UNC or device path";
    if (strchr(lpName, ':')) return "drive letter or stream name";
    for (const char *part = lpName; *part;) {
        size_t partLen = 0;
        while (part[partLen] && !IsSeparator(part[partLen])) ++partLen;
        if (IsParentPart(part, partLen)) return "parent folder";
        if (IsDeviceName(part, partLen)) return "device name";
        part += partLen;
        while (IsSeparator(*part)) ++part;
    }
    return nullptr;
}

bool MakeBootFilePath(const char *lpRoot, const char *lpName, char *path, size_t size) {
    int n = snprintf(path, size, "%s", lpRoot);
    if (n < 0 || static_cast<size_t>(n) >= size) return false;
    size_t used = static_cast<size_t>(n);
    for (const char *part = lpName;;) {
        while (IsSeparator(*part)) ++part;
        size_t partLen = 0;
        while (part[partLen] && !IsSeparator(part[partLen])) ++partLen;
        if (partLen == 0) return true;
        if (used + 1 + partLen >= size || partLen >= kBootFileNameSize) return false;
        char folder[platform::kMaxPath];
        memcpy(folder, path, used + 1);
        char wanted[kBootFileNameSize];
        memcpy(wanted, part, partLen);
        wanted[partLen] = '\0';
        snprintf(path + used, size - used, "%c%s", platform::kPathSep, wanted);
        char actual[kBootFileNameSize];
        if (platform::PathCheck(path) != 0 && platform::FindEntryNoCase(folder, wanted, actual, sizeof actual) == 0 &&
            strlen(actual) == partLen)
            memcpy(path + used + 1, actual, partLen);
        used += 1 + partLen;
        part += partLen;
    }
}

int LocateBootFile(const char *lpRoot, platform::FileHandle file, char *lpReal, size_t nRealSize, bool *lpbInside) {
    char root[kRealPathSize];
    int nError = platform::RealPathOf(lpRoot, root, sizeof root);
    if (nError == 0) nError = platform::FileRealPath(file, lpReal, nRealSize);
    *lpbInside = nError == 0 && platform::PathInsideFolder(lpReal, root);
    return nError;
}
