// What the status page's charts draw: for each minute of the last hour, the
// boot attempts that ended in it (booted, failed) and the pool use last seen
// in it. Sixty slots, reused as the minutes pass.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "host/boots/boot_tracker.h"

struct MinuteSample {
    int64_t minute = -1;  // minutes since the epoch
    uint64_t booted = 0, failed = 0;
    long inUse = -1, size = 0;  // -1: no sample in that minute
};

class MinuteHistory {
public:
    static constexpr int kMinutes = 60;

    // At TIME: the outcomes counted so far and the pools' use now.
    void Note(double time, const BootOutcomes &outcomes, long inUse, long size) {
        int64_t minute = static_cast<int64_t>(std::floor(time / 60));
        if (m_nFirst < 0) m_nFirst = minute;
        MinuteSample &slot = m_Slots[static_cast<size_t>(minute % kMinutes)];
        if (slot.minute != minute) slot = MinuteSample{minute};
        slot.booted += outcomes.booted - m_Counted.booted;
        slot.failed += outcomes.failed - m_Counted.failed;
        slot.inUse = inUse, slot.size = size;
        m_Counted = outcomes;
    }
    // The minutes of the last hour up to NOW's, oldest first, from the first noted.
    std::vector<MinuteSample> Last(double now) const {
        std::vector<MinuteSample> list;
        int64_t minute = static_cast<int64_t>(std::floor(now / 60));
        if (m_nFirst < 0) return list;
        for (int64_t m = std::max(minute - kMinutes + 1, m_nFirst); m <= minute; ++m) {
            const MinuteSample &slot = m_Slots[static_cast<size_t>(m % kMinutes)];
            list.push_back(slot.minute == m ? slot : MinuteSample{m});
        }
        return list;
    }

private:
    std::array<MinuteSample, kMinutes> m_Slots{};
    BootOutcomes m_Counted;
    int64_t m_nFirst = -1;
};
