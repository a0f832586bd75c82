#include "service/service_frame.h"

#include "log/logger.h"

int TeskServiceFrame::StopAndFree(TeskServiceFrame *service) {
    int nResult = service ? service->StopServer() : 0;
    if (nResult == 0) delete service;
    return nResult;
}

bool TeskServiceFrame::CreateStopEvent() {
    return m_hStopEvent || platform::EventCreate(&m_hStopEvent) == 0;
}

bool TeskServiceFrame::CreateSocketEvent(int nIndex) {
    return platform::SocketEventCreate(&m_hSockEvents[nIndex]) == 0;
}

bool TeskServiceFrame::SelectSocketEvent(int nIndex) {
    return platform::SocketEventSelect(m_Sockets[nIndex], m_hSockEvents[nIndex]) == 0;
}

bool TeskServiceFrame::StartWorker() {
    if (m_hThread) return true;
    m_nWorkerState = kRunning;
    return platform::ThreadStart(WorkerMain, this, &m_hThread) == 0;
}

bool TeskServiceFrame::StopWorker(const char *lpService) {
    platform::EventSet(m_hStopEvent);
    platform::ThreadHandle hThread = m_hThread;
    if (!hThread) return true;
    m_hThread = nullptr;
    const int nWaitedMs = m_nStopWaitMs;
    if (platform::ThreadJoin(hThread, nWaitedMs) == 0 || platform::ThreadTerminate(hThread) == 0) {
        platform::ThreadClose(hThread);
        return true;
    }
    // The hand-over: once the exchange is made the worker may free this
    // object at any moment, so only locals are used after it.
    if (m_nWorkerState.exchange(kHandedOver) == kEnded) {
        // The worker ended between the timed-out join and the exchange: it
        // freed nothing, and the caller still releases.
        platform::ThreadJoin(hThread, platform::kWaitForever);
        platform::ThreadClose(hThread);
        return true;
    }
    platform::ThreadClose(hThread);
    LogWriteText("%s worker busy after %d ms: released when it ends", lpService, nWaitedMs);
    return false;
}

void TeskServiceFrame::ReleaseFrame() {
    platform::EventClose(m_hStopEvent);
    m_hStopEvent = nullptr;
    for (int i = 0; i < m_nSockets; ++i) {
        platform::SocketEventClose(m_hSockEvents[i]);
        m_hSockEvents[i] = nullptr;
        platform::SocketClose(m_Sockets[i]);
        m_Sockets[i] = platform::kInvalidSocket;
    }
}

unsigned TeskServiceFrame::WorkerMain(void *arg) {
    TeskServiceFrame *frame = static_cast<TeskServiceFrame *>(arg);
    frame->ServeUntilStopped();
    if (frame->m_nWorkerState.exchange(kEnded) == kHandedOver) {
        frame->ReleaseFrame();
        frame->ReleaseService();
        delete frame;
    }
    return 0;
}

// The stop event is first in every wait, and the wait is made again after
// each datagram, so a stop is seen before the next datagram is read. The
// sockets follow in turn, starting after the one served last: a socket that
// is always ready cannot keep the others waiting.
void TeskServiceFrame::ServeUntilStopped() {
    platform::WaitHandle order[kMaxSockets + 1];
    int aSocketAt[kMaxSockets];
    int nNext = 0;
    for (;;) {
        order[0] = m_hStopEvent;
        for (int i = 0; i < m_nSockets; ++i) {
            aSocketAt[i] = (nNext + i) % m_nSockets;
            order[1 + i] = m_hSockEvents[aSocketAt[i]];
        }
        int nIndex = platform::WaitAny(order, m_nSockets + 1, WaitPeriodMs());
        if (nIndex == 0) return;
        if (nIndex == platform::kWaitTimedOut) {
            OnWaitPeriod();
            continue;
        }
        if (nIndex < 1 || nIndex > m_nSockets) continue;
        int nSocket = aSocketAt[nIndex - 1];
        nNext = (nSocket + 1) % m_nSockets;
        if (platform::SocketEventTakeReadable(m_Sockets[nSocket], m_hSockEvents[nSocket]) == 0) ServeSocket(nSocket);
    }
}
