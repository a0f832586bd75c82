#include "dhcp6/lease6_book.h"

#include <cstring>
#include <string>

#include "log/logger.h"
#include "platform/platform.h"

namespace {
// Seconds since 1970 at the monotonic instant qwAtMs.
int64_t WallAt(uint64_t qwAtMs, uint64_t qwNowMs) {
    int64_t nNow = platform::GetUnixTime();
    return qwAtMs >= qwNowMs ? nNow + static_cast<int64_t>((qwAtMs - qwNowMs) / 1000)
                             : nNow - static_cast<int64_t>((qwNowMs - qwAtMs) / 1000);
}
}  // namespace

int Lease6Book::Open(const char *lpFolder, uint64_t qwNowMs) {
    if (!lpFolder || !*lpFolder) return 0;
    std::string folder = lpFolder;
    if (folder.back() != '/' && folder.back() != platform::kPathSep) folder += platform::kPathSep;
    auto journal = std::make_unique<LeaseJournal>();
    int nResult = journal->Open(folder.c_str(), kJournalName);
    if (!journal->IsOpen()) return nResult < 0 ? nResult : -1;
    int64_t nWall = platform::GetUnixTime();
    for (const JournalLease &record : journal->Loaded()) {
        if (!record.bHasIaid || record.key.GetKind() != ClientKey::Kind::kDuid || !record.address.IsV6()) continue;
        if (record.nExpiry <= nWall || m_Leases.size() >= kMaxLeases) continue;
        Lease lease;
        lease.address = record.address;
        lease.bBound = true;
        lease.qwUntilMs = qwNowMs + static_cast<uint64_t>(record.nExpiry - nWall) * 1000;
        lease.qwStampMs = qwNowMs;
        m_Leases[Key(record.key, record.dwIaid)] = lease;
    }
    // A decline outlives the process: the machine that answers on the
    // address is still there after a restart.
    for (const JournalLease &record : journal->LoadedDeclines()) {
        if (!record.address.IsV6() || record.nExpiry <= nWall || m_Declined.size() >= kMaxLeases) continue;
        m_Declined.push_back(Declined{record.key, record.address, qwNowMs + static_cast<uint64_t>(record.nExpiry - nWall) * 1000});
    }
    m_lpJournal = std::move(journal);
    return 0;
}

void Lease6Book::Configure(const std::vector<RangeSpec> &ranges, const std::vector<StaticSpec> &statics,
                           bool bStaticsOnly) {
    m_Ranges.clear();
    for (const RangeSpec &spec : ranges)
        m_Ranges.push_back(Range{std::make_unique<Ipv6RangePool>(spec.first, spec.last), spec.nKind});
    m_Statics = statics;
    m_bStaticsOnly = bStaticsOnly;
    for (const StaticSpec &entry : m_Statics) Mark(entry.address, true);
    for (const auto &entry : m_Leases) Mark(entry.second.address, true);
    for (const Declined &declined : m_Declined)
        for (Range &range : m_Ranges) range.pool->MarkDeclined(declined.address);
}

void Lease6Book::Mark(const IpAddress &address, bool bUsed) {
    for (Range &range : m_Ranges) {
        if (bUsed) range.pool->MarkUsed(address);
        else range.pool->MarkUnused(address);
    }
}

void Lease6Book::Journal(const Key &key, const Lease &lease, bool bRemove) {
    if (!m_lpJournal) return;
    uint64_t qwNowMs = platform::MonotonicMs();
    JournalLease record{key.first, lease.address, bRemove ? 0 : WallAt(lease.qwUntilMs, lease.qwStampMs), true,
                        key.second};
    if (bRemove) m_lpJournal->RecordRemoval(record);
    else m_lpJournal->RecordLease(record);
    if (!m_lpJournal->WantsCompaction()) return;
    std::vector<JournalLease> live, declines;
    for (const auto &entry : m_Leases) {
        const Lease &l = entry.second;
        if (l.bBound)
            live.push_back(JournalLease{entry.first.first, l.address, WallAt(l.qwUntilMs, qwNowMs), true,
                                        entry.first.second});
    }
    for (const Declined &declined : m_Declined)
        declines.push_back(JournalLease{declined.duid, declined.address, WallAt(declined.qwLiftMs, qwNowMs)});
    m_lpJournal->Compact(live, false, &declines);
}

