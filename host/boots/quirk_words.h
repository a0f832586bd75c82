// The library's quirk table as tavrel-host tells it: each quirk by the name
// the library's BootEventRecordEx gives it, with the words `why` uses.
#pragma once

#include <string>

struct QuirkWords {
    const char *lpName;   // as in the library's table (src/boot/quirks.cpp)
    const char *lpWords;
};
extern const QuirkWords kQuirkWords[14];

// "size probe" for "size-probe"; a name this host does not know as it is.
std::string WordsOfQuirk(const std::string &name);
// The quirks of a step ("arch-7-9,ipxe") as words: "x64 UEFI (arch 7 or 9), iPXE".
std::string WordsOfQuirks(const std::string &names);
// Whether the comma-separated names hold NAME.
bool HasQuirk(const std::string &names, const char *lpName);

constexpr const char kQuirkSizeProbe[] = "size-probe";
constexpr const char kQuirkEarlyAbort[] = "early-abort";
constexpr const char kQuirkRaspberryPi[] = "raspberry-pi";

// Files the Raspberry Pi bootloader and firmware look for and boot without
// (signatures, recovery images, optional configuration): their absence is
// normal. NAME as asked, with or without its "<serial>/".
bool IsPiOptionalFile(const std::string &name);
