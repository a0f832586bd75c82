// The skeleton every service stands on: its sockets, one worker thread, the
// stop event and the stop itself. The worker sees a stop request before any
// further datagram and serves ready sockets in turn, so a flood on one port
// neither delays a stop nor starves the other ports. When the worker will not
// end in time and the platform cannot end it by force, the service is handed
// to the worker, which frees it on its way out.
#pragma once

#include <atomic>

#include "platform/platform.h"

class TeskServiceFrame {
public:
    static constexpr int kMaxSockets = 3;
    static constexpr int kStopWaitMs = 2000;

    virtual ~TeskServiceFrame() = default;
    TeskServiceFrame(const TeskServiceFrame &) = delete;
    TeskServiceFrame &operator=(const TeskServiceFrame &) = delete;

    // Stops the worker and releases everything. Returns 0 when the caller
    // still owns the object (and frees it), 1 when a worker stuck in a
    // request now owns it: from then on the caller must not touch it.
    virtual int StopServer() = 0;
    // StopServer, then frees the object unless its worker owns it; returns
    // what StopServer returned.
    static int StopAndFree(TeskServiceFrame *service);

    // Tests shorten the stop wait to land callbacks around the deadline.
    void SetStopWaitMs(int nStopWaitMs) { m_nStopWaitMs = nStopWaitMs; }

protected:
    explicit TeskServiceFrame(int nSockets) : m_nSockets(nSockets) {}

    // One datagram is waiting on socket nIndex: read and answer it.
    virtual void ServeSocket(int nIndex) = 0;
    // The wait period ran out (only when WaitPeriodMs is not infinite).
    virtual int WaitPeriodMs() const { return platform::kWaitForever; }
    virtual void OnWaitPeriod() {}
    // Everything the service holds besides the frame; the worker has ended.
    virtual void ReleaseService() = 0;
    // The worker's loop until the stop event is set; a service waiting on
    // more than its fixed sockets brings its own.
    virtual void ServeUntilStopped();

    bool CreateStopEvent();
    // Lets socket nIndex wake the worker; false when its event cannot be had.
    bool CreateSocketEvent(int nIndex);
    bool SelectSocketEvent(int nIndex);
    // Starts the worker unless one runs; false when no thread could be made.
    bool StartWorker();
    // Sets the stop event and waits up to the stop wait for the worker. True
    // when it has ended and the caller releases; false when the busy worker
    // was handed the object: nothing of it may be touched afterwards.
    bool StopWorker(const char *lpService);
    // Closes the stop event, the socket events and the sockets.
    void ReleaseFrame();

    platform::Socket m_Sockets[kMaxSockets] = {platform::kInvalidSocket, platform::kInvalidSocket,
                                               platform::kInvalidSocket};
    platform::WaitHandle m_hSockEvents[kMaxSockets] = {};
    platform::WaitHandle m_hStopEvent = nullptr;

private:
    static unsigned WorkerMain(void *arg);

    enum { kRunning, kEnded, kHandedOver };
    const int m_nSockets;
    int m_nStopWaitMs = kStopWaitMs;
    platform::ThreadHandle m_hThread = nullptr;
    std::atomic<int> m_nWorkerState{kRunning};
};
