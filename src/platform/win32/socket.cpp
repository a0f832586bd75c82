#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

static SOCKET AsWin(Socket sock) { return static_cast<SOCKET>(sock); }

SockAddrV4 MakeSockAddr(uint32_t dwAddrNet, uint16_t wPortHost) {
    SockAddrV4 addr{};
    addr.wFamily = AF_INET;
    addr.wPort = htons(wPortHost);
    addr.dwAddr = dwAddrNet;
    return addr;
}

int SocketsStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void SocketsCleanup() { WSACleanup(); }

Socket UdpOpen() {
    SOCKET sock = WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (sock == INVALID_SOCKET) return kInvalidSocket;
    // Bursts of requests (a rack powering on) must not overflow the queue.
    int size = kReceiveBufferBytes;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size), sizeof size);
    return static_cast<Socket>(sock);
}

int UdpEnableBroadcast(Socket sock) {
    BOOL on = TRUE;
    return setsockopt(AsWin(sock), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on) == 0 ? 0
                                                                                                                 : -1;
}

int UdpBind(Socket sock, uint32_t dwAddrNet, uint16_t wPortHost) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPortHost);
    addr.sin_addr.s_addr = dwAddrNet;
    return bind(AsWin(sock), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int UdpSendTo(Socket sock, const void *data, int len, const SockAddrV4 &to) {
    sockaddr_in dest;
    memcpy(&dest, &to, sizeof dest);
    int sent = sendto(AsWin(sock), static_cast<const char *>(data), len, 0, reinterpret_cast<sockaddr *>(&dest),
                      sizeof dest);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int UdpRecvFrom(Socket sock, void *buf, int len, SockAddrV4 *from) {
    sockaddr_in source{};
    int sourceLen = sizeof source;
    int got = recvfrom(AsWin(sock), static_cast<char *>(buf), len, 0, reinterpret_cast<sockaddr *>(&source),
                       &sourceLen);
    if (got == SOCKET_ERROR) return -1;
    if (from) memcpy(from, &source, sizeof *from);
    return got;
}

void SocketClose(Socket sock) {
    if (sock != kInvalidSocket) closesocket(AsWin(sock));
}

Socket UdpOpenConnected(uint32_t dwLocalAddrNet, const SockAddrV4 &peer) {
    SOCKET sock = WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (sock == INVALID_SOCKET) return kInvalidSocket;
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
        closesocket(sock);
        return kInvalidSocket;
    }
    return static_cast<Socket>(sock);
}

// An ICMP port unreachable shows as a reset on a UDP socket.
static int ConnectedFailure() {
    int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAECONNREFUSED) return kSocketRefused;
    if (error == WSAEWOULDBLOCK) return kSocketEmpty;
    return kSocketFailed;
}

int UdpRecv(Socket sock, void *buf, int len) {
    int got = recv(AsWin(sock), static_cast<char *>(buf), len, 0);
    return got == SOCKET_ERROR ? ConnectedFailure() : got;
}

int UdpSendBatch(Socket sock, const OutDatagram *datagrams, int count) {
    for (int i = 0; i < count; ++i) {
        if (send(AsWin(sock), static_cast<const char *>(datagrams[i].lpData), datagrams[i].nLength, 0) != SOCKET_ERROR)
            continue;
        if (i > 0) return i;
        return ConnectedFailure();
    }
    return count;
}

// The IP helper library is loaded by name when first needed, so the DLL's
// imports stay the core system libraries.
int InterfaceMtuTo(uint32_t dwAddrNet) {
    using BestInterfaceProc = DWORD(WINAPI *)(IPAddr, PDWORD);
    using IfEntryProc = DWORD(WINAPI *)(PMIB_IFROW);
    static HMODULE library = LoadLibraryA("iphlpapi.dll");
    if (!library) return 0;
    // Through void *: FARPROC casts to no other function type without a warning.
    auto bestInterface = reinterpret_cast<BestInterfaceProc>(
        reinterpret_cast<void *>(GetProcAddress(library, "GetBestInterface")));
    auto ifEntry = reinterpret_cast<IfEntryProc>(reinterpret_cast<void *>(GetProcAddress(library, "GetIfEntry")));
    DWORD index = 0;
    if (!bestInterface || !ifEntry || bestInterface(dwAddrNet, &index) != NO_ERROR) return 0;
    MIB_IFROW row{};
    row.dwIndex = index;
    if (ifEntry(&row) != NO_ERROR) return 0;
    return static_cast<int>(row.dwMtu);
}

int SocketLastError() { return WSAGetLastError(); }

}  // namespace platform
