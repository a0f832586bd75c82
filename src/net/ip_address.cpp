#include "net/ip_address.h"

#include <cstdio>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/platform.h"

namespace {

constexpr size_t kV4Bytes = 4;
constexpr size_t kV6Bytes = 16;
constexpr int kV6Groups = 8;
const uint8_t kV4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool HasLinkScope(const uint8_t *lpBytes) {
    if (lpBytes[0] == 0xfe && (lpBytes[1] & 0xc0) == 0x80) return true;  // fe80::/10
    // Interface-local and link-local multicast.
    return lpBytes[0] == 0xff && ((lpBytes[1] & 0x0f) == 1 || (lpBytes[1] & 0x0f) == 2);
}

unsigned Group(const uint8_t *lpBytes, int index) { return platform::ReadNet16(lpBytes + 2 * index); }

// The longest run of two or more zero groups (the first on a tie): its start
// and length, length 0 when there is none.
void LongestZeroRun(const uint8_t *lpBytes, int *start, int *length) {
    *start = 0;
    *length = 0;
    for (int i = 0; i < kV6Groups;) {
        if (Group(lpBytes, i) != 0) {
            ++i;
            continue;
        }
        int end = i;
        while (end < kV6Groups && Group(lpBytes, end) == 0) ++end;
        if (end - i >= 2 && end - i > *length) {
            *start = i;
            *length = end - i;
        }
        i = end;
    }
}

// Writes into a fixed buffer, remembering whether it ever ran out.
class TextSink {
public:
    TextSink(char *buf, size_t size) : m_lpBuf(buf), m_nSize(size) {}
    template <typename... Args>
    void Add(const char *format, Args... args) {
        if (m_bFull) return;
        int n = snprintf(m_lpBuf + m_nUsed, m_nSize - m_nUsed, format, args...);
        if (n < 0 || static_cast<size_t>(n) >= m_nSize - m_nUsed) {
            m_bFull = true;
            return;
        }
        m_nUsed += static_cast<size_t>(n);
    }
    void AddText(const char *lpText) { Add("%s", lpText); }
    size_t Finish() {
        if (m_bFull) m_nUsed = 0;
        m_lpBuf[m_nUsed] = '\0';
        return m_nUsed;
    }

private:
    char *m_lpBuf;
    size_t m_nSize;
    size_t m_nUsed = 0;
    bool m_bFull = false;
};

void AddV4(TextSink &sink, const uint8_t *lpBytes) {
    sink.Add("%u.%u.%u.%u", lpBytes[0], lpBytes[1], lpBytes[2], lpBytes[3]);
}

void AddV6(TextSink &sink, const IpAddress &address) {
    const uint8_t *bytes = address.Bytes();
    if (address.IsV4Mapped()) {
        sink.AddText("::ffff:");
        AddV4(sink, bytes + 12);
        return;
    }
    int runStart, runLength;
    LongestZeroRun(bytes, &runStart, &runLength);
    for (int i = 0; i < kV6Groups; ++i) {
        if (runLength && i == runStart) {
            sink.AddText("::");
            i += runLength - 1;
            continue;
        }
        if (i > 0 && !(runLength && i == runStart + runLength)) sink.AddText(":");
        sink.Add("%x", Group(bytes, i));
    }
    if (address.Scope()) sink.Add("%%%u", static_cast<unsigned>(address.Scope()));
}

void AddAddress(TextSink &sink, const IpAddress &address) {
    if (address.IsV4()) AddV4(sink, address.Bytes());
    if (address.IsV6()) AddV6(sink, address);
}

// ---- Parsing --------------------------------------------------------------

// One decimal number of 1 to maxDigits digits without a leading zero, at most
// maxValue; advances *cursor past it.
bool ParseDecimal(const char **cursor, int maxDigits, uint32_t maxValue, uint32_t *value) {
    const char *p = *cursor;
    if (*p < '0' || *p > '9') return false;
    if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') return false;
    uint64_t result = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > maxDigits) return false;
        result = result * 10 + static_cast<unsigned>(*p++ - '0');
    }
    if (result > maxValue) return false;
    *value = static_cast<uint32_t>(result);
    *cursor = p;
    return true;
}

