// The lease book on disk: an append-only journal of the lines of
// dhcp/lease_file.h, so that a restarted service honours every lease it
// granted. Each line carries its own CRC-32; a process killed at any instant
// leaves whole lines and at most one torn last line, and a write cut short
// by a full disk is cut back off the file. Compaction writes the live
// leases to a new file and renames it over the journal in one step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dhcp/lease_file.h"
#include "platform/platform.h"

class LeaseJournal {
public:
    static constexpr const char *kFileName = "leases.journal";
    static constexpr size_t kCompactionSlack = 16384;
    // After a failed compaction the next try waits this many more lines,
    // doubling per failure up to the most: a disk that stays full costs a
    // rewrite (and a log line) now and then, not one per grant.
    static constexpr size_t kCompactionRetryFirst = 16;
    static constexpr size_t kCompactionRetryMost = 4096;

    LeaseJournal() = default;
    LeaseJournal(const LeaseJournal &) = delete;
    LeaseJournal &operator=(const LeaseJournal &) = delete;
    ~LeaseJournal() { Close(); }

    // Reads the journal in the folder (created when missing) into Loaded(),
    // skipping damaged lines and setting a file without a header aside,
    // each with a log line, and opens it for appending. 0, or a negative
    // code when nothing can be kept.
    int Open(const char *lpFolder) { return Open(lpFolder, kFileName); }
    // The same for a journal of another name in the folder (the DHCPv6 leases).
    int Open(const char *lpFolder, const char *lpFileName);
    void Close();
    bool IsOpen() const { return m_hFile != platform::kInvalidFile; }
    // What the journal held when opened: the leases still named, last line
    // per MAC, expired ones included.
    const std::vector<JournalLease> &Loaded() const { return m_Loaded; }
    // The addresses declined on it, last line per address, lifted ones included.
    const std::vector<JournalLease> &LoadedDeclines() const { return m_LoadedDeclines; }
    // Whether the file read at Open holds the whole history of the leases:
    // it was there, with its header, and no line was lost but a torn last
    // one (a lease whose line was cut was never acknowledged). Missing,
    // empty, foreign or damaged, it may lack leases clients still hold.
    bool HistoryWhole() const { return m_bHistoryWhole; }

    // False when the line is not on the file (the file is as before).
    bool RecordLease(const JournalLease &lease);
    bool RecordRemoval(const JournalLease &lease);
    // An address declined until lease.nExpiry (the DHCPv6 leases: the IPv4
    // book probes a declined address again instead).
    bool RecordDecline(const JournalLease &lease);
    // Whether the journal should be rewritten now: it has grown well past
    // what its last compaction wrote, or it misses lines that failed, and no
    // back-off after a failed compaction holds it. Compaction runs on the
    // answer's path, so it is rare: a storm of new clients compacts about
    // once per 16,384 grants at first, then ever less.
    bool WantsCompaction() const;
    // Rewrites the journal as exactly these leases. Without bSync the new
    // file is not forced to the disk first: a killed process loses nothing
    // (the rename is atomic, the page cache stays), and the answers that
    // compact while they are built wait for no disk. lpDeclines: the
    // declines still in force, kept on the new file.
    int Compact(const std::vector<JournalLease> &live, bool bSync, const std::vector<JournalLease> *lpDeclines = nullptr);

private:
    void ReadExisting();
    void SetAside();
    bool Record(char chOp, const JournalLease &lease);
    bool Append(const std::string &line);
    void CutBack();
    int WriteFresh(const std::string &fresh, const std::vector<JournalLease> &live,
                   const std::vector<JournalLease> *lpDeclines, bool bSync);
    void Reopen();
    void BackOff(int nResult);

    std::string m_Path;
    platform::FileHandle m_hFile = platform::kInvalidFile;
    std::vector<JournalLease> m_Loaded;
    std::vector<JournalLease> m_LoadedDeclines;
    bool m_bHistoryWhole = false;
    size_t m_nLines = 0;
    size_t m_nCompacted = 0;
    // The file's length up to its last whole line of ours; when unknown, or
    // when cutting back failed, the next line starts with a newline so it
    // never joins a torn one.
    uint64_t m_qwGoodLength = 0;
    bool m_bStartLine = false;
    // The format of the file on disk, which appended lines keep to.
    int m_nFileFormat = kLeaseFileFormat;
    // Lines failed since the last compaction, which alone brings them back.
    bool m_bMissingLines = false;
    bool m_bWriteFailing = false;  // the last append failed
    size_t m_nRetryAtLine = 0;
    size_t m_nRetryLines = kCompactionRetryFirst;
};
