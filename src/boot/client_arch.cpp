#include "boot/client_arch.h"

#include <cstring>

namespace {
const char kPxeArchTag[] = "PXEClient:Arch:";
constexpr int kArchDigits = 5;  // as PXE firmware writes them
}  // namespace

int VendorClassArch(const char *lpVendor) {
    if (strncmp(lpVendor, kPxeArchTag, sizeof kPxeArchTag - 1) != 0) return -1;
    const char *digits = lpVendor + sizeof kPxeArchTag - 1;
    int nValue = 0;
    for (int i = 0; i < kArchDigits; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return -1;
        nValue = nValue * 10 + (digits[i] - '0');
    }
    if (digits[kArchDigits] != ':' && digits[kArchDigits] != '\0') return -1;
    return nValue > 0xffff ? -1 : nValue;
}

bool IsHttpClientClass(const char *lpVendor) {
    return strncmp(lpVendor, kHttpClientClass, sizeof kHttpClientClass - 1) == 0;
}