void Lease6Book::Drop(std::map<Key, Lease>::iterator it, bool bJournal) {
    if (bJournal && it->second.bBound) Journal(it->first, it->second, true);
    bool bStatic = false;
    for (const StaticSpec &entry : m_Statics) bStatic = bStatic || entry.address == it->second.address;
    if (!bStatic) Mark(it->second.address, false);
    m_Leases.erase(it);
}

// An offer in a full book ends once it has waited kOfferPressureMs.
bool Lease6Book::Ends(const Lease &lease, uint64_t qwNowMs, bool bFull) const {
    if (lease.qwUntilMs <= qwNowMs) return true;
    return bFull && !lease.bBound && lease.qwStampMs + kOfferPressureMs <= qwNowMs;
}

void Lease6Book::Reclaim(uint64_t qwNowMs) {
    // A walk of every lease, so only once something is due or the book is
    // full, and then at most once a second: a book kept full by a flood is
    // not walked again for every datagram.
    bool bFull = m_Leases.size() >= kMaxLeases;
    bool bClockBack = qwNowMs < m_qwReclaimedMs;
    if (!bClockBack && qwNowMs < m_qwNextDueMs && !bFull) return;
    if (!bClockBack && qwNowMs < m_qwReclaimedMs + kReclaimEveryMs) return;
    m_qwReclaimedMs = qwNowMs;
    m_qwNextDueMs = UINT64_MAX;
    for (auto it = m_Leases.begin(); it != m_Leases.end();) {
        auto next = std::next(it);
        if (Ends(it->second, qwNowMs, bFull)) Drop(it, true);
        else Due(it->second.qwUntilMs);
        it = next;
    }
    for (size_t i = 0; i < m_Declined.size();) {
        if (m_Declined[i].qwLiftMs > qwNowMs) { Due(m_Declined[i++].qwLiftMs); continue; }
        for (Range &range : m_Ranges) range.pool->LiftDecline(m_Declined[i].address);
        m_Declined[i] = m_Declined.back();
        m_Declined.pop_back();
    }
}

bool Lease6Book::StaticFor(const ClientKey &duid, const unsigned char *lpMac, IpAddress *lpAddress) const {
    for (const StaticSpec &entry : m_Statics) {
        bool bMatch = entry.duid.GetKind() != ClientKey::Kind::kNone ? entry.duid == duid
                                                                       : lpMac && memcmp(entry.abMac, lpMac, 6) == 0;
        if (bMatch) return *lpAddress = entry.address, true;
    }
    return false;
}

bool Lease6Book::HeldByOther(const IpAddress &address, const ClientKey &duid, uint32_t dwIaid) const {
    for (const auto &entry : m_Leases)
        if (entry.second.address == address && entry.first != Key(duid, dwIaid)) return true;
    return false;
}

bool Lease6Book::FromRange(int nKind, IpAddress *lpAddress) {
    if (m_bStaticsOnly || m_Leases.size() >= kMaxLeases) return false;
    for (Range &range : m_Ranges)
        if ((range.nKind == 0 || range.nKind == nKind) && range.pool->AllocateNext(lpAddress)) return true;
    return false;
}

std::map<Lease6Book::Key, Lease6Book::Lease>::iterator Lease6Book::OldestOf(const ClientKey &duid,
                                                                            size_t *lpCount) {
    *lpCount = 0;
    auto oldest = m_Leases.end();
    for (auto it = m_Leases.lower_bound(Key(duid, 0)); it != m_Leases.end() && it->first.first == duid; ++it) {
        ++*lpCount;
        if (oldest == m_Leases.end() || it->second.qwStampMs < oldest->second.qwStampMs) oldest = it;
    }
    return oldest;
}

