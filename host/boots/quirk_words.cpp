#include "host/boots/quirk_words.h"

#include <cctype>
#include <cstring>

const QuirkWords kQuirkWords[14] = {
    {"arch-7-9", "x64 UEFI (arch 7 or 9)"},
    {"arch-in-option-60", "its architecture read from option 60"},
    {"ipxe", "iPXE"},
    {kQuirkSizeProbe, "size probe"},
    {kQuirkEarlyAbort, "probe, ended by the machine"},
    {"http-boot-client", "UEFI HTTP Boot"},
    {kQuirkRaspberryPi, "Raspberry Pi bootloader"},
    {"pi-request-without-class", "Pi request without vendor class"},
    {"resent-request", "request re-sent past the OACK, answered without options"},
    {"broadcast-answer", "answered by broadcast"},
    {"boot-server-port-4011", "asked from port 4011"},
    {"pi-serial-folder", "served from the root for its serial folder"},
    {"foreign-pxe-offer", "sent to port 4011 by another DHCP server's PXEClient offer"},
    {"ipxe-chain-loop", "iPXE given an iPXE binary again (it loops)"},
};

namespace {

// The bootloader's and firmware's probes (rpi-eeprom, start4.elf): names
// after the last "/".
const char *const kPiOptionalFiles[] = {
    "pieeprom.sig", "pieeprom.upd", "pieeprom.bin", "bootsig.bin", "recovery.elf", "recover4.elf", "recovery.bin",
    "autoboot.txt", "bootcfg.txt", "dt-blob.bin", "overlay_map.dtb", "boot.sig", "vl805.sig", "vl805.bin",
};
// Asked under "<serial>/" first: a miss there sends the bootloader to the root.
const char *const kPiSerialProbes[] = {"start4.elf", "start.elf"};

bool IsSerialPrefix(const std::string &name, size_t slash) {
    if (slash != 8) return false;
    for (size_t i = 0; i < 8; ++i)
        if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

}  // namespace

std::string WordsOfQuirk(const std::string &name) {
    for (const QuirkWords &quirk : kQuirkWords)
        if (name == quirk.lpName) return quirk.lpWords;
    return name;
}

std::string WordsOfQuirks(const std::string &names) {
    std::string out;
    size_t start = 0;
    while (start <= names.size()) {
        size_t comma = names.find(',', start);
        std::string name = names.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!name.empty()) out += (out.empty() ? "" : ", ") + WordsOfQuirk(name);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

bool HasQuirk(const std::string &names, const char *lpName) {
    const size_t n = strlen(lpName);
    for (size_t at = names.find(lpName); at != std::string::npos; at = names.find(lpName, at + 1))
        if ((at == 0 || names[at - 1] == ',') && (at + n == names.size() || names[at + n] == ','))
            return true;
    return false;
}

bool IsPiOptionalFile(const std::string &name) {
    size_t slash = name.find_last_of("/\\");
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    for (const char *lpFile : kPiOptionalFiles)
        if (base == lpFile) return true;
    if (slash == std::string::npos || !IsSerialPrefix(name, slash)) return false;
    for (const char *lpFile : kPiSerialProbes)
        if (base == lpFile) return true;
    return false;
}
