// Which address a client gets: its static entry, its renewed lease, the
// lowest free address of its ranges, or an abandoned lease taken over; and
// what becomes of its REQUESTs and DECLINEs.
#include "dhcp/lease_book.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "log/logger.h"
#include "net/address_text.h"
#include "net/ip_address.h"
#include "log/pool_full_line.h"

namespace {

uint32_t Host(uint32_t dwNet) { return platform::NetToHost32(dwNet); }

// A relayed client reaches a static address only inside the relay's network.
bool StaticReachable(const TeskDhcpTypes::tag_s_dhcp &entry, uint32_t dwGiaddr) {
    if (dwGiaddr == 0) return true;
    return entry.netmask != 0 && (entry.ip & entry.netmask) == (dwGiaddr & entry.netmask);
}

// The first range of the client's kind (and the relay's network) that a
// lease on this address may live in: strictly inside it, and not a server's
// address. *lpKindServed tells whether any range serves the kind at all.
const TeskDhcpTypes::SubNetSlot *HomeRange(const ConfigSnapshot &config, uint32_t dwIp, int nKind, uint32_t dwGiaddr,
                                           bool *lpKindServed = nullptr) {
    bool bKindServed = false;
    const TeskDhcpTypes::SubNetSlot *home = nullptr;
    for (const TeskDhcpTypes::SubNetSlot &subnet : config.m_SubNet) {
        if (subnet.nDhcpType != nKind || !ConfigSnapshot::RelayAllows(subnet, dwGiaddr)) continue;
        bKindServed = true;
        if (dwIp <= subnet.begin || dwIp >= subnet.end) continue;
        if (dwIp == Host(config.m_dwServerIP) || dwIp == Host(config.m_dwNextServerIP)) continue;
        home = &subnet;
        break;
    }
    if (lpKindServed) *lpKindServed = bKindServed;
    return home;
}

// The first range of the client's kind (and the relay's network) whose free
// search could offer the address: ends included, servers' addresses not.
const TeskDhcpTypes::SubNetSlot *OfferRange(const ConfigSnapshot &config, uint32_t dwIp, int nKind,
                                            uint32_t dwGiaddr) {
    if (dwIp == Host(config.m_dwServerIP) || dwIp == Host(config.m_dwNextServerIP)) return nullptr;
    for (const TeskDhcpTypes::SubNetSlot &subnet : config.m_SubNet)
        if (subnet.nDhcpType == nKind && ConfigSnapshot::RelayAllows(subnet, dwGiaddr) && dwIp >= subnet.begin &&
            dwIp <= subnet.end)
            return &subnet;
    return nullptr;
}

JournalLease JournalRecord(const ClientKey &key, uint32_t dwIp, int64_t nExpiry) {
    return JournalLease{key, IpAddress::FromV4Host(dwIp), nExpiry};
}

TeskDhcpTypes::AddressGrant GrantIn(const TeskDhcpTypes::SubNetSlot &subnet, uint32_t dwIp) {
    return TeskDhcpTypes::AddressGrant{dwIp, subnet.netmask, subnet.gateway, subnet.dns1, subnet.dns2};
}

}  // namespace

bool LeaseBook::CreateCaches() {
    if (!m_DynamicCache) m_DynamicCache = new (std::nothrow) ClientTable<tag_d_dhcp>(LogPoolFull);
    if (!m_DhcpHashCaches) m_DhcpHashCaches = new (std::nothrow) ClientTable<tag_s_dhcp>(LogPoolFull);
    return m_DynamicCache && m_DhcpHashCaches;
}

void LeaseBook::Release() {
    platform::TeskLockGuard guard(m_Lock);
    delete m_DhcpHashCaches;
    m_DhcpHashCaches = nullptr;
    delete m_DynamicCache;
    m_DynamicCache = nullptr;
    m_AddressIndex.Clear();
    m_Declined.clear();
    m_ProbesWanted.clear();
    m_ProbesOut.clear();
    m_Verified.clear();
    m_lpJournal.reset();
    m_Carried.clear();
}

std::shared_ptr<const ConfigSnapshot> LeaseBook::Config() const {
    platform::TeskLockGuard guard(m_Lock);
    return m_Config;
}

int LeaseBook::Install(std::shared_ptr<const ConfigSnapshot> config) {
    platform::TeskLockGuard guard(m_Lock);
    if (StrandsLeases(*config)) return kStrandsLeases;
    m_Config = std::move(config);
    if (!m_DhcpHashCaches) return -1;
    FillStaticCache(*m_Config);
    DropStaleStatics(*m_Config);
    SettleLeases(*m_Config);
    if (ProbesOn()) PlanProbes(*m_Config);
    return 0;
}

void LeaseBook::SetRecoverUnknownLeases(bool bRecover) {
    platform::TeskLockGuard guard(m_Lock);
    m_bRecoverUnknown = bRecover;
}

