// What a platform::Socket points at on POSIX.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

struct PosixSocket {
    int fd;
    uint32_t dwSourceAddr;  // network order; 0 when bound without an interface
};

PosixSocket *AsPosix(Socket sock);

}  // namespace platform
