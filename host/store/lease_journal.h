// The library's lease file, read only: "leases/leases.journal" in its data
// folder (the folder above the executable's, "data/"). Its lines and their
// reading are the library's own (src/dhcp/lease_file.h): replayed in order,
// the last line per client wins, and a line that fails its check is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "dhcp6/lease6_book.h"

struct LeaseEntry {
    // "aa:bb:cc:dd:ee:ff"; a client known otherwise (a DUID, a client
    // identifier) by its key's text, "duid-0001...".
    std::string mac;
    std::string ip;    // of either family
    int64_t expiry;    // unix seconds
};

// The folder the library keeps its data in, found as the library finds it.
std::string LibraryDataFolder();
std::string LeaseJournalPath(const std::string &dataFolder);
// The DHCPv6 leases' journal, beside the IPv4 one, in the same format:
// the name the library writes it under.
constexpr const char *kLeaseJournal6Name = Lease6Book::kJournalName;
std::string LeaseJournal6Path(const std::string &dataFolder);

// The leases unexpired at NOW, in the order of their client keys (MACs first). False when the
// file cannot be read (an absent file is an empty book: true).
bool ReadLeaseJournal(const std::string &path, int64_t now, std::vector<LeaseEntry> *leases, std::string *error);

// Both journals' leases of DATAFOLDER, IPv4 first; false when one cannot be read.
bool ReadAllLeases(const std::string &dataFolder, int64_t now, std::vector<LeaseEntry> *leases, std::string *error);

// Free addresses of RANGES (inclusive, host order) with LEASES taken out.
long FreeAddresses(const std::vector<TeskSubNetStruct> &ranges, const std::vector<LeaseEntry> &leases);

uint32_t Crc32(const std::string &text);
