#include <winsock2.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

WaitHandle EventCreate() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
void EventSet(WaitHandle event) {
    if (event) SetEvent(event);
}
void EventReset(WaitHandle event) {
    if (event) ResetEvent(event);
}
void EventClose(WaitHandle event) {
    if (event) CloseHandle(event);
}

WaitHandle SocketEventCreate() {
    WSAEVENT event = WSACreateEvent();
    return event == WSA_INVALID_EVENT ? nullptr : event;
}

int SocketEventSelect(Socket sock, WaitHandle event) {
    return WSAEventSelect(static_cast<SOCKET>(sock), event, FD_READ | FD_CLOSE) == 0 ? 0 : -1;
}

bool SocketEventTakeReadable(Socket sock, WaitHandle event) {
    WSAResetEvent(event);
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(static_cast<SOCKET>(sock), event, &events) != 0) return false;
    return (events.lNetworkEvents & FD_READ) && events.iErrorCode[FD_READ_BIT] == 0;
}

void SocketEventClose(WaitHandle event) {
    if (event) WSACloseEvent(event);
}

int WaitAny(const WaitHandle *handles, int count, int timeoutMs) {
    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                          timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (result == WAIT_TIMEOUT) return kWaitTimeout;
    if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(result - WAIT_OBJECT_0);
    return kWaitFailed;
}

}  // namespace platform
