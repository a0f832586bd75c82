// One cap for the lines that datagrams cause. Each service holds a cap per
// port; the code that handles a datagram opens a LogCapScope, and every line
// the thread writes inside it is written or dropped with its datagram. A
// flood thus writes a burst, then a trickle and a count of what it dropped
// ("... N similar lines suppressed"), whatever port or path it takes.
// Threads that serve one port together (the TFTP workers) may share a cap.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

class LogRateCap {
public:
    // Datagrams whose lines are written at once, and the rate after that.
    static constexpr uint32_t kBurst = 50;
    static constexpr uint32_t kPerSecond = 10;

    // Whether a datagram received at qwNowMs may write its lines. When it
    // may and lines were dropped before it, their count is written first;
    // while a flood lasts, the count is written at most once a second.
    bool Admit(uint64_t qwNowMs);
    void CountSuppressed() { m_nSuppressed.fetch_add(1, std::memory_order_relaxed); }
    bool HasSuppressed() const { return m_nSuppressed.load(std::memory_order_relaxed) > 0; }

private:
    // The count is written outside the lock: the logger may count a line
    // refused by this cap while it holds its own lock.
    static void WriteSummary(uint32_t nDropped);

    platform::TeskLock m_Lock;  // the tokens and the time of the last count
    uint64_t m_qwTokensMilli = uint64_t(kBurst) * 1000;  // thousandths of a line
    uint64_t m_qwLastMs = 0;
    uint64_t m_qwLastSummaryMs = 0;
    bool m_bStarted = false;
    std::atomic<uint32_t> m_nSuppressed{0};
};

// Lines of the calling thread belong to one datagram while this lives. The
// datagram is admitted or refused at its first line: one that writes none,
// as nearly every datagram of a transfer, costs the cap nothing. After lines
// were dropped, each datagram is weighed as it comes, written lines or not,
// so that their count is written as soon as the cap allows.
class LogCapScope {
public:
    struct State {
        LogRateCap *lpCap;
        uint64_t qwNowMs;
        bool bAdmitted;
        bool bDecided;
    };

    LogCapScope(LogRateCap &cap, uint64_t qwNowMs);
    ~LogCapScope();
    LogCapScope(const LogCapScope &) = delete;
    LogCapScope &operator=(const LogCapScope &) = delete;

private:
    State m_Outer;
};

// For the logger: false when the calling thread is inside a scope whose
// datagram was refused (the line is counted there).
bool LogCapAllowsLine();
