// The host's configuration file (TOML): what it holds, and its validation.
// The library checks nothing, so every field is checked here, and each
// error names the file, the line and the key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "host/config/boot_rules.h"
#include "host/config/profiles.h"
#include "host/config/sbat_levels.h"

struct HostConfig {
    TeskPxeServerStruct server{};
    int nAddressLine = 0;  // where server.address stands, for later checks
    std::vector<TeskSubNetStruct> ranges;
    std::vector<bool> relayed;  // per range: served through a DHCP relay, outside the server's subnet
    std::vector<TeskStaticDhcpStruct> statics;
    std::string database;  // the policy table and the mirror reports
    // [farm]: this server is one of several sharing the database.
    bool farm = false;
    std::string farmName;
    double farmWeight = 1;
    std::string farmKey;        // signs the direct heartbeats between members; empty: none are sent
    int nHeartbeatPort = 0;     // their UDP port (kFarmHeartbeatPort unless set)
    int nPruneAfterHours = 0;   // members silent this long leave the farm listing
    int nReportRetentionDays = 0;  // reports older than this are deleted
    std::vector<BootRule> bootRules;
    std::string httpAddress;  // [http] listen; empty: no HTTP service
    int nHttpPort = 0;
    std::string httpBase, httpBase6;  // what "${http}" stands for, per family; empty: no HTTP there
    std::string metricsAddress;  // [metrics] listen: /metrics and the status page; empty: none
    int nMetricsPort = 0;
    double machineRetentionSeconds = 30 * 86400.0;  // [metrics] retention_days: boot records kept
    SecureBootOptions secureBoot;  // [secure_boot], and what `check` found of the loaders
    size_t nPiFilesTooLarge = 0;  // files a Pi rule serves that TFTP cannot bring within the Pi's time per file
    // [ipv6]: IPv6 boot beside IPv4 (StartPXEV6), when the section is there.
    bool ipv6 = false;
    TeskPxeServerV6Struct server6{};
    int nAddress6Line = 0;      // where ipv6.address stands
    int nPrefixLength6 = 64;    // of the server's address ("2001:db8::1/64"), 64 unless written
    std::vector<TeskSubNetV6Struct> ranges6;
    std::vector<TeskStaticDhcpV6Struct> statics6;
    // [identity], [profiles.NAME] and [api]: machines by identity, what they boot, the JSON API.
    IdentityOptions identity;
    std::vector<Profile> profiles;
    std::string apiToken;  // empty: no API
};

constexpr int kFarmHeartbeatPort = 4457;
constexpr int kDefaultPruneAfterHours = 24;
constexpr int kDefaultReportRetentionDays = 30;

// Reads and validates FILE. On failure returns false and fills errors with
// lines of the form "FILE:LINE: KEY: problem". WARNINGS, in the same form,
// get what is served all the same: what the previous release accepted (for
// one more release) and what only the clients would notice (a missing boot
// file). They never make the load fail.
bool LoadHostConfig(const std::string &path, HostConfig *config, std::vector<std::string> *errors,
                    std::vector<std::string> *warnings = nullptr);

// The line `check` ends with on success: "ok (1 range, 2 static entries,
// 0 boot rules, 1 warning)", and for a farm what only `run` can check.
std::string CheckSummary(const HostConfig &config, size_t nWarnings);

// What only the machine can tell: whether the server address is one of this
// host's own. Used by `check` and before `run` starts, with the same words.
bool CheckHostHasAddress(const HostConfig &config, const std::string &path, std::vector<std::string> *errors);

// The same for ipv6.address (on ipv6.interface when that is set).
bool CheckHostHasAddress6(const HostConfig &config, const std::string &path, std::vector<std::string> *errors);

// DATABASE names PostgreSQL ("postgresql://" or "postgres://"); anything
// else is a SQLite file.
bool IsPostgresDatabase(const std::string &database);

// A connection URI with its password replaced by "***", in the user part
// and in a "password=" parameter, for every line that prints one.
std::string MaskedUri(const std::string &uri);