// A file caught half-written parses as a configuration without ranges: in
// dynamic mode it would serve no lease, so it is taken for a mistake while
// a lease is live. Static-only mode says the ranges go on purpose.
bool LeaseBook::StrandsLeases(const ConfigSnapshot &config) const {
    if (config.SubCount() > 0 || config.m_PxeServer.dhcpmode != 0 || m_Config->SubCount() == 0 || !m_DynamicCache)
        return false;
    int64_t now = m_Clock();
    HashCursor cursor{};
    ClientTable<tag_d_dhcp>::Entry *entry = nullptr;
    for (int r = m_DynamicCache->First(&cursor, &entry); r == 0; r = m_DynamicCache->Next(&cursor, &entry))
        if (!entry->payload.bOfferOnly && !Expired(entry->payload, now)) return true;
    return false;
}

bool LeaseBook::Expired(const tag_d_dhcp &lease, int64_t now) const {
    return now - lease.time >= (lease.bOfferOnly ? kOfferHoldSeconds : kLeaseSeconds);
}

void LeaseBook::FillStaticCache(const ConfigSnapshot &config) {
    for (const ConfigSnapshot::StaticRecord &record : config.m_Statics) {
        tag_s_dhcp *entry = nullptr;
        // A new entry's payload holds a former occupant's bytes: only an
        // existing entry's address leaves the index.
        ClientKey key = ClientKey::Ethernet(record.abMac);
        if (m_DhcpHashCaches->Find(key, &entry) == 0)
            m_AddressIndex.RemoveStatic(Host(entry->ip));
        else if (m_DhcpHashCaches->FindOrAdd(key, &entry) != 0)
            continue;
        *entry = record.entry;
        m_AddressIndex.AddStatic(Host(entry->ip));
    }
}

void LeaseBook::DropStaleStatics(const ConfigSnapshot &config) {
    HashCursor cursor{};
    ClientTable<tag_s_dhcp>::Entry *entry = nullptr;
    for (int r = m_DhcpHashCaches->First(&cursor, &entry); r == 0; r = m_DhcpHashCaches->Next(&cursor, &entry)) {
        bool bNamed = false;
        ClientKey key = ClientTable<tag_s_dhcp>::KeyOf(*entry);
        for (const ConfigSnapshot::StaticRecord &record : config.m_Statics)
            if (ClientKey::Ethernet(record.abMac) == key) bNamed = true;
        if (bNamed) continue;
        m_AddressIndex.RemoveStatic(Host(entry->payload.ip));
        m_DhcpHashCaches->Remove(key);
    }
}

// Leases outside every range stay, dormant, until they expire; one that a
// range covers again is back in force (a lease read from the journal while
// no range held it takes the kind of the first range that does).
void LeaseBook::SettleLeases(const ConfigSnapshot &config) {
    if (!m_DynamicCache) return;
    int64_t now = m_Clock();
    HashCursor cursor{};
    ClientTable<tag_d_dhcp>::Entry *entry = nullptr;
    for (int r = m_DynamicCache->First(&cursor, &entry); r == 0; r = m_DynamicCache->Next(&cursor, &entry)) {
        tag_d_dhcp &lease = entry->payload;
        const SubNetSlot *home = nullptr;
        for (const SubNetSlot &subnet : config.m_SubNet)
            if (!home && lease.ip >= subnet.begin && lease.ip <= subnet.end) home = &subnet;
        if (!home) {
            if (Expired(lease, now)) DropLease(ClientTable<tag_d_dhcp>::KeyOf(*entry), lease);
            continue;
        }
        if (TeskAddressIndex::ValidKind(lease.kind)) continue;
        if (m_AddressIndex.IsHeld(lease.ip)) {
            DropLease(ClientTable<tag_d_dhcp>::KeyOf(*entry), lease);
            continue;
        }
        lease.kind = home->nDhcpType;
        m_AddressIndex.AddLease(lease.kind, lease.ip);
    }
}

bool LeaseBook::InOurRanges(const ConfigSnapshot &config, uint32_t dwIp) const {
    for (const SubNetSlot &subnet : config.m_SubNet)
        if (dwIp >= subnet.begin && dwIp <= subnet.end) return true;
    return false;
}

