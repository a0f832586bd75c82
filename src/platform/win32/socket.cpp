#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

static SOCKET AsWin(Socket sock) { return static_cast<SOCKET>(sock); }

// WSAGetLastError keeps the value for SocketLastError.
static int Failure() { return -WSAGetLastError(); }

SockAddrV4 MakeSockAddr(uint32_t dwAddrNet, uint16_t wPortHost) {
    SockAddrV4 addr{};
    addr.wFamily = AF_INET;
    addr.wPort = htons(wPortHost);
    addr.dwAddr = dwAddrNet;
    return addr;
}

int SocketsStartup() {
    WSADATA data;
    return -WSAStartup(MAKEWORD(1, 1), &data);
}

void SocketsCleanup() { WSACleanup(); }

int DescriptorLimit() { return 2048; }

int UdpShareSocket(Socket, Socket *shared) {
    *shared = kInvalidSocket;
    return -WSAEOPNOTSUPP;
}

int UdpOpenFamily(IpFamily family, Socket *out) {
    *out = kInvalidSocket;
    if (family != IpFamily::kV4 && family != IpFamily::kV6) return -WSAEAFNOSUPPORT;
    SOCKET sock = WSASocketA(family == IpFamily::kV6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0, nullptr, 0,
                             WSA_FLAG_OVERLAPPED);
    if (sock == INVALID_SOCKET) return Failure();
    DWORD on = 1;
    if (family == IpFamily::kV6 &&
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char *>(&on), sizeof on) != 0) {
        int error = Failure();
        closesocket(sock);
        WSASetLastError(-error);
        return error;
    }
    // Bursts of requests (a rack powering on) must not overflow the queue.
    int size = kReceiveBufferBytes;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size), sizeof size);
    *out = static_cast<Socket>(sock);
    return 0;
}

int UdpOpen(Socket *out) { return UdpOpenFamily(IpFamily::kV4, out); }

int UdpEnableBroadcast(Socket sock) {
    BOOL on = TRUE;
    return setsockopt(AsWin(sock), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on) == 0
               ? 0
               : Failure();
}

int UdpBind(Socket sock, uint32_t dwAddrNet, uint16_t wPortHost) {
    return UdpBindEndpoint(sock, IpEndpoint::FromV4Net(dwAddrNet, wPortHost), 0);
}

int UdpSendTo(Socket sock, const void *data, int len, const SockAddrV4 &to) {
    sockaddr_in dest;
    memcpy(&dest, &to, sizeof dest);
    int sent = sendto(AsWin(sock), static_cast<const char *>(data), len, 0, reinterpret_cast<sockaddr *>(&dest),
                      sizeof dest);
    return sent == SOCKET_ERROR ? Failure() : sent;
}

int UdpRecvFrom(Socket sock, void *buf, int len, SockAddrV4 *from) {
    sockaddr_in source{};
    int sourceLen = sizeof source;
    int got = recvfrom(AsWin(sock), static_cast<char *>(buf), len, 0, reinterpret_cast<sockaddr *>(&source),
                       &sourceLen);
    if (got == SOCKET_ERROR) return Failure();
    if (from) memcpy(from, &source, sizeof *from);
    return got;
}

void SocketClose(Socket sock) {
    if (sock != kInvalidSocket) closesocket(AsWin(sock));
}

// No echo socket here (kCanProbe): the frame offers without probing.
int IcmpOpen(Socket *sock) {
    *sock = kInvalidSocket;
    return -WSAEOPNOTSUPP;
}

int IcmpSendEcho(Socket, uint32_t, uint16_t) { return -WSAEOPNOTSUPP; }

int IcmpRecvEchoReply(Socket, uint32_t *) { return -WSAEOPNOTSUPP; }

// An ICMP port unreachable shows as a reset on a UDP socket (kPeerRefused).
int UdpRecv(Socket sock, void *buf, int len) {
    int got = recv(AsWin(sock), static_cast<char *>(buf), len, 0);
    return got == SOCKET_ERROR ? Failure() : got;
}

bool UdpHasDatagram(Socket sock) {
    u_long nBytes = 0;
    return ioctlsocket(AsWin(sock), FIONREAD, &nBytes) == 0 && nBytes > 0;
}

