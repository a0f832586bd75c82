#include "platform/platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <linux/if_packet.h>
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

int UdpOpenFamily(IpFamily family, Socket *sock) {
    *sock = kInvalidSocket;
    if (family != IpFamily::kV4 && family != IpFamily::kV6) return Fail(EAFNOSUPPORT);
    int fd = socket(family == IpFamily::kV6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(errno);
    int on = 1;
    if (family == IpFamily::kV6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        int error = errno;
        close(fd);
        return Fail(error);
    }
    // Bursts of requests (a rack powering on) must not overflow the queue.
    int size = kReceiveBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    *sock = reinterpret_cast<Socket>(new PosixSocket{fd, 0});
    return 0;
}

int UdpOpen(Socket *sock) { return UdpOpenFamily(IpFamily::kV4, sock); }

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
static int BindV4(PosixSocket *posix, uint32_t dwAddrNet, uint16_t wPortHost) {
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

static int BindToInterface(int fd, uint32_t dwInterface) {
    char ifname[IF_NAMESIZE] = {};
    if (!if_indextoname(dwInterface, ifname)) return Fail(errno);
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifname, strlen(ifname) + 1) != 0) return Fail(errno);
    return 0;
}

// The sockaddr of an endpoint and its length; 0 for no family.
static socklen_t SockaddrOf(const IpEndpoint &endpoint, sockaddr_storage *out) {
    *out = sockaddr_storage{};
    const IpAddress &address = endpoint.Address();
    if (address.IsV4()) {
        sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(out);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(endpoint.Port());
        v4->sin_addr.s_addr = address.V4Net();
        return sizeof *v4;
    }
    if (!address.IsV6()) return 0;
    sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(out);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(endpoint.Port());
    memcpy(&v6->sin6_addr, address.Bytes(), sizeof v6->sin6_addr);
    v6->sin6_scope_id = address.Scope();
    return sizeof *v6;
}

static IpEndpoint EndpointOf(const sockaddr_storage &addr) {
    if (addr.ss_family == AF_INET) {
        const sockaddr_in *v4 = reinterpret_cast<const sockaddr_in *>(&addr);
        return IpEndpoint::FromV4Net(v4->sin_addr.s_addr, ntohs(v4->sin_port));
    }
    if (addr.ss_family != AF_INET6) return IpEndpoint();
    const sockaddr_in6 *v6 = reinterpret_cast<const sockaddr_in6 *>(&addr);
    return IpEndpoint(IpAddress::FromV6(v6->sin6_addr.s6_addr, v6->sin6_scope_id), ntohs(v6->sin6_port));
}

static int BindV6(PosixSocket *posix, const IpEndpoint &local, uint32_t dwInterface) {
    uint32_t index = dwInterface ? dwInterface : local.Address().Scope();
    if (index) {
        if (int result = BindToInterface(posix->fd, index)) return result;
    }
    int on = 1;
    setsockopt(posix->fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    IpAddress address = local.Address();
    address.SetScope(index);
    sockaddr_storage addr;
    socklen_t length = SockaddrOf(IpEndpoint(address, local.Port()), &addr);
    if (bind(posix->fd, reinterpret_cast<sockaddr *>(&addr), length) != 0) return Fail(errno);
    return 0;
}

int UdpBindEndpoint(Socket sock, const IpEndpoint &local, uint32_t dwInterface) {
    PosixSocket *posix = AsPosix(sock);
    if (local.Address().IsV6()) return BindV6(posix, local, dwInterface);
    if (!local.Address().IsV4()) return Fail(EAFNOSUPPORT);
    if (dwInterface) {
        if (int result = BindToInterface(posix->fd, dwInterface)) return result;
    }
    return BindV4(posix, local.Address().V4Net(), local.Port());
}

int UdpBind(Socket sock, uint32_t dwAddrNet, uint16_t wPortHost) {
    return UdpBindEndpoint(sock, IpEndpoint::FromV4Net(dwAddrNet, wPortHost), 0);
}

int UdpJoinMulticast(Socket sock, const IpAddress &group, uint32_t dwInterface) {
    int fd = AsPosix(sock)->fd;
    if (!group.IsMulticast()) return Fail(EINVAL);
    int result;
    if (group.IsV6()) {
        ipv6_mreq request{};
        memcpy(&request.ipv6mr_multiaddr, group.Bytes(), sizeof request.ipv6mr_multiaddr);
        request.ipv6mr_interface = dwInterface ? dwInterface : group.Scope();
        result = setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);
    } else {
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = group.V4Net();
        request.imr_ifindex = static_cast<int>(dwInterface);
        result = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
    }
    return result == 0 ? 0 : Fail(errno);
}

