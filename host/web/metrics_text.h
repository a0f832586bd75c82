// The Prometheus text exposition of tavrel-host's counters.
#pragma once

#include <string>
#include <vector>

#include "host/boots/boot_tracker.h"
#include "host/boots/machine_directory.h"

struct PoolUse {
    std::string range;  // "BEGIN-END"
    long size = 0, inUse = 0;
};

// Per-machine files rendered for the machine that asked, by service
// ("tftp", "http").
struct RenderCounts {
    CountsByLabel rendered;
    CountsByLabel none;  // a per-machine name, but none for that machine (or its template failed)
    CountsByLabel slow;  // longer than kSlowRenderSeconds
    std::map<std::string, double> seconds;
};
// The library's TFTP worker waits on a render: longer than this is counted.
constexpr double kSlowRenderSeconds = 0.005;

struct MetricsInput {
    BootCounters counters;
    std::vector<PoolUse> pools;
    long liveMembers = 0;
    DirectoryCounters machines{};
    RenderCounts renders{};
};

std::string MetricsText(const MetricsInput &input);
