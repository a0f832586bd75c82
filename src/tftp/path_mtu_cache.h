// The path MTU toward clients, asked of the system once per address and
// remembered for a while: the probe opens a socket, which a read request
// should not cost.
#pragma once

#include <cstdint>

#include "tftp/tftp_responder.h"

class PathMtuCache final : public TftpPathMtu {
public:
    int MtuTo(const IpAddress &address) override;

private:
    static constexpr int kSlots = 256;
    // Long enough to spare a storm the probes, short enough to follow a
    // changed interface or route.
    static constexpr uint64_t kKeepMs = 60000;
    struct Slot {
        IpAddress address;
        int nMtu;
        uint64_t qwProbedMs;
        bool bUsed;
    };
    Slot m_aSlots[kSlots] = {};
};
