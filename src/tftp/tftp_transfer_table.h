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
    int32_t nLoweredFrom;  // the blksize asked when the OACK gave a smaller one, else 0
};

// A client address of either family as key bytes: the last four bytes of
// the address first (an IPv4 address whole, so its keys bucket as they
// always did), then the family, the first twelve bytes of an IPv6 address
// and its scope; IPv4 leaves those zero.
struct TftpAddressBytes {
    static constexpr int kSize = 4 + 1 + 12 + 4;
    static void Put(const IpAddress &address, unsigned char *key) {
        memset(key, 0, kSize);
        const size_t nBytes = address.ByteCount();
        if (nBytes >= 4) memcpy(key, address.Bytes() + nBytes - 4, 4);
        key[4] = static_cast<unsigned char>(address.Family());
        if (!address.IsV6()) return;
        memcpy(key + 5, address.Bytes(), 12);
        uint32_t dwScope = address.Scope();
        memcpy(key + 17, &dwScope, 4);
    }
    static IpAddress Get(const unsigned char *key) {
        if (key[4] != static_cast<unsigned char>(IpFamily::kV6)) {
            uint32_t dwAddr;
            memcpy(&dwAddr, key, 4);
            return IpAddress::FromV4Net(dwAddr);
        }
        uint8_t abBytes[16];
        uint32_t dwScope;
        memcpy(abBytes, key + 5, 12);
        memcpy(abBytes + 12, key, 4);
        memcpy(&dwScope, key + 17, 4);
        return IpAddress::FromV6(abBytes, dwScope);
    }
};

// The transfer identifier (RFC 1350): the address's last four bytes and
// the port in network order, then the rest of the address.
struct TftpTransferKey {
    static constexpr int kSize = 6 + TftpAddressBytes::kSize - 4;
    static constexpr const char *kSourceName = "TftpTransferTable";
    // The address's last two bytes mixed with the port: clients on one
    // address spread over the buckets too.
    static int Bucket(const unsigned char *key) { return (key[2] + 256 * key[3]) ^ (key[4] + 256 * key[5]); }
    static bool Equal(const unsigned char *a, const unsigned char *b) { return memcmp(a, b, kSize) == 0; }
    static void Make(const IpEndpoint &peer, unsigned char *key) {
        unsigned char address[TftpAddressBytes::kSize];
        TftpAddressBytes::Put(peer.Address(), address);
        memcpy(key, address, 4);
        platform::WriteNet16(key + 4, peer.Port());
        memcpy(key + 6, address + 4, TftpAddressBytes::kSize - 4);
    }
    static IpEndpoint PeerOf(const unsigned char *key) {
        unsigned char address[TftpAddressBytes::kSize];
        memcpy(address, key, 4);
        memcpy(address + 4, key + 6, TftpAddressBytes::kSize - 4);
        return IpEndpoint(TftpAddressBytes::Get(address), static_cast<uint16_t>(platform::ReadNet16(key + 4)));
    }
};

// A client address alone.
struct TftpSourceKey {
    static constexpr int kSize = TftpAddressBytes::kSize;
    static constexpr const char *kSourceName = "TftpSourceTable";
    static int Bucket(const unsigned char *key) { return key[2] + 256 * key[3]; }
    static bool Equal(const unsigned char *a, const unsigned char *b) { return memcmp(a, b, kSize) == 0; }
};

// Transfers per client address; an address is kept while it has any.
class TftpSourceCounts : public TeskHashTable<TftpSourceKey, int32_t> {
public:
    TftpSourceCounts() : TeskHashTable(LogPoolFull) {}
    int CountOf(const IpAddress &address);
    // False when a new address finds the table full.
    bool Change(const IpAddress &address, int nChange);
    int Addresses() const { return m_nAddresses; }

private:
    int m_nAddresses = 0;
};

// The table's record of a transfer: the responder's state first (a
// TftpClientInfo pointer from Find is its record's), then the links of the
// list of transfers whose first answer is not acknowledged yet, oldest first.
struct TftpTransferRecord {
    TftpClientInfo info;
    IpEndpoint stPeer;
    TftpTransferRecord *lpOlder;
    TftpTransferRecord *lpNewer;
    bool bWaiting;  // on that list
};

// The live transfers: one client may run several at once from its ports.
class TftpTransferTable : public TeskHashTable<TftpTransferKey, TftpTransferRecord> {
    using Base = TeskHashTable<TftpTransferKey, TftpTransferRecord>;

public:
    TftpTransferTable() : Base(LogPoolFull) {}
    int Find(const IpEndpoint &peer, TftpClientInfo **lppClient);
    // A new transfer for a peer that has none, waiting for its first
    // acknowledgement; its info holds whatever its pool slot held. -1 when
    // the table is full.
    int Add(const IpEndpoint &peer, TftpClientInfo **lppClient);
    int Remove(const IpEndpoint &peer);
    // The client acknowledged the transfer's first answer.
    void Acknowledged(TftpClientInfo *lpClient);
    // The transfer that has waited longest for its first acknowledgement,
    // lpExcept left out; null when there is none.
    TftpClientInfo *OldestUnacknowledged(const TftpClientInfo *lpExcept, IpEndpoint *lpPeer) const;
    // The one that came after lpClient (which waits too), lpExcept left out.
    TftpClientInfo *NextUnacknowledged(const TftpClientInfo *lpClient, const TftpClientInfo *lpExcept,
                                       IpEndpoint *lpPeer);
    int TransfersFrom(const IpAddress &address) { return m_Sources.CountOf(address); }
    // No transfer, no address counted: what a table holds once all ended.
    bool Empty() const { return m_nTransfers == 0 && m_Sources.Addresses() == 0 && !m_lpOldest; }

    int First(HashCursor *cursor, Entry **lppEntry) { return FirstEntry(cursor, lppEntry); }
    int Next(HashCursor *cursor, Entry **lppEntry) { return NextEntry(cursor, lppEntry); }
    static IpEndpoint PeerOf(const Entry &entry) { return TftpTransferKey::PeerOf(entry.abKey); }

private:
    static_assert(std::is_standard_layout<TftpTransferRecord>::value, "info is at its record's address");
    static TftpTransferRecord *RecordOf(TftpClientInfo *lpClient) {
        return reinterpret_cast<TftpTransferRecord *>(lpClient);
    }
    void Unlist(TftpTransferRecord *lpRecord);

    TftpSourceCounts m_Sources;
    // A lock-step transfer's acknowledgements come one after the other from
    // one client: its record, until it is removed, is found without hashing.
    TftpTransferRecord *m_lpLastFound = nullptr;
    TftpTransferRecord *m_lpOldest = nullptr;
    TftpTransferRecord *m_lpNewest = nullptr;
    int m_nTransfers = 0;
};
