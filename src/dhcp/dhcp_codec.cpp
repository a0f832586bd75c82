// Reading and writing of DHCP messages and the PXE vendor options.
#include <cstring>

#include "dhcp/dhcp_server.h"
#include "interface/address_text.h"
#include "log/logger.h"

namespace {

// Appends sub-options to an option-43 area.
class OptionWriter {
public:
    explicit OptionWriter(unsigned char *area) : m_lpArea(area) {}
    void Byte(unsigned value) { m_lpArea[m_nLen++] = static_cast<unsigned char>(value); }
    void Word(unsigned value) {
        Byte(value >> 8);
        Byte(value & 0xff);
    }
    void Bytes(const void *data, int len) {
        memcpy(m_lpArea + m_nLen, data, static_cast<size_t>(len));
        m_nLen += len;
    }
    // A fixed-width text field, zero-padded.
    void Text(const char *text, int width) {
        int len = static_cast<int>(strlen(text));
        Bytes(text, len);
        for (int i = len; i < width; ++i) Byte(0);
    }
    int Length() const { return m_nLen; }

private:
    unsigned char *m_lpArea;
    int m_nLen = 0;
};

const char *const kMenuText = "Vaeld";

}  // namespace

void TeskDhcpServer::BuildDiscoveryOptions() {
    memset(m_DiscoveryOptions, 0, sizeof m_DiscoveryOptions);
    OptionWriter out(m_DiscoveryOptions);
    out.Byte(6);  // PXE_DISCOVERY_CONTROL: only the listed boot servers
    out.Byte(1);
    out.Byte(7);
    out.Byte(8);  // PXE_BOOT_SERVERS: type 1, one address
    out.Byte(7);
    out.Word(1);
    out.Byte(1);
    out.Bytes(&m_dwServerIP, 4);
    out.Byte(9);  // PXE_BOOT_MENU: item 1
    out.Byte(13);
    out.Word(1);
    out.Byte(10);
    out.Text(kMenuText, 10);
    out.Byte(10);  // PXE_MENU_PROMPT: no wait
    out.Byte(29);
    out.Byte(0);
    out.Text(kMenuText, 28);
    out.Byte(255);
    m_DiscoveryOptionsLen = out.Length();
}

void TeskDhcpServer::BuildBootItemOptions() {
    memset(m_BootItemOptions, 0, sizeof m_BootItemOptions);
    OptionWriter out(m_BootItemOptions);
    out.Byte(71);  // PXE_BOOT_ITEM: type 1, layer 0
    out.Byte(4);
    out.Word(1);
    out.Word(0);
    out.Byte(255);
    m_BootItemOptionsLen = out.Length();
}

namespace {

constexpr int kCookieOffset = 236;
constexpr int kOptionsOffset = 240;
const unsigned char kMagicCookie[4] = {99, 130, 83, 99};
constexpr uint32_t kLeaseSeconds = 86400;

void LogReplyAddresses(const TeskDhcpServer &server, uint32_t dwNetmask, uint32_t dwGateway, uint32_t dwDns1,
                       uint32_t dwDns2) {
    LogWrite(LOG_DEBUG, "Send_BrodAddrIP:%s\n", IpToText(server.Send_BrodAddrIP));
    LogWrite(LOG_DEBUG, "server ip:%s\n", IpToText(server.m_dwServerIP));
    LogWrite(LOG_DEBUG, "next server ip:%s\n", IpToText(server.m_dwNextServerIP));
    LogWrite(LOG_DEBUG, "netmask:%s\n", IpToText(dwNetmask));
    LogWrite(LOG_DEBUG, "gateway:%s\n", IpToText(dwGateway));
    LogWrite(LOG_DEBUG, "dns1:%s\n", IpToText(dwDns1));
    LogWrite(LOG_DEBUG, "dns2:%s\n", IpToText(dwDns2));
}

void PutAddressOption(OptionWriter &out, unsigned code, uint32_t dwAddr) {
    out.Byte(code);
    out.Byte(4);
    out.Bytes(&dwAddr, 4);
}

// The magic cookie, the message type and the server identifier open every answer.
OptionWriter BeginReply(unsigned char *lpMessage, unsigned char byType, uint32_t dwServerIp) {
    memcpy(lpMessage + kCookieOffset, kMagicCookie, 4);
    OptionWriter out(lpMessage + kOptionsOffset);
    out.Byte(53);
    out.Byte(1);
    out.Byte(byType);
    PutAddressOption(out, 54, dwServerIp);
    return out;
}

void PutPxeClassAndVendor(OptionWriter &out, const unsigned char *lpVendor, int nVendorLen) {
    out.Byte(60);
    out.Byte(10);
    out.Text("PXEClient", 10);
    out.Byte(43);
    out.Byte(static_cast<unsigned>(nVendorLen));
    out.Bytes(lpVendor, nVendorLen);
    out.Byte(255);
    out.Byte(0);
    out.Byte(0);
}

}  // namespace

