// Turns the host's configuration into the service's working state.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "dhcp/dhcp_server.h"
#include "interface/address_text.h"
#include "log/logger.h"

namespace {

const char *const kSourceName = "TeskDhcpServer";

uint32_t NetIp(const char *lpText) { return platform::HostToNet32(TextToHostIp(lpText)); }

// Accepts a 17-character MAC text, lower-cases it in place in the host's
// array and reads its six bytes.
bool ParseStaticMac(TeskStaticDhcpStruct *lpRecord, unsigned char abMac[6]) {
    char *text = lpRecord->mac;
    if (strnlen(text, sizeof lpRecord->mac) != 17) return false;
    for (int i = 0; i < 17; ++i)
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    unsigned parts[6] = {};
    sscanf(text, "%02x:%02x:%02x:%02x:%02x:%02x", &parts[0], &parts[1], &parts[2], &parts[3], &parts[4], &parts[5]);
    for (int i = 0; i < 6; ++i) abMac[i] = static_cast<unsigned char>(parts[i]);
    return true;
}

bool StaticArrayNames(TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen, const unsigned char *abKey) {
    for (int i = 0; lpStaticDhcp && i < nStaticDhcpLen; ++i) {
        unsigned char abMac[6];
        if (ParseStaticMac(&lpStaticDhcp[i], abMac) && memcmp(abMac, abKey, 6) == 0) return true;
    }
    return false;
}

// The directed broadcast of the server's own subnet, used when a broadcast to
// 255.255.255.255 fails; 0 when the record gives no usable address and mask.
uint32_t DirectedBroadcast(const TeskPxeServerStruct &server) {
    uint32_t dwIp = TextToHostIp(server.ServerIP);
    uint32_t dwMask = TextToHostIp(server.NetMask);
    if (dwIp == 0 || dwMask == 0 || dwMask == 0xFFFFFFFFu) return 0;
    return platform::HostToNet32(dwIp | ~dwMask);
}

}  // namespace

int TeskDhcpServer::ApplyConfig(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet,
                                int nSubNetLen, TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    LogWriteText("Update_static_less\n");
    if (nSubNetLen >= kMaxSubNets || !IN_lpTeskPxeServerStruct) {
        LogWriteText("error m_SubCount >= 10*1024 || NULL !=IN_lpTeskPxeServerStruct");
        return -1;
    }
    platform::TeskLockGuard guard(m_ConfigLock);
    m_SubCount = lpSubNet ? nSubNetLen : 0;
    m_PxeServer = *IN_lpTeskPxeServerStruct;
    LogWrite(LOG_DEBUG, "PxeServerStruct\nbootfile:%s\nrootpath:%s\ndhcpmode:%d\nNetMask:%s\nServerIP:%s\n",
             m_PxeServer.bootfile, m_PxeServer.rootpath, m_PxeServer.dhcpmode, m_PxeServer.NetMask,
             m_PxeServer.ServerIP);
    for (int i = 0; i < m_SubCount; ++i) {
        const TeskSubNetStruct &in = lpSubNet[i];
        LogWrite(LOG_DEBUG, "SubNet:%d\nbeginip:%s\nendip:%s\ndns1:%s\ndns2:%s\nnDhcpType:%d\nnetgate:%s\nnetmask:%s\n", i,
                 in.beginip, in.endip, in.dns1, in.dns2, in.nDhcpType, in.netgate, in.netmask);
        m_SubNet[i] = SubNetSlot{TextToHostIp(in.beginip), TextToHostIp(in.endip), NetIp(in.netmask), NetIp(in.dns1),
                                 NetIp(in.dns2),           NetIp(in.netgate),      in.nDhcpType};
    }
    m_dwBroadcastIP = NetIp("255.255.255.255");
    m_dwBroadcastIP2 = DirectedBroadcast(m_PxeServer);
    LogWriteText("Dhcpd:ServerIP=%s", m_PxeServer.ServerIP);
    m_dwServerIP = NetIp(m_PxeServer.ServerIP);
    m_dwNextServerIP = m_dwServerIP;
    BuildDiscoveryOptions();
    BuildBootItemOptions();
    if (!m_DhcpHashCaches) {
        LogWriteText("m_DhcpHashCaches == NULL %s--%d", kSourceName, __LINE__);
        return -1;
    }
    FillStaticCache(lpStaticDhcp, nStaticDhcpLen);
    DropStaleStatics(lpStaticDhcp, nStaticDhcpLen);
    DropStaleLeases();
    return 0;
}

void TeskDhcpServer::FillStaticCache(TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    for (int i = 0; lpStaticDhcp && i < nStaticDhcpLen; ++i) {
        TeskStaticDhcpStruct &in = lpStaticDhcp[i];
        unsigned char abMac[6];
        tag_s_dhcp *entry = nullptr;
        if (!ParseStaticMac(&in, abMac)) continue;
        // A new entry's payload holds a former occupant's bytes: only an
        // existing entry's address leaves the index.
        if (m_DhcpHashCaches->FindClient(abMac, &entry) == 0)
            m_AddressIndex.RemoveStatic(platform::HostToNet32(entry->ip));
        else if (m_DhcpHashCaches->GetLastClient(abMac, &entry) != 0)
            continue;
        *entry = tag_s_dhcp{NetIp(in.ip), NetIp(in.netmask), NetIp(in.netgate), NetIp(in.dns1), NetIp(in.dns2)};
        m_AddressIndex.AddStatic(platform::HostToNet32(entry->ip));
    }
}

void TeskDhcpServer::DropStaleStatics(TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    HashCursor cursor{};
    TeskMacHash<tag_s_dhcp>::TeskMacHashStruct *entry = nullptr;
    for (int r = m_DhcpHashCaches->GetFirstClient(&cursor, &entry); r == 0;
         r = m_DhcpHashCaches->GetNextClient(&cursor, &entry)) {
        if (StaticArrayNames(lpStaticDhcp, nStaticDhcpLen, entry->abKey)) continue;
        m_AddressIndex.RemoveStatic(platform::HostToNet32(entry->payload.ip));
        m_DhcpHashCaches->DelClient(entry->abKey);
    }
}

void TeskDhcpServer::DropStaleLeases() {
    if (!m_DynamicCache) return;
    HashCursor cursor{};
    TeskMacHash<tag_d_dhcp>::TeskMacHashStruct *entry = nullptr;
    for (int r = m_DynamicCache->GetFirstClient(&cursor, &entry); r == 0;
         r = m_DynamicCache->GetNextClient(&cursor, &entry)) {
        bool bInRange = false;
        for (int i = 0; i < m_SubCount && !bInRange; ++i)
            bInRange = entry->payload.ip >= m_SubNet[i].begin && entry->payload.ip <= m_SubNet[i].end;
        if (!bInRange) DropLease(entry->abKey, entry->payload);
    }
}
