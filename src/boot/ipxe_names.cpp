#include "boot/ipxe_names.h"

#include <cctype>
#include <cstddef>

bool IsIpxeBinaryName(const char *lpFile) {
    static const char *const kIpxeBinaries[] = {"ipxe.efi",     "snponly.efi", "snp.efi",     "undionly.kpxe",
                                                "undionly.kkpxe", "undionly.pxe", "ipxe.pxe",   "ipxe.kpxe",
                                                "ipxe.kkpxe",   "ipxe.lkrn",   "ipxe-x86_64.efi", "ipxe-arm64.efi"};
    const char *lpName = lpFile;
    for (const char *lp = lpFile; *lp; ++lp)
        if (*lp == '/' || *lp == '\\') lpName = lp + 1;
    for (const char *lpKnown : kIpxeBinaries) {
        size_t i = 0;
        while (lpKnown[i] && tolower(static_cast<unsigned char>(lpName[i])) == lpKnown[i]) ++i;
        if (!lpKnown[i] && !lpName[i]) return true;
    }
    return false;
}
