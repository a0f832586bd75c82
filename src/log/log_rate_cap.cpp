#include "log/log_rate_cap.h"

#include "log/logger.h"
#include "log/notices.h"

namespace {

// The scope the calling thread is in, if any, and its datagram's admission:
// one variable, so that each function looks the thread's storage up once.
thread_local LogCapScope::State t_Scope{nullptr, 0, true, true};

// Admit runs outside the scope: the count it may write is never capped.
void Decide(LogCapScope::State &scope) {
    LogRateCap *lpCap = scope.lpCap;
    scope.lpCap = nullptr;
    scope.bAdmitted = lpCap->Admit(scope.qwNowMs);
    scope.lpCap = lpCap;
    scope.bDecided = true;
}

}  // namespace

bool LogRateCap::Admit(uint64_t qwNowMs) {
    bool bAdmitted;
    uint32_t nDropped = 0;
    {
        platform::TeskLockGuard guard(m_Lock);
        if (!m_bStarted) {
            m_bStarted = true;
            m_qwLastMs = m_qwLastSummaryMs = qwNowMs;
        }
        uint64_t qwElapsed = qwNowMs > m_qwLastMs ? qwNowMs - m_qwLastMs : 0;
        m_qwLastMs = qwNowMs > m_qwLastMs ? qwNowMs : m_qwLastMs;
        m_qwTokensMilli += qwElapsed * kPerSecond;
        if (m_qwTokensMilli > uint64_t(kBurst) * 1000) m_qwTokensMilli = uint64_t(kBurst) * 1000;
        bAdmitted = m_qwTokensMilli >= 1000;
        if (bAdmitted) m_qwTokensMilli -= 1000;
        if (m_nSuppressed.load(std::memory_order_relaxed) > 0 &&
            (bAdmitted || qwNowMs >= m_qwLastSummaryMs + 1000)) {
            nDropped = m_nSuppressed.exchange(0, std::memory_order_relaxed);
            m_qwLastSummaryMs = qwNowMs;
        }
    }
    if (nDropped > 0) WriteSummary(nDropped);
    return bAdmitted;
}

void LogRateCap::WriteSummary(uint32_t nDropped) {
    LogCapScope::State &scope = t_Scope;
    LogRateCap *lpOuter = scope.lpCap;
    scope.lpCap = nullptr;  // the count itself is never capped
    LogWriteText(TESK_TEXT_ELLIPSIS " %u similar lines suppressed", nDropped);
    scope.lpCap = lpOuter;
}

LogCapScope::LogCapScope(LogRateCap &cap, uint64_t qwNowMs) {
    State &scope = t_Scope;
    m_Outer = scope;
    scope = State{&cap, qwNowMs, true, false};
    if (cap.HasSuppressed()) Decide(scope);
}

LogCapScope::~LogCapScope() { t_Scope = m_Outer; }

bool LogCapAllowsLine() {
    LogCapScope::State &scope = t_Scope;
    if (!scope.lpCap) return true;
    if (!scope.bDecided) Decide(scope);
    if (scope.bAdmitted) return true;
    scope.lpCap->CountSuppressed();
    return false;
}
