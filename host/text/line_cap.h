// A cap on the host's own lines that datagrams cause (the boot: line of each
// boot-file choice), at the rates of the library's caps: a burst, then a
// trickle, and with a later line, at most once a second, the count of those
// dropped meanwhile. A flood of requests thus writes a bounded number of
// lines.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class LineCap {
public:
    static constexpr double kBurst = 50;
    static constexpr double kPerSecond = 10;

    // The text to write for one more line LINE: the line, after the count
    // of those dropped before it when due, or "" while past the cap.
    std::string Admit(const std::string &line) {
        std::lock_guard<std::mutex> lock(m_Lock);
        Clock::time_point now = Clock::now();
        m_Tokens = std::min(kBurst, m_Tokens + std::chrono::duration<double>(now - m_Last).count() * kPerSecond);
        m_Last = now;
        if (m_Tokens < 1) {
            ++m_nDropped;
            return "";
        }
        m_Tokens -= 1;
        std::string text;
        if (m_nDropped && now - m_LastCount >= std::chrono::seconds(1)) {
            text = "boot: " + std::to_string(m_nDropped) + " similar lines suppressed\n";
            m_nDropped = 0;
            m_LastCount = now;
        }
        return text + line + "\n";
    }

private:
    using Clock = std::chrono::steady_clock;
    std::mutex m_Lock;
    double m_Tokens = kBurst;
    Clock::time_point m_Last = Clock::now(), m_LastCount{};
    uint64_t m_nDropped = 0;
};
