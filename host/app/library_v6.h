// The library's IPv6 exports, found when the program runs: a library built
// without them still serves IPv4, and the host says IPv6 is unavailable.
#pragma once

#include "Tavrel.h"

struct LibraryV6 {
    decltype(&StartPXEV6) lpStart = nullptr;
    decltype(&RegisterBootEventCallbackV6) lpRegister = nullptr;
    bool Available() const { return lpStart && lpRegister; }
    // Boot events with the firmware quirks; null in a library without them.
    decltype(&RegisterBootEventCallbackEx) lpRegisterEx = nullptr;
};

// Looked up once, in the loaded library.
const LibraryV6 &FindLibraryV6();

// The line that says why [ipv6] is not served.
constexpr const char kIpv6Unavailable[] =
    "IPv6 is unavailable: the Tavrel library in use has no StartPXEV6; [ipv6] is not served (IPv4 is)";

// The identity boot-file choice and the host-rendered TFTP files, found the
// same way: an older library calls the plain callback, and serves files
// from the boot folder alone.
struct LibraryIdentity {
    decltype(&RegisterSelectBootFileCallbackEx) lpRegisterChoice = nullptr;
    decltype(&RegisterRenderTftpFileCallback) lpRegisterRender = nullptr;
};

const LibraryIdentity &FindLibraryIdentity();
