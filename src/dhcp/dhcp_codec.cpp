// Reading DHCP messages.
#include "dhcp/dhcp_codec.h"

#include <cstring>

#include "boot/client_arch.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_records.h"

unsigned char GetMessageType(const unsigned char *lpMessage) {
    if (memcmp(lpMessage + kDhcpCookieOffset, kDhcpMagicCookie, 4) != 0) return 0;
    // The walk stays inside the 1500-byte record: bytes past the datagram
    // are zero and step by as pads. An end option is stepped over too.
    const unsigned char *options = lpMessage + kDhcpOptionsOffset;
    int off = 0;
    while (off < 1219 && options[off] != kDhcpMessageTypeOption)
        off += options[off] == kOptPad ? 1 : 2 + options[off + 1];
    if (off >= 1219 || off + options[off + 1] >= 1222) return 0;
    return options[off + 2];
}

void FindOptions(const unsigned char *lpMessage, int nRecvLen, const unsigned char *lpCodes, int nCodes,
                 OptionView *lpFound) {
    for (int i = 0; i < nCodes; ++i) lpFound[i] = OptionView{};
    if (nRecvLen > TeskDhcpTypes::kDataSize) nRecvLen = TeskDhcpTypes::kDataSize;
    int off = kDhcpOptionsOffset, nMissing = nCodes;
    while (off < nRecvLen && nMissing > 0) {
        if (lpMessage[off] == kOptPad) {
            ++off;
            continue;
        }
        if (off + 1 >= nRecvLen) break;
        int len = lpMessage[off + 1];
        if (off + 2 + len > nRecvLen) break;  // running past the datagram: neither it nor any after
        for (int i = 0; i < nCodes; ++i)
            if (lpCodes[i] == lpMessage[off] && !lpFound[i].lpData) lpFound[i] = {lpMessage + off + 2, len}, --nMissing;
        off += 2 + len;
    }
}

const unsigned char *FindOption(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode, int *lpLen) {
    OptionView found;
    FindOptions(lpMessage, nRecvLen, &byCode, 1, &found);
    if (found.lpData) *lpLen = found.nLen;
    return found.lpData;
}

void OptionText(const OptionView &option, char *lpText, int nTextSize) {
    memset(lpText, 0, static_cast<size_t>(nTextSize));
    for (int i = 0; i < option.nLen && i < nTextSize - 1 && option.lpData[i]; ++i)
        lpText[i] = static_cast<char>(option.lpData[i]);
}

int GetOptionText(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode, char *lpText, int nTextSize) {
    OptionView found;
    FindOptions(lpMessage, nRecvLen, &byCode, 1, &found);
    OptionText(found, lpText, nTextSize);
    return found.lpData ? 0 : -2;
}

int GetVendorClass(const unsigned char *lpMessage, int nRecvLen, char *lpText, int nTextSize) {
    return GetOptionText(lpMessage, nRecvLen, kDhcpVendorClassOption, lpText, nTextSize);
}

int GetClientArch(const unsigned char *lpMessage, int nRecvLen) {
    int len = 0;
    const unsigned char *data = FindOption(lpMessage, nRecvLen, kDhcpClientArchOption, &len);
    return data && len >= 2 ? data[0] << 8 | data[1] : -1;
}

int ClientArchOf(const unsigned char *lpMessage, int nRecvLen) {
    int nArch = GetClientArch(lpMessage, nRecvLen);
    if (nArch >= 0) return nArch;
    char vendor[256];
    if (GetVendorClass(lpMessage, nRecvLen, vendor, sizeof vendor) != 0) return -1;
    return VendorClassArch(vendor);
}

uint32_t GetAddressOption(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode) {
    int len = 0;
    const unsigned char *data = FindOption(lpMessage, nRecvLen, byCode, &len);
    uint32_t dwAddr = 0;
    if (data && len == 4) memcpy(&dwAddr, data, 4);
    return dwAddr;
}

bool GetMachineId(const unsigned char *lpMessage, int nRecvLen, unsigned char *lpUuid) {
    constexpr int kUuidBytes = 16;
    int len = 0;
    const unsigned char *data = FindOption(lpMessage, nRecvLen, kDhcpMachineIdOption, &len);
    if (!data || len != 1 + kUuidBytes || data[0] != 0) return false;
    memcpy(lpUuid, data + 1, kUuidBytes);
    return true;
}

bool HasOption(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode) {
    int len = 0;
    return FindOption(lpMessage, nRecvLen, byCode, &len) != nullptr;
}

uint32_t GetAddressField(const unsigned char *lpMessage, int nOffset) {
    uint32_t dwAddr;
    memcpy(&dwAddr, lpMessage + nOffset, 4);
    return dwAddr;
}
