#include "tftp/pi_serial_folder.h"

#include <cstring>

#include "boot/raspberry_pi.h"
#include "tftp/boot_path.h"

const char *PiServedName(const tag_BootFileTable *lpFiles, const char *lpName) {
    size_t nPrefix = PiSerialPrefixLength(lpName);
    if (nPrefix == 0 || lpName[nPrefix] == '\0') return lpName;
    char serial[16] = {};
    memcpy(serial, lpName, nPrefix - 1);
    char path[platform::kMaxPath];
    if (!MakeBootFilePath(lpFiles->szRootPath, serial, path, sizeof path)) return lpName;
    return platform::PathCheck(path) == 0 ? lpName : lpName + nPrefix;
}
