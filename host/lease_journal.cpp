#include "host/lease_journal.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/host_config.h"

namespace {

constexpr const char *kJournalHeader = "TAVREL-LEASES 1";

std::string MacWithColons(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) out += (i ? ":" : "") + hex.substr(i, 2);
    return out;
}

bool IsHex(const std::string &text, size_t length) {
    if (text.size() != length) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

uint32_t Crc32(const std::string &text) {
    uint32_t crc = 0xffffffffu;
    for (unsigned char byte : text) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string LibraryDataFolder() {
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return "data";
    std::string path(exe, static_cast<size_t>(length));
    path = path.substr(0, path.rfind('/'));  // the executable's folder
    return path.substr(0, path.rfind('/') + 1) + "data";
}

std::string LeaseJournalPath(const std::string &dataFolder) { return dataFolder + "/leases/leases.journal"; }

bool ReadLeaseJournal(const std::string &path, int64_t now, std::vector<LeaseEntry> *leases, std::string *error) {
    leases->clear();
    std::ifstream file(path);
    if (!file) {
        if (errno == ENOENT) return true;
        *error = path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    if (!std::getline(file, line) || line != kJournalHeader) {
        *error = path + ": not a lease file (no \"" + kJournalHeader + "\" line)";
        return false;
    }
    std::map<std::string, LeaseEntry> book;
    while (std::getline(file, line)) {
        if (file.eof()) break;  // no newline: a torn last line
        size_t cut = line.rfind(' ');
        if (cut == std::string::npos) continue;
        std::string crc = line.substr(cut + 1);
        char expected[9];
        snprintf(expected, sizeof expected, "%08x", Crc32(line.substr(0, cut)));
        if (crc != expected) continue;
        std::istringstream fields(line.substr(0, cut));
        std::string kind, mac, ip;
        long long expiry = 0;
        if (!(fields >> kind >> mac >> ip >> expiry) || !IsHex(mac, 12) || !AddressValue(ip.c_str())) continue;
        if (kind == "L")
            book[mac] = {MacWithColons(mac), ip, expiry};
        else if (kind == "R")
            book.erase(mac);
    }
    for (const auto &entry : book)
        if (entry.second.expiry > now) leases->push_back(entry.second);
    return true;
}

long FreeAddresses(const std::vector<TeskSubNetStruct> &ranges, const std::vector<LeaseEntry> &leases) {
    long free = 0;
    std::set<uint32_t> taken;
    for (const LeaseEntry &lease : leases) taken.insert(AddressValue(lease.ip.c_str()));
    for (const TeskSubNetStruct &range : ranges) {
        uint32_t begin = AddressValue(range.beginip), end = AddressValue(range.endip);
        if (!begin || end < begin) continue;
        free += static_cast<long>(end - begin) + 1;
        for (auto at = taken.lower_bound(begin); at != taken.end() && *at <= end; ++at) --free;
    }
    return free;
}
