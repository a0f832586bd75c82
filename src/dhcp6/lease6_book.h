// The DHCPv6 leases: one per (DUID, IAID), a few per DUID, from the IPv6
// ranges by client kind or a static entry, offers held briefly, bound leases
// journalled in their own file beside the IPv4 one. Everything a request can
// create is capped: leases by kMaxLeases and the ranges' sizes, a DUID's by
// kMaxPerDuid, declined addresses by the leases that held them. A decline
// is journalled too, and kept out of the ranges across a restart. In a full
// book an offer not taken up within kOfferPressureMs gives way, so that a
// flood of SOLICITs from made-up DUIDs cannot keep new machines out for the
// whole of an offer's hold.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "dhcp/address_pool.h"
#include "dhcp/client_key.h"
#include "dhcp/lease_journal.h"
#include "net/ip_address.h"

class Lease6Book {
public:
    static constexpr const char *kJournalName = "leases6.journal";
    static constexpr uint32_t kValidSeconds = 86400;
    static constexpr uint32_t kPreferredSeconds = 86400;
    static constexpr uint64_t kOfferHoldMs = 120 * 1000;
    static constexpr uint64_t kDeclineHoldMs = 600 * 1000;
    static constexpr size_t kMaxPerDuid = 4;  // a 5th IAID takes the oldest one's address
    // About 300 bytes a lease with its range mark: some 40 MB when full.
    static constexpr size_t kMaxLeases = 131072;
    static constexpr uint64_t kOfferPressureMs = 10 * 1000;

    enum ClientKind { kBootStage = 1, kOther = 2 };
    struct RangeSpec {
        IpAddress first, last;
        int nKind;  // 1, 2, or 0 for both
    };
    struct StaticSpec {
        ClientKey duid;        // Kind kNone: matched by MAC
        unsigned char abMac[6];
        IpAddress address;
    };
    // Its DUID and IAID are the book's key for it.
    struct Lease {
        IpAddress address;
        bool bBound = false;
        uint64_t qwUntilMs = 0;  // an offer's hold, or a bound lease's end
        uint64_t qwStampMs = 0;  // when bound or renewed, an offer when first made: the oldest of a DUID goes first
    };

    // Opens leases6.journal in the folder and takes its unexpired leases
    // (null: memory only). 0 or a negative code.
    int Open(const char *lpFolder, uint64_t qwNowMs);
    // The ranges and statics in force; leases kept, their addresses marked.
    void Configure(const std::vector<RangeSpec> &ranges, const std::vector<StaticSpec> &statics, bool bStaticsOnly);

    // The address for this IA, offered (held) or bound: the one it holds,
    // its static one, the oldest of its DUID's beyond the cap, or a free
    // one of a range for the kind. bMac: lpMac is known. False when none.
    bool Grant(const ClientKey &duid, uint32_t dwIaid, int nKind, const unsigned char *lpMac, bool bBind,
               uint64_t qwNowMs, IpAddress *lpAddress);
    // RENEW/REBIND: extends the lease of this IA on this address.
    bool Extend(const ClientKey &duid, uint32_t dwIaid, const IpAddress &address, uint64_t qwNowMs);
    // RELEASE/DECLINE: only the DUID holding the address ends its lease.
    bool Release(const ClientKey &duid, const IpAddress &address);
    bool Decline(const ClientKey &duid, const IpAddress &address, uint64_t qwNowMs);
    // Whether an address lies in a range or a static entry of ours.
    bool OnLink(const IpAddress &address) const;
    const Lease *Find(const ClientKey &duid, uint32_t dwIaid) const;
    size_t Count() const { return m_Leases.size(); }

private:
    using Key = std::pair<ClientKey, uint32_t>;
    struct Range {
        std::unique_ptr<Ipv6RangePool> pool;
        int nKind;
    };
    struct Declined {
        ClientKey duid;  // who declined it, for the journal's line
        IpAddress address;
        uint64_t qwLiftMs;
    };
    void Reclaim(uint64_t qwNowMs);
    bool Ends(const Lease &lease, uint64_t qwNowMs, bool bFull) const;
    void Due(uint64_t qwAtMs) { m_qwNextDueMs = qwAtMs < m_qwNextDueMs ? qwAtMs : m_qwNextDueMs; }
    void Drop(std::map<Key, Lease>::iterator it, bool bJournal);
    bool StaticFor(const ClientKey &duid, const unsigned char *lpMac, IpAddress *lpAddress) const;
    bool HeldByOther(const IpAddress &address, const ClientKey &duid, uint32_t dwIaid) const;
    bool FromRange(int nKind, IpAddress *lpAddress);
    std::map<Key, Lease>::iterator OldestOf(const ClientKey &duid, size_t *lpCount);
    void Mark(const IpAddress &address, bool bUsed);
    void Journal(const Key &key, const Lease &lease, bool bRemove);

    std::map<Key, Lease> m_Leases;
    std::vector<Range> m_Ranges;
    std::vector<StaticSpec> m_Statics;
    std::vector<Declined> m_Declined;
    bool m_bStaticsOnly = false;
    static constexpr uint64_t kReclaimEveryMs = 1000;
    uint64_t m_qwReclaimedMs = 0;
    uint64_t m_qwNextDueMs = 0;  // nothing ends before then: 0 until the first walk
    std::unique_ptr<LeaseJournal> m_lpJournal;
};
