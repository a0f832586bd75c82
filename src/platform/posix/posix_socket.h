// What a platform::Socket points at on POSIX.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

struct PosixSocket {
    int fd;
    uint32_t dwSourceAddr;  // network order; 0 when bound without an interface
    // The route refused a send cut into datagrams by the kernel; any worker
    // may learn it.
    std::atomic<bool> bNoSegmenting{false};
};

PosixSocket *AsPosix(Socket sock);

}  // namespace platform