int UdpSendBatch(Socket sock, const OutDatagram *datagrams, int count) {
    for (int i = 0; i < count; ++i) {
        if (send(AsWin(sock), static_cast<const char *>(datagrams[i].lpData), datagrams[i].nLength, 0) == SOCKET_ERROR)
            return i > 0 ? i : Failure();
    }
    return count;
}

// The IP helper library is loaded by name when first needed, so the DLL's
// imports stay the core system libraries.
int InterfaceMtuTo(uint32_t dwAddrNet) {
    using BestInterfaceProc = DWORD(WINAPI *)(IPAddr, PDWORD);
    using IfEntryProc = DWORD(WINAPI *)(PMIB_IFROW);
    static HMODULE library = LoadLibraryA("iphlpapi.dll");
    if (!library) return -ERROR_MOD_NOT_FOUND;
    // Through void *: FARPROC casts to no other function type without a warning.
    auto bestInterface = reinterpret_cast<BestInterfaceProc>(
        reinterpret_cast<void *>(GetProcAddress(library, "GetBestInterface")));
    auto ifEntry = reinterpret_cast<IfEntryProc>(reinterpret_cast<void *>(GetProcAddress(library, "GetIfEntry")));
    if (!bestInterface || !ifEntry) return -ERROR_PROC_NOT_FOUND;
    DWORD index = 0;
    if (DWORD error = bestInterface(dwAddrNet, &index)) return -static_cast<int>(error);
    MIB_IFROW row{};
    row.dwIndex = index;
    if (DWORD error = ifEntry(&row)) return -static_cast<int>(error);
    return row.dwMtu > 0 ? static_cast<int>(row.dwMtu) : -ERROR_INVALID_DATA;
}

// ---- UDP of either family --------------------------------------------------

// The sockaddr of an endpoint and its length; 0 for no family.
static int SockaddrOf(const IpEndpoint &endpoint, sockaddr_storage *out) {
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

static IpAddress AddressOf(const sockaddr *addr) {
    if (addr && addr->sa_family == AF_INET)
        return IpAddress::FromV4Net(reinterpret_cast<const sockaddr_in *>(addr)->sin_addr.s_addr);
    if (!addr || addr->sa_family != AF_INET6) return IpAddress();
    const sockaddr_in6 *v6 = reinterpret_cast<const sockaddr_in6 *>(addr);
    return IpAddress::FromV6(v6->sin6_addr.s6_addr, v6->sin6_scope_id);
}

static IpEndpoint EndpointOf(const sockaddr_storage &addr) {
    const sockaddr *any = reinterpret_cast<const sockaddr *>(&addr);
    uint16_t port = addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_port
                                               : reinterpret_cast<const sockaddr_in *>(&addr)->sin_port;
    return IpEndpoint(AddressOf(any), ntohs(port));
}

// Receiving with the destination and sending from a source are extension
// functions, asked of the socket's provider.
template <typename Function>
static Function Extension(SOCKET sock, GUID id) {
    Function function = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(sock, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function, &bytes, nullptr,
                 nullptr) != 0)
        return nullptr;
    return function;
}

int UdpOpenConnectedTo(const IpAddress &local, const IpEndpoint &peer, Socket *out) {
    *out = kInvalidSocket;
    if (!peer.Address().IsV4() && !peer.Address().IsV6()) return -WSAEAFNOSUPPORT;
    bool bV6 = peer.Address().IsV6();
    SOCKET sock = WSASocketA(bV6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (sock == INVALID_SOCKET) return Failure();
    IpAddress source = local.Family() == peer.Family() ? local : IpAddress::AnyOf(peer.Family());
    sockaddr_storage here, there;
    int hereLen = SockaddrOf(IpEndpoint(source, 0), &here);
    int thereLen = SockaddrOf(peer, &there);
    DWORD on = 1;
    u_long nonBlocking = 1;
    if ((bV6 && setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char *>(&on), sizeof on) != 0) ||
        bind(sock, reinterpret_cast<sockaddr *>(&here), hereLen) != 0 ||
        connect(sock, reinterpret_cast<sockaddr *>(&there), thereLen) != 0 ||
        ioctlsocket(sock, FIONBIO, &nonBlocking) != 0) {
        int error = Failure();
        closesocket(sock);
        WSASetLastError(-error);
        return error;
    }
    *out = static_cast<Socket>(sock);
    return 0;
}