uint32_t LeaseBook::AssignAddress(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr, AddressGrant *lpGrant,
                                  std::shared_ptr<const ConfigSnapshot> *lpConfig, bool bOfferOnly,
                                  bool *lpAwaitsProbe) {
    char text[32];
    LogWrite(LOG_DEBUG, "client mac: %s", MacToText(sizeof text, text, lpMac));
    platform::TeskLockGuard guard(m_Lock);
    if (lpConfig) *lpConfig = m_Config;
    const ConfigSnapshot &config = *m_Config;
    if (!m_DhcpHashCaches || !m_DynamicCache) return 0;
    ClientKey key = ClientKey::Ethernet(lpMac);
    tag_s_dhcp *entry = nullptr;
    if (m_DhcpHashCaches->Find(key, &entry) == 0) {
        if (!StaticReachable(*entry, dwGiaddr)) return 0;
        *lpGrant = AddressGrant{entry->ip, entry->netmask, entry->gateway, entry->dns1, entry->dns2};
        return entry->ip;
    }
    if (config.m_PxeServer.dhcpmode != 0) return 0;
    EndExpiredDeclines(m_Clock());
    m_bUnwritten = false;
    m_bAwaitsProbe = false;
    uint32_t dwIp = AllocateDynamic(config, key, nKind, dwGiaddr, bOfferOnly, lpGrant);
    if (lpAwaitsProbe) *lpAwaitsProbe = dwIp == 0 && m_bAwaitsProbe;
    if (m_bUnwritten && !bOfferOnly) return 0;  // see ConfirmRequest
    return dwIp == 0 ? 0 : platform::HostToNet32(dwIp);
}

uint32_t LeaseBook::AllocateDynamic(const ConfigSnapshot &config, const ClientKey &key, int nKind,
                                    uint32_t dwGiaddr, bool bOfferOnly, AddressGrant *lpGrant) {
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->Find(key, &lease) == 0 && config.SubCount() > 0) {
        if (RenewLease(config, key, lease, nKind, dwGiaddr, bOfferOnly, lpGrant)) return lease->ip;
    }
    uint32_t dwIp = 0;
    // Free addresses awaiting their probe come before any lease taken over.
    if (!FindFreeAddress(config, nKind, dwGiaddr, &dwIp, lpGrant) &&
        (m_bAwaitsProbe || !TakeOverLease(config, nKind, dwGiaddr, &dwIp, lpGrant)))
        return 0;
    tag_d_dhcp *granted = nullptr;
    bool bHadLease = m_DynamicCache->Find(key, &granted) == 0;
    if (bHadLease) m_AddressIndex.RemoveLease(granted->kind, granted->ip);
    if (!bHadLease && m_DynamicCache->FindOrAdd(key, &granted) != 0) return 0;
    *granted = tag_d_dhcp{dwIp, lpGrant->netmask, lpGrant->gateway, lpGrant->dns1, lpGrant->dns2, nKind,
                          m_Clock(), bOfferOnly};
    m_AddressIndex.AddLease(nKind, dwIp);
    if (ProbesOn()) m_Verified.insert(dwIp);
    Journal(key, *granted);
    return dwIp;
}

// A lease strictly inside a range of the client's kind is renewed with that
// range's current values; one that fits no such range is dropped, unless
// there is no range of that kind at all (for a relayed request: none in the
// relay's network, so a forged relay address moves nobody).
bool LeaseBook::RenewLease(const ConfigSnapshot &config, const ClientKey &key, tag_d_dhcp *lpLease, int nKind,
                           uint32_t dwGiaddr, bool bOfferOnly, AddressGrant *lpGrant) {
    bool bKindServed = false;
    const SubNetSlot *home = HomeRange(config, lpLease->ip, nKind, dwGiaddr, &bKindServed);
    if (!home) {
        if (bKindServed) DropLease(key, *lpLease);
        return false;
    }
    m_AddressIndex.RemoveLease(lpLease->kind, lpLease->ip);
    m_AddressIndex.AddLease(nKind, lpLease->ip);
    lpLease->time = m_Clock();
    lpLease->kind = nKind;
    lpLease->bOfferOnly = lpLease->bOfferOnly && bOfferOnly;
    *lpGrant = GrantIn(*home, lpLease->ip);
    // An offer is no state change on the file: the REQUEST that confirms
    // it writes the one line.
    if (!bOfferOnly) Journal(key, *lpLease);
    return true;
}

bool LeaseBook::FindFreeAddress(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                                AddressGrant *lpGrant) {
    for (const SubNetSlot &subnet : config.m_SubNet) {
        if (subnet.nDhcpType != nKind || subnet.end < subnet.begin || !ConfigSnapshot::RelayAllows(subnet, dwGiaddr))
            continue;
        bool bFree = ProbesOn() ? ProbedFree(config, subnet, nKind, lpIp)
                                : PoolOf(config, subnet, nKind).FirstFreeFrom(subnet.begin, lpIp);
        if (!bFree) continue;
        *lpGrant = GrantIn(subnet, *lpIp);
        return true;
    }
    return false;
}

