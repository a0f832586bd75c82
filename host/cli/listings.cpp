#include "host/cli/listings.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "host/farm/farm.h"
#include "host/text/json_text.h"
#include "host/text/local_time_text.h"
#include "host/boots/machine_record.h"

bool ParseReportTime(const std::string &text, std::string *stamp) {
    for (const char *form : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d"}) {
        struct tm parts {};
        const char *end = strptime(text.c_str(), form, &parts);
        if (!end || *end != '\0') continue;
        // strptime takes 2026-02-31; mktime would make it March.
        struct tm normal = parts;
        normal.tm_isdst = -1;
        if (mktime(&normal) == -1 || normal.tm_mday != parts.tm_mday || normal.tm_mon != parts.tm_mon) return false;
        char out[32];
        strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &parts);
        *stamp = out;
        return true;
    }
    return false;
}

bool PrintReports(PolicyStore &store, bool json, long limit, const std::string &since) {
    std::vector<StoredReport> list;
    if (!store.Reports(&list, limit, since)) return false;
    if (json) {
        std::cout << "[";
        for (size_t i = 0; i < list.size(); ++i) {
            const StoredReport &r = list[i];
            std::cout << (i ? "," : "") << "\n  {\"time\": " << JsonText(r.time) << ", \"mac\": " << JsonText(r.mac)
                      << ", \"ip\": " << JsonText(r.ip) << ", \"gateway\": " << JsonText(r.gateway)
                      << ", \"netmask\": " << JsonText(r.netmask) << ", \"server\": " << JsonText(r.server)
                      << ", \"reporter\": " << JsonText(r.reporter) << "}";
        }
        std::cout << "\n]\n";
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
        std::cout << "[";
        for (size_t i = 0; i < members.size(); ++i) {
            const MemberRow &m = members[i];
            char numbers[128];
            snprintf(numbers, sizeof numbers,
                     "\"weight\": %g, \"age_seconds\": %.1f, \"served_last_hour\": %ld, \"free\": %ld", m.weight,
                     m.age, m.served, m.free);
            std::cout << (i ? "," : "") << "\n  {\"address\": " << JsonText(m.address) << ", \"name\": " << JsonText(m.name)
                      << ", \"state\": " << JsonText(MemberState(m, members)) << ", \"last_heartbeat\": " << JsonText(LocalTimeText(m.lastSeen))
                      << ", " << numbers << ", \"ranges\": " << JsonText(m.ranges) << "}";
        }
        std::cout << "\n]\n";
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
        std::cout << "[";
        for (size_t i = 0; i < rows.size(); ++i)
            std::cout << (i ? "," : "") << "\n  {\"mac\": " << JsonText(rows[i].first) << ", \"server\": "
                      << JsonText(rows[i].second) << "}";
        std::cout << "\n]\n";
        return true;
    }
    printf("%-17s  %s\n", "mac", "server");
    for (const auto &row : rows) printf("%-17s  %s\n", ShownText(row.first).c_str(), ShownText(row.second).c_str());
    return true;
}

void PrintLeases(const std::vector<LeaseEntry> &leases, bool json) {
    if (json) {
        std::cout << "[";
        for (size_t i = 0; i < leases.size(); ++i)
            std::cout << (i ? "," : "") << "\n  {\"mac\": " << JsonText(leases[i].mac) << ", \"ip\": "
                      << JsonText(leases[i].ip) << ", \"expires\": " << JsonText(LocalTimeText(static_cast<double>(leases[i].expiry)))
                      << "}";
        std::cout << "\n]\n";
        return;
    }
    printf("%-17s  %-15s  %s\n", "mac", "ip", "expires");
    for (const LeaseEntry &lease : leases)
        printf("%-17s  %-15s  %s\n", ShownText(lease.mac).c_str(), ShownText(lease.ip).c_str(),
               LocalTimeText(static_cast<double>(lease.expiry)).c_str());
}