// Four dotted parts into lpBytes; *cursor ends after the last part.
bool ParseV4Parts(const char **cursor, uint8_t *lpBytes) {
    const char *p = *cursor;
    for (size_t i = 0; i < kV4Bytes; ++i) {
        if (i > 0 && *p++ != '.') return false;
        uint32_t part;
        if (!ParseDecimal(&p, 3, 255, &part)) return false;
        lpBytes[i] = static_cast<uint8_t>(part);
    }
    *cursor = p;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A group of 1-4 hex digits; advances *cursor past it.
bool ParseHexGroup(const char **cursor, unsigned *value) {
    const char *p = *cursor;
    unsigned result = 0;
    int digits = 0;
    for (int d; (d = HexDigit(*p)) >= 0; ++p) {
        if (++digits > 4) return false;
        result = result << 4 | static_cast<unsigned>(d);
    }
    if (!digits) return false;
    *value = result;
    *cursor = p;
    return true;
}

// Whether the text ahead is a dotted IPv4 tail rather than a hex group.
bool DottedTailAhead(const char *p) {
    while (HexDigit(*p) >= 0) ++p;
    return *p == '.';
}

// The groups of an IPv6 text up to its end or a '%'; *cursor ends there.
bool ParseV6Groups(const char **cursor, uint8_t *lpBytes) {
    const char *p = *cursor;
    uint8_t groups[kV6Bytes] = {};
    int count = 0;   // groups written, a dotted tail counting two
    int gapAt = -1;  // where "::" stood, in groups
    if (p[0] == ':') {
        if (p[1] != ':') return false;
        gapAt = 0;
        p += 2;
    }
    while (*p && *p != '%') {
        if (count >= kV6Groups) return false;
        if (DottedTailAhead(p)) {
            if (count + 2 > kV6Groups || !ParseV4Parts(&p, groups + 2 * count)) return false;
            count += 2;
            break;
        }
        unsigned value;
        if (!ParseHexGroup(&p, &value)) return false;
        platform::WriteNet16(groups + 2 * count++, value);
        if (*p != ':') break;
        ++p;
        if (*p == ':') {
            if (gapAt >= 0) return false;
            gapAt = count;
            ++p;
            if (!*p || *p == '%') break;
        } else if (!*p || *p == '%') {
            return false;  // a trailing single ':'
        }
    }
    if (*p && *p != '%') return false;
    if (gapAt < 0 ? count != kV6Groups : count >= kV6Groups) return false;
    memset(lpBytes, 0, kV6Bytes);
    int tail = gapAt < 0 ? 0 : count - gapAt;
    int head = count - tail;
    memcpy(lpBytes, groups, 2 * static_cast<size_t>(head));
    memcpy(lpBytes + kV6Bytes - 2 * static_cast<size_t>(tail), groups + 2 * head, 2 * static_cast<size_t>(tail));
    *cursor = p;
    return true;
}

bool ParseV6(const char *p, IpAddress *out) {
    uint8_t bytes[kV6Bytes];
    if (!ParseV6Groups(&p, bytes)) return false;
    uint32_t scope = 0;
    if (*p == '%') {
        ++p;
        if (!HasLinkScope(bytes) || !ParseDecimal(&p, 10, 0xffffffffu, &scope) || scope == 0 || *p) return false;
    }
    *out = IpAddress::FromV6(bytes, scope);
    return true;
}

}  // namespace

// ---- IpAddress --------------------------------------------------------------

IpAddress IpAddress::FromV4Net(uint32_t dwAddrNet) {
    IpAddress address;
    address.m_eFamily = IpFamily::kV4;
    memcpy(address.m_abBytes, &dwAddrNet, kV4Bytes);
    return address;
}

IpAddress IpAddress::FromV4Host(uint32_t dwAddrHost) { return FromV4Net(platform::HostToNet32(dwAddrHost)); }

IpAddress IpAddress::FromV6(const uint8_t *lpBytes, uint32_t dwScope) {
    IpAddress address;
    address.m_eFamily = IpFamily::kV6;
    memcpy(address.m_abBytes, lpBytes, kV6Bytes);
    address.SetScope(dwScope);
    return address;
}

IpAddress IpAddress::AnyOf(IpFamily family) {
    const uint8_t zero[kV6Bytes] = {};
    if (family == IpFamily::kV4) return FromV4Net(0);
    if (family == IpFamily::kV6) return FromV6(zero);
    return IpAddress();
}

IpAddress IpAddress::LoopbackV6() {
    uint8_t bytes[kV6Bytes] = {};
    bytes[15] = 1;
    return FromV6(bytes);
}

uint32_t IpAddress::V4Net() const {
    uint32_t dwNet = 0;
    if (IsV4()) memcpy(&dwNet, m_abBytes, kV4Bytes);
    return dwNet;
}

uint32_t IpAddress::V4Host() const { return platform::NetToHost32(V4Net()); }

