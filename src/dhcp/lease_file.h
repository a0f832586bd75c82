// The lease file's lines, and the one reader of the file: the library's
// journal reads it at start, tavrel-host reads it to list the leases, and
// both get the same leases from the same bytes.
//
//   TAVREL-LEASES 1
//   L <mac, 12 hex digits> <address> <expiry, seconds since 1970> <crc>
//   R <mac> <address> 0 <crc>
//
// <crc> is the CRC-32 (zlib's) of the text before the space in front of it,
// as 8 lowercase hex digits. The last line for a MAC wins; R ends its lease.
// Each line stands on its own: a damaged one is skipped and the next one
// read, so a torn line costs that line alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dhcp/client_key.h"

struct JournalLease {
    ClientKey key;
    uint32_t dwIp;     // host order
    int64_t nExpiry;   // seconds since 1970
};

constexpr const char kLeaseFileHeader[] = "TAVREL-LEASES 1";

// One signed line, its newline included; chOp is 'L' or 'R'.
std::string LeaseFileLine(char chOp, const JournalLease &lease);

// What a reading found beside the leases.
struct LeaseFileReading {
    bool bFound = false;        // a file was there (an empty one reads as no lease)
    bool bForeign = false;      // it has content but no header line: nothing is read from it
    bool bHeader = false;       // its first line is the header
    size_t nLines = 0;          // lines after the header, damaged ones included
    size_t nDamaged = 0;        // lines skipped: torn, corrupt or foreign
    size_t nFirstDamaged = 0;   // the first one's number (the header is line 1), 0 for none
    bool bEndsCut = false;      // the last line has no newline (it is among the damaged)
};

// Reads the file line by line, never opening it for writing; memory grows
// with the leases it names, not with its size. lpLeases gets the leases
// still named at its end, one per MAC in MAC order, expired ones included.
// 0 (an absent file is an empty book), or a negative code when it exists
// and cannot be read.
int ReadLeaseFile(const char *lpPath, std::vector<JournalLease> *lpLeases, LeaseFileReading *lpReading);

// CRC-32 as zlib computes it.
uint32_t JournalCrc32(const char *lpText, size_t nLen);
