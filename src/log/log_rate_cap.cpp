#include "log/log_rate_cap.h"

#include "log/logger.h"
#include "log/notices.h"

namespace {

// The scope the calling thread is in, if any, and its datagram's admission.
thread_local LogRateCap *t_lpCap = nullptr;
thread_local bool t_bAdmitted = true;

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
    LogRateCap *lpOuter = t_lpCap;
    t_lpCap = nullptr;  // the count itself is never capped
    LogWriteText(TESK_TEXT_ELLIPSIS " %u similar lines suppressed", nDropped);
    t_lpCap = lpOuter;
}

LogCapScope::LogCapScope(LogRateCap &cap, uint64_t qwNowMs) : m_lpOuter(t_lpCap), m_bOuterAdmitted(t_bAdmitted) {
    t_lpCap = nullptr;
    t_bAdmitted = cap.Admit(qwNowMs);
    t_lpCap = &cap;
}

LogCapScope::~LogCapScope() {
    t_lpCap = m_lpOuter;
    t_bAdmitted = m_bOuterAdmitted;
}

bool LogCapAllowsLine() {
    if (!t_lpCap || t_bAdmitted) return true;
    t_lpCap->CountSuppressed();
    return false;
}
