// The host's optional per-client boot file: what the client tells about
// itself (MAC, architecture, user and vendor class, and with the identity
// hook its UUID, address and lease key) goes to the host, whose answer
// replaces the configured bootfile or leaves the client unanswered.
#pragma once

#include <cstdint>

#include "Tavrel.h"
#include "dhcp/dhcp_host_hooks.h"

constexpr int kBootFileFieldSize = 128;  // the BOOTP file field

// How an answer names the boot file.
enum class BootAnswer {
    kConfigured,  // the configured bootfile, PXE discovery as configured
    kHostFile,    // the host's file, which the client loads without boot-server discovery
    kHttpBoot,    // a UEFI HTTP Boot client given a URL: answered as an HTTPClient
    kRaspberryPi, // the Pi's bootloader: its PXE menu item, the server named, no file
};

struct BootFileChoice {
    BootAnswer kind = BootAnswer::kConfigured;
    char szFile[kBootFileFieldSize] = {};
    bool bSilent = false;  // the host wants this client left unanswered
};

// What the host made of a client, on either family.
enum class HostBootChoice { kNone, kFile, kSilent };

// Whether the host registered either boot-file hook.
bool HostChoosesBootFiles(const DhcpHostHooks &hooks);
// Asks the identity hook when registered, else the plain one with
// client.base; file (kBootFileFieldSize bytes) holds the host's name,
// terminated, on kFile.
HostBootChoice AskHostBootFile(const DhcpHostHooks &hooks, const SelectBootFileRecordEx &client, char *file);

// Asks the host, when it registered a choice, on the worker's thread and
// outside every lock. Leaves kConfigured when the host makes no choice.
// dwAddress (network order, 0 for none) is the address offered or leased.
void ChooseBootFile(const DhcpHostHooks &hooks, const unsigned char *lpMessage, int nRecvLen, uint32_t dwAddress,
                    BootFileChoice *lpChoice);