// Free addresses are walked up from the range's start. The lowest of them,
// one for this client and kProbeAhead for the next ones, are the window that
// is probed, so the next DISCOVERs find theirs ready; past it the walk looks
// on (as far as probes can be out) for one already found silent.
bool LeaseBook::ProbedFree(const ConfigSnapshot &config, const SubNetSlot &subnet, int nKind, uint32_t *lpIp) {
    bool bFound = false, bUnprobed = false;
    uint32_t dwFrom = subnet.begin, dwFree = 0;
    Ipv4RangePool pool = PoolOf(config, subnet, nKind);
    for (size_t nSeen = 0; nSeen < kProbesInFlight + kProbeAhead && !(bFound && nSeen > kProbeAhead); ++nSeen) {
        if (!pool.FirstFreeFrom(dwFrom, &dwFree)) break;
        bool bSilent = m_Verified.count(dwFree) != 0;
        if (!bSilent && nSeen <= kProbeAhead) WantProbe(dwFree);
        bUnprobed = bUnprobed || !bSilent;
        if (bSilent && !bFound) *lpIp = dwFree;
        bFound = bFound || bSilent;
        if (dwFree == subnet.end) break;
        dwFrom = dwFree + 1;
    }
    m_bAwaitsProbe = m_bAwaitsProbe || (!bFound && bUnprobed);
    return bFound;
}

void LeaseBook::WantProbe(uint32_t dwIp) {
    if (m_ProbesWanted.size() + m_ProbesOut.size() >= kProbesInFlight || m_ProbesOut.count(dwIp)) return;
    m_ProbesWanted.insert(dwIp);
}

void LeaseBook::PlanProbes(const ConfigSnapshot &config) {
    bool bAwaits = m_bAwaitsProbe;
    for (const SubNetSlot &subnet : config.m_SubNet) {
        if (m_ProbesWanted.size() + m_ProbesOut.size() >= kProbesInFlight) break;
        uint32_t dwIp = 0;
        if (subnet.end >= subnet.begin) ProbedFree(config, subnet, subnet.nDhcpType, &dwIp);
    }
    m_bAwaitsProbe = bAwaits;
}

void LeaseBook::EnableProbes(bool bOn) {
    platform::TeskLockGuard guard(m_Lock);
    m_bProbesEnabled = bOn;
    if (ProbesOn()) PlanProbes(*m_Config);
}

bool LeaseBook::HistoryWhole() const {
    platform::TeskLockGuard guard(m_Lock);
    return m_bHistoryWhole;
}

bool LeaseBook::Probing() const {
    platform::TeskLockGuard guard(m_Lock);
    return ProbesOn();
}

std::vector<uint32_t> LeaseBook::TakeProbes() {
    platform::TeskLockGuard guard(m_Lock);
    std::vector<uint32_t> taken(m_ProbesWanted.begin(), m_ProbesWanted.end());
    m_ProbesOut.insert(m_ProbesWanted.begin(), m_ProbesWanted.end());
    m_ProbesWanted.clear();
    return taken;
}

bool LeaseBook::ProbeResult(uint32_t dwIp, bool bAnswered) {
    platform::TeskLockGuard guard(m_Lock);
    if (m_ProbesOut.erase(dwIp) == 0) return false;
    if (!bAnswered) {
        m_Verified.insert(dwIp);
        return true;
    }
    ++m_nProbeConflicts;
    if (!m_Declined.count(dwIp)) m_AddressIndex.AddStatic(dwIp);
    m_Declined[dwIp] = m_Clock() + kDeclineHoldSeconds;
    return true;
}

uint64_t LeaseBook::ProbeConflicts() const {
    platform::TeskLockGuard guard(m_Lock);
    return m_nProbeConflicts;
}

// Every address is taken: the lease of the same kind renewed least recently
// goes to this client, provided a whole lease time has passed since its
// renewal (before that it still belongs to its client), or the offer hold
// for an address never requested. A relayed client takes only a lease of
// its own network.
bool LeaseBook::TakeOverLease(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                              AddressGrant *lpGrant) {
    int64_t now = m_Clock();
    if (now == -1) return false;
    HashCursor cursor{};
    ClientTable<tag_d_dhcp>::Entry *entry = nullptr, *oldest = nullptr;
    for (int r = m_DynamicCache->First(&cursor, &entry); r == 0; r = m_DynamicCache->Next(&cursor, &entry)) {
        const tag_d_dhcp &lease = entry->payload;
        int64_t nHold = lease.bOfferOnly ? kOfferHoldSeconds : kLeaseSeconds;
        if (lease.kind != nKind || lease.time == -1 || now - lease.time < nHold) continue;
        if (oldest && oldest->payload.time <= lease.time) continue;
        // A dormant lease (in no range of the kind) is nobody's to take.
        bool bInNetwork = false;
        for (const SubNetSlot &subnet : config.m_SubNet)
            bInNetwork = bInNetwork || (subnet.nDhcpType == nKind && ConfigSnapshot::RelayAllows(subnet, dwGiaddr) &&
                                        lease.ip >= subnet.begin && lease.ip <= subnet.end);
        if (bInNetwork) oldest = entry;
    }
    if (!oldest) return false;
    const tag_d_dhcp &lease = oldest->payload;
    *lpIp = lease.ip;
    *lpGrant = AddressGrant{lease.ip, lease.netmask, lease.gateway, lease.dns1, lease.dns2};
    DropLease(ClientTable<tag_d_dhcp>::KeyOf(*oldest), lease);
    return true;
}

