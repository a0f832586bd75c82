// Which address a client gets: its static entry, its renewed lease, the
// lowest free address of its ranges, or another client's lease taken over.
#include <cstring>

#include "dhcp/dhcp_server.h"
#include "interface/address_text.h"
#include "log/logger.h"

namespace {
uint32_t Host(uint32_t dwNet) { return platform::HostToNet32(dwNet); }
}  // namespace

uint32_t TeskDhcpServer::AssignAddress(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr,
                                       AddressGrant *lpGrant) {
    char text[32];
    LogWrite(LOG_DEBUG, "client mac: %s", MacToText(sizeof text, text, lpMac));
    tag_s_dhcp *entry = nullptr;
    if (m_DhcpHashCaches->FindClient(lpMac, &entry) == 0) {
        *lpGrant = AddressGrant{entry->ip, entry->netmask, entry->gateway, entry->dns1, entry->dns2};
        return entry->ip;
    }
    if (m_PxeServer.dhcpmode != 0) return 0;
    uint32_t dwIp = AllocateDynamic(lpMac, nKind, dwGiaddr, lpGrant);
    return dwIp == 0 ? 0 : platform::HostToNet32(dwIp);
}

uint32_t TeskDhcpServer::AllocateDynamic(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr,
                                         AddressGrant *lpGrant) {
    tag_d_dhcp *lease = nullptr;
    if (m_DynamicCache->FindClient(lpMac, &lease) == 0 && m_SubCount > 0) {
        if (RenewLease(lpMac, lease, nKind, lpGrant)) return lease->ip;
    }
    uint32_t dwIp = 0;
    if (!FindFreeAddress(nKind, dwGiaddr, &dwIp, lpGrant) && !TakeOverLease(nKind, dwGiaddr, &dwIp, lpGrant))
        return 0;
    tag_d_dhcp *granted = nullptr;
    bool bHadLease = m_DynamicCache->FindClient(lpMac, &granted) == 0;
    if (bHadLease) m_AddressIndex.RemoveLease(granted->kind, granted->ip);
    if (!bHadLease && m_DynamicCache->GetLastClient(lpMac, &granted) != 0) return 0;
    *granted = tag_d_dhcp{dwIp, lpGrant->netmask, lpGrant->gateway, lpGrant->dns1, lpGrant->dns2, nKind,
                          platform::GetUnixTime()};
    m_AddressIndex.AddLease(nKind, dwIp);
    return dwIp;
}

// A lease strictly inside a range of the client's kind is renewed with that
// range's current values; one that fits no such range is dropped, unless
// there is no range of that kind at all.
bool TeskDhcpServer::RenewLease(const unsigned char *lpMac, tag_d_dhcp *lpLease, int nKind, AddressGrant *lpGrant) {
    bool bKindServed = false;
    for (int i = 0; i < m_SubCount; ++i) {
        const SubNetSlot &subnet = m_SubNet[i];
        if (subnet.nDhcpType != nKind) continue;
        bKindServed = true;
        uint32_t dwIp = lpLease->ip;
        if (dwIp <= subnet.begin || dwIp >= subnet.end) continue;
        if (dwIp == Host(m_dwServerIP) || dwIp == Host(m_dwNextServerIP)) continue;
        m_AddressIndex.RemoveLease(lpLease->kind, dwIp);
        m_AddressIndex.AddLease(nKind, dwIp);
        lpLease->time = platform::GetUnixTime();
        lpLease->kind = nKind;
        *lpGrant = AddressGrant{dwIp, subnet.netmask, subnet.gateway, subnet.dns1, subnet.dns2};
        return true;
    }
    if (bKindServed) DropLease(lpMac, *lpLease);
    return false;
}

bool TeskDhcpServer::RelayAllows(const SubNetSlot &subnet, uint32_t dwGiaddr) const {
    if (dwGiaddr == 0) return true;
    uint32_t dwMask = Host(subnet.netmask);
    return (Host(dwGiaddr) & dwMask) == (subnet.begin & dwMask);
}

bool TeskDhcpServer::FindFreeAddress(int nKind, uint32_t dwGiaddr, uint32_t *lpIp, AddressGrant *lpGrant) {
    for (int i = 0; i < m_SubCount; ++i) {
        const SubNetSlot &subnet = m_SubNet[i];
        if (subnet.nDhcpType != nKind || subnet.end < subnet.begin || !RelayAllows(subnet, dwGiaddr)) continue;
        if (!m_AddressIndex.LowestFree(subnet.begin, subnet.end, nKind, Host(m_dwServerIP), Host(m_dwNextServerIP),
                                       lpIp))
            continue;
        *lpGrant = AddressGrant{*lpIp, subnet.netmask, subnet.gateway, subnet.dns1, subnet.dns2};
        return true;
    }
    return false;
}

// Every address is taken: the first lease of the same kind, in cache order,
// goes to this client. A relayed client takes only a lease of its own network.
bool TeskDhcpServer::TakeOverLease(int nKind, uint32_t dwGiaddr, uint32_t *lpIp, AddressGrant *lpGrant) {
    HashCursor cursor{};
    TeskMacHash<tag_d_dhcp>::TeskMacHashStruct *entry = nullptr;
    for (int r = m_DynamicCache->GetFirstClient(&cursor, &entry); r == 0;
         r = m_DynamicCache->GetNextClient(&cursor, &entry)) {
        const tag_d_dhcp &lease = entry->payload;
        if (lease.kind != nKind) continue;
        if (dwGiaddr != 0) {
            bool bInNetwork = false;
            for (int i = 0; i < m_SubCount && !bInNetwork; ++i)
                bInNetwork = m_SubNet[i].nDhcpType == nKind && RelayAllows(m_SubNet[i], dwGiaddr) &&
                             lease.ip >= m_SubNet[i].begin && lease.ip <= m_SubNet[i].end;
            if (!bInNetwork) continue;
        }
        if (lease.time == -1) return false;
        *lpIp = lease.ip;
        *lpGrant = AddressGrant{lease.ip, lease.netmask, lease.gateway, lease.dns1, lease.dns2};
        DropLease(entry->abKey, lease);
        return true;
    }
    return false;
}

void TeskDhcpServer::DropLease(const unsigned char *lpMac, const tag_d_dhcp &lease) {
    m_AddressIndex.RemoveLease(lease.kind, lease.ip);
    m_DynamicCache->DelClient(lpMac);
}
