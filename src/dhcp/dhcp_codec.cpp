// Reading and writing of DHCP messages and the PXE vendor options.
#include <cstring>

#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_responder.h"
#include "dhcp/option_writer.h"
#include "interface/address_text.h"
#include "log/logger.h"

namespace {

constexpr int kCookieOffset = 236;
constexpr int kOptionsOffset = 240;
const unsigned char kMagicCookie[4] = {99, 130, 83, 99};
// DHCP options written in answers.
constexpr unsigned kOptSubnetMask = 1;
constexpr unsigned kOptRouter = 3;
constexpr unsigned kOptDns = 6;
constexpr unsigned kOptDomainName = 15;
constexpr unsigned kOptVendorSpecific = 43;
constexpr unsigned kOptLeaseTime = 51;
constexpr unsigned kOptMessageType = 53;
constexpr unsigned kOptServerId = 54;
constexpr int kDiscoveryControlAt = 2;       // data byte of PXE_DISCOVERY_CONTROL
constexpr unsigned char kDiscoverySkip = 8;  // use the file in the answer, no discovery

void PutAddressOption(OptionWriter &out, unsigned code, uint32_t dwAddr) {
    out.Byte(code);
    out.Byte(4);
    out.Bytes(&dwAddr, 4);
}

// The magic cookie, the message type and the server identifier open every answer.
OptionWriter BeginReply(unsigned char *lpMessage, unsigned char byType, uint32_t dwServerIp) {
    memcpy(lpMessage + kCookieOffset, kMagicCookie, 4);
    OptionWriter out(lpMessage + kOptionsOffset);
    out.Byte(kOptMessageType);
    out.Byte(1);
    out.Byte(byType);
    PutAddressOption(out, kOptServerId, dwServerIp);
    return out;
}

// An HTTP Boot answer names its class without a terminating zero and
// carries no PXE options: the URL in the file field is all the client needs.
void PutClassAndVendor(OptionWriter &out, const unsigned char *lpVendor, int nVendorLen, BootAnswer kind) {
    out.Byte(kDhcpVendorClassOption);
    out.Byte(10);
    if (kind == BootAnswer::kHttpBoot) {
        out.Text("HTTPClient", 10);
    } else {
        out.Text("PXEClient", 10);
        out.Byte(kOptVendorSpecific);
        out.Byte(static_cast<unsigned>(nVendorLen));
        out.Bytes(lpVendor, nVendorLen);
    }
    out.Byte(kOptEnd);
    out.Byte(0);
    out.Byte(0);
}

}  // namespace

void TeskDhcpResponder::LogReplyAddresses(const ConfigSnapshot &config, uint32_t dwNetmask, uint32_t dwGateway,
                                          uint32_t dwDns1, uint32_t dwDns2) const {
    LogWrite(LOG_DEBUG, "Send_BrodAddrIP:%s\n", IpToText(m_dwSendBroadcast.load()));
    LogWrite(LOG_DEBUG, "server ip:%s\n", IpToText(config.m_dwServerIP));
    LogWrite(LOG_DEBUG, "next server ip:%s\n", IpToText(config.m_dwNextServerIP));
    LogWrite(LOG_DEBUG, "netmask:%s\n", IpToText(dwNetmask));
    LogWrite(LOG_DEBUG, "gateway:%s\n", IpToText(dwGateway));
    LogWrite(LOG_DEBUG, "dns1:%s\n", IpToText(dwDns1));
    LogWrite(LOG_DEBUG, "dns2:%s\n", IpToText(dwDns2));
}

unsigned char TeskDhcpResponder::GetMessageType(const unsigned char *lpMessage) {
    if (memcmp(lpMessage + kCookieOffset, kMagicCookie, 4) != 0) return 0;
    // The walk stays inside the 1500-byte record: bytes past the datagram
    // are zero and step by as pads. An end option is stepped over too.
    const unsigned char *options = lpMessage + kOptionsOffset;
    int off = 0;
    while (off < 1219 && options[off] != kOptMessageType) off += options[off] == kOptPad ? 1 : 2 + options[off + 1];
    if (off >= 1219 || off + options[off + 1] >= 1222) return 0;
    return options[off + 2];
}