void LeaseBook::DropLease(const ClientKey &key, const tag_d_dhcp &lease) {
    m_AddressIndex.RemoveLease(lease.kind, lease.ip);
    // An offer never requested was never written down.
    bool bWritten = m_lpJournal && !lease.bOfferOnly && m_lpJournal->RecordRemoval(JournalRecord(key, lease.ip, 0));
    m_DynamicCache->Remove(key);
    if (bWritten) CompactJournalIfDue();
}

// ---- REQUEST and DECLINE -------------------------------------------------

uint32_t LeaseBook::HeldAddress(const ClientKey &key) const {
    tag_s_dhcp *entry = nullptr;
    if (m_DhcpHashCaches->Find(key, &entry) == 0) return Host(entry->ip);
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->Find(key, &lease) == 0) return lease->ip;
    return 0;
}

bool LeaseBook::ConfirmHeld(const ConfigSnapshot &config, const ClientRequest &request, uint32_t dwIp,
                            AddressGrant *lpGrant) {
    ClientKey key = ClientKey::Ethernet(request.lpMac);
    tag_s_dhcp *entry = nullptr;
    if (m_DhcpHashCaches->Find(key, &entry) == 0) {
        if (!StaticReachable(*entry, request.dwGiaddr)) return false;
        *lpGrant = AddressGrant{entry->ip, entry->netmask, entry->gateway, entry->dns1, entry->dns2};
        return true;
    }
    if (config.m_PxeServer.dhcpmode != 0) return false;
    // The assignment a DISCOVER would make now: when it is still the
    // address held, the lease becomes the client's for the lease time.
    if (AllocateDynamic(config, key, request.nKind, request.dwGiaddr, true, lpGrant) != dwIp) return false;
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->Find(key, &lease) != 0) return false;
    lease->bOfferOnly = false;
    Journal(key, *lease);
    return true;
}

// A free address of ours becomes the client's lease in HOME, so it is
// offered to nobody else.
bool LeaseBook::GrantAddress(const ConfigSnapshot &config, const SubNetSlot *home, const ClientKey &key, int nKind,
                             uint32_t dwIp, AddressGrant *lpGrant) {
    if (!home || config.m_PxeServer.dhcpmode != 0) return false;
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->Find(key, &lease) == 0) DropLease(key, *lease);
    if (m_DynamicCache->FindOrAdd(key, &lease) != 0) return false;
    *lpGrant = GrantIn(*home, dwIp);
    *lease = tag_d_dhcp{dwIp, home->netmask, home->gateway, home->dns1, home->dns2, nKind, m_Clock(), false};
    m_AddressIndex.AddLease(nKind, dwIp);
    Journal(key, *lease);
    return true;
}

LeaseBook::RequestOutcome LeaseBook::ConfirmRequest(const ClientRequest &request, uint32_t *lpIp,
                                                    AddressGrant *lpGrant,
                                                    std::shared_ptr<const ConfigSnapshot> *lpConfig,
                                                    bool *lpUnknownLease) {
    platform::TeskLockGuard guard(m_Lock);
    m_bUnwritten = false;
    m_bUnknownLease = false;
    RequestOutcome outcome = DecideRequest(request, lpIp, lpGrant, lpConfig);
    if (lpUnknownLease) *lpUnknownLease = m_bUnknownLease;
    if (!m_bUnwritten || outcome != RequestOutcome::kAck) return outcome;
    // A lease is acknowledged only once its line is on the file, a new one
    // as a renewed one (Kea sends nothing either). A renewal's ACK promises
    // a later expiry than the file holds: were the service restarted before
    // the disk took lines again, the file's expiry could pass before the
    // client renews (at half its new lease time), and its address would go
    // to another client while it still uses it. Unanswered, the client keeps
    // the expiry it was last acknowledged, which is on the file, and asks
    // again. The book may hold the lease longer than the file: that costs an
    // address for a while, never one in use.
    char mac[32];
    LogWrite(LOG_ERROR, "lease of %s for %s not acknowledged: the lease file cannot be written", Ipv4Text(*lpIp).c_str(),
             MacToText(sizeof mac, mac, request.lpMac));
    return RequestOutcome::kSilent;
}

