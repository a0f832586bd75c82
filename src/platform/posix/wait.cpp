#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/posix/posix_socket.h"

namespace platform {

namespace {
// A manual-reset event is an eventfd that is written once and never read; a
// socket event is signalled while its socket has a datagram to read.
struct PosixWaitable {
    bool bIsSocket;
    int fd;
};
}  // namespace

static PosixWaitable *AsWaitable(WaitHandle handle) { return static_cast<PosixWaitable *>(handle); }

WaitHandle EventCreate() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return new PosixWaitable{false, fd};
}

void EventSet(WaitHandle event) {
    if (!event) return;
    uint64_t one = 1;
    ssize_t ignored = write(AsWaitable(event)->fd, &one, sizeof one);
    (void)ignored;
}

void EventClose(WaitHandle event) {
    if (!event) return;
    close(AsWaitable(event)->fd);
    delete AsWaitable(event);
}

WaitHandle SocketEventCreate() { return new PosixWaitable{true, -1}; }

int SocketEventSelect(Socket sock, WaitHandle event) {
    int fd = AsPosix(sock)->fd;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    AsWaitable(event)->fd = fd;
    return 0;
}

bool SocketEventTakeReadable(Socket sock, WaitHandle) {
    pollfd probe{AsPosix(sock)->fd, POLLIN, 0};
    return poll(&probe, 1, 0) == 1 && (probe.revents & POLLIN) && !(probe.revents & POLLNVAL);
}

void SocketEventClose(WaitHandle event) { delete AsWaitable(event); }

int WaitAny(const WaitHandle *handles, int count, int timeoutMs) {
    pollfd fds[8];
    if (count <= 0 || count > 8) return kWaitFailed;
    for (int i = 0; i < count; ++i) {
        if (!handles[i]) return kWaitFailed;
        fds[i] = pollfd{AsWaitable(handles[i])->fd, POLLIN, 0};
    }
    int ready;
    do {
        ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return kWaitFailed;
    if (ready == 0) return kWaitTimeout;
    for (int i = 0; i < count; ++i)
        if (fds[i].revents != 0) return i;
    return kWaitFailed;
}

}  // namespace platform
