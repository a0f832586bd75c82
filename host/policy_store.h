// The SQLite database several Tavrel hosts can share: which server serves
// which MAC (the policy table), and the mirror reports of booted clients.
#pragma once

#include <sqlite3.h>

#include <mutex>
#include <string>
#include <vector>

#include "Tavrel.h"

struct StoredReport {
    std::string time, mac, ip, gateway, netmask, server;
};

class PolicyStore {
public:
    ~PolicyStore();
    bool Open(const std::string &path, std::string *error);
    // The server address chosen for the MAC; false when there is no row.
    bool ServerFor(const unsigned char *mac, char *server, size_t size);
    bool StoreReport(const SelectMirrorRecord &report);
    bool Assign(const std::string &mac, const std::string &server);
    bool Unassign(const std::string &mac);
    std::vector<StoredReport> Reports();

private:
    bool Execute(const char *sql, const std::vector<std::string> &args);
    sqlite3 *m_lpDb = nullptr;
    std::mutex m_Lock;  // the callbacks run on the library's DHCP thread
};

std::string MacText(const unsigned char *mac);
