#include "host/cli/machine_listings.h"

#include <cstdio>
#include <ctime>
#include <iostream>

#include "host/boots/boot_tracker.h"
#include "host/text/json_text.h"
#include "host/text/local_time_text.h"

namespace {

constexpr int kListed = 10000;

}  // namespace

bool PrintMachines(PolicyStore &store, bool json) {
    std::vector<MachineRow> rows;
    if (!store.Machines(&rows, kListed)) return false;
    if (json) {
        std::cout << "[";
        for (size_t i = 0; i < rows.size(); ++i) {
            MachineRecord m = RecordFromRow(rows[i]);
            std::cout << (i ? "," : "") << "\n  {\"mac\": " << JsonText(m.mac) << ", \"address\": " << JsonText(m.address)
                      << ", \"last_seen\": " << JsonText(LocalTimeText(m.lastSeen)) << ", \"stage\": " << JsonText(m.stage)
                      << ", \"result\": " << JsonText(m.result) << ", \"reason\": " << JsonText(m.reason)
                      << ", \"reason_text\": " << JsonText(ReasonWords(m.reason))
                      << ", \"server\": " << JsonText(m.reporter) << ", \"why\": " << JsonText(DescribeAttempt(m))
                      << "}";
        }
        std::cout << "\n]\n";
        return true;
    }
    printf("%-17s  %-15s  %-19s  %-6s  %-10s  %-15s  %s\n", "mac", "address", "last seen", "stage", "result", "server",
           "reason");
    for (const MachineRow &row : rows) {
        MachineRecord m = RecordFromRow(row);
        printf("%-17s  %-15s  %-19s  %-6s  %-10s  %-15s  %s\n", ShownText(m.mac).c_str(), ShownText(m.address).c_str(),
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
