#include "dhcp6/dhcp6_codec.h"

#include <cstring>

using namespace dhcp6;

namespace {

uint16_t Word(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Dword(const uint8_t *p) { return uint32_t(Word(p)) << 16 | Word(p + 2); }

// The option area walked one option at a time.
class OptionWalk {
public:
    OptionWalk(const uint8_t *lpData, size_t nLen) : m_lpAt(lpData), m_nLeft(nLen) {}
    // False at the end; *lpBad set when an option runs past it.
    bool Next(uint16_t *lpCode, const uint8_t **lpBody, size_t *lpLen, bool *lpBad) {
        if (m_nLeft == 0) return false;
        size_t len = m_nLeft >= kOptionHeaderBytes ? Word(m_lpAt + 2) : 0;
        if (m_nLeft < kOptionHeaderBytes || len > m_nLeft - kOptionHeaderBytes) return *lpBad = true, false;
        *lpCode = Word(m_lpAt);
        *lpBody = m_lpAt + kOptionHeaderBytes;
        *lpLen = len;
        m_lpAt += kOptionHeaderBytes + len;
        m_nLeft -= kOptionHeaderBytes + len;
        return true;
    }

private:
    const uint8_t *m_lpAt;
    size_t m_nLeft;
};

// The bytes up to the first zero, at most the field less one.
void CopyText(char *lpField, size_t nSize, const uint8_t *lpData, size_t nLen) {
    size_t n = 0;
    for (; n < nLen && n + 1 < nSize && lpData[n]; ++n) lpField[n] = static_cast<char>(lpData[n]);
    lpField[n] = '\0';
}

// The first text of a list of 2-byte-length texts (options 15 and 16).
bool FirstText(const uint8_t *lpData, size_t nLen, char *lpField, size_t nSize) {
    if (nLen == 0) return true;
    if (nLen < 2 || Word(lpData) > nLen - 2) return false;
    CopyText(lpField, nSize, lpData + 2, Word(lpData));
    return true;
}

bool ReadDuid(const uint8_t *lpData, size_t nLen, uint8_t *lpField, size_t *lpLen) {
    if (nLen < kMinDuidBytes || nLen > kMaxDuidBytes) return false;
    if (*lpLen == 0) memcpy(lpField, lpData, nLen), *lpLen = nLen;  // the first one counts
    return true;
}

bool ReadIaNa(const uint8_t *lpData, size_t nLen, Dhcp6Request *lpRequest) {
    if (nLen < kIaNaFixedBytes) return false;
    Dhcp6Ia ia;
    ia.dwIaid = Dword(lpData);
    OptionWalk walk(lpData + kIaNaFixedBytes, nLen - kIaNaFixedBytes);
    uint16_t code;
    const uint8_t *body;
    size_t len;
    bool bBad = false;
    while (walk.Next(&code, &body, &len, &bBad)) {
        if (code != kOptIaAddr) continue;
        if (len < kIaAddrFixedBytes) return false;
        if (ia.nAsked < kMaxAskedAddresses) ia.asked[ia.nAsked++] = IpAddress::FromV6(body);
    }
    if (bBad) return false;
    if (lpRequest->nIas < kMaxIas) lpRequest->ias[lpRequest->nIas++] = ia;
    return true;
}

bool ReadOption(uint16_t wCode, const uint8_t *lpData, size_t nLen, Dhcp6Request *r) {
    switch (wCode) {
    case kOptClientId: return ReadDuid(lpData, nLen, r->abClientDuid, &r->nClientDuid);
    case kOptServerId: return ReadDuid(lpData, nLen, r->abServerDuid, &r->nServerDuid);
    case kOptIaNa: return ReadIaNa(lpData, nLen, r);
    case kOptOro:
        if (nLen % 2) return false;
        for (size_t i = 0; i < nLen && r->nOro < kMaxOro; i += 2) r->awOro[r->nOro++] = Word(lpData + i);
        return true;
    case kOptRapidCommit: r->bRapidCommit = true; return true;
    case kOptUserClass: return FirstText(lpData, nLen, r->szUserClass, sizeof r->szUserClass);
    case kOptVendorClass:
        if (nLen < 4) return false;
        if (r->bHasVendorClass) return true;
        r->bHasVendorClass = true;
        r->dwVendorEnterprise = Dword(lpData);
        return FirstText(lpData + 4, nLen - 4, r->szVendorClass, sizeof r->szVendorClass);
    case kOptClientArch:
        if (nLen < 2 || nLen % 2) return false;
        if (r->nArch < 0) r->nArch = Word(lpData);
        return true;
    default: return true;  // elapsed time, reconfigure accept and the rest: not used
    }
}

bool ReadOptions(const uint8_t *lpData, size_t nLen, Dhcp6Request *r, const char **lpWhy) {
    OptionWalk walk(lpData, nLen);
    uint16_t code;
    const uint8_t *body;
    size_t len;
    bool bBad = false;
    while (walk.Next(&code, &body, &len, &bBad)) {
        if (!ReadOption(code, body, len, r)) return *lpWhy = "an option of a wrong length", false;
    }
    if (bBad) *lpWhy = "an option runs past the end";
    return !bBad;
}

// One RELAY-FORW layer: its fields, and where the message inside lies.
bool PeelRelay(const uint8_t *lpData, size_t nLen, Dhcp6Relay *lpRelay, Dhcp6Request *r, const uint8_t **lpInner,
               size_t *lpInnerLen, const char **lpWhy) {
    if (nLen < kRelayHeaderBytes) return *lpWhy = "a relay header cut short", false;
    lpRelay->byHopCount = lpData[1];
    memcpy(lpRelay->abLink, lpData + 2, 16);
    memcpy(lpRelay->abPeer, lpData + 18, 16);
    OptionWalk walk(lpData + kRelayHeaderBytes, nLen - kRelayHeaderBytes);
    uint16_t code;
    const uint8_t *body;
    size_t len;
    bool bBad = false;
    *lpInner = nullptr;
    while (walk.Next(&code, &body, &len, &bBad)) {
        if (code == kOptRelayMessage && !*lpInner) *lpInner = body, *lpInnerLen = len;
        if (code == kOptInterfaceId && !lpRelay->bHasInterfaceId) {
            if (len > kMaxInterfaceIdBytes) return *lpWhy = "an interface-id too long", false;
            memcpy(lpRelay->abInterfaceId, body, len);
            lpRelay->nInterfaceId = len;
            lpRelay->bHasInterfaceId = true;
        }
        if (code == kOptClientLinkLayer && len == 2 + 6 && Word(body) == kHardwareEthernet) {
            memcpy(r->abRelayMac, body + 2, 6);  // the innermost relay's, read last, wins
            r->bHasRelayMac = true;
        }
    }
    if (bBad) return *lpWhy = "a relay option runs past the end", false;
    if (!*lpInner) return *lpWhy = "a relay message without one inside", false;
    return true;
}

}  // namespace

Dhcp6Parse ParseDhcp6(const uint8_t *lpData, size_t nLen, Dhcp6Request *r, const char **lpWhy) {
    *r = Dhcp6Request{};
    *lpWhy = "";
    while (nLen >= 1 && lpData[0] == kRelayForw) {
        if (r->nRelays == kMaxRelayLayers) return *lpWhy = "relays nested too deep", Dhcp6Parse::kTooManyRelays;
        if (!PeelRelay(lpData, nLen, &r->relays[r->nRelays++], r, &lpData, &nLen, lpWhy)) return Dhcp6Parse::kMalformed;
    }
    if (nLen < kHeaderBytes) return *lpWhy = "shorter than a header", Dhcp6Parse::kMalformed;
    r->byType = lpData[0];
    r->dwXid = uint32_t(lpData[1]) << 16 | uint32_t(lpData[2]) << 8 | lpData[3];
    if (r->byType == kRelayRepl) return Dhcp6Parse::kOk;  // a server's message: its body is not read
    return ReadOptions(lpData + kHeaderBytes, nLen - kHeaderBytes, r, lpWhy) ? Dhcp6Parse::kOk
                                                                            : Dhcp6Parse::kMalformed;
}

void PutOptionHeader(PacketWriter &out, uint16_t wCode, size_t nLen) {
    out.PutWord(wCode);
    out.PutWord(static_cast<unsigned>(nLen));
}

void PutOptionBytes(PacketWriter &out, uint16_t wCode, const void *lpData, size_t nLen) {
    PutOptionHeader(out, wCode, nLen);
    out.PutBytes(lpData, static_cast<int>(nLen));
}

void PutStatus(PacketWriter &out, uint16_t wCode, const char *lpMessage) {
    size_t nText = strlen(lpMessage);
    PutOptionHeader(out, kOptStatusCode, 2 + nText);
    out.PutWord(wCode);
    out.PutBytes(lpMessage, static_cast<int>(nText));
}