bool Lease6Book::Grant(const ClientKey &duid, uint32_t dwIaid, int nKind, const unsigned char *lpMac, bool bBind,
                       uint64_t qwNowMs, IpAddress *lpAddress) {
    Reclaim(qwNowMs);
    auto it = m_Leases.find(Key(duid, dwIaid));
    if (it == m_Leases.end()) {
        Lease lease;
        size_t nHeld = 0;
        auto oldest = OldestOf(duid, &nHeld);
        IpAddress fixed;
        bool bFound = StaticFor(duid, lpMac, &fixed) && !HeldByOther(fixed, duid, dwIaid);
        if (bFound) lease.address = fixed;
        // Beyond the cap, or with no address left, the DUID's oldest IA gives
        // way: a machine's next round never goes without.
        if (!bFound && nHeld < kMaxPerDuid) bFound = FromRange(nKind, &lease.address);
        if (!bFound && nHeld > 0) {
            lease.address = oldest->second.address;
            if (oldest->second.bBound) Journal(oldest->first, oldest->second, true);
            m_Leases.erase(oldest);
            bFound = true;
        }
        if (!bFound) return false;
        Mark(lease.address, true);
        lease.qwStampMs = qwNowMs;
        it = m_Leases.emplace(Key(duid, dwIaid), lease).first;
    }
    Lease &lease = it->second;
    // An offer keeps the time it was first made: a flood that repeats its
    // SOLICITs would otherwise keep its offers young, and a full book full.
    if (bBind || lease.bBound) lease.qwStampMs = qwNowMs;
    if (bBind) {
        lease.bBound = true;
        lease.qwUntilMs = qwNowMs + uint64_t(kValidSeconds) * 1000;
        Journal(it->first, lease, false);
    } else if (!lease.bBound) {
        lease.qwUntilMs = qwNowMs + kOfferHoldMs;
    }
    Due(lease.qwUntilMs);
    *lpAddress = lease.address;
    return true;
}

bool Lease6Book::Extend(const ClientKey &duid, uint32_t dwIaid, const IpAddress &address, uint64_t qwNowMs) {
    Reclaim(qwNowMs);
    auto it = m_Leases.find(Key(duid, dwIaid));
    if (it == m_Leases.end() || it->second.address != address || !it->second.bBound) return false;
    it->second.qwStampMs = qwNowMs;
    it->second.qwUntilMs = qwNowMs + uint64_t(kValidSeconds) * 1000;
    Journal(it->first, it->second, false);
    return true;
}

bool Lease6Book::Release(const ClientKey &duid, const IpAddress &address) {
    for (auto it = m_Leases.lower_bound(Key(duid, 0)); it != m_Leases.end() && it->first.first == duid; ++it)
        if (it->second.address == address) return Drop(it, true), true;
    return false;
}

bool Lease6Book::Decline(const ClientKey &duid, const IpAddress &address, uint64_t qwNowMs) {
    if (!Release(duid, address)) return false;
    // Bounded: only a holder declines, each decline ended a lease, and the
    // list is capped as the leases are.
    if (m_Declined.size() >= kMaxLeases) return true;
    m_Declined.push_back(Declined{duid, address, qwNowMs + kDeclineHoldMs});
    Due(qwNowMs + kDeclineHoldMs);
    for (Range &range : m_Ranges) range.pool->MarkDeclined(address);
    if (m_lpJournal) m_lpJournal->RecordDecline(JournalLease{duid, address, WallAt(qwNowMs + kDeclineHoldMs, qwNowMs)});
    return true;
}

bool Lease6Book::OnLink(const IpAddress &address) const {
    for (const Range &range : m_Ranges)
        if (range.pool->Contains(address)) return true;
    for (const StaticSpec &entry : m_Statics)
        if (entry.address == address) return true;
    return false;
}

const Lease6Book::Lease *Lease6Book::Find(const ClientKey &duid, uint32_t dwIaid) const {
    auto it = m_Leases.find(Key(duid, dwIaid));
    return it == m_Leases.end() ? nullptr : &it->second;
}
