#include "host/store/lease_journal.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <set>

#include "dhcp/lease_file.h"
#include "host/config/host_config.h"
#include "host/text/address_text.h"
#include "host/text/mac_text.h"

uint32_t Crc32(const std::string &text) { return JournalCrc32(text.data(), text.size()); }

std::string LibraryDataFolder() {
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return "data";
    std::string path(exe, static_cast<size_t>(length));
    path = path.substr(0, path.rfind('/'));  // the executable's folder
    return path.substr(0, path.rfind('/') + 1) + "data";
}

std::string LeaseJournalPath(const std::string &dataFolder) { return dataFolder + "/leases/leases.journal"; }
std::string LeaseJournal6Path(const std::string &dataFolder) {
    return dataFolder + "/leases/" + kLeaseJournal6Name;
}

bool ReadAllLeases(const std::string &dataFolder, int64_t now, std::vector<LeaseEntry> *leases, std::string *error) {
    std::vector<LeaseEntry> v6;
    if (!ReadLeaseJournal(LeaseJournalPath(dataFolder), now, leases, error) ||
        !ReadLeaseJournal(LeaseJournal6Path(dataFolder), now, &v6, error))
        return false;
    leases->insert(leases->end(), v6.begin(), v6.end());
    return true;
}

// Read by the library's own reader, so both see the same leases.
bool ReadLeaseJournal(const std::string &path, int64_t now, std::vector<LeaseEntry> *leases, std::string *error) {
    leases->clear();
    std::vector<JournalLease> records;
    LeaseFileReading reading;
    int result = ReadLeaseFile(path.c_str(), &records, &reading);
    if (result < 0) {
        *error = path + ": " + strerror(-result);
        return false;
    }
    if (reading.bForeign) {
        *error = path + ": not a lease file (no \"" + kLeaseFileHeader + "\" or \"" + kLeaseFileHeaderV1 + "\" line)";
        return false;
    }
    for (const JournalLease &record : records) {
        if (record.nExpiry <= now) continue;
        char key[ClientKey::kTextSize], ip[kIpAddressTextSize];
        const unsigned char *mac = record.key.EthernetMac();
        std::string shown = mac ? MacText(mac) : (record.key.Format(key, sizeof key), std::string(key));
        FormatIpAddress(record.address, ip, sizeof ip);
        leases->push_back({shown, ip, record.nExpiry});
    }
    return true;
}

long FreeAddresses(const std::vector<TeskSubNetStruct> &ranges, const std::vector<LeaseEntry> &leases) {
    long free = 0;
    std::set<uint32_t> taken;
    for (const LeaseEntry &lease : leases) taken.insert(AddressValue(lease.ip));
    for (const TeskSubNetStruct &range : ranges) {
        uint32_t begin = AddressValue(range.beginip), end = AddressValue(range.endip);
        if (!begin || end < begin) continue;
        free += static_cast<long>(end - begin) + 1;
        for (auto at = taken.lower_bound(begin); at != taken.end() && *at <= end; ++at) --free;
    }
    return free;
}
