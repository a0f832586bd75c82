#include "platform/platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/posix_socket.h"

namespace platform {

SockAddrV4 MakeSockAddr(uint32_t dwAddrNet, uint16_t wPortHost) {
    SockAddrV4 addr{};
    addr.wFamily = AF_INET;
    addr.wPort = htons(wPortHost);
    addr.dwAddr = dwAddrNet;
    return addr;
}

int SocketsStartup() { return 0; }
void SocketsCleanup() {}

int DescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    return limit.rlim_cur > 1u << 20 ? 1 << 20 : static_cast<int>(limit.rlim_cur);
}

static thread_local int t_SocketError = 0;

static int Fail(int error) {
    t_SocketError = error;
    return -error;
}

PosixSocket *AsPosix(Socket sock) { return reinterpret_cast<PosixSocket *>(sock); }

int UdpOpen(Socket *sock) {
    *sock = kInvalidSocket;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(errno);
    // Bursts of requests (a rack powering on) must not overflow the queue.
    int size = kReceiveBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    *sock = reinterpret_cast<Socket>(new PosixSocket{fd, 0});
    return 0;
}

int UdpEnableBroadcast(Socket sock) {
    int on = 1;
    if (setsockopt(AsPosix(sock)->fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return Fail(errno);
    return 0;
}

// Name of the interface that holds the address, or false when none does.
static bool FindInterfaceOf(uint32_t dwAddrNet, char *name, size_t size) {
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (struct ifaddrs *it = list; it && !found; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        if (reinterpret_cast<sockaddr_in *>(it->ifa_addr)->sin_addr.s_addr != dwAddrNet) continue;
        snprintf(name, size, "%s", it->ifa_name);
        found = true;
    }
    freeifaddrs(list);
    return found;
}

// A second descriptor of the same socket: no second binding, so no other
// socket can join the port (as one of a SO_REUSEPORT group could).
int UdpShareSocket(Socket sock, Socket *shared) {
    *shared = kInvalidSocket;
    int fd = fcntl(AsPosix(sock)->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return Fail(errno);
    *shared = reinterpret_cast<Socket>(new PosixSocket{fd, AsPosix(sock)->dwSourceAddr});
    return 0;
}

// Linux delivers limited and subnet broadcasts only to sockets bound to the
// wildcard address, so a socket for a local address is bound to the wildcard
// address on that address's interface. The kernel still refuses the bind when
// another socket holds the port on that address.
int UdpBind(Socket sock, uint32_t dwAddrNet, uint16_t wPortHost) {
    PosixSocket *posix = AsPosix(sock);
    char ifname[IFNAMSIZ] = {};
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPortHost);
    addr.sin_addr.s_addr = dwAddrNet;
    if (dwAddrNet != 0 && FindInterfaceOf(dwAddrNet, ifname, sizeof ifname)) {
        if (setsockopt(posix->fd, SOL_SOCKET, SO_BINDTODEVICE, ifname, strlen(ifname) + 1) != 0) return Fail(errno);
        addr.sin_addr.s_addr = INADDR_ANY;
        posix->dwSourceAddr = dwAddrNet;
    }
    // Sends choose their source with it; receives learn their destination.
    int on = 1;
    setsockopt(posix->fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (bind(posix->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return Fail(errno);
    return 0;
}

int UdpSendTo(Socket sock, const void *data, int len, const SockAddrV4 &to) {
    PosixSocket *posix = AsPosix(sock);
    sockaddr_in dest{};
    memcpy(&dest, &to, sizeof dest);
    dest.sin_family = AF_INET;
    iovec iov{const_cast<void *>(data), static_cast<size_t>(len < 0 ? 0 : len)};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (posix->dwSourceAddr != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = IPPROTO_IP;
        cmsg->cmsg_type = IP_PKTINFO;
        cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = posix->dwSourceAddr;
        memcpy(CMSG_DATA(cmsg), &info, sizeof info);
    }
    ssize_t sent = sendmsg(posix->fd, &msg, MSG_NOSIGNAL);
    if (sent < 0) return Fail(errno);
    return static_cast<int>(sent);
}

int UdpRecvFrom(Socket sock, void *buf, int len, SockAddrV4 *from) {
    sockaddr_in source{};
    socklen_t sourceLen = sizeof source;
    ssize_t got;
    do {
        got = recvfrom(AsPosix(sock)->fd, buf, static_cast<size_t>(len), MSG_TRUNC,
                       reinterpret_cast<sockaddr *>(&source), &sourceLen);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return Fail(errno);
    if (from) memcpy(from, &source, sizeof *from);
    // Windows fails a receive whose datagram does not fit the buffer.
    if (got > len) {
        errno = EMSGSIZE;
        return Fail(EMSGSIZE);
    }
    return static_cast<int>(got);
}

int UdpRecvFromTo(Socket sock, void *buf, int len, SockAddrV4 *from, uint32_t *lpTo) {
    *lpTo = 0;
    sockaddr_in source{};
    iovec iov{buf, static_cast<size_t>(len < 0 ? 0 : len)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &source;
    msg.msg_namelen = sizeof source;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(AsPosix(sock)->fd, &msg, MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return Fail(errno);
    if (from) memcpy(from, &source, sizeof *from);
    if (got > len || (msg.msg_flags & MSG_TRUNC)) {
        errno = EMSGSIZE;
        return Fail(EMSGSIZE);
    }
    for (cmsghdr *cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg)) {
        if (cmsg->cmsg_level != IPPROTO_IP || cmsg->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info{};
        memcpy(&info, CMSG_DATA(cmsg), sizeof info);
        *lpTo = info.ipi_addr.s_addr;
    }
    return static_cast<int>(got);
}

void SocketClose(Socket sock) {
    if (sock == kInvalidSocket) return;
    close(AsPosix(sock)->fd);
    delete AsPosix(sock);
}

int UdpOpenConnected(uint32_t dwLocalAddrNet, const SockAddrV4 &peer, Socket *sock) {
    *sock = kInvalidSocket;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Fail(errno);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = dwLocalAddrNet;
    sockaddr_in remote{};
    memcpy(&remote, &peer, sizeof remote);
    remote.sin_family = AF_INET;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0) {
        int error = errno;
        close(fd);
        return Fail(error);
    }
    *sock = reinterpret_cast<Socket>(new PosixSocket{fd, 0});
    return 0;
}

int IcmpOpen(Socket *sock) {
    *sock = kInvalidSocket;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd < 0) return Fail(errno);
    *sock = reinterpret_cast<Socket>(new PosixSocket{fd, 0});
    return 0;
}

namespace {
constexpr unsigned char kIcmpEchoReply = 0, kIcmpEchoRequest = 8;
constexpr size_t kIcmpHeader = 8;
}  // namespace

// The kernel sets the identifier and the checksum of an echo socket's requests.
int IcmpSendEcho(Socket sock, uint32_t dwAddrNet, uint16_t wSequence) {
    unsigned char echo[kIcmpHeader + 8] = {kIcmpEchoRequest, 0, 0, 0, 0, 0, static_cast<unsigned char>(wSequence >> 8),
                                           static_cast<unsigned char>(wSequence), 't', 'a', 'v', 'r', 'e', 'l', 0, 0};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = dwAddrNet;
    ssize_t sent;
    do {
        sent = sendto(AsPosix(sock)->fd, echo, sizeof echo, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? Fail(errno) : 0;
}

int IcmpRecvEchoReply(Socket sock, uint32_t *lpFromNet) {
    unsigned char reply[64];
    for (int nSkipped = 0; nSkipped < 16;) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t got = recvfrom(AsPosix(sock)->fd, reply, sizeof reply, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kNothingToRead : Fail(errno);
        if (static_cast<size_t>(got) < kIcmpHeader || reply[0] != kIcmpEchoReply) {
            ++nSkipped;
            continue;
        }
        *lpFromNet = from.sin_addr.s_addr;
        return 0;
    }
    return kNothingToRead;
}

// Nothing to read and a closed peer port are no failures of this layer.
static int ConnectedFailure(int error) {
    if (error == EWOULDBLOCK) error = EAGAIN;
    if (error == EAGAIN || error == ECONNREFUSED) return -error;
    return Fail(error);
}

int UdpRecv(Socket sock, void *buf, int len) {
    ssize_t got;
    do {
        got = recv(AsPosix(sock)->fd, buf, static_cast<size_t>(len), MSG_TRUNC | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return ConnectedFailure(errno);
    if (got > len) return Fail(EMSGSIZE);
    return static_cast<int>(got);
}

// One sendmmsg for a whole window of blocks.
int UdpSendBatch(Socket sock, const OutDatagram *datagrams, int count) {
    // A lock-step block alone: send() skips building the message headers.
    if (count == 1) {
        const OutDatagram &d = datagrams[0];
        ssize_t done;
        do {
            done = send(AsPosix(sock)->fd, d.lpData, static_cast<size_t>(d.nLength < 0 ? 0 : d.nLength), MSG_NOSIGNAL);
        } while (done < 0 && errno == EINTR);
        return done < 0 ? ConnectedFailure(errno) : 1;
    }
    constexpr int kMaxBatch = 128;
    mmsghdr messages[kMaxBatch];
    iovec parts[kMaxBatch];
    int sent = 0;
    while (sent < count) {
        int n = count - sent < kMaxBatch ? count - sent : kMaxBatch;
        for (int i = 0; i < n; ++i) {
            const OutDatagram &d = datagrams[sent + i];
            parts[i] = iovec{const_cast<void *>(d.lpData), static_cast<size_t>(d.nLength < 0 ? 0 : d.nLength)};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int done = sendmmsg(AsPosix(sock)->fd, messages, static_cast<unsigned>(n), MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return sent > 0 ? sent : ConnectedFailure(done < 0 ? errno : EAGAIN);
        sent += done;
    }
    return sent;
}

// A connected socket carries the route's MTU: the interface's, or a smaller
// one the route or path discovery set. No datagram is sent.
int InterfaceMtuTo(uint32_t dwAddrNet) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(9);
    dest.sin_addr.s_addr = dwAddrNet;
    int mtu = 0;
    socklen_t size = sizeof mtu;
    if (connect(fd, reinterpret_cast<sockaddr *>(&dest), sizeof dest) != 0 ||
        getsockopt(fd, IPPROTO_IP, IP_MTU, &mtu, &size) != 0)
        mtu = -errno;
    else if (mtu <= 0)
        mtu = -EINVAL;
    close(fd);
    return mtu;
}

int SocketLastError() { return t_SocketError; }

}  // namespace platform
