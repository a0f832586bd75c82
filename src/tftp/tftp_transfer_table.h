// The live TFTP transfers, keyed by their identifier (the client's address
// and port), with what a flood of forged requests must not outgrow: how many
// each address holds, and which still wait for their first acknowledgement.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "containers/hash_table.h"
#include "log/pool_full_line.h"
#include "platform/platform.h"

struct tag_BootFile;

// One transfer, kept under its identifier, the client's address and port.
// Only a read request creates it; the end of the transfer, an ERROR from its
// port or a long silence removes it.
struct TftpClientInfo {
    int32_t dwBlockSize;
    tag_BootFile *lpBootFile;
    uint32_t dwLastBlock;  // absolute number of the highest block sent
    uint32_t dwSize;       // the file's size when the transfer began
    uint16_t wWindow;      // blocks sent per acknowledgement
    uint64_t qwLastSeenMs;
    int32_t nPort;         // kTftpServicePort or the transfer's own
    uint32_t dwAcked;      // absolute number of the highest block acknowledged
    bool bWindowOut;       // the blocks after dwAcked went out, at qwWindowOutMs
    uint64_t qwWindowOutMs;
    uint64_t qwStartMs;    // when the read request came
    uint64_t qwToldMs;     // when its progress was last told to the host (or its start)
    int32_t nReadArea;     // the read-ahead area lent to it, or 0
};

// The transfer identifier (RFC 1350): address and port in network order.
struct TftpTransferKey {
    static constexpr int kSize = 6;
    static constexpr const char *kSourceName = "TftpTransferTable";
    // The address's last two bytes mixed with the port: clients on one
    // address spread over the buckets too.
    static int Bucket(const unsigned char *key) { return (key[2] + 256 * key[3]) ^ (key[4] + 256 * key[5]); }
    static bool Equal(const unsigned char *a, const unsigned char *b) { return memcmp(a, b, kSize) == 0; }
    static void Make(const platform::SockAddrV4 &peer, unsigned char *key) {
        memcpy(key, &peer.dwAddr, 4);
        memcpy(key + 4, &peer.wPort, 2);
    }
};

// A client address alone, network order.
struct TftpSourceKey {
    static constexpr int kSize = 4;
    static constexpr const char *kSourceName = "TftpSourceTable";
    static int Bucket(const unsigned char *key) { return key[2] + 256 * key[3]; }
    static bool Equal(const unsigned char *a, const unsigned char *b) { return memcmp(a, b, kSize) == 0; }
};

// Transfers per client address; an address is kept while it has any.
class TftpSourceCounts : public TeskHashTable<TftpSourceKey, int32_t> {
public:
    TftpSourceCounts() : TeskHashTable(LogPoolFull) {}
    int CountOf(uint32_t dwAddrNet);
    // False when a new address finds the table full.
    bool Change(uint32_t dwAddrNet, int nChange);
    int Addresses() const { return m_nAddresses; }

private:
    int m_nAddresses = 0;
};

// The table's record of a transfer: the responder's state first (a
// TftpClientInfo pointer from Find is its record's), then the links of the
// list of transfers whose first answer is not acknowledged yet, oldest first.
struct TftpTransferRecord {
    TftpClientInfo info;
    platform::SockAddrV4 stPeer;
    TftpTransferRecord *lpOlder;
    TftpTransferRecord *lpNewer;
    bool bWaiting;  // on that list
};

// The live transfers: one client may run several at once from its ports.
class TftpTransferTable : public TeskHashTable<TftpTransferKey, TftpTransferRecord> {
    using Base = TeskHashTable<TftpTransferKey, TftpTransferRecord>;

public:
    TftpTransferTable() : Base(LogPoolFull) {}
    int Find(const platform::SockAddrV4 &peer, TftpClientInfo **lppClient);
    // A new transfer for a peer that has none, waiting for its first
    // acknowledgement; its info holds whatever its pool slot held. -1 when
    // the table is full.
    int Add(const platform::SockAddrV4 &peer, TftpClientInfo **lppClient);
    int Remove(const platform::SockAddrV4 &peer);
    // The client acknowledged the transfer's first answer.
    void Acknowledged(TftpClientInfo *lpClient);
    // The transfer that has waited longest for its first acknowledgement,
    // lpExcept left out; null when there is none.
    TftpClientInfo *OldestUnacknowledged(const TftpClientInfo *lpExcept, platform::SockAddrV4 *lpPeer) const;
    int TransfersFrom(uint32_t dwAddrNet) { return m_Sources.CountOf(dwAddrNet); }
    // No transfer, no address counted: what a table holds once all ended.
    bool Empty() const { return m_nTransfers == 0 && m_Sources.Addresses() == 0 && !m_lpOldest; }

    int First(HashCursor *cursor, Entry **lppEntry) { return FirstEntry(cursor, lppEntry); }
    int Next(HashCursor *cursor, Entry **lppEntry) { return NextEntry(cursor, lppEntry); }
    static platform::SockAddrV4 PeerOf(const Entry &entry) {
        platform::SockAddrV4 peer = platform::MakeSockAddr(0, 0);
        memcpy(&peer.dwAddr, entry.abKey, 4);
        memcpy(&peer.wPort, entry.abKey + 4, 2);
        return peer;
    }

private:
    static_assert(std::is_standard_layout<TftpTransferRecord>::value, "info is at its record's address");
    static TftpTransferRecord *RecordOf(TftpClientInfo *lpClient) {
        return reinterpret_cast<TftpTransferRecord *>(lpClient);
    }
    void Unlist(TftpTransferRecord *lpRecord);

    TftpSourceCounts m_Sources;
    TftpTransferRecord *m_lpOldest = nullptr;
    TftpTransferRecord *m_lpNewest = nullptr;
    int m_nTransfers = 0;
};
