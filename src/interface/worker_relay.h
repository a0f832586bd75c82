// Ends a service's worker thread, and decides who frees the service when the
// worker will not end in time and the platform cannot end it by force: the
// host gives the service up, and the worker, once its current request is
// done, frees everything on its way out.
#pragma once

#include <atomic>

#include "platform/platform.h"

class TeskWorkerRelay {
public:
    void Reset() {
        m_nState = kRunning;
        m_bAbandoned = false;
    }
    // Waits up to timeoutMs for the worker (its stop event already set) and
    // clears hThread. True when it has ended, so the caller releases the
    // service; false when the busy worker was left to release it itself.
    bool Stop(platform::ThreadHandle &hThread, int timeoutMs, const char *lpService);
    // Called by the worker as it ends; true when it must free the service.
    bool WorkerEnding() { return m_nState.exchange(kEnded) == kAbandoned; }
    // The service belongs to its worker now: the host must not free it.
    bool Abandoned() const { return m_bAbandoned; }

private:
    enum { kRunning, kEnded, kAbandoned };
    std::atomic<int> m_nState{kRunning};
    bool m_bAbandoned = false;
};
