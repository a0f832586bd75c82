#include "host/cli/listings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "host/farm/farm.h"
#include "host/text/json_document.h"
#include "host/text/time_text.h"
#include "host/boots/machine_record.h"

bool PrintReports(PolicyStore &store, bool json, long limit, const std::string &since) {
    std::vector<StoredReport> list;
    if (!store.Reports(&list, limit, since)) return false;
    if (json) {
        JsonValue out = JsonValue::array();
        for (const StoredReport &r : list)
            out.push_back({{"time", r.time}, {"mac", r.mac}, {"ip", r.ip}, {"gateway", r.gateway},
                           {"netmask", r.netmask}, {"server", r.server}, {"reporter", r.reporter}});
        std::cout << JsonDocument(out);
        return true;
    }
    printf("%-19s  %-17s  %-15s  %-15s  %-15s  %-15s  %s\n", "time", "mac", "ip", "gateway", "netmask", "server",
           "reporter");
    for (const StoredReport &r : list)
        printf("%-19s  %-17s  %-15s  %-15s  %-15s  %-15s  %s\n", ShownText(r.time).c_str(), ShownText(r.mac).c_str(),
               ShownText(r.ip).c_str(), ShownText(r.gateway).c_str(), ShownText(r.netmask).c_str(),
               ShownText(r.server).c_str(), ShownText(r.reporter).c_str());
    return true;
}

bool PrintFarm(PolicyStore &store, bool json, size_t *count) {
    std::vector<MemberRow> members;
    if (!store.Members(&members)) return false;
    *count = members.size();
    if (json) {
        JsonValue out = JsonValue::array();
        for (const MemberRow &m : members)
            out.push_back({{"address", m.address}, {"name", m.name}, {"state", MemberState(m, members)},
                           {"last_heartbeat", LocalTimeText(m.lastSeen)}, {"weight", m.weight},
                           {"age_seconds", std::round(m.age * 10) / 10}, {"served_last_hour", m.served},
                           {"free", m.free}, {"ranges", m.ranges}});
        std::cout << JsonDocument(out);
        return true;
    }
    printf("%-15s  %-16s  %6s  %-7s  %-19s  %7s  %s\n", "address", "name", "weight", "state", "last heartbeat",
           "age s", "served (1 h)");
    for (const MemberRow &m : members)
        printf("%-15s  %-16s  %6g  %-7s  %-19s  %7.1f  %ld\n", ShownText(m.address).c_str(), ShownText(m.name).c_str(), m.weight,
               MemberState(m, members).c_str(), LocalTimeText(m.lastSeen).c_str(), m.age, m.served);
    return true;
}

bool PrintAssignments(PolicyStore &store, bool json) {
    PolicyRows rows;
    if (!store.Assignments(&rows)) return false;
    std::sort(rows.begin(), rows.end());
    if (json) {
        JsonValue out = JsonValue::array();
        for (const auto &row : rows) out.push_back({{"mac", row.first}, {"server", row.second}});
        std::cout << JsonDocument(out);
        return true;
    }
    printf("%-17s  %s\n", "mac", "server");
    for (const auto &row : rows) printf("%-17s  %s\n", ShownText(row.first).c_str(), ShownText(row.second).c_str());
    return true;
}

void PrintLeases(const std::vector<LeaseEntry> &leases, bool json) {
    if (json) {
        JsonValue out = JsonValue::array();
        for (const LeaseEntry &lease : leases)
            out.push_back({{"mac", lease.mac}, {"ip", lease.ip},
                           {"expires", LocalTimeText(static_cast<double>(lease.expiry))}});
        std::cout << JsonDocument(out);
        return;
    }
    // IPv6 addresses and DUID keys widen their columns; IPv4 rows keep theirs.
    int nMac = 17, nIp = 15;
    for (const LeaseEntry &lease : leases) {
        nMac = std::max(nMac, static_cast<int>(ShownText(lease.mac).size()));
        nIp = std::max(nIp, static_cast<int>(ShownText(lease.ip).size()));
    }
    printf("%-*s  %-*s  %s\n", nMac, "mac", nIp, "ip", "expires");
    for (const LeaseEntry &lease : leases)
        printf("%-*s  %-*s  %s\n", nMac, ShownText(lease.mac).c_str(), nIp, ShownText(lease.ip).c_str(),
               LocalTimeText(static_cast<double>(lease.expiry)).c_str());
}