int UdpOpenConnected(uint32_t dwLocalAddrNet, const SockAddrV4 &peer, Socket *out) {
    return UdpOpenConnectedTo(IpAddress::FromV4Net(dwLocalAddrNet), IpEndpoint::FromSockAddrV4(peer), out);
}

// Unlike Linux, Windows delivers broadcasts to a socket bound to a local
// address and has no tie to an interface for a wildcard one: the scope of a
// link-scoped address is all that names the interface.
int UdpBindEndpoint(Socket sock, const IpEndpoint &local, uint32_t dwInterface) {
    IpAddress address = local.Address();
    if (!address.IsV4() && !address.IsV6()) return -WSAEAFNOSUPPORT;
    if (dwInterface) address.SetScope(dwInterface);
    DWORD on = 1;
    if (address.IsV6())
        setsockopt(AsWin(sock), IPPROTO_IPV6, IPV6_PKTINFO, reinterpret_cast<const char *>(&on), sizeof on);
    else
        setsockopt(AsWin(sock), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char *>(&on), sizeof on);
    sockaddr_storage addr;
    int length = SockaddrOf(IpEndpoint(address, local.Port()), &addr);
    return bind(AsWin(sock), reinterpret_cast<sockaddr *>(&addr), length) == 0 ? 0 : Failure();
}

int UdpJoinMulticast(Socket sock, const IpAddress &group, uint32_t dwInterface) {
    if (!group.IsMulticast()) return -WSAEINVAL;
    int result;
    if (group.IsV6()) {
        ipv6_mreq request{};
        memcpy(&request.ipv6mr_multiaddr, group.Bytes(), sizeof request.ipv6mr_multiaddr);
        request.ipv6mr_interface = dwInterface ? dwInterface : group.Scope();
        result = setsockopt(AsWin(sock), IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char *>(&request),
                            sizeof request);
    } else {
        // An interface index stands in the interface address as 0.0.0.index.
        ip_mreq request{};
        request.imr_multiaddr.s_addr = group.V4Net();
        request.imr_interface.s_addr = htonl(dwInterface);
        result = setsockopt(AsWin(sock), IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char *>(&request),
                            sizeof request);
    }
    return result == 0 ? 0 : Failure();
}

constexpr size_t kControlBytes = WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)) > WSA_CMSG_SPACE(sizeof(IN_PKTINFO))
                                     ? WSA_CMSG_SPACE(sizeof(IN6_PKTINFO))
                                     : WSA_CMSG_SPACE(sizeof(IN_PKTINFO));

static void ReadArrival(WSAMSG *msg, UdpArrival *arrival) {
    for (WSACMSGHDR *cmsg = WSA_CMSG_FIRSTHDR(msg); cmsg; cmsg = WSA_CMSG_NXTHDR(msg, cmsg)) {
        if (cmsg->cmsg_level == IPPROTO_IP && cmsg->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info{};
            memcpy(&info, WSA_CMSG_DATA(cmsg), sizeof info);
            arrival->stTo = IpAddress::FromV4Net(info.ipi_addr.s_addr);
            arrival->dwInterface = info.ipi_ifindex;
        } else if (cmsg->cmsg_level == IPPROTO_IPV6 && cmsg->cmsg_type == IPV6_PKTINFO) {
            IN6_PKTINFO info{};
            memcpy(&info, WSA_CMSG_DATA(cmsg), sizeof info);
            arrival->stTo = IpAddress::FromV6(info.ipi6_addr.s6_addr, info.ipi6_ifindex);
            arrival->dwInterface = info.ipi6_ifindex;
        }
    }
}

