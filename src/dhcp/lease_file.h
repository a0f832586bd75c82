// The lease file's lines, and the one reader of the file: the library's
// journal reads it at start, tavrel-host reads it to list the leases, and
// both get the same leases from the same bytes.
//
//   TAVREL-LEASES 2
//   L <client key> <address> <expiry, seconds since 1970> <crc>
//   R <client key> <address> 0 <crc>
//   D <client key> <address> <until, seconds since 1970> <crc>
//
// The client key as ClientKey::Format writes it ("mac1-525400000001",
// "duid-0001...", "duid-0001...#0000002a" for a DHCPv6 lease with its IAID), the address of either family as FormatIpAddress does.
// A file of format 1, as releases before this one wrote it, is read too:
//
//   TAVREL-LEASES 1
//   L <mac, 12 hex digits> <IPv4 address> <expiry> <crc>
//
// and the writer always writes format 2, so the first compaction after an
// upgrade turns a file of format 1 into one of format 2.
//
// <crc> is the CRC-32 (zlib's) of the text before the space in front of it,
// as 8 lowercase hex digits. The last line for a client key wins; R ends its
// lease. D (format 2 only) keeps an address a client declined out of every
// range until then; it is the client's lease no more, and the last D line
// per address wins. Each line stands on its own: a damaged one is skipped and the next
// one read, so a torn line costs that line alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dhcp/client_key.h"
#include "net/ip_address.h"

struct JournalLease {
    ClientKey key;
    IpAddress address;
    int64_t nExpiry;  // seconds since 1970
    // A DHCPv6 lease is one of a DUID's IAs: written after the key as
    // "#<8 hex digits>", and the last line per key and IAID wins.
    bool bHasIaid = false;
    uint32_t dwIaid = 0;
};

// The header of the format the writer writes, and of the one before.
constexpr const char kLeaseFileHeader[] = "TAVREL-LEASES 2";
constexpr const char kLeaseFileHeaderV1[] = "TAVREL-LEASES 1";

// The format the writer writes; a file of format 1 is appended to in format 1.
constexpr int kLeaseFileFormat = 2;

// One signed line of the format, its newline included; chOp is 'L', 'R' or 'D'.
// "" for a lease format 1 cannot hold (an IPv6 address, a client known by
// other than its Ethernet address).
std::string LeaseFileLine(char chOp, const JournalLease &lease, int nFormat = kLeaseFileFormat);

// What a reading found beside the leases.
struct LeaseFileReading {
    bool bFound = false;        // a file was there (an empty one reads as no lease)
    bool bForeign = false;      // it has content but no header line: nothing is read from it
    bool bHeader = false;       // its first line is a header
    int nFormat = 0;            // the header's format: 1 or 2
    size_t nLines = 0;          // lines after the header, damaged ones included
    size_t nDamaged = 0;        // lines skipped: torn, corrupt or foreign
    size_t nFirstDamaged = 0;   // the first one's number (the header is line 1), 0 for none
    bool bEndsCut = false;      // the last line has no newline (it is among the damaged)
};

// Reads the file line by line, never opening it for writing; memory grows
// with the leases it names, not with its size. lpLeases gets the leases
// still named at its end, one per client key in key order (MAC order for
// MACs), expired ones included.
// 0 (an absent file is an empty book), or a negative code when it exists
// and cannot be read. lpDeclines, when given, gets the declined addresses
// in address order, lifted ones included.
int ReadLeaseFile(const char *lpPath, std::vector<JournalLease> *lpLeases, LeaseFileReading *lpReading,
                  std::vector<JournalLease> *lpDeclines = nullptr);

// CRC-32 as zlib computes it.
uint32_t JournalCrc32(const char *lpText, size_t nLen);