unsigned char TeskDhcpServer::GetMessageType(const unsigned char *lpMessage) {
    if (memcmp(lpMessage + kCookieOffset, kMagicCookie, 4) != 0) return 0;
    // The walk stays inside the 1500-byte record: bytes past the datagram
    // are zero and step by as pads. An end option is stepped over too.
    const unsigned char *options = lpMessage + kOptionsOffset;
    int off = 0;
    while (off < 1219 && options[off] != 53) off += options[off] == 0 ? 1 : 2 + options[off + 1];
    if (off >= 1219 || off + options[off + 1] >= 1222) return 0;
    return options[off + 2];
}

int TeskDhcpServer::GetVendorClass(const unsigned char *lpMessage, int nRecvLen, char *lpText, int nTextSize) {
    memset(lpText, 0, static_cast<size_t>(nTextSize));
    int off = kOptionsOffset;
    while (off < nRecvLen) {
        if (lpMessage[off] == 0) {
            ++off;
            continue;
        }
        if (off + 1 >= nRecvLen) break;
        int len = lpMessage[off + 1];
        if (lpMessage[off] == 60 && off + 2 + len <= nRecvLen) {
            for (int i = 0; i < len && i < nTextSize - 1 && lpMessage[off + 2 + i]; ++i)
                lpText[i] = static_cast<char>(lpMessage[off + 2 + i]);
            return 0;
        }
        off += 2 + len;
    }
    return -2;
}

int TeskDhcpServer::BuildDhcpReply(unsigned char *lpMessage, unsigned char byType, uint32_t dwNetmask,
                                   uint32_t dwGateway, uint32_t dwDns1, uint32_t dwDns2) {
    LogReplyAddresses(*this, dwNetmask, dwGateway, dwDns1, dwDns2);
    OptionWriter out = BeginReply(lpMessage, byType, m_dwServerIP);
    // Clients such as ISC dhclient refuse an address without a lease time.
    uint32_t dwLease = platform::HostToNet32(kLeaseSeconds);
    PutAddressOption(out, 51, dwLease);
    PutAddressOption(out, 1, dwNetmask);
    PutAddressOption(out, 3, dwGateway);
    PutAddressOption(out, 6, dwDns1);
    int nDomainLen = static_cast<int>(strnlen(m_szDomainName, sizeof m_szDomainName - 1));
    if (nDomainLen > 255) nDomainLen = 255;
    if (nDomainLen > 0) {
        out.Byte(15);
        out.Byte(static_cast<unsigned>(nDomainLen));
        out.Bytes(m_szDomainName, nDomainLen);
    }
    PutPxeClassAndVendor(out, m_DiscoveryOptions, m_DiscoveryOptionsLen);
    return kOptionsOffset + out.Length();
}

int TeskDhcpServer::BuildBootServerReply(unsigned char *lpMessage, unsigned char byType) {
    LogReplyAddresses(*this, 0, 0, 0, 0);
    OptionWriter out = BeginReply(lpMessage, byType, m_dwServerIP);
    PutPxeClassAndVendor(out, m_BootItemOptions, m_BootItemOptionsLen);
    return kOptionsOffset + out.Length();
}
