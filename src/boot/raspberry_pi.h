// The Raspberry Pi's network bootloader (Pi 4 and 5 in EEPROM, the Pi 3's
// boot ROM): how it is told apart, and what its DHCP answer must carry.
#pragma once

#include <cstddef>
#include <cstdint>

// The IEEE MA-L blocks of Raspberry Pi Trading Ltd (B8-27-EB, the older one,
// of the Raspberry Pi Foundation), as the IEEE's oui.txt lists them.
struct PiOui {
    unsigned char ab[3];
    const char *lpHolder;
};
extern const PiOui kRaspberryPiOuis[7];

bool IsRaspberryPiMac(const unsigned char *lpMac);
// The bootloader: a Pi MAC, architecture 0 (it claims a BIOS PC) and a
// PXEClient vendor class. A Pi running UEFI firmware or iPXE sends its own
// architecture and gets a PC's answer.
bool IsRaspberryPiBootloader(const unsigned char *lpMac, int nArch, const char *lpVendorClass);

// Option 43 for the bootloader, sub-options as dnsmasq's pxe-service=0 sends
// them: discovery control 3, menu prompt "PXE" with timeout 0, and one menu
// item of type 0 named kPiMenuText, then the end. The Pi 3's boot ROM
// miscounts the text's length, so it carries three trailing spaces; later
// bootloaders match its start.
constexpr const char kPiMenuText[] = "Raspberry Pi Boot   ";
// Writes the option's data (not its code and length); returns its length.
int PutPiVendorOptions(unsigned char *lpOut, size_t nSize);

// The length of "<serial>/" opening a TFTP name: 8 hex digits and a
// separator, as the bootloader writes its serial number; 0 otherwise.
size_t PiSerialPrefixLength(const char *lpName);
