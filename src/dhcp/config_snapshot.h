// The DHCP configuration in working form. A snapshot is built from the
// host's records outside any lock, then put in force whole; requests read
// the snapshot in force when they arrive and never see half of a refresh.
#pragma once

#include <memory>
#include <vector>

#include "Tavrel.h"
#include "dhcp/dhcp_records.h"

struct ConfigSnapshot : TeskDhcpTypes {
    static constexpr int kOptionAreaSize = 256;

    // A static record of the host's array, its MAC text read.
    struct StaticRecord {
        unsigned char abMac[6];
        tag_s_dhcp entry;
    };

    int SubCount() const { return static_cast<int>(m_SubNet.size()); }
    // Whether the network of the subnet holds the relay address.
    static bool RelayAllows(const SubNetSlot &subnet, uint32_t dwGiaddr);

    TeskPxeServerStruct m_PxeServer{};
    std::vector<SubNetSlot> m_SubNet;
    // The static records in array order; a later one for a MAC wins.
    std::vector<StaticRecord> m_Statics;
    uint32_t m_dwServerIP = 0;
    uint32_t m_dwNextServerIP = 0;
    uint32_t m_dwBroadcastIP = 0;
    uint32_t m_dwBroadcastIP2 = 0;
    char m_szDomainName[260] = {};
    unsigned char m_DiscoveryOptions[kOptionAreaSize] = {};
    int m_DiscoveryOptionsLen = 0;
    unsigned char m_BootItemOptions[kOptionAreaSize] = {};
    int m_BootItemOptionsLen = 0;
};

// Builds a snapshot, logging the record and every range; nullptr (logged)
// when the configuration is refused. Lower-cases the static MAC texts in
// the host's array.
std::shared_ptr<const ConfigSnapshot> BuildConfigSnapshot(TeskPxeServerStruct *IN_lpTeskPxeServerStruct,
                                                          TeskSubNetStruct *lpSubNet, int nSubNetLen,
                                                          TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
