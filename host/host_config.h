// The host's configuration file (TOML): what it holds, and its validation.
// The library checks nothing, so every field is checked here, and each
// error names the file, the line and the key.
#pragma once

#include <string>
#include <vector>

#include "Tavrel.h"
#include "host/boot_rules.h"

struct HostConfig {
    TeskPxeServerStruct server{};
    std::vector<TeskSubNetStruct> ranges;
    std::vector<TeskStaticDhcpStruct> statics;
    std::string database;  // the policy table and the mirror reports
    // [farm]: this server is one of several sharing the database.
    bool farm = false;
    std::string farmName;
    double farmWeight = 1;
    std::vector<BootRule> bootRules;
    std::string httpAddress;  // [http] listen; empty: no HTTP service
    int nHttpPort = 0;
    std::string metricsAddress;  // [metrics] listen: /metrics and the status page; empty: none
    int nMetricsPort = 0;
    double machineRetentionSeconds = 30 * 86400.0;  // [metrics] retention_days: boot records kept
};

// Reads and validates FILE. On failure returns false and fills errors with
// lines of the form "FILE:LINE: KEY: problem".
bool LoadHostConfig(const std::string &path, HostConfig *config, std::vector<std::string> *errors);
