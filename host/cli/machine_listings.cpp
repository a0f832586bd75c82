#include "host/cli/machine_listings.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "host/boots/boot_tracker.h"
#include "host/config/profiles.h"
#include "host/text/json_document.h"
#include "host/text/time_text.h"

namespace {

constexpr int kListed = 10000;

}  // namespace

bool PrintMachines(PolicyStore &store, bool json) {
    std::vector<MachineRow> rows;
    if (!store.Machines(&rows, kListed)) return false;
    if (json) {
        JsonValue out = JsonValue::array();
        for (const MachineRow &row : rows) {
            MachineRecord m = RecordFromRow(row);
            out.push_back({{"mac", m.mac}, {"address", m.address}, {"last_seen", LocalTimeText(m.lastSeen)},
                           {"stage", m.stage}, {"result", m.result}, {"reason", m.reason},
                           {"reason_text", ReasonWords(m.reason)}, {"server", m.reporter},
                           {"why", DescribeAttempt(m)}});
        }
        std::cout << JsonDocument(out);
        return true;
    }
    // IPv6 addresses and DUID keys widen their columns; IPv4 rows keep theirs.
    int nMac = 17, nAddress = 15;
    for (const MachineRow &row : rows) {
        nMac = std::max(nMac, static_cast<int>(ShownText(row.mac).size()));
        nAddress = std::max(nAddress, static_cast<int>(ShownText(row.address).size()));
    }
    printf("%-*s  %-*s  %-19s  %-6s  %-10s  %-15s  %s\n", nMac, "mac", nAddress, "address", "last seen", "stage",
           "result", "server", "reason");
    for (const MachineRow &row : rows) {
        MachineRecord m = RecordFromRow(row);
        printf("%-*s  %-*s  %-19s  %-6s  %-10s  %-15s  %s\n", nMac, ShownText(m.mac).c_str(), nAddress,
               ShownText(m.address).c_str(),
               LocalTimeText(m.lastSeen).c_str(), ShownText(m.stage).c_str(), ShownText(m.result).c_str(),
               ShownText(m.reporter).c_str(), ShownText(ReasonWords(m.reason)).c_str());
    }
    return true;
}

bool PrintWhy(PolicyStore &store, const std::string &mac) {
    MachineRow row;
    bool bFound = false;
    if (!store.Machine(mac, &row, &bFound)) return false;
    if (!bFound) {
        std::cout << ShownText(mac) << ": never heard from this machine\n";
        return true;
    }
    MachineRecord record = RecordFromRow(row);
    std::cout << ShownText(record.mac) << ": " << DescribeAttempt(record) << "\n";
    return true;
}

namespace {

std::string ArchText(int arch) {
    SelectBootFileRecord record{};
    record.arch = arch;
    std::string family = ClientFamily(record);
    return arch < 0 ? "" : family.empty() ? std::to_string(arch) : family;
}

}  // namespace

bool PrintUnknownMachines(PolicyStore &store, bool json) {
    std::vector<UnknownRow> rows;
    if (!store.UnknownMachines(&rows, kListed)) return false;
    if (json) {
        JsonValue out = JsonValue::array();
        for (const UnknownRow &u : rows)
            out.push_back({{"id", u.id}, {"uuid", u.uuid}, {"mac", u.mac}, {"arch", u.arch}, {"arch_name", ArchText(u.arch)},
                           {"vendor_class", u.vendorClass}, {"address", u.address},
                           {"first_seen", LocalTimeText(u.firstSeen)}, {"last_seen", LocalTimeText(u.lastSeen)},
                           {"server", u.reporter}});
        std::cout << JsonDocument(out);
        return true;
    }
    printf("%-19s  %-19s  %-36s  %-17s  %-10s  %s\n", "first seen", "last seen", "uuid", "mac", "arch", "vendor class");
    for (const UnknownRow &u : rows)
        printf("%-19s  %-19s  %-36s  %-17s  %-10s  %s\n", LocalTimeText(u.firstSeen).c_str(),
               LocalTimeText(u.lastSeen).c_str(), u.uuid.empty() ? "-" : ShownText(u.uuid).c_str(),
               u.mac.empty() ? "-" : ShownText(u.mac).c_str(), ArchText(u.arch).c_str(),
               ShownText(u.vendorClass).c_str());
    return true;
}
