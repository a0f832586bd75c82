// Addresses and endpoints of either family, and their texts. Plain values
// with no system header behind them, so the platform layer's socket calls
// take them as they take an integer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {
struct SockAddrV4;
}

enum class IpFamily : uint8_t { kNone = 0, kV4 = 4, kV6 = 6 };

// The longest address text and its NUL: INET6_ADDRSTRLEN (46, which holds
// "ffff:...:255.255.255.255") plus "%" and a 10-digit scope.
constexpr size_t kIpAddressTextSize = 46 + 1 + 10;
// "[", address, "]:" and 5 port digits.
constexpr size_t kIpEndpointTextSize = kIpAddressTextSize + 3 + 5;

// An IPv4 or IPv6 address; a default one is of no family. An IPv6 address
// of link scope (fe80::/10, ff02::/16 and the like) carries the index of the
// interface it belongs to, 0 when unknown; other addresses never have one,
// so equal addresses compare equal.
class IpAddress {
public:
    IpAddress() = default;
    // dwAddrNet as sockaddr_in holds it (the first octet in the first byte).
    static IpAddress FromV4Net(uint32_t dwAddrNet);
    static IpAddress FromV4Host(uint32_t dwAddrHost);
    // Sixteen bytes in network order; the scope is dropped on an address that
    // has no link scope.
    static IpAddress FromV6(const uint8_t *lpBytes, uint32_t dwScope = 0);
    static IpAddress AnyOf(IpFamily family);
    static IpAddress LoopbackV6();

    IpFamily Family() const { return m_eFamily; }
    bool IsV4() const { return m_eFamily == IpFamily::kV4; }
    bool IsV6() const { return m_eFamily == IpFamily::kV6; }
    // 0 for an address that is not IPv4.
    uint32_t V4Net() const;
    uint32_t V4Host() const;
    // 4 bytes for IPv4, 16 for IPv6, none for no family.
    const uint8_t *Bytes() const { return m_abBytes; }
    size_t ByteCount() const;
    uint32_t Scope() const { return m_dwScope; }
    // Only an address of link scope keeps it.
    void SetScope(uint32_t dwScope);

    bool IsUnspecified() const;  // 0.0.0.0, ::, or no family
    bool IsLoopback() const;     // 127/8, ::1
    bool IsMulticast() const;    // 224/4, ff00::/8
    bool IsLinkScoped() const;   // fe80::/10, ff01/ff02 multicast
    bool IsV4Mapped() const;     // ::ffff:0:0/96
    // The IPv4 address inside ::ffff:a.b.c.d; itself otherwise.
    IpAddress Unmapped() const;

    bool operator==(const IpAddress &other) const;
    bool operator!=(const IpAddress &other) const { return !(*this == other); }

private:
    uint8_t m_abBytes[16] = {};
    IpFamily m_eFamily = IpFamily::kNone;
    uint32_t m_dwScope = 0;
};

// An address and a port (host order).
class IpEndpoint {
public:
    IpEndpoint() = default;
    IpEndpoint(const IpAddress &address, uint16_t wPortHost) : m_Address(address), m_wPort(wPortHost) {}
    static IpEndpoint FromV4Net(uint32_t dwAddrNet, uint16_t wPortHost);
    static IpEndpoint FromSockAddrV4(const platform::SockAddrV4 &addr);
    // Only for an IPv4 endpoint; false (and *out untouched) otherwise.
    bool ToSockAddrV4(platform::SockAddrV4 *out) const;

    const IpAddress &Address() const { return m_Address; }
    IpFamily Family() const { return m_Address.Family(); }
    uint16_t Port() const { return m_wPort; }
    void SetPort(uint16_t wPortHost) { m_wPort = wPortHost; }

    bool operator==(const IpEndpoint &other) const { return m_Address == other.m_Address && m_wPort == other.m_wPort; }
    bool operator!=(const IpEndpoint &other) const { return !(*this == other); }

private:
    IpAddress m_Address;
    uint16_t m_wPort = 0;
};

// The address's text into buf: IPv4 dotted, IPv6 as RFC 5952 writes it
// (lower case, the longest run of two or more zero groups as "::", the first
// on a tie, ::ffff:a.b.c.d for a mapped address, "%index" after an address
// with a known link scope); no family gives "". Returns the text's length;
// a buffer too small for it gets "" and 0 (kIpAddressTextSize always fits).
size_t FormatIpAddress(const IpAddress &address, char *buf, size_t size);
// "a.b.c.d:port" or "[v6]:port", the same way (kIpEndpointTextSize fits).
size_t FormatIpEndpoint(const IpEndpoint &endpoint, char *buf, size_t size);

// Strict: four decimal parts 0-255 without leading zeros, or an IPv6 text
// (hex groups of 1-4 digits, one "::" at most, a dotted IPv4 tail, and
// "%index" after an address of link scope). Anything else, and nullptr, is
// false with *out untouched. Not for configuration texts that have always
// been read leniently (TextToHostIp).
bool ParseIpAddress(const char *lpText, IpAddress *out);
// "a.b.c.d:port" or "[v6]:port" (port 0-65535, decimal).
bool ParseIpEndpoint(const char *lpText, IpEndpoint *out);

// One address's text in a buffer of its own, for an argument of a log line:
// LogWrite(..., "%s", IpText(address).c_str()). The buffer lives until
// the end of the statement, so two texts in one line never share it.
class IpText {
public:
    explicit IpText(const IpAddress &address) { FormatIpAddress(address, m_szText, sizeof m_szText); }
    const char *c_str() const { return m_szText; }

private:
    char m_szText[kIpAddressTextSize];
};

// The dotted text of a network-order IPv4 address.
inline IpText Ipv4Text(uint32_t dwAddrNet) { return IpText(IpAddress::FromV4Net(dwAddrNet)); }
