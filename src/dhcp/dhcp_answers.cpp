// Building DHCP answers and the PXE vendor options.
#include "dhcp/dhcp_answers.h"

#include <cstring>

#include "boot/raspberry_pi.h"

#include "dhcp/dhcp_message.h"
#include "dhcp/lease_book.h"
#include "log/logger.h"
#include "net/address_text.h"
#include "net/ip_address.h"
#include "net/packet_writer.h"

namespace {

// DHCP options written in answers.
constexpr unsigned kOptSubnetMask = 1;
constexpr unsigned kOptRouter = 3;
constexpr unsigned kOptDns = 6;
constexpr unsigned kOptDomainName = 15;
constexpr unsigned kOptVendorSpecific = 43;
constexpr unsigned kOptLeaseTime = 51;
constexpr unsigned kOptServerId = 54;
constexpr unsigned kOptTftpServerName = 66;
constexpr int kDiscoveryControlAt = 2;       // data byte of PXE_DISCOVERY_CONTROL
constexpr unsigned char kDiscoverySkip = 8;  // use the file in the answer, no discovery
constexpr int kOptionAreaSize = TeskDhcpTypes::kDataSize - kDhcpOptionsOffset;

void PutAddressOption(PacketWriter &out, unsigned code, uint32_t dwAddr) {
    out.PutByte(code);
    out.PutByte(4);
    out.PutBytes(&dwAddr, 4);
}

// The magic cookie, the message type and the server identifier open every answer.
PacketWriter BeginReply(unsigned char *lpMessage, unsigned char byType, uint32_t dwServerIp) {
    memcpy(lpMessage + kDhcpCookieOffset, kDhcpMagicCookie, 4);
    PacketWriter out(lpMessage + kDhcpOptionsOffset, kOptionAreaSize);
    out.PutByte(kDhcpMessageTypeOption);
    out.PutByte(1);
    out.PutByte(byType);
    PutAddressOption(out, kOptServerId, dwServerIp);
    return out;
}

// The end of the options. A port-67 answer is zero-padded to the BOOTP
// minimum, which some relay agents insist on; the 4011 answer goes straight
// back to its client and keeps its length.
int EndReply(unsigned char *lpMessage, PacketWriter &out, bool bPad = true) {
    if (out.Position() < 0) return 0;
    int nLen = kDhcpOptionsOffset + out.Position();
    if (bPad && nLen < kBootpMinimumSize) {
        memset(lpMessage + nLen, 0, static_cast<size_t>(kBootpMinimumSize - nLen));
        nLen = kBootpMinimumSize;
    }
    return nLen;
}

// An HTTP Boot answer names its class without a terminating zero and
// carries no PXE options: the URL in the file field is all the client needs.
void PutClassAndVendor(PacketWriter &out, const unsigned char *lpVendor, int nVendorLen, BootAnswer kind) {
    out.PutByte(kDhcpVendorClassOption);
    out.PutByte(10);
    if (kind == BootAnswer::kHttpBoot) {
        out.PutText("HTTPClient", 10);
    } else if (kind == BootAnswer::kRaspberryPi) {
        out.PutText("PXEClient", 10);
        unsigned char menu[64];
        int nMenuLen = PutPiVendorOptions(menu, sizeof menu);
        out.PutByte(kOptVendorSpecific);
        out.PutByte(static_cast<unsigned>(nMenuLen));
        out.PutBytes(menu, nMenuLen);
    } else {
        out.PutText("PXEClient", 10);
        out.PutByte(kOptVendorSpecific);
        out.PutByte(static_cast<unsigned>(nVendorLen));
        out.PutBytes(lpVendor, nVendorLen);
    }
    out.PutByte(kOptEnd);
    out.PutByte(0);
    out.PutByte(0);
}

// An answer naming a file the host chose names its server the same way
// everywhere: siaddr, sname and option 66, so every firmware finds it.
void PutServerName(unsigned char *lpMessage, PacketWriter &out, uint32_t dwServer, BootAnswer kind) {
    if (kind == BootAnswer::kConfigured) return;
    char text[16];
    HostIpToText(sizeof text, text, platform::NetToHost32(dwServer));
    memset(lpMessage + kDhcpSnameOffset, 0, 64);
    memcpy(lpMessage + kDhcpSnameOffset, text, strlen(text));
    out.PutByte(kOptTftpServerName);
    out.PutByte(static_cast<unsigned>(strlen(text)));
    out.PutString(text);
}

void LogReplyAddresses(const ConfigSnapshot &config, uint32_t dwNetmask, uint32_t dwGateway, uint32_t dwDns1,
                       uint32_t dwDns2, uint32_t dwSendBroadcast) {
    LogWrite(LOG_DEBUG, "Send_BrodAddrIP:%s\n", Ipv4Text(dwSendBroadcast).c_str());
    LogWrite(LOG_DEBUG, "server ip:%s\n", Ipv4Text(config.m_dwServerIP).c_str());
    LogWrite(LOG_DEBUG, "next server ip:%s\n", Ipv4Text(config.m_dwNextServerIP).c_str());
    LogWrite(LOG_DEBUG, "netmask:%s\n", Ipv4Text(dwNetmask).c_str());
    LogWrite(LOG_DEBUG, "gateway:%s\n", Ipv4Text(dwGateway).c_str());
    LogWrite(LOG_DEBUG, "dns1:%s\n", Ipv4Text(dwDns1).c_str());
    LogWrite(LOG_DEBUG, "dns2:%s\n", Ipv4Text(dwDns2).c_str());
}

void PutAddress(unsigned char *lpMessage, int nOffset, uint32_t dwAddr) { memcpy(lpMessage + nOffset, &dwAddr, 4); }

void PutBootFile(unsigned char *lpMessage, const char *lpText, size_t nTextSize) {
    size_t len = strnlen(lpText, nTextSize);
    memcpy(lpMessage + kDhcpFileOffset, lpText, len);
    lpMessage[kDhcpFileOffset + len] = 0;
}

// The host's file when it chose one, otherwise the given text.
void PutBootFileFor(unsigned char *lpMessage, const BootFileChoice &boot, const char *lpText, size_t nTextSize) {
    if (boot.kind == BootAnswer::kRaspberryPi)
        PutBootFile(lpMessage, "", 1);  // the bootloader asks for its own files
    else if (boot.kind != BootAnswer::kConfigured)
        PutBootFile(lpMessage, boot.szFile, sizeof boot.szFile);
    else
        PutBootFile(lpMessage, lpText, nTextSize);
}

}  // namespace

int BuildDhcpReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType, uint32_t dwNetmask,
                   uint32_t dwGateway, uint32_t dwDns1, uint32_t dwDns2, uint32_t dwSendBroadcast, BootAnswer kind) {
    LogReplyAddresses(config, dwNetmask, dwGateway, dwDns1, dwDns2, dwSendBroadcast);
    PacketWriter out = BeginReply(lpMessage, byType, config.m_dwServerIP);
    // Clients such as ISC dhclient refuse an address without a lease time.
    uint32_t dwLease = platform::HostToNet32(static_cast<uint32_t>(LeaseBook::kLeaseSeconds));
    PutAddressOption(out, kOptLeaseTime, dwLease);
    PutAddressOption(out, kOptSubnetMask, dwNetmask);
    PutAddressOption(out, kOptRouter, dwGateway);
    // A range without a DNS server sends none: UEFI HTTP Boot gives up on
    // a server of 0.0.0.0.
    if (dwDns1 != 0) PutAddressOption(out, kOptDns, dwDns1);
    int nDomainLen = static_cast<int>(strnlen(config.m_szDomainName, sizeof config.m_szDomainName - 1));
    if (nDomainLen > 255) nDomainLen = 255;
    if (nDomainLen > 0) {
        out.PutByte(kOptDomainName);
        out.PutByte(static_cast<unsigned>(nDomainLen));
        out.PutBytes(config.m_szDomainName, nDomainLen);
    }
    PutServerName(lpMessage, out, config.m_dwServerIP, kind);
    // The host chose this client's file and the answer names it: the client
    // loads it without boot-server discovery (iPXE's EFI build has no PXE menu).
    unsigned char discovery[ConfigSnapshot::kOptionAreaSize];
    memcpy(discovery, config.m_DiscoveryOptions, sizeof discovery);
    if (kind == BootAnswer::kHostFile) discovery[kDiscoveryControlAt] |= kDiscoverySkip;
    PutClassAndVendor(out, discovery, config.m_DiscoveryOptionsLen, kind);
    return EndReply(lpMessage, out);
}

int BuildBootServerReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                         uint32_t dwSendBroadcast, BootAnswer kind) {
    LogReplyAddresses(config, 0, 0, 0, 0, dwSendBroadcast);
    PacketWriter out = BeginReply(lpMessage, byType, config.m_dwServerIP);
    PutServerName(lpMessage, out, config.m_dwServerIP, kind);
    PutClassAndVendor(out, config.m_BootItemOptions, config.m_BootItemOptionsLen, kind);
    return EndReply(lpMessage, out, false);
}

int BuildOffer(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant,
               uint32_t dwSendBroadcast, const BootFileChoice &boot) {
    lpMessage[kDhcpOpOffset] = kBootReply;
    PutAddress(lpMessage, kDhcpYiaddrOffset, dwIp);
    PutAddress(lpMessage, kDhcpSiaddrOffset, config.m_dwServerIP);
    PutBootFileFor(lpMessage, boot, config.m_PxeServer.bootfile, sizeof config.m_PxeServer.bootfile);
    return BuildDhcpReply(config, lpMessage, kDhcpOffer, grant.netmask, grant.gateway, grant.dns1, grant.dns2,
                          dwSendBroadcast, boot.kind);
}

int BuildAck(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant,
             uint32_t dwSendBroadcast, const BootFileChoice &boot) {
    lpMessage[kDhcpOpOffset] = kBootReply;
    PutAddress(lpMessage, kDhcpYiaddrOffset, dwIp);
    // The Pi reads its files from the server option 66 names.
    PutAddress(lpMessage, kDhcpSiaddrOffset,
               boot.kind == BootAnswer::kRaspberryPi ? config.m_dwServerIP : config.m_dwNextServerIP);
    // A client told to skip discovery boots what the acknowledgement names.
    PutBootFileFor(lpMessage, boot, "MAIN.COM", 9);
    return BuildDhcpReply(config, lpMessage, kDhcpAck, grant.netmask, grant.gateway, grant.dns1, grant.dns2,
                          dwSendBroadcast, boot.kind);
}

int BuildBootServerAnswer(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                          uint32_t dwSendBroadcast, const BootFileChoice &boot) {
    lpMessage[kDhcpOpOffset] = kBootReply;
    PutAddress(lpMessage, kDhcpCiaddrOffset, 0);
    PutAddress(lpMessage, kDhcpYiaddrOffset, 0);
    bool bServerItself = byType == kDhcpDiscover || boot.kind == BootAnswer::kRaspberryPi;
    PutAddress(lpMessage, kDhcpSiaddrOffset, bServerItself ? config.m_dwServerIP : config.m_dwNextServerIP);
    PutBootFileFor(lpMessage, boot, config.m_PxeServer.bootfile, sizeof config.m_PxeServer.bootfile);
    return BuildBootServerReply(config, lpMessage, byType == kDhcpDiscover ? kDhcpOffer : kDhcpAck, dwSendBroadcast,
                                boot.kind);
}

int BuildNak(const ConfigSnapshot &config, unsigned char *lpMessage) {
    lpMessage[kDhcpOpOffset] = kBootReply;
    for (int nOffset : {kDhcpCiaddrOffset, kDhcpYiaddrOffset, kDhcpSiaddrOffset}) PutAddress(lpMessage, nOffset, 0);
    memset(lpMessage + kDhcpSnameOffset, 0, 64 + 128);
    PacketWriter out = BeginReply(lpMessage, kDhcpNak, config.m_dwServerIP);
    out.PutByte(kOptEnd);
    return EndReply(lpMessage, out);
}
