#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "platform/posix/posix_socket.h"
#include "platform/posix/posix_wait.h"

namespace platform {

namespace {

// An epoll set holding the stop event's descriptor beside the sockets, so
// one call waits for all of them without registering each anew.
struct PosixSocketSet {
    int epoll;
    int stopFd;
    int nSockets;
    int nMaxSockets;
};

constexpr uint64_t kStopTag = ~0ull;
constexpr int kMaxEvents = 64;

PosixSocketSet *AsSet(SocketSet set) { return static_cast<PosixSocketSet *>(set); }

bool StopIsSet(int stopFd) {
    pollfd fd{stopFd, POLLIN, 0};
    return poll(&fd, 1, 0) > 0;
}

}  // namespace

int SocketSetCreate(WaitHandle stopEvent, int maxSockets, SocketSet *set) {
    *set = nullptr;
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return -errno;
    int stopFd = WaitableFd(stopEvent);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kStopTag;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, stopFd, &event) != 0) {
        int error = errno;
        close(epoll);
        return -error;
    }
    *set = new PosixSocketSet{epoll, stopFd, 0, maxSockets};
    return 0;
}

int SocketSetAdd(SocketSet set, Socket sock, uint32_t tag) {
    PosixSocketSet *posix = AsSet(set);
    if (posix->nSockets >= posix->nMaxSockets) return -ENOSPC;
    int fd = AsPosix(sock)->fd;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) return -errno;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    if (epoll_ctl(posix->epoll, EPOLL_CTL_ADD, fd, &event) != 0) return -errno;
    ++posix->nSockets;
    return 0;
}

void SocketSetRemove(SocketSet set, Socket sock) {
    if (epoll_ctl(AsSet(set)->epoll, EPOLL_CTL_DEL, AsPosix(sock)->fd, nullptr) == 0) --AsSet(set)->nSockets;
}

int SocketSetWait(SocketSet set, int timeoutMs, uint32_t *tags, int maxTags) {
    PosixSocketSet *posix = AsSet(set);
    epoll_event events[kMaxEvents];
    int nMax = maxTags < kMaxEvents ? maxTags : kMaxEvents;
    int ready;
    do {
        ready = epoll_wait(posix->epoll, events, nMax, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -errno;
    if (ready == 0) return kWaitTimedOut;
    int nTags = 0;
    for (int i = 0; i < ready; ++i) {
        if (events[i].data.u64 == kStopTag) return 0;
        tags[nTags++] = static_cast<uint32_t>(events[i].data.u64);
    }
    // A full answer may have left the stop event out.
    if (ready == nMax && StopIsSet(posix->stopFd)) return 0;
    return nTags;
}

void SocketSetClose(SocketSet set) {
    if (!set) return;
    close(AsSet(set)->epoll);
    delete AsSet(set);
}

}  // namespace platform
