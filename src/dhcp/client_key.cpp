#include "dhcp/client_key.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

struct KindText {
    ClientKey::Kind kind;
    const char *lpPrefix;  // a MAC's is followed by its hardware type
};
constexpr KindText kKindTexts[] = {
    {ClientKey::Kind::kMac, "mac"},
    {ClientKey::Kind::kClientId, "id-"},
    {ClientKey::Kind::kDuid, "duid-"},
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // the writer makes lowercase digits only
}

// "<type>-" after "mac": 1 to 3 decimal digits without a leading zero, up to 255.
bool ParseHardwareType(const char *lpText, size_t nLen, size_t *lpAt, uint8_t *lpType) {
    unsigned value = 0;
    size_t digits = 0;
    for (; *lpAt < nLen && lpText[*lpAt] >= '0' && lpText[*lpAt] <= '9' && digits < 4; ++*lpAt, ++digits)
        value = value * 10 + static_cast<unsigned>(lpText[*lpAt] - '0');
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && lpText[*lpAt - digits] == '0')) return false;
    if (*lpAt >= nLen || lpText[(*lpAt)++] != '-') return false;
    *lpType = static_cast<uint8_t>(value);
    return true;
}

}  // namespace

bool ClientKey::Make(Kind kind, uint8_t byHardwareType, const unsigned char *lpBytes, size_t nLen, size_t nMax,
                     ClientKey *lpKey) {
    if (!lpBytes || nLen == 0 || nLen > nMax) return false;
    ClientKey key;
    key.m_byKind = static_cast<uint8_t>(kind);
    key.m_byHardwareType = byHardwareType;
    key.m_byLength = static_cast<uint8_t>(nLen);
    memcpy(key.m_abBytes, lpBytes, nLen);
    *lpKey = key;
    return true;
}

bool ClientKey::FromMac(uint8_t byHardwareType, const unsigned char *lpBytes, size_t nLen, ClientKey *lpKey) {
    return Make(Kind::kMac, byHardwareType, lpBytes, nLen, kMaxMacBytes, lpKey);
}

bool ClientKey::FromClientId(const unsigned char *lpBytes, size_t nLen, ClientKey *lpKey) {
    return Make(Kind::kClientId, 0, lpBytes, nLen, kMaxBytes, lpKey);
}

bool ClientKey::FromDuid(const unsigned char *lpBytes, size_t nLen, ClientKey *lpKey) {
    return Make(Kind::kDuid, 0, lpBytes, nLen, kMaxBytes, lpKey);
}

ClientKey ClientKey::Ethernet(const unsigned char *lpMac) {
    ClientKey key;
    Make(Kind::kMac, kEthernet, lpMac, kEthernetBytes, kMaxMacBytes, &key);
    return key;
}

const unsigned char *ClientKey::EthernetMac() const {
    bool bEthernet = GetKind() == Kind::kMac && m_byHardwareType == kEthernet && m_byLength == kEthernetBytes;
    return bEthernet ? m_abBytes : nullptr;
}

bool ClientKey::operator==(const ClientKey &other) const { return memcmp(this, &other, sizeof *this) == 0; }

bool ClientKey::operator<(const ClientKey &other) const { return memcmp(this, &other, sizeof *this) < 0; }

// FNV-1a over the used bytes.
size_t ClientKey::Hash() const {
    uint64_t hash = 14695981039346656037ull;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(this);
    for (size_t i = 0; i < 3u + m_byLength; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return static_cast<size_t>(hash);
}

size_t ClientKey::Format(char *buf, size_t size) const {
    if (!buf || size == 0) return 0;
    buf[0] = '\0';
    char text[kTextSize];
    int nPrefix = 0;
    switch (GetKind()) {
    case Kind::kMac: nPrefix = snprintf(text, sizeof text, "mac%u-", static_cast<unsigned>(m_byHardwareType)); break;
    case Kind::kClientId: nPrefix = snprintf(text, sizeof text, "id-"); break;
    case Kind::kDuid: nPrefix = snprintf(text, sizeof text, "duid-"); break;
    case Kind::kNone: return 0;
    }
    size_t len = static_cast<size_t>(nPrefix);
    for (size_t i = 0; i < m_byLength; ++i) {
        text[len++] = kHexDigits[m_abBytes[i] >> 4];
        text[len++] = kHexDigits[m_abBytes[i] & 15];
    }
    if (len + 1 > size) return 0;
    memcpy(buf, text, len);
    buf[len] = '\0';
    return len;
}

bool ClientKey::Parse(const char *lpText, size_t nLen, ClientKey *lpKey) {
    if (!lpText) return false;
    const KindText *kind = nullptr;
    for (const KindText &candidate : kKindTexts)
        if (nLen >= strlen(candidate.lpPrefix) && memcmp(lpText, candidate.lpPrefix, strlen(candidate.lpPrefix)) == 0)
            kind = &candidate;
    if (!kind) return false;
    size_t at = strlen(kind->lpPrefix);
    uint8_t byType = 0;
    if (kind->kind == Kind::kMac && !ParseHardwareType(lpText, nLen, &at, &byType)) return false;
    if ((nLen - at) % 2 != 0 || (nLen - at) / 2 > kMaxBytes) return false;
    unsigned char bytes[kMaxBytes];
    size_t count = 0;
    for (; at < nLen; at += 2) {
        int high = HexValue(lpText[at]), low = HexValue(lpText[at + 1]);
        if (high < 0 || low < 0) return false;
        bytes[count++] = static_cast<unsigned char>(high << 4 | low);
    }
    size_t nMax = kind->kind == Kind::kMac ? kMaxMacBytes : kMaxBytes;
    return Make(kind->kind, byType, bytes, count, nMax, lpKey);
}
