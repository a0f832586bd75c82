#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/posix/posix_socket.h"
#include "platform/posix/posix_wait.h"

namespace platform {

namespace {
// A manual-reset event is an eventfd that is written once and never read; a
// socket event is signalled while its socket has a datagram to read.
struct PosixWaitable {
    bool bIsSocket;
    int fd;
    short revents;  // what the last wait saw, so a socket is not polled twice
};
}  // namespace

static PosixWaitable *AsWaitable(WaitHandle handle) { return static_cast<PosixWaitable *>(handle); }

int WaitableFd(WaitHandle handle) { return AsWaitable(handle)->fd; }

int EventCreate(WaitHandle *event) {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        *event = nullptr;
        return -errno;
    }
    *event = new PosixWaitable{false, fd, 0};
    return 0;
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

int SocketEventCreate(WaitHandle *event) {
    *event = new PosixWaitable{true, -1, 0};
    return 0;
}

int SocketEventSelect(Socket sock, WaitHandle event) {
    int fd = AsPosix(sock)->fd;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -errno;
    AsWaitable(event)->fd = fd;
    return 0;
}

int SocketEventTakeReadable(Socket sock, WaitHandle event) {
    short revents = AsWaitable(event)->revents;
    AsWaitable(event)->revents = 0;
    if (revents & POLLERR) {
        // Take the pending error, or the next wait would report it again at once.
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(AsPosix(sock)->fd, SOL_SOCKET, SO_ERROR, &error, &len);
        return error ? -error : -EIO;
    }
    if (revents & POLLNVAL) return -EBADF;
    return (revents & POLLIN) ? 0 : kNothingToRead;
}

void SocketEventClose(WaitHandle event) { delete AsWaitable(event); }

int WaitAny(const WaitHandle *handles, int count, int timeoutMs) {
    pollfd fds[8];
    if (count <= 0 || count > 8) return -EINVAL;
    for (int i = 0; i < count; ++i) {
        if (!handles[i]) return -EINVAL;
        fds[i] = pollfd{AsWaitable(handles[i])->fd, POLLIN, 0};
    }
    int ready;
    do {
        ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -errno;
    if (ready == 0) return kWaitTimedOut;
    for (int i = 0; i < count; ++i) AsWaitable(handles[i])->revents = fds[i].revents;
    for (int i = 0; i < count; ++i)
        if (fds[i].revents != 0) return i;
    return -EIO;
}

}  // namespace platform
