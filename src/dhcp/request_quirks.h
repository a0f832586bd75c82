// The firmware quirks a DHCP or port-4011 request shows, noted before it is
// answered (boot/quirks.h), and what the answer must do about them.
#pragma once

#include <cstdint>

struct RequestQuirks {
    bool bRaspberryPi = false;      // answered in the Pi bootloader's shape
    bool bBootStage = false;        // a booting client whatever its vendor class says
    bool bHttpBoot = false;         // UEFI HTTP Boot: a booting client where ranges serve those
    bool bBroadcast = false;        // port 4011: no address to answer yet
    bool bIpxe = false;             // iPXE is asking: an iPXE binary in the answer would loop
    bool bUefi = false;             // a UEFI architecture (EDK II goes to 4011 on a bare "PXEClient" offer)
};

// lpMessage holds nRecvLen received bytes; bBootServer for port 4011, with
// the request's source address (network order) and port.
RequestQuirks NoteRequestQuirks(const unsigned char *lpMessage, int nRecvLen, bool bBootServer, uint32_t dwSource,
                                uint16_t wSourcePort, uint64_t qwNowMs);
