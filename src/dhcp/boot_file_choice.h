// The host's optional per-client boot file: what the client tells about
// itself (MAC, architecture, user and vendor class) goes to the host's
// SelectBootFileProc, whose answer replaces the configured bootfile.
#pragma once

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
};

// Asks the host, when it registered a choice, on the worker's thread and
// outside every lock. Leaves kConfigured when the host makes no choice.
void ChooseBootFile(const DhcpHostHooks &hooks, const unsigned char *lpMessage, int nRecvLen,
                    BootFileChoice *lpChoice);