int UdpReceive(Socket sock, void *buf, int len, UdpArrival *arrival) {
    *arrival = UdpArrival();
    static const LPFN_WSARECVMSG recvMsg = Extension<LPFN_WSARECVMSG>(AsWin(sock), WSAID_WSARECVMSG);
    if (!recvMsg) return -WSAEOPNOTSUPP;
    sockaddr_storage source{};
    alignas(WSACMSGHDR) char control[kControlBytes] = {};
    WSABUF data{static_cast<ULONG>(len < 0 ? 0 : len), static_cast<char *>(buf)};
    WSAMSG msg{};
    msg.name = reinterpret_cast<sockaddr *>(&source);
    msg.namelen = sizeof source;
    msg.lpBuffers = &data;
    msg.dwBufferCount = 1;
    msg.Control = WSABUF{sizeof control, control};
    DWORD got = 0;
    if (recvMsg(AsWin(sock), &msg, &got, nullptr, nullptr) != 0) {
        int error = Failure();
        if (error == -WSAEMSGSIZE) arrival->stFrom = EndpointOf(source);
        return error;
    }
    arrival->stFrom = EndpointOf(source);
    if (msg.dwFlags & MSG_TRUNC) {
        WSASetLastError(WSAEMSGSIZE);
        return -WSAEMSGSIZE;
    }
    ReadArrival(&msg, arrival);
    return static_cast<int>(got);
}

// The source of a send as a packet-information message; false when the
// socket's binding chooses it.
static bool AddSource(WSAMSG *msg, char *control, const IpEndpoint &to, const IpAddress &source) {
    if (source.Family() != to.Family()) return false;
    msg->Control = WSABUF{0, control};
    WSACMSGHDR *cmsg = reinterpret_cast<WSACMSGHDR *>(control);
    if (source.IsV4()) {
        IN_PKTINFO info{};
        info.ipi_addr.s_addr = source.V4Net();
        cmsg->cmsg_level = IPPROTO_IP;
        cmsg->cmsg_type = IP_PKTINFO;
        cmsg->cmsg_len = WSA_CMSG_LEN(sizeof info);
        memcpy(WSA_CMSG_DATA(cmsg), &info, sizeof info);
        msg->Control.len = WSA_CMSG_SPACE(sizeof info);
        return true;
    }
    IN6_PKTINFO info{};
    memcpy(&info.ipi6_addr, source.Bytes(), sizeof info.ipi6_addr);
    info.ipi6_ifindex = source.Scope();
    cmsg->cmsg_level = IPPROTO_IPV6;
    cmsg->cmsg_type = IPV6_PKTINFO;
    cmsg->cmsg_len = WSA_CMSG_LEN(sizeof info);
    memcpy(WSA_CMSG_DATA(cmsg), &info, sizeof info);
    msg->Control.len = WSA_CMSG_SPACE(sizeof info);
    return true;
}

int UdpSendFrom(Socket sock, const void *data, int len, const IpEndpoint &to, const IpAddress &source) {
    sockaddr_storage dest;
    int destLen = SockaddrOf(to, &dest);
    if (!destLen) return -WSAEAFNOSUPPORT;
    alignas(WSACMSGHDR) char control[kControlBytes] = {};
    WSAMSG msg{};
    msg.name = reinterpret_cast<sockaddr *>(&dest);
    msg.namelen = destLen;
    WSABUF part{static_cast<ULONG>(len < 0 ? 0 : len), static_cast<char *>(const_cast<void *>(data))};
    msg.lpBuffers = &part;
    msg.dwBufferCount = 1;
    if (!AddSource(&msg, control, to, source)) {
        int sent = sendto(AsWin(sock), static_cast<const char *>(data), len, 0, msg.name, destLen);
        return sent == SOCKET_ERROR ? Failure() : sent;
    }
    static const LPFN_WSASENDMSG sendMsg = Extension<LPFN_WSASENDMSG>(AsWin(sock), WSAID_WSASENDMSG);
    if (!sendMsg) return -WSAEOPNOTSUPP;
    DWORD sent = 0;
    if (sendMsg(AsWin(sock), &msg, 0, &sent, nullptr, nullptr) != 0) return Failure();
    return static_cast<int>(sent);
}

// The IP helper library, loaded by name as for InterfaceMtuTo.
static FARPROC IpHelper(const char *name) {
    static HMODULE library = LoadLibraryA("iphlpapi.dll");
    return library ? GetProcAddress(library, name) : nullptr;
}

