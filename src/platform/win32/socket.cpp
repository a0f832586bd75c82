#include <winsock2.h>
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

int UdpOpen(Socket *out) {
    *out = kInvalidSocket;
    SOCKET sock = WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (sock == INVALID_SOCKET) return Failure();
    // Bursts of requests (a rack powering on) must not overflow the queue.
    int size = kReceiveBufferBytes;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size), sizeof size);
    *out = static_cast<Socket>(sock);
    return 0;
}

int UdpEnableBroadcast(Socket sock) {
    BOOL on = TRUE;
    return setsockopt(AsWin(sock), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on) == 0
               ? 0
               : Failure();
}

int UdpBind(Socket sock, uint32_t dwAddrNet, uint16_t wPortHost) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPortHost);
    addr.sin_addr.s_addr = dwAddrNet;
    return bind(AsWin(sock), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : Failure();
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

// Winsock tells a datagram's destination only through WSARecvMsg: the DHCP
// service takes every datagram for a broadcast (it answers a RENEW of an
// unknown address with silence rather than a NAK).
int UdpRecvFromTo(Socket sock, void *buf, int len, SockAddrV4 *from, uint32_t *lpTo) {
    *lpTo = 0;
    return UdpRecvFrom(sock, buf, len, from);
}

void SocketClose(Socket sock) {
    if (sock != kInvalidSocket) closesocket(AsWin(sock));
}

int UdpOpenConnected(uint32_t dwLocalAddrNet, const SockAddrV4 &peer, Socket *out) {
    *out = kInvalidSocket;
    SOCKET sock = WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (sock == INVALID_SOCKET) return Failure();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = dwLocalAddrNet;
    sockaddr_in remote;
    memcpy(&remote, &peer, sizeof remote);
    remote.sin_family = AF_INET;
    u_long nonBlocking = 1;
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        connect(sock, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0 ||
        ioctlsocket(sock, FIONBIO, &nonBlocking) != 0) {
        int error = Failure();
        closesocket(sock);
        WSASetLastError(-error);
        return error;
    }
    *out = static_cast<Socket>(sock);
    return 0;
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

int SocketLastError() { return WSAGetLastError(); }

}  // namespace platform