size_t IpAddress::ByteCount() const { return IsV4() ? kV4Bytes : IsV6() ? kV6Bytes : 0; }

void IpAddress::SetScope(uint32_t dwScope) { m_dwScope = IsV6() && HasLinkScope(m_abBytes) ? dwScope : 0; }

bool IpAddress::IsUnspecified() const {
    for (size_t i = 0; i < ByteCount(); ++i)
        if (m_abBytes[i]) return false;
    return true;
}

bool IpAddress::IsLoopback() const {
    if (IsV4()) return m_abBytes[0] == 127;
    return IsV6() && *this == LoopbackV6();
}

bool IpAddress::IsMulticast() const {
    if (IsV4()) return (m_abBytes[0] & 0xf0) == 0xe0;
    return IsV6() && m_abBytes[0] == 0xff;
}

bool IpAddress::IsLinkScoped() const { return IsV6() && HasLinkScope(m_abBytes); }

bool IpAddress::IsV4Mapped() const {
    return IsV6() && memcmp(m_abBytes, kV4MappedPrefix, sizeof kV4MappedPrefix) == 0;
}

IpAddress IpAddress::Unmapped() const {
    if (!IsV4Mapped()) return *this;
    uint32_t dwNet;
    memcpy(&dwNet, m_abBytes + 12, kV4Bytes);
    return FromV4Net(dwNet);
}

bool IpAddress::operator==(const IpAddress &other) const {
    return m_eFamily == other.m_eFamily && m_dwScope == other.m_dwScope &&
           memcmp(m_abBytes, other.m_abBytes, sizeof m_abBytes) == 0;
}

// ---- IpEndpoint -------------------------------------------------------------

IpEndpoint IpEndpoint::FromV4Net(uint32_t dwAddrNet, uint16_t wPortHost) {
    return IpEndpoint(IpAddress::FromV4Net(dwAddrNet), wPortHost);
}

IpEndpoint IpEndpoint::FromSockAddrV4(const platform::SockAddrV4 &addr) {
    return FromV4Net(addr.dwAddr, platform::NetToHost16(addr.wPort));
}

bool IpEndpoint::ToSockAddrV4(platform::SockAddrV4 *out) const {
    if (!m_Address.IsV4()) return false;
    *out = platform::MakeSockAddr(m_Address.V4Net(), m_wPort);
    return true;
}

// ---- Texts ------------------------------------------------------------------

size_t FormatIpAddress(const IpAddress &address, char *buf, size_t size) {
    if (!size) return 0;
    TextSink sink(buf, size);
    AddAddress(sink, address);
    return sink.Finish();
}

size_t FormatIpEndpoint(const IpEndpoint &endpoint, char *buf, size_t size) {
    if (!size) return 0;
    TextSink sink(buf, size);
    bool bracket = endpoint.Address().IsV6();
    if (bracket) sink.AddText("[");
    AddAddress(sink, endpoint.Address());
    sink.Add(bracket ? "]:%u" : ":%u", static_cast<unsigned>(endpoint.Port()));
    return sink.Finish();
}

bool ParseIpAddress(const char *lpText, IpAddress *out) {
    if (!lpText) return false;
    const char *p = lpText;
    uint8_t bytes[kV4Bytes];
    if (!strchr(lpText, ':')) {
        if (!ParseV4Parts(&p, bytes) || *p) return false;
        uint32_t dwNet;
        memcpy(&dwNet, bytes, sizeof dwNet);
        *out = IpAddress::FromV4Net(dwNet);
        return true;
    }
    return ParseV6(lpText, out);
}

bool ParseIpEndpoint(const char *lpText, IpEndpoint *out) {
    if (!lpText) return false;
    char work[kIpEndpointTextSize];
    const char *close = nullptr;
    const char *start = lpText;
    if (*lpText == '[') {
        ++start;
        close = strchr(start, ']');
        if (!close || close[1] != ':') return false;
    } else {
        close = strchr(lpText, ':');
        if (!close) return false;
    }
    size_t length = static_cast<size_t>(close - start);
    if (length >= sizeof work) return false;
    memcpy(work, start, length);
    work[length] = '\0';
    IpAddress address;
    if (!ParseIpAddress(work, &address) || address.IsV6() != (*lpText == '[')) return false;
    const char *port = close + (*lpText == '[' ? 2 : 1);
    uint32_t value;
    if (!ParseDecimal(&port, 5, 65535, &value) || *port) return false;
    *out = IpEndpoint(address, static_cast<uint16_t>(value));
    return true;
}
