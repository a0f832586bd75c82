// Sockets of a set share one network event; when it fires, one select()
// tells which of them are readable.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

struct Win32SocketSet {
    HANDLE hStop;
    WSAEVENT hShared;
    int nSockets;
    int nMaxSockets;
    SOCKET *lpSockets;
    uint32_t *lpTags;
};

Win32SocketSet *AsSet(SocketSet set) { return static_cast<Win32SocketSet *>(set); }

// Readable sockets of the set, FD_SETSIZE at a time; their tags into tags.
int CollectReadable(Win32SocketSet *set, uint32_t *tags, int maxTags) {
    int nTags = 0;
    for (int first = 0; first < set->nSockets && nTags < maxTags; first += FD_SETSIZE) {
        fd_set readable;
        FD_ZERO(&readable);
        for (int i = first; i < set->nSockets && i < first + FD_SETSIZE; ++i) readable.fd_array[readable.fd_count++] = set->lpSockets[i];
        timeval now{0, 0};
        if (select(0, &readable, nullptr, nullptr, &now) == SOCKET_ERROR) return -WSAGetLastError();
        for (int i = first; i < set->nSockets && i < first + FD_SETSIZE && nTags < maxTags; ++i)
            if (FD_ISSET(set->lpSockets[i], &readable)) tags[nTags++] = set->lpTags[i];
    }
    return nTags;
}

}  // namespace

int SocketSetCreate(WaitHandle stopEvent, int maxSockets, SocketSet *out) {
    *out = nullptr;
    Win32SocketSet *set = new (std::nothrow) Win32SocketSet{stopEvent, WSACreateEvent(), 0, maxSockets,
                                                            new (std::nothrow) SOCKET[maxSockets],
                                                            new (std::nothrow) uint32_t[maxSockets]};
    if (set && set->hShared != WSA_INVALID_EVENT && set->lpSockets && set->lpTags) {
        *out = set;
        return 0;
    }
    int error = set && set->hShared == WSA_INVALID_EVENT ? -WSAGetLastError() : -ERROR_NOT_ENOUGH_MEMORY;
    SocketSetClose(set);
    return error;
}

int SocketSetAdd(SocketSet set, Socket sock, uint32_t tag) {
    Win32SocketSet *win = AsSet(set);
    if (win->nSockets >= win->nMaxSockets) return -WSAENOBUFS;
    if (WSAEventSelect(static_cast<SOCKET>(sock), win->hShared, FD_READ | FD_CLOSE) != 0) return -WSAGetLastError();
    win->lpSockets[win->nSockets] = static_cast<SOCKET>(sock);
    win->lpTags[win->nSockets++] = tag;
    return 0;
}

void SocketSetRemove(SocketSet set, Socket sock) {
    Win32SocketSet *win = AsSet(set);
    for (int i = 0; i < win->nSockets; ++i) {
        if (win->lpSockets[i] != static_cast<SOCKET>(sock)) continue;
        WSAEventSelect(win->lpSockets[i], nullptr, 0);
        --win->nSockets;
        win->lpSockets[i] = win->lpSockets[win->nSockets];
        win->lpTags[i] = win->lpTags[win->nSockets];
        return;
    }
}

int SocketSetWait(SocketSet set, int timeoutMs, uint32_t *tags, int maxTags) {
    Win32SocketSet *win = AsSet(set);
    HANDLE handles[2] = {win->hStop, win->hShared};
    for (;;) {
        DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        if (result == WAIT_OBJECT_0) return 0;
        if (result == WAIT_TIMEOUT) return kWaitTimedOut;
        if (result != WAIT_OBJECT_0 + 1) return -static_cast<int>(GetLastError());
        // Reset first: a datagram arriving after the select signals again.
        WSAResetEvent(win->hShared);
        int nTags = CollectReadable(win, tags, maxTags);
        if (nTags != 0) return nTags;
    }
}

void SocketSetClose(SocketSet set) {
    Win32SocketSet *win = AsSet(set);
    if (!win) return;
    if (win->hShared != WSA_INVALID_EVENT) WSACloseEvent(win->hShared);
    delete[] win->lpSockets;
    delete[] win->lpTags;
    delete win;
}

}  // namespace platform
