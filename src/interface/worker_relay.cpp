#include "interface/worker_relay.h"

#include "log/logger.h"

bool TeskWorkerRelay::Stop(platform::ThreadHandle &hThread, int timeoutMs, const char *lpService) {
    if (!hThread) return true;
    bool bEnded = platform::ThreadJoin(hThread, timeoutMs) || platform::ThreadTerminate(hThread);
    // The worker may end between the timed-out join and this exchange: then
    // it has not freed anything, and the host still does.
    if (!bEnded && m_nState.exchange(kAbandoned) != kEnded) {
        LogWriteText("%s worker busy after %d ms: released when it ends", lpService, timeoutMs);
        platform::ThreadClose(hThread);
        hThread = nullptr;
        m_bAbandoned = true;
        return false;
    }
    if (!bEnded) platform::ThreadJoin(hThread, platform::kWaitInfinite);
    platform::ThreadClose(hThread);
    hThread = nullptr;
    return true;
}
