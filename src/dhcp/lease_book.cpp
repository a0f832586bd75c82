// Which address a client gets: its static entry, its renewed lease, the
// lowest free address of its ranges, or an abandoned lease taken over.
#include "dhcp/lease_book.h"

#include <cstring>
#include <new>

#include "interface/address_text.h"
#include "log/logger.h"
#include "log/pool_full_line.h"

namespace {

uint32_t Host(uint32_t dwNet) { return platform::NetToHost32(dwNet); }

// A relayed client reaches a static address only inside the relay's network.
bool StaticReachable(const TeskDhcpTypes::tag_s_dhcp &entry, uint32_t dwGiaddr) {
    if (dwGiaddr == 0) return true;
    return entry.netmask != 0 && (entry.ip & entry.netmask) == (dwGiaddr & entry.netmask);
}

}  // namespace

bool LeaseBook::CreateCaches() {
    if (!m_DynamicCache) m_DynamicCache = new (std::nothrow) TeskMacHash<tag_d_dhcp>(LogPoolFull);
    if (!m_DhcpHashCaches) m_DhcpHashCaches = new (std::nothrow) TeskMacHash<tag_s_dhcp>(LogPoolFull);
    return m_DynamicCache && m_DhcpHashCaches;
}

void LeaseBook::Release() {
    delete m_DhcpHashCaches;
    m_DhcpHashCaches = nullptr;
    delete m_DynamicCache;
    m_DynamicCache = nullptr;
    m_AddressIndex.Clear();
}

std::shared_ptr<const ConfigSnapshot> LeaseBook::Config() const {
    platform::TeskLockGuard guard(m_Lock);
    return m_Config;
}

int LeaseBook::Install(std::shared_ptr<const ConfigSnapshot> config) {
    platform::TeskLockGuard guard(m_Lock);
    m_Config = std::move(config);
    if (!m_DhcpHashCaches) return -1;
    FillStaticCache(*m_Config);
    DropStaleStatics(*m_Config);
    DropStaleLeases(*m_Config);
    return 0;
}

void LeaseBook::FillStaticCache(const ConfigSnapshot &config) {
    for (const ConfigSnapshot::StaticRecord &record : config.m_Statics) {
        tag_s_dhcp *entry = nullptr;
        // A new entry's payload holds a former occupant's bytes: only an
        // existing entry's address leaves the index.
        if (m_DhcpHashCaches->FindClient(record.abMac, &entry) == 0)
            m_AddressIndex.RemoveStatic(Host(entry->ip));
        else if (m_DhcpHashCaches->GetLastClient(record.abMac, &entry) != 0)
            continue;
        *entry = record.entry;
        m_AddressIndex.AddStatic(Host(entry->ip));
    }
}

void LeaseBook::DropStaleStatics(const ConfigSnapshot &config) {
    HashCursor cursor{};
    TeskMacHash<tag_s_dhcp>::TeskMacHashStruct *entry = nullptr;
    for (int r = m_DhcpHashCaches->GetFirstClient(&cursor, &entry); r == 0;
         r = m_DhcpHashCaches->GetNextClient(&cursor, &entry)) {
        bool bNamed = false;
        for (const ConfigSnapshot::StaticRecord &record : config.m_Statics)
            if (memcmp(record.abMac, entry->abKey, 6) == 0) bNamed = true;
        if (bNamed) continue;
        m_AddressIndex.RemoveStatic(Host(entry->payload.ip));
        m_DhcpHashCaches->DelClient(entry->abKey);
    }
}

void LeaseBook::DropStaleLeases(const ConfigSnapshot &config) {
    if (!m_DynamicCache) return;
    HashCursor cursor{};
    TeskMacHash<tag_d_dhcp>::TeskMacHashStruct *entry = nullptr;
    for (int r = m_DynamicCache->GetFirstClient(&cursor, &entry); r == 0;
         r = m_DynamicCache->GetNextClient(&cursor, &entry)) {
        bool bInRange = false;
        for (const SubNetSlot &subnet : config.m_SubNet)
            bInRange = bInRange || (entry->payload.ip >= subnet.begin && entry->payload.ip <= subnet.end);
        if (!bInRange) DropLease(entry->abKey, entry->payload);
    }
}

uint32_t LeaseBook::AssignAddress(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr, AddressGrant *lpGrant,
                                  std::shared_ptr<const ConfigSnapshot> *lpConfig, bool bOfferOnly) {
    char text[32];
    LogWrite(LOG_DEBUG, "client mac: %s", MacToText(sizeof text, text, lpMac));
    platform::TeskLockGuard guard(m_Lock);
    if (lpConfig) *lpConfig = m_Config;
    const ConfigSnapshot &config = *m_Config;
    tag_s_dhcp *entry = nullptr;
    if (m_DhcpHashCaches->FindClient(lpMac, &entry) == 0) {
        if (!StaticReachable(*entry, dwGiaddr)) return 0;
        *lpGrant = AddressGrant{entry->ip, entry->netmask, entry->gateway, entry->dns1, entry->dns2};
        return entry->ip;
    }
    if (config.m_PxeServer.dhcpmode != 0) return 0;
    uint32_t dwIp = AllocateDynamic(config, lpMac, nKind, dwGiaddr, bOfferOnly, lpGrant);
    return dwIp == 0 ? 0 : Host(dwIp);
}