// Whether the adapter holds the address: the index of the family's interface.
static bool AdapterHolds(const IP_ADAPTER_ADDRESSES *adapter, const IpAddress &address, uint32_t *lpInterface) {
    uint32_t index = address.IsV6() ? adapter->Ipv6IfIndex : adapter->IfIndex;
    for (const IP_ADAPTER_UNICAST_ADDRESS *it = adapter->FirstUnicastAddress; it; it = it->Next) {
        IpAddress held = AddressOf(it->Address.lpSockaddr);
        if (held.Family() != address.Family() || memcmp(held.Bytes(), address.Bytes(), held.ByteCount()) != 0) continue;
        if (address.Scope() && address.Scope() != index) continue;
        *lpInterface = index;
        return true;
    }
    return false;
}

// Calls visit on each adapter of the family until it returns true: 0 then,
// kNotLocal when none did, or the system's code.
template <typename Visit>
static int VisitAdapters(ULONG family, Visit visit) {
    using AdaptersProc = ULONG(WINAPI *)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);
    auto adapters = reinterpret_cast<AdaptersProc>(reinterpret_cast<void *>(IpHelper("GetAdaptersAddresses")));
    if (!adapters) return -ERROR_PROC_NOT_FOUND;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    // The list can grow between the call that sizes it and the one that fills it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto *list = static_cast<IP_ADAPTER_ADDRESSES *>(HeapAlloc(GetProcessHeap(), 0, size));
        if (!list) return -ERROR_NOT_ENOUGH_MEMORY;
        ULONG error = adapters(family, flags, nullptr, list, &size);
        int result = error == ERROR_SUCCESS ? kNotLocal : -static_cast<int>(error);
        for (IP_ADAPTER_ADDRESSES *it = error == ERROR_SUCCESS ? list : nullptr; it && result == kNotLocal;
             it = it->Next)
            if (visit(it)) result = 0;
        HeapFree(GetProcessHeap(), 0, list);
        if (error != ERROR_BUFFER_OVERFLOW) return error == ERROR_NO_DATA ? kNotLocal : result;
    }
    return -ERROR_BUFFER_OVERFLOW;
}

int FindLocalAddress(const IpAddress &address, uint32_t *lpInterface) {
    if (!address.IsV4() && !address.IsV6()) return kNotLocal;
    return VisitAdapters(address.IsV6() ? AF_INET6 : AF_INET, [&](const IP_ADAPTER_ADDRESSES *adapter) {
        return AdapterHolds(adapter, address, lpInterface);
    });
}

// if_nametoindex knows only the system's own names ("ethernet_32768"); what
// people type is the name Windows shows, the friendly one ("Ethernet"; under
// Wine the Unix name, "eth0"), so that is tried after it.
int InterfaceIndexOf(const char *name, uint32_t *lpIndex) {
    using NameToIndexProc = ULONG(WINAPI *)(PCSTR);
    auto nameToIndex = reinterpret_cast<NameToIndexProc>(reinterpret_cast<void *>(IpHelper("if_nametoindex")));
    ULONG index = nameToIndex ? nameToIndex(name) : 0;
    if (index != 0) {
        *lpIndex = index;
        return 0;
    }
    wchar_t wide[256];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 256) == 0) return -ERROR_NOT_FOUND;
    int result = VisitAdapters(AF_UNSPEC, [&](const IP_ADAPTER_ADDRESSES *adapter) {
        if (!adapter->FriendlyName || lstrcmpiW(adapter->FriendlyName, wide) != 0) return false;
        *lpIndex = adapter->Ipv6IfIndex ? adapter->Ipv6IfIndex : adapter->IfIndex;
        return *lpIndex != 0;
    });
    return result == 0 ? 0 : -ERROR_NOT_FOUND;
}

int InterfaceMacOf(uint32_t dwInterface, unsigned char abMac[6]) {
    return VisitAdapters(AF_UNSPEC, [&](const IP_ADAPTER_ADDRESSES *adapter) {
        if (adapter->IfIndex != dwInterface && adapter->Ipv6IfIndex != dwInterface) return false;
        if (adapter->PhysicalAddressLength != 6) return false;
        memcpy(abMac, adapter->PhysicalAddress, 6);
        return true;
    });
}