LeaseBook::RequestOutcome LeaseBook::DecideRequest(const ClientRequest &request, uint32_t *lpIp,
                                                   AddressGrant *lpGrant,
                                                   std::shared_ptr<const ConfigSnapshot> *lpConfig) {
    *lpConfig = m_Config;
    const ConfigSnapshot &config = *m_Config;
    if (!m_DhcpHashCaches || !m_DynamicCache) return RequestOutcome::kSilent;
    EndExpiredDeclines(m_Clock());
    ClientKey key = ClientKey::Ethernet(request.lpMac);
    uint32_t dwHeld = HeldAddress(key);
    tag_d_dhcp *lease = nullptr;
    bool bLease = m_DynamicCache->Find(key, &lease) == 0;
    // A dormant lease is neither confirmed nor refused: it waits for a
    // configuration that covers it again, or for its end.
    if (bLease && dwHeld == lease->ip && !InOurRanges(config, dwHeld)) return RequestOutcome::kSilent;
    if (request.dwServerId != 0) {
        // SELECTING: the client chose another server, whose offer it takes;
        // an address held for it here only is free again.
        if (request.dwServerId != config.m_dwServerIP) {
            if (bLease && lease->bOfferOnly) DropLease(key, *lease);
            return RequestOutcome::kSilent;
        }
        if (request.dwRequested == 0) return RequestOutcome::kSilent;
        *lpIp = request.dwRequested;
        if (Host(request.dwRequested) != dwHeld)
            return GrantSelected(config, request, lpGrant) ? RequestOutcome::kAck : RequestOutcome::kSilent;
        return ConfirmHeld(config, request, dwHeld, lpGrant) ? RequestOutcome::kAck : RequestOutcome::kSilent;
    }
    uint32_t dwAsked = Host(request.dwCiaddr != 0 ? request.dwCiaddr : request.dwRequested);
    if (dwAsked == 0) return RequestOutcome::kSilent;  // no RFC 2131 state sends this
    *lpIp = platform::HostToNet32(dwAsked);
    if (dwAsked == dwHeld)
        return ConfirmHeld(config, request, dwHeld, lpGrant) ? RequestOutcome::kAck : RequestOutcome::kNak;
    bool bStatic = m_AddressIndex.IsHeld(dwAsked) || m_Declined.count(dwAsked);
    if (!InOurRanges(config, dwAsked) && !bStatic) return RequestOutcome::kSilent;
    // INIT-REBOOT asking for an address of ours that is not its own.
    if (request.dwCiaddr == 0 || bStatic) return RequestOutcome::kNak;
    return ClaimFree(config, request, dwAsked, lpGrant);
}

// A SELECTING client naming this server for an address it holds no offer
// of: its offer was lost (a restart, or a forged REQUEST naming another
// server in its name). A free address of its range is granted, as the offer
// would have been; one held for another client is not. A client whose lease
// is confirmed elsewhere is not moved by a REQUEST anyone can forge.
bool LeaseBook::GrantSelected(const ConfigSnapshot &config, const ClientRequest &request, AddressGrant *lpGrant) {
    uint32_t dwAsked = Host(request.dwRequested);
    ClientKey key = ClientKey::Ethernet(request.lpMac);
    tag_s_dhcp *entry = nullptr;
    if (m_DhcpHashCaches->Find(key, &entry) == 0) return false;
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->Find(key, &lease) == 0 && !lease->bOfferOnly) return false;
    if (m_AddressIndex.IsHeld(dwAsked) || m_Declined.count(dwAsked)) return false;
    // Its offer, had this server made it, would have been probed first.
    if (ProbesOn() && !m_Verified.count(dwAsked)) {
        WantProbe(dwAsked);
        return false;
    }
    return GrantAddress(config, OfferRange(config, dwAsked, request.nKind, request.dwGiaddr), key, request.nKind,
                        dwAsked, lpGrant);
}

// RENEWING or REBINDING on a free address of ours: the client says it holds
// a lease this server has no record of. Without recovery that takes
// nothing (a forged RENEW would take an address for a lease time without
// any handshake): a client that unicast to this server is told so; a
// broadcast one may belong to another server, which answers it.
LeaseBook::RequestOutcome LeaseBook::ClaimFree(const ConfigSnapshot &config, const ClientRequest &request,
                                               uint32_t dwAsked, AddressGrant *lpGrant) {
    if (!m_bRecoverUnknown) {
        m_bUnknownLease = true;
        return request.bUnicast ? RequestOutcome::kNak : RequestOutcome::kSilent;
    }
    const SubNetSlot *home = HomeRange(config, dwAsked, request.nKind, request.dwGiaddr);
    return GrantAddress(config, home, ClientKey::Ethernet(request.lpMac), request.nKind, dwAsked, lpGrant)
               ? RequestOutcome::kAck
               : RequestOutcome::kNak;
}

