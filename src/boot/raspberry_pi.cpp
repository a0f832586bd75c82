#include "boot/raspberry_pi.h"

#include <cctype>
#include <cstring>

const PiOui kRaspberryPiOuis[7] = {
    {{0xb8, 0x27, 0xeb}, "Raspberry Pi Foundation"},  {{0xdc, 0xa6, 0x32}, "Raspberry Pi Trading Ltd"},
    {{0xe4, 0x5f, 0x01}, "Raspberry Pi Trading Ltd"}, {{0xd8, 0x3a, 0xdd}, "Raspberry Pi Trading Ltd"},
    {{0x28, 0xcd, 0xc1}, "Raspberry Pi Trading Ltd"}, {{0x2c, 0xcf, 0x67}, "Raspberry Pi (Trading) Ltd"},
    {{0x88, 0xa2, 0x9e}, "Raspberry Pi (Trading) Ltd"},
};

namespace {
const char kPxeClientTag[] = "PXEClient";
constexpr size_t kSerialDigits = 8;
}  // namespace

bool IsRaspberryPiMac(const unsigned char *lpMac) {
    for (const PiOui &oui : kRaspberryPiOuis)
        if (memcmp(lpMac, oui.ab, sizeof oui.ab) == 0) return true;
    return false;
}

bool IsRaspberryPiBootloader(const unsigned char *lpMac, int nArch, const char *lpVendorClass) {
    return nArch == 0 && strncmp(lpVendorClass, kPxeClientTag, sizeof kPxeClientTag - 1) == 0 &&
           IsRaspberryPiMac(lpMac);
}

int PutPiVendorOptions(unsigned char *lpOut, size_t nSize) {
    const size_t nText = sizeof kPiMenuText - 1;
    const unsigned char head[] = {
        6,  1, 3,                        // discovery control: no broadcast or multicast discovery
        10, 4, 0, 'P', 'X', 'E',         // menu prompt, timeout 0
        9, static_cast<unsigned char>(3 + nText), 0, 0, static_cast<unsigned char>(nText),  // menu item type 0
    };
    if (sizeof head + nText + 1 > nSize) return 0;
    memcpy(lpOut, head, sizeof head);
    memcpy(lpOut + sizeof head, kPiMenuText, nText);
    lpOut[sizeof head + nText] = 255;
    return static_cast<int>(sizeof head + nText + 1);
}

size_t PiSerialPrefixLength(const char *lpName) {
    for (size_t i = 0; i < kSerialDigits; ++i)
        if (!isxdigit(static_cast<unsigned char>(lpName[i]))) return 0;
    char separator = lpName[kSerialDigits];
    return separator == '/' || separator == '\\' ? kSerialDigits + 1 : 0;
}