int LinkLocalAddressOf(uint32_t dwInterface, IpAddress *lpAddress) {
    return VisitAdapters(AF_INET6, [&](const IP_ADAPTER_ADDRESSES *adapter) {
        if (adapter->Ipv6IfIndex != dwInterface) return false;
        for (const IP_ADAPTER_UNICAST_ADDRESS *it = adapter->FirstUnicastAddress; it; it = it->Next) {
            IpAddress held = AddressOf(it->Address.lpSockaddr);
            if (!held.IsV6() || !held.IsLinkScoped()) continue;
            held.SetScope(dwInterface);
            *lpAddress = held;
            return true;
        }
        return false;
    });
}

int PathMtuTo(const IpAddress &address) {
    if (address.IsV4()) return InterfaceMtuTo(address.V4Net());
    if (!address.IsV6()) return -WSAEAFNOSUPPORT;
    using BestInterfaceExProc = DWORD(WINAPI *)(sockaddr *, PDWORD);
    using IfEntryProc = DWORD(WINAPI *)(PMIB_IFROW);
    auto bestInterface =
        reinterpret_cast<BestInterfaceExProc>(reinterpret_cast<void *>(IpHelper("GetBestInterfaceEx")));
    auto ifEntry = reinterpret_cast<IfEntryProc>(reinterpret_cast<void *>(IpHelper("GetIfEntry")));
    if (!bestInterface || !ifEntry) return -ERROR_PROC_NOT_FOUND;
    sockaddr_storage dest;
    SockaddrOf(IpEndpoint(address, 0), &dest);
    DWORD index = 0;
    if (DWORD error = bestInterface(reinterpret_cast<sockaddr *>(&dest), &index)) return -static_cast<int>(error);
    MIB_IFROW row{};
    row.dwIndex = index;
    if (DWORD error = ifEntry(&row)) return -static_cast<int>(error);
    return row.dwMtu > 0 ? static_cast<int>(row.dwMtu) : -ERROR_INVALID_DATA;
}

// Winsock has no ICMPv6 filter: the frame skips what is not a solicitation.
static int SetIcmp6Options(SOCKET sock, uint32_t dwInterface) {
    DWORD hops = 255, on = 1, index = dwInterface;
    ipv6_mreq request{};
    request.ipv6mr_multiaddr.s6_addr[0] = 0xff;
    request.ipv6mr_multiaddr.s6_addr[1] = 0x02;
    request.ipv6mr_multiaddr.s6_addr[15] = 2;
    request.ipv6mr_interface = dwInterface;
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    const auto option = [&](int name, const void *value, int size) {
        return setsockopt(sock, IPPROTO_IPV6, name, static_cast<const char *>(value), size) == 0;
    };
    if (!option(IPV6_MULTICAST_HOPS, &hops, sizeof hops) || !option(IPV6_UNICAST_HOPS, &hops, sizeof hops) ||
        !option(IPV6_MULTICAST_IF, &index, sizeof index) || !option(IPV6_PKTINFO, &on, sizeof on) ||
        bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        !option(IPV6_ADD_MEMBERSHIP, &request, sizeof request))
        return Failure();
    return 0;
}

int Icmp6Open(uint32_t dwInterface, Socket *out) {
    *out = kInvalidSocket;
    SOCKET sock = WSASocketA(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (sock == INVALID_SOCKET) return Failure();
    if (int error = SetIcmp6Options(sock, dwInterface)) {
        closesocket(sock);
        WSASetLastError(-error);
        return error;
    }
    *out = static_cast<Socket>(sock);
    return 0;
}

// Winsock tells a datagram's destination only through WSARecvMsg, which
// every bound socket asks for (UdpBindEndpoint sets IP_PKTINFO).
int UdpRecvFromTo(Socket sock, void *buf, int len, SockAddrV4 *from, uint32_t *lpTo) {
    UdpArrival arrival;
    int got = UdpReceive(sock, buf, len, &arrival);
    if (got == -WSAEOPNOTSUPP) {
        *lpTo = 0;
        return UdpRecvFrom(sock, buf, len, from);
    }
    if (from && arrival.stFrom.Address().IsV4()) arrival.stFrom.ToSockAddrV4(from);
    *lpTo = arrival.stTo.V4Net();
    return got;
}

int SocketLastError() { return WSAGetLastError(); }

}  // namespace platform