// Room for the one packet-information message either family brings.
constexpr size_t kControlBytes = CMSG_SPACE(sizeof(in6_pktinfo)) > CMSG_SPACE(sizeof(in_pktinfo))
                                     ? CMSG_SPACE(sizeof(in6_pktinfo))
                                     : CMSG_SPACE(sizeof(in_pktinfo));

// The source address of a send: IPv4 takes the socket's own when none is
// given, IPv6 only a given one (its scope naming the interface).
static void AddSource(msghdr *msg, char *control, const PosixSocket &posix, const IpEndpoint &to,
                      const IpAddress &source) {
    cmsghdr *cmsg;
    if (to.Address().IsV4()) {
        uint32_t dwSource = source.IsV4() ? source.V4Net() : posix.dwSourceAddr;
        if (dwSource == 0) return;
        msg->msg_control = control;
        msg->msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
        cmsg = CMSG_FIRSTHDR(msg);
        cmsg->cmsg_level = IPPROTO_IP;
        cmsg->cmsg_type = IP_PKTINFO;
        cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = dwSource;
        memcpy(CMSG_DATA(cmsg), &info, sizeof info);
        return;
    }
    if (!source.IsV6()) return;
    msg->msg_control = control;
    msg->msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
    cmsg = CMSG_FIRSTHDR(msg);
    cmsg->cmsg_level = IPPROTO_IPV6;
    cmsg->cmsg_type = IPV6_PKTINFO;
    cmsg->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
    in6_pktinfo info{};
    memcpy(&info.ipi6_addr, source.Bytes(), sizeof info.ipi6_addr);
    info.ipi6_ifindex = source.Scope();
    memcpy(CMSG_DATA(cmsg), &info, sizeof info);
}

int UdpSendFrom(Socket sock, const void *data, int len, const IpEndpoint &to, const IpAddress &source) {
    PosixSocket *posix = AsPosix(sock);
    sockaddr_storage dest;
    socklen_t destLen = SockaddrOf(to, &dest);
    if (!destLen) return Fail(EAFNOSUPPORT);
    iovec iov{const_cast<void *>(data), static_cast<size_t>(len < 0 ? 0 : len)};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = destLen;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[kControlBytes] = {};
    AddSource(&msg, control, *posix, to, source);
    ssize_t sent = sendmsg(posix->fd, &msg, MSG_NOSIGNAL);
    if (sent < 0) return Fail(errno);
    return static_cast<int>(sent);
}

