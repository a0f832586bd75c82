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

struct MetricsInput {
    BootCounters counters;
    std::vector<PoolUse> pools;
    long liveMembers = 0;
    DirectoryCounters machines{};
};

std::string MetricsText(const MetricsInput &input);