bool LeaseBook::Decline(const unsigned char *lpMac, uint32_t dwIp) {
    platform::TeskLockGuard guard(m_Lock);
    if (!m_DynamicCache) return false;
    ClientKey key = ClientKey::Ethernet(lpMac);
    tag_d_dhcp *lease = nullptr;
    if (dwIp == 0 || m_DynamicCache->Find(key, &lease) != 0 || lease->ip != Host(dwIp)) return false;
    uint32_t dwHeld = lease->ip;
    DropLease(key, *lease);
    if (!m_Declined.count(dwHeld)) m_AddressIndex.AddStatic(dwHeld);
    m_Declined[dwHeld] = m_Clock() + kDeclineHoldSeconds;
    return true;
}

bool LeaseBook::Release(const unsigned char *lpMac, uint32_t dwCiaddr, uint32_t dwServerId) {
    platform::TeskLockGuard guard(m_Lock);
    if (!m_DynamicCache || dwCiaddr == 0 || dwServerId != m_Config->m_dwServerIP) return false;
    ClientKey key = ClientKey::Ethernet(lpMac);
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->Find(key, &lease) != 0 || lease->ip != Host(dwCiaddr)) return false;
    DropLease(key, *lease);
    return true;
}

void LeaseBook::EndExpiredDeclines(int64_t now) {
    for (auto it = m_Declined.begin(); it != m_Declined.end();) {
        if (now < it->second) {
            ++it;
            continue;
        }
        m_AddressIndex.RemoveStatic(it->first);
        it = m_Declined.erase(it);
    }
}

// ---- The journal ---------------------------------------------------------

void LeaseBook::Journal(const ClientKey &key, const tag_d_dhcp &lease) {
    if (!m_lpJournal || lease.bOfferOnly) return;
    if (!m_lpJournal->RecordLease(JournalRecord(key, lease.ip, WallExpiry(lease)))) {
        m_bUnwritten = true;
        return;
    }
    CompactJournalIfDue();
}

void LeaseBook::CompactJournalIfDue() {
    if (!m_lpJournal->WantsCompaction()) return;
    int64_t wall = m_WallClock();
    m_Carried.erase(std::remove_if(m_Carried.begin(), m_Carried.end(),
                                   [wall](const JournalLease &lease) { return lease.nExpiry <= wall; }),
                    m_Carried.end());
    std::vector<JournalLease> live = m_Carried;
    for (const LeaseView &view : CollectLeases())
        if (!view.lease.bOfferOnly) live.push_back(JournalRecord(view.key, view.lease.ip, WallExpiry(view.lease)));
    m_lpJournal->Compact(live, false);
}

// The journal outlives the process, and with it the monotonic clock's
// origin: an expiry is written as the wall clock reads it when the line is
// written. A wall clock set while the service runs shifts the expiries of
// lines written afterwards by as much, which matters only across a restart;
// in memory the lease keeps its monotonic age.
int64_t LeaseBook::WallExpiry(const tag_d_dhcp &lease) const {
    return m_WallClock() + (lease.time + kLeaseSeconds - m_Clock());
}

int LeaseBook::OpenJournal(const char *lpFolder) {
    auto journal = std::make_unique<LeaseJournal>();
    int nResult = journal->Open(lpFolder);
    platform::TeskLockGuard guard(m_Lock);
    m_lpJournal = std::move(journal);
    if (m_DynamicCache) LoadJournal(*m_Config);
    m_bHistoryWhole = m_lpJournal->HistoryWhole();
    // A folder that cannot be written keeps the leases in memory only (the
    // restart costs them, not the service); a file open and then failing
    // withholds the ACKs instead.
    if (!m_lpJournal->IsOpen()) m_lpJournal.reset();
    return nResult;
}

// Unexpired leases come back, each with the kind of the first range holding
// it; one that no range holds comes back dormant, without a kind, until a
// configuration covers it again. Leases this book does not grant (IPv6
// ones, or a client known by other than its MAC) stay on the file, carried
// through every compaction until they expire.
void LeaseBook::LoadJournal(const ConfigSnapshot &config) {
    int64_t wall = m_WallClock(), now = m_Clock();
    std::vector<JournalLease> kept;
    m_Carried.clear();
    for (const JournalLease &record : m_lpJournal->Loaded()) {
        if (record.nExpiry <= wall) continue;
        if (!record.address.IsV4() || !record.key.EthernetMac()) {
            m_Carried.push_back(record);
            kept.push_back(record);
            continue;
        }
        uint32_t dwIp = record.address.V4Host();
        if (m_AddressIndex.IsHeld(dwIp) || HeldAddress(record.key) != 0) continue;
        if (dwIp == Host(config.m_dwServerIP)) continue;
        const SubNetSlot *home = nullptr;
        for (const SubNetSlot &subnet : config.m_SubNet)
            if (!home && dwIp >= subnet.begin && dwIp <= subnet.end) home = &subnet;
        tag_d_dhcp *lease = nullptr;
        if (m_DynamicCache->FindOrAdd(record.key, &lease) != 0) break;
        int64_t stamp = now + (record.nExpiry - wall) - kLeaseSeconds;
        *lease = home ? tag_d_dhcp{dwIp, home->netmask, home->gateway, home->dns1, home->dns2, home->nDhcpType, stamp,
                                   false}
                      : tag_d_dhcp{dwIp, 0, 0, 0, 0, 0, stamp, false};
        m_AddressIndex.AddLease(lease->kind, dwIp);
        kept.push_back(record);
    }
    LogWriteText("leases kept from the lease file: %u of %u", static_cast<unsigned>(kept.size()),
                 static_cast<unsigned>(m_lpJournal->Loaded().size()));
    m_lpJournal->Compact(kept, true);
}

