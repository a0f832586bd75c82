// Decides who frees a service when its worker would not end in time and the
// platform cannot end it by force: the host gives the service up, and the
// worker, once its current request is done, frees everything on its way out.
#pragma once

#include <atomic>

class TeskWorkerRelay {
public:
    // Called by the worker as it ends; true when the host has given up on it,
    // so the worker must free the service itself.
    bool WorkerEnding() { return m_nState.exchange(kEnded) == kAbandoned; }
    // Called by the host after a join that timed out; true when the worker
    // ended meanwhile, so the host may release everything as usual.
    bool Abandon() { return m_nState.exchange(kAbandoned) == kEnded; }
    void Reset() { m_nState = kRunning; }

private:
    enum { kRunning, kEnded, kAbandoned };
    std::atomic<int> m_nState{kRunning};
};
