// The lease book on disk: an append-only journal of text lines, so that a
// restarted service honours every lease it granted. Each line carries its
// own CRC-32; a process killed at any instant leaves whole lines and at
// most one torn last line. Compaction writes the live leases to a new file
// and renames it over the journal in one step.
//
//   TAVREL-LEASES 1
//   L <mac, 12 hex digits> <address> <expiry, seconds since 1970> <crc>
//   R <mac> <address> 0 <crc>
//
// The last line for a MAC wins; R ends its lease.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct JournalLease {
    unsigned char abMac[6];
    uint32_t dwIp;     // host order
    int64_t nExpiry;   // seconds since 1970
};

class LeaseJournal {
public:
    static constexpr const char *kFileName = "leases.journal";
    static constexpr size_t kCompactionSlack = 16384;

    LeaseJournal() = default;
    LeaseJournal(const LeaseJournal &) = delete;
    LeaseJournal &operator=(const LeaseJournal &) = delete;
    ~LeaseJournal() { Close(); }

    // Reads the journal in the folder (created when missing) into Loaded(),
    // setting a damaged or foreign file aside with a log line, and opens it
    // for appending. 0, or a negative code when nothing can be kept.
    int Open(const char *lpFolder);
    void Close();
    bool IsOpen() const { return m_hFile != platform::kInvalidFile; }
    // What the journal held when opened: the leases still named, last line
    // per MAC, expired ones included.
    const std::vector<JournalLease> &Loaded() const { return m_Loaded; }

    void RecordLease(const JournalLease &lease);
    void RecordRemoval(const unsigned char *lpMac, uint32_t dwIp);
    // Whether the journal has grown well past what its last compaction wrote.
    // Compaction runs on the answer's path, so it is rare: a storm of new
    // clients compacts about once per 16,384 grants at first, then ever less.
    bool WantsCompaction() const { return m_nLines > 3 * m_nCompacted + kCompactionSlack; }
    // Rewrites the journal as exactly these leases. Without bSync the new
    // file is not forced to the disk first: a killed process loses nothing
    // (the rename is atomic, the page cache stays), and the answers that
    // compact while they are built wait for no disk.
    int Compact(const std::vector<JournalLease> &live, bool bSync);

private:
    void ReadExisting();
    void SetAside(const char *lpWhy, int nLine);
    void Append(const std::string &line);

    std::string m_Path;
    platform::FileHandle m_hFile = platform::kInvalidFile;
    std::vector<JournalLease> m_Loaded;
    size_t m_nLines = 0;
    size_t m_nCompacted = 0;
};

// CRC-32 as zlib computes it, for the journal's lines.
uint32_t JournalCrc32(const char *lpText, size_t nLen);
