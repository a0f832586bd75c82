// The host's callbacks, as the DHCP responder is given them. The host may
// register or replace them while the service runs, from its own thread, so
// each is an atomic read once per request.
#pragma once

#include <atomic>

#include "Tavrel.h"

struct DhcpHostHooks {
    std::atomic<SelectPxeServerProc> selectPxeServer{nullptr};
    std::atomic<SelectMirrorServerToDBProc> selectMirrorServerToDB{nullptr};
    // Optional: the per-client boot file; null keeps the configured one.
    std::atomic<SelectBootFileProc> selectBootFile{nullptr};
    // Optional: the same choice told the client's identity; when set it is
    // asked instead of selectBootFile.
    std::atomic<SelectBootFileProcEx> selectBootFileEx{nullptr};
};
