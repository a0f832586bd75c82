#include <winsock2.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

static_assert(kWaitTimedOut == -static_cast<int>(WAIT_TIMEOUT), "the timed-out result is -WAIT_TIMEOUT");
static_assert(kNothingToRead == -WSAEWOULDBLOCK, "nothing to read is -WSAEWOULDBLOCK");

int EventCreate(WaitHandle *event) {
    *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return *event ? 0 : -static_cast<int>(GetLastError());
}
void EventSet(WaitHandle event) {
    if (event) SetEvent(event);
}
void EventClose(WaitHandle event) {
    if (event) CloseHandle(event);
}

int SocketEventCreate(WaitHandle *event) {
    WSAEVENT created = WSACreateEvent();
    *event = created == WSA_INVALID_EVENT ? nullptr : created;
    return *event ? 0 : -WSAGetLastError();
}

int SocketEventSelect(Socket sock, WaitHandle event) {
    return WSAEventSelect(static_cast<SOCKET>(sock), event, FD_READ | FD_CLOSE) == 0 ? 0 : -WSAGetLastError();
}

int SocketEventTakeReadable(Socket sock, WaitHandle event) {
    WSAResetEvent(event);
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(static_cast<SOCKET>(sock), event, &events) != 0) return -WSAGetLastError();
    if (!(events.lNetworkEvents & FD_READ)) return kNothingToRead;
    return -events.iErrorCode[FD_READ_BIT];
}

void SocketEventClose(WaitHandle event) {
    if (event) WSACloseEvent(event);
}

int WaitAny(const WaitHandle *handles, int count, int timeoutMs) {
    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                          timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (result == WAIT_TIMEOUT) return kWaitTimedOut;
    if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(result - WAIT_OBJECT_0);
    if (result == WAIT_FAILED) return -static_cast<int>(GetLastError());
    return -ERROR_INVALID_HANDLE;  // an abandoned mutex: never one of ours
}

}  // namespace platform