const unsigned char *TeskDhcpResponder::FindOption(const unsigned char *lpMessage, int nRecvLen,
                                                   unsigned char byCode, int *lpLen) {
    if (nRecvLen > kDataSize) nRecvLen = kDataSize;
    int off = kOptionsOffset;
    while (off < nRecvLen) {
        if (lpMessage[off] == kOptPad) {
            ++off;
            continue;
        }
        if (off + 1 >= nRecvLen) break;
        int len = lpMessage[off + 1];
        if (lpMessage[off] == byCode && off + 2 + len <= nRecvLen) {
            *lpLen = len;
            return lpMessage + off + 2;
        }
        off += 2 + len;
    }
    return nullptr;
}

int TeskDhcpResponder::GetOptionText(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode,
                                     char *lpText, int nTextSize) {
    memset(lpText, 0, static_cast<size_t>(nTextSize));
    int len = 0;
    const unsigned char *data = FindOption(lpMessage, nRecvLen, byCode, &len);
    if (!data) return -2;
    for (int i = 0; i < len && i < nTextSize - 1 && data[i]; ++i) lpText[i] = static_cast<char>(data[i]);
    return 0;
}

int TeskDhcpResponder::GetVendorClass(const unsigned char *lpMessage, int nRecvLen, char *lpText, int nTextSize) {
    return GetOptionText(lpMessage, nRecvLen, kDhcpVendorClassOption, lpText, nTextSize);
}

int TeskDhcpResponder::GetClientArch(const unsigned char *lpMessage, int nRecvLen) {
    int len = 0;
    const unsigned char *data = FindOption(lpMessage, nRecvLen, kDhcpClientArchOption, &len);
    return data && len >= 2 ? data[0] << 8 | data[1] : -1;
}

int TeskDhcpResponder::BuildDhcpReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                                      uint32_t dwNetmask, uint32_t dwGateway, uint32_t dwDns1, uint32_t dwDns2,
                                      BootAnswer kind) {
    LogReplyAddresses(config, dwNetmask, dwGateway, dwDns1, dwDns2);
    OptionWriter out = BeginReply(lpMessage, byType, config.m_dwServerIP);
    // Clients such as ISC dhclient refuse an address without a lease time.
    uint32_t dwLease = platform::HostToNet32(static_cast<uint32_t>(LeaseBook::kLeaseSeconds));
    PutAddressOption(out, kOptLeaseTime, dwLease);
    PutAddressOption(out, kOptSubnetMask, dwNetmask);
    PutAddressOption(out, kOptRouter, dwGateway);
    PutAddressOption(out, kOptDns, dwDns1);
    int nDomainLen = static_cast<int>(strnlen(config.m_szDomainName, sizeof config.m_szDomainName - 1));
    if (nDomainLen > 255) nDomainLen = 255;
    if (nDomainLen > 0) {
        out.Byte(kOptDomainName);
        out.Byte(static_cast<unsigned>(nDomainLen));
        out.Bytes(config.m_szDomainName, nDomainLen);
    }
    // The host chose this client's file and the answer names it: the client
    // loads it without boot-server discovery (iPXE's EFI build has no PXE menu).
    unsigned char discovery[ConfigSnapshot::kOptionAreaSize];
    memcpy(discovery, config.m_DiscoveryOptions, sizeof discovery);
    if (kind == BootAnswer::kHostFile) discovery[kDiscoveryControlAt] |= kDiscoverySkip;
    PutClassAndVendor(out, discovery, config.m_DiscoveryOptionsLen, kind);
    return kOptionsOffset + out.Length();
}

int TeskDhcpResponder::BuildBootServerReply(const ConfigSnapshot &config, unsigned char *lpMessage,
                                            unsigned char byType, BootAnswer kind) {
    LogReplyAddresses(config, 0, 0, 0, 0);
    OptionWriter out = BeginReply(lpMessage, byType, config.m_dwServerIP);
    PutClassAndVendor(out, config.m_BootItemOptions, config.m_BootItemOptionsLen, kind);
    return kOptionsOffset + out.Length();
}