// ---- Views ---------------------------------------------------------------

bool LeaseBook::FindStatic(const unsigned char *lpMac, tag_s_dhcp *lpEntry) const {
    platform::TeskLockGuard guard(m_Lock);
    tag_s_dhcp *entry = nullptr;
    if (!m_DhcpHashCaches || m_DhcpHashCaches->Find(ClientKey::Ethernet(lpMac), &entry) != 0) return false;
    *lpEntry = *entry;
    return true;
}

bool LeaseBook::FindLease(const unsigned char *lpMac, tag_d_dhcp *lpLease) const {
    platform::TeskLockGuard guard(m_Lock);
    tag_d_dhcp *lease = nullptr;
    if (!m_DynamicCache || m_DynamicCache->Find(ClientKey::Ethernet(lpMac), &lease) != 0) return false;
    *lpLease = *lease;
    return true;
}

std::vector<LeaseBook::LeaseView> LeaseBook::Leases() const {
    platform::TeskLockGuard guard(m_Lock);
    return CollectLeases();
}

std::vector<LeaseBook::LeaseView> LeaseBook::CollectLeases() const {
    std::vector<LeaseView> views;
    if (!m_DynamicCache) return views;
    HashCursor cursor{};
    ClientTable<tag_d_dhcp>::Entry *entry = nullptr;
    for (int r = m_DynamicCache->First(&cursor, &entry); r == 0; r = m_DynamicCache->Next(&cursor, &entry)) {
        views.push_back(LeaseView{ClientTable<tag_d_dhcp>::KeyOf(*entry), entry->payload});
    }
    return views;
}

std::vector<TeskDhcpTypes::tag_s_dhcp> LeaseBook::Statics() const {
    platform::TeskLockGuard guard(m_Lock);
    std::vector<tag_s_dhcp> entries;
    if (!m_DhcpHashCaches) return entries;
    HashCursor cursor{};
    ClientTable<tag_s_dhcp>::Entry *entry = nullptr;
    for (int r = m_DhcpHashCaches->First(&cursor, &entry); r == 0; r = m_DhcpHashCaches->Next(&cursor, &entry))
        entries.push_back(entry->payload);
    return entries;
}

bool LeaseBook::LowestFree(const SubNetSlot &subnet, int nKind, uint32_t *lpFree) {
    platform::TeskLockGuard guard(m_Lock);
    return PoolOf(*m_Config, subnet, nKind).FirstFreeFrom(subnet.begin, lpFree);
}

uint64_t LeaseBook::FreeCount(const SubNetSlot &subnet, int nKind) {
    platform::TeskLockGuard guard(m_Lock);
    return PoolOf(*m_Config, subnet, nKind).FreeCount();
}

// The range as the client kind sees it, over the book's one index.
Ipv4RangePool LeaseBook::PoolOf(const ConfigSnapshot &config, const SubNetSlot &subnet, int nKind) {
    Ipv4RangePool::Range range{subnet.begin, subnet.end, nKind, Host(config.m_dwServerIP),
                               Host(config.m_dwNextServerIP)};
    return Ipv4RangePool(m_AddressIndex, range);
}

bool LeaseBook::RestoreLease(const unsigned char *lpMac, const tag_d_dhcp &lease) {
    platform::TeskLockGuard guard(m_Lock);
    tag_d_dhcp *slot = nullptr;
    if (!m_DynamicCache) return false;
    ClientKey key = ClientKey::Ethernet(lpMac);
    if (m_DynamicCache->Find(key, &slot) == 0) m_AddressIndex.RemoveLease(slot->kind, slot->ip);
    else if (m_DynamicCache->FindOrAdd(key, &slot) != 0) return false;
    *slot = lease;
    m_AddressIndex.AddLease(lease.kind, lease.ip);
    return true;
}