uint32_t LeaseBook::AllocateDynamic(const ConfigSnapshot &config, const unsigned char *lpMac, int nKind,
                                    uint32_t dwGiaddr, bool bOfferOnly, AddressGrant *lpGrant) {
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->FindClient(lpMac, &lease) == 0 && config.SubCount() > 0) {
        if (RenewLease(config, lpMac, lease, nKind, dwGiaddr, bOfferOnly, lpGrant)) return lease->ip;
    }
    uint32_t dwIp = 0;
    if (!FindFreeAddress(config, nKind, dwGiaddr, &dwIp, lpGrant) &&
        !TakeOverLease(config, nKind, dwGiaddr, &dwIp, lpGrant))
        return 0;
    tag_d_dhcp *granted = nullptr;
    bool bHadLease = m_DynamicCache->FindClient(lpMac, &granted) == 0;
    if (bHadLease) m_AddressIndex.RemoveLease(granted->kind, granted->ip);
    if (!bHadLease && m_DynamicCache->GetLastClient(lpMac, &granted) != 0) return 0;
    *granted = tag_d_dhcp{dwIp, lpGrant->netmask, lpGrant->gateway, lpGrant->dns1, lpGrant->dns2, nKind,
                          platform::GetUnixTime(), bOfferOnly};
    m_AddressIndex.AddLease(nKind, dwIp);
    return dwIp;
}

// A lease strictly inside a range of the client's kind is renewed with that
// range's current values; one that fits no such range is dropped, unless
// there is no range of that kind at all (for a relayed request: none in the
// relay's network, so a forged relay address moves nobody).
bool LeaseBook::RenewLease(const ConfigSnapshot &config, const unsigned char *lpMac, tag_d_dhcp *lpLease, int nKind,
                           uint32_t dwGiaddr, bool bOfferOnly, AddressGrant *lpGrant) {
    bool bKindServed = false;
    for (const SubNetSlot &subnet : config.m_SubNet) {
        if (subnet.nDhcpType != nKind || !ConfigSnapshot::RelayAllows(subnet, dwGiaddr)) continue;
        bKindServed = true;
        uint32_t dwIp = lpLease->ip;
        if (dwIp <= subnet.begin || dwIp >= subnet.end) continue;
        if (dwIp == Host(config.m_dwServerIP) || dwIp == Host(config.m_dwNextServerIP)) continue;
        m_AddressIndex.RemoveLease(lpLease->kind, dwIp);
        m_AddressIndex.AddLease(nKind, dwIp);
        lpLease->time = platform::GetUnixTime();
        lpLease->kind = nKind;
        lpLease->bOfferOnly = lpLease->bOfferOnly && bOfferOnly;
        *lpGrant = AddressGrant{dwIp, subnet.netmask, subnet.gateway, subnet.dns1, subnet.dns2};
        return true;
    }
    if (bKindServed) DropLease(lpMac, *lpLease);
    return false;
}

bool LeaseBook::FindFreeAddress(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                                AddressGrant *lpGrant) {
    for (const SubNetSlot &subnet : config.m_SubNet) {
        if (subnet.nDhcpType != nKind || subnet.end < subnet.begin || !ConfigSnapshot::RelayAllows(subnet, dwGiaddr))
            continue;
        if (!m_AddressIndex.LowestFree(subnet.begin, subnet.end, nKind, Host(config.m_dwServerIP),
                                       Host(config.m_dwNextServerIP), lpIp))
            continue;
        *lpGrant = AddressGrant{*lpIp, subnet.netmask, subnet.gateway, subnet.dns1, subnet.dns2};
        return true;
    }
    return false;
}

// Every address is taken: the lease of the same kind renewed least recently
// goes to this client, provided a whole lease time has passed since its
// renewal (before that it still belongs to its client), or the offer hold
// for an address never requested. A relayed client takes only a lease of
// its own network.
bool LeaseBook::TakeOverLease(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                              AddressGrant *lpGrant) {
    int64_t now = platform::GetUnixTime();
    if (now == -1) return false;
    HashCursor cursor{};
    TeskMacHash<tag_d_dhcp>::TeskMacHashStruct *entry = nullptr, *oldest = nullptr;
    for (int r = m_DynamicCache->GetFirstClient(&cursor, &entry); r == 0;
         r = m_DynamicCache->GetNextClient(&cursor, &entry)) {
        const tag_d_dhcp &lease = entry->payload;
        int64_t nHold = lease.bOfferOnly ? kOfferHoldSeconds : kLeaseSeconds;
        if (lease.kind != nKind || lease.time == -1 || now - lease.time < nHold) continue;
        if (oldest && oldest->payload.time <= lease.time) continue;
        bool bInNetwork = dwGiaddr == 0;
        for (const SubNetSlot &subnet : config.m_SubNet)
            bInNetwork = bInNetwork || (subnet.nDhcpType == nKind && ConfigSnapshot::RelayAllows(subnet, dwGiaddr) &&
                                        lease.ip >= subnet.begin && lease.ip <= subnet.end);
        if (bInNetwork) oldest = entry;
    }
    if (!oldest) return false;
    const tag_d_dhcp &lease = oldest->payload;
    *lpIp = lease.ip;
    *lpGrant = AddressGrant{lease.ip, lease.netmask, lease.gateway, lease.dns1, lease.dns2};
    DropLease(oldest->abKey, lease);
    return true;
}

void LeaseBook::DropLease(const unsigned char *lpMac, const tag_d_dhcp &lease) {
    m_AddressIndex.RemoveLease(lease.kind, lease.ip);
    m_DynamicCache->DelClient(lpMac);
}
