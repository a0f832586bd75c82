#include "dhcp/config_snapshot.h"

#include <cstdio>
#include <cstring>

#include "dhcp/dhcp_message.h"
#include "log/logger.h"
#include "net/address_text.h"
#include "net/packet_writer.h"

namespace {

const char *const kMenuText = "Vaeld";
// PXE vendor sub-options (option 43).
constexpr unsigned kPxeDiscoveryControl = 6;
constexpr unsigned kPxeBootServers = 8;
constexpr unsigned kPxeBootMenu = 9;
constexpr unsigned kPxeMenuPrompt = 10;
constexpr unsigned kPxeBootItem = 71;

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

// The directed broadcast of the server's own subnet, used when a broadcast to
// 255.255.255.255 fails; 0 when the record gives no usable address and mask.
uint32_t DirectedBroadcast(const TeskPxeServerStruct &server) {
    uint32_t dwIp = TextToHostIp(server.ServerIP);
    uint32_t dwMask = TextToHostIp(server.NetMask);
    if (dwIp == 0 || dwMask == 0 || dwMask == 0xFFFFFFFFu) return 0;
    return platform::HostToNet32(dwIp | ~dwMask);
}

// Discovery control 7 and a boot-server list holding only this server send
// a PXE client to this server's port 4011; a one-item menu that does not wait.
void BuildDiscoveryOptions(ConfigSnapshot &config) {
    PacketWriter out(config.m_DiscoveryOptions, ConfigSnapshot::kOptionAreaSize);
    out.PutByte(kPxeDiscoveryControl);
    out.PutByte(1);
    out.PutByte(7);
    out.PutByte(kPxeBootServers);  // type 1, one address
    out.PutByte(7);
    out.PutWord(1);
    out.PutByte(1);
    out.PutBytes(&config.m_dwServerIP, 4);
    out.PutByte(kPxeBootMenu);  // item 1
    out.PutByte(13);
    out.PutWord(1);
    out.PutByte(10);
    out.PutText(kMenuText, 10);
    out.PutByte(kPxeMenuPrompt);  // no wait
    out.PutByte(29);
    out.PutByte(0);
    out.PutText(kMenuText, 28);
    out.PutByte(kOptEnd);
    config.m_DiscoveryOptionsLen = out.Position();
}

void BuildBootItemOptions(ConfigSnapshot &config) {
    PacketWriter out(config.m_BootItemOptions, ConfigSnapshot::kOptionAreaSize);
    out.PutByte(kPxeBootItem);  // type 1, layer 0
    out.PutByte(4);
    out.PutWord(1);
    out.PutWord(0);
    out.PutByte(kOptEnd);
    config.m_BootItemOptionsLen = out.Position();
}

void ReadSubnets(ConfigSnapshot &config, const TeskSubNetStruct *lpSubNet, int nSubNetLen) {
    for (int i = 0; lpSubNet && i < nSubNetLen; ++i) {
        const TeskSubNetStruct &in = lpSubNet[i];
        LogWrite(LOG_DEBUG, "SubNet:%d\nbeginip:%s\nendip:%s\ndns1:%s\ndns2:%s\nnDhcpType:%d\nnetgate:%s\nnetmask:%s\n", i,
                 in.beginip, in.endip, in.dns1, in.dns2, in.nDhcpType, in.netgate, in.netmask);
        config.m_SubNet.push_back(ConfigSnapshot::SubNetSlot{TextToHostIp(in.beginip), TextToHostIp(in.endip),
                                                             NetIp(in.netmask), NetIp(in.dns1), NetIp(in.dns2),
                                                             NetIp(in.netgate), in.nDhcpType});
    }
}

void ReadStatics(ConfigSnapshot &config, TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    for (int i = 0; lpStaticDhcp && i < nStaticDhcpLen; ++i) {
        TeskStaticDhcpStruct &in = lpStaticDhcp[i];
        ConfigSnapshot::StaticRecord record{};
        if (!ParseStaticMac(&in, record.abMac)) continue;
        record.entry = ConfigSnapshot::tag_s_dhcp{NetIp(in.ip), NetIp(in.netmask), NetIp(in.netgate), NetIp(in.dns1),
                                                  NetIp(in.dns2)};
        config.m_Statics.push_back(record);
    }
}

}  // namespace

bool ConfigSnapshot::RelayAllows(const SubNetSlot &subnet, uint32_t dwGiaddr) {
    if (dwGiaddr == 0) return true;
    uint32_t dwMask = platform::NetToHost32(subnet.netmask);
    return (platform::NetToHost32(dwGiaddr) & dwMask) == (subnet.begin & dwMask);
}

std::shared_ptr<const ConfigSnapshot> BuildConfigSnapshot(TeskPxeServerStruct *IN_lpTeskPxeServerStruct,
                                                          TeskSubNetStruct *lpSubNet, int nSubNetLen,
                                                          TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    LogWriteText("Update_static_less\n");
    if (nSubNetLen >= ConfigSnapshot::kMaxSubNets || !IN_lpTeskPxeServerStruct) {
        LogWriteText("error m_SubCount >= 10*1024 || NULL !=IN_lpTeskPxeServerStruct");
        return nullptr;
    }
    auto config = std::make_shared<ConfigSnapshot>();
    config->m_PxeServer = *IN_lpTeskPxeServerStruct;
    const TeskPxeServerStruct &record = config->m_PxeServer;
    LogWrite(LOG_DEBUG, "PxeServerStruct\nbootfile:%s\nrootpath:%s\ndhcpmode:%d\nNetMask:%s\nServerIP:%s\n",
             record.bootfile, record.rootpath, record.dhcpmode, record.NetMask, record.ServerIP);
    ReadSubnets(*config, lpSubNet, nSubNetLen);
    config->m_dwBroadcastIP = NetIp("255.255.255.255");
    config->m_dwBroadcastIP2 = DirectedBroadcast(record);
    LogWriteText("Dhcpd:ServerIP=%s", record.ServerIP);
    config->m_dwServerIP = NetIp(record.ServerIP);
    config->m_dwNextServerIP = config->m_dwServerIP;
    BuildDiscoveryOptions(*config);
    BuildBootItemOptions(*config);
    ReadStatics(*config, lpStaticDhcp, nStaticDhcpLen);
    return config;
}