int UdpSendTo(Socket sock, const void *data, int len, const SockAddrV4 &to) {
    return UdpSendFrom(sock, data, len, IpEndpoint::FromSockAddrV4(to), IpAddress());
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

// The destination and interface a packet-information message tells.
static void ReadArrival(msghdr *msg, UdpArrival *arrival) {
    for (cmsghdr *cmsg = CMSG_FIRSTHDR(msg); cmsg; cmsg = CMSG_NXTHDR(msg, cmsg)) {
        if (cmsg->cmsg_level == IPPROTO_IP && cmsg->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            memcpy(&info, CMSG_DATA(cmsg), sizeof info);
            arrival->stTo = IpAddress::FromV4Net(info.ipi_addr.s_addr);
            arrival->dwInterface = static_cast<uint32_t>(info.ipi_ifindex);
        } else if (cmsg->cmsg_level == IPPROTO_IPV6 && cmsg->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            memcpy(&info, CMSG_DATA(cmsg), sizeof info);
            arrival->stTo = IpAddress::FromV6(info.ipi6_addr.s6_addr, info.ipi6_ifindex);
            arrival->dwInterface = info.ipi6_ifindex;
        }
    }
}

int UdpReceive(Socket sock, void *buf, int len, UdpArrival *arrival) {
    *arrival = UdpArrival();
    sockaddr_storage source{};
    iovec iov{buf, static_cast<size_t>(len < 0 ? 0 : len)};
    alignas(cmsghdr) char control[kControlBytes] = {};
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
    arrival->stFrom = EndpointOf(source);
    if (got > len || (msg.msg_flags & MSG_TRUNC)) {
        errno = EMSGSIZE;
        return Fail(EMSGSIZE);
    }
    ReadArrival(&msg, arrival);
    return static_cast<int>(got);
}

int UdpRecvFromTo(Socket sock, void *buf, int len, SockAddrV4 *from, uint32_t *lpTo) {
    UdpArrival arrival;
    int got = UdpReceive(sock, buf, len, &arrival);
    if (from && arrival.stFrom.Address().IsV4()) arrival.stFrom.ToSockAddrV4(from);
    *lpTo = arrival.stTo.V4Net();
    return got;
}

void SocketClose(Socket sock) {
    if (sock == kInvalidSocket) return;
    close(AsPosix(sock)->fd);
    delete AsPosix(sock);
}

int UdpOpenConnectedTo(const IpAddress &local, const IpEndpoint &peer, Socket *sock) {
    *sock = kInvalidSocket;
    if (!peer.Address().IsV4() && !peer.Address().IsV6()) return Fail(EAFNOSUPPORT);
    bool bV6 = peer.Address().IsV6();
    int fd = socket(bV6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Fail(errno);
    IpAddress source = local.Family() == peer.Family() ? local : IpAddress::AnyOf(peer.Family());
    sockaddr_storage here, there;
    socklen_t hereLen = SockaddrOf(IpEndpoint(source, 0), &here);
    socklen_t thereLen = SockaddrOf(peer, &there);
    int on = 1;
    if ((bV6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        bind(fd, reinterpret_cast<sockaddr *>(&here), hereLen) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&there), thereLen) != 0) {
        int error = errno;
        close(fd);
        return Fail(error);
    }
    *sock = reinterpret_cast<Socket>(new PosixSocket{fd, 0});
    return 0;
}

int UdpOpenConnected(uint32_t dwLocalAddrNet, const SockAddrV4 &peer, Socket *sock) {
    return UdpOpenConnectedTo(IpAddress::FromV4Net(dwLocalAddrNet), IpEndpoint::FromSockAddrV4(peer), sock);
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

bool UdpHasDatagram(Socket sock) {
    char byte;
    ssize_t got;
    do {
        got = recv(AsPosix(sock)->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    return got >= 0;  // a pending ICMP error fails it: no datagram is there
}

// A window of equal datagrams (the last may be shorter) as one send that the
// kernel cuts into datagrams (UDP_SEGMENT): the stack is walked once for the
// window instead of once a block, and a receiver on the same machine is woken
// once for it rather than preempting the sender after every block. False
// when the window does not qualify or the route refused it (a device without
// checksum offload, a datagram above the path MTU): the caller sends it
// datagram by datagram, and a refused socket is not asked again.
// Kernels before 4.18 ignore the UDP_SEGMENT message and would send a whole
// window as one datagram: only a kernel that knows the option is asked.
static bool KernelSegmentsUdp() {
    static const bool bKnown = [] {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        int size = 0;
        socklen_t length = sizeof size;
        bool bOk = getsockopt(fd, SOL_UDP, UDP_SEGMENT, &size, &length) == 0;
        close(fd);
        return bOk;
    }();
    return bKnown;
}

static bool SendSegmented(PosixSocket *sock, const OutDatagram *datagrams, int count, int *lpResult) {
    constexpr int kMaxSegments = 64;       // the kernel's limit on one send
    constexpr size_t kMaxPayload = 65507;  // one IPv4 UDP datagram
    if (sock->bNoSegmenting.load(std::memory_order_relaxed) || count < 2 || count > kMaxSegments ||
        !KernelSegmentsUdp())
        return false;
    const int size = datagrams[0].nLength;
    if (size <= 0) return false;
    iovec parts[kMaxSegments];
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        const int length = datagrams[i].nLength;
        if (length < 0 || length > size || (length != size && i != count - 1)) return false;
        parts[i] = iovec{const_cast<void *>(datagrams[i].lpData), static_cast<size_t>(length)};
        total += static_cast<size_t>(length);
    }
    if (total > kMaxPayload) return false;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t segment = static_cast<uint16_t>(size);
    memcpy(CMSG_DATA(header), &segment, sizeof segment);
    ssize_t done;
    do {
        done = sendmsg(sock->fd, &message, MSG_NOSIGNAL);
    } while (done < 0 && errno == EINTR);
    if (done >= 0) {
        *lpResult = count;
        return true;
    }
    if (errno == EINVAL || errno == EIO || errno == ENOPROTOOPT || errno == EOPNOTSUPP || errno == EMSGSIZE) {
        sock->bNoSegmenting.store(true, std::memory_order_relaxed);
        return false;
    }
    *lpResult = ConnectedFailure(errno);
    return true;
}

// A whole window in one call: cut by the kernel where it can, else one
// sendmmsg.
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
    int segmented;
    if (SendSegmented(AsPosix(sock), datagrams, count, &segmented)) return segmented;
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

int InterfaceIndexOf(const char *name, uint32_t *lpIndex) {
    unsigned index = if_nametoindex(name);
    if (index == 0) return Fail(errno ? errno : ENODEV);
    *lpIndex = index;
    return 0;
}

// An interface's address as the platform-neutral type, or one of no family.
static IpAddress AddressOf(const sockaddr *addr) {
    if (addr && addr->sa_family == AF_INET)
        return IpAddress::FromV4Net(reinterpret_cast<const sockaddr_in *>(addr)->sin_addr.s_addr);
    if (!addr || addr->sa_family != AF_INET6) return IpAddress();
    const sockaddr_in6 *v6 = reinterpret_cast<const sockaddr_in6 *>(addr);
    return IpAddress::FromV6(v6->sin6_addr.s6_addr, v6->sin6_scope_id);
}

int FindLocalAddress(const IpAddress &address, uint32_t *lpInterface) {
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return Fail(errno);
    int result = kNotLocal;
    for (struct ifaddrs *it = list; it && result == kNotLocal; it = it->ifa_next) {
        IpAddress held = AddressOf(it->ifa_addr);
        if (held.Family() != address.Family() || held.ByteCount() == 0) continue;
        if (memcmp(held.Bytes(), address.Bytes(), held.ByteCount()) != 0) continue;
        if (address.Scope() && held.Scope() != address.Scope()) continue;
        *lpInterface = if_nametoindex(it->ifa_name);
        result = 0;
    }
    freeifaddrs(list);
    return result;
}

int InterfaceMacOf(uint32_t dwInterface, unsigned char abMac[6]) {
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return Fail(errno);
    int result = -ENODEV;
    for (struct ifaddrs *it = list; it && result != 0; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET) continue;
        const sockaddr_ll *link = reinterpret_cast<const sockaddr_ll *>(it->ifa_addr);
        if (static_cast<uint32_t>(link->sll_ifindex) != dwInterface || link->sll_halen != 6) continue;
        memcpy(abMac, link->sll_addr, 6);
        result = 0;
    }
    freeifaddrs(list);
    return result;
}

int LinkLocalAddressOf(uint32_t dwInterface, IpAddress *lpAddress) {
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return Fail(errno);
    int result = kNotLocal;
    for (struct ifaddrs *it = list; it && result != 0; it = it->ifa_next) {
        IpAddress held = AddressOf(it->ifa_addr);
        if (!held.IsV6() || !held.IsLinkScoped() || held.Scope() != dwInterface) continue;
        *lpAddress = held;
        result = 0;
    }
    freeifaddrs(list);
    return result;
}

// As InterfaceMtuTo: a connected socket carries the route's MTU.
int PathMtuTo(const IpAddress &address) {
    if (address.IsV4()) return InterfaceMtuTo(address.V4Net());
    if (!address.IsV6()) return -EAFNOSUPPORT;
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    sockaddr_storage dest;
    socklen_t length = SockaddrOf(IpEndpoint(address, 9), &dest);
    int mtu = 0;
    socklen_t size = sizeof mtu;
    if (connect(fd, reinterpret_cast<sockaddr *>(&dest), length) != 0 ||
        getsockopt(fd, IPPROTO_IPV6, IPV6_MTU, &mtu, &size) != 0)
        mtu = -errno;
    else if (mtu <= 0)
        mtu = -EINVAL;
    close(fd);
    return mtu;
}

namespace {
constexpr int kNeighbourHops = 255;  // RFC 4861: anything else is dropped
constexpr unsigned char kAllRouters[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
}  // namespace

static int SetIcmp6Options(int fd, uint32_t dwInterface) {
    int hops = kNeighbourHops, on = 1;
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ND_ROUTER_SOLICIT, &filter);
    ipv6_mreq request{};
    memcpy(&request.ipv6mr_multiaddr, kAllRouters, sizeof kAllRouters);
    request.ipv6mr_interface = dwInterface;
    unsigned index = dwInterface;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0)
        return Fail(errno);
    if (int result = BindToInterface(fd, dwInterface)) return result;
    return setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request) == 0 ? 0 : Fail(errno);
}

int Icmp6Open(uint32_t dwInterface, Socket *sock) {
    *sock = kInvalidSocket;
    int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd < 0) return Fail(errno);
    if (int result = SetIcmp6Options(fd, dwInterface)) {
        close(fd);
        return result;
    }
    *sock = reinterpret_cast<Socket>(new PosixSocket{fd, 0});
    return 0;
}

int SocketLastError() { return t_SocketError; }

}  // namespace platform
