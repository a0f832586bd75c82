// Who a lease belongs to: a hardware address (its type and up to 16 bytes),
// a DHCPv4 client identifier (option 61) or a DHCPv6 DUID. A key is plain
// bytes with every unused byte zero, so it is compared, ordered and copied
// as bytes and sits in the pooled client tables as a MAC did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

class ClientKey {
public:
    enum class Kind : uint8_t { kNone = 0, kMac = 1, kClientId = 2, kDuid = 3 };
    static constexpr size_t kMaxMacBytes = 16;  // chaddr
    // A DUID is at most 128 bytes after its 2-byte type (RFC 8415 11.1); a
    // client identifier longer than that makes no key.
    static constexpr size_t kMaxBytes = 130;
    static constexpr uint8_t kEthernet = 1;
    static constexpr size_t kEthernetBytes = 6;
    // The longest text ("duid-" and two hex digits a byte) and its NUL.
    static constexpr size_t kTextSize = 5 + 2 * kMaxBytes + 1;

    ClientKey() = default;
    // False, *lpKey untouched, for no bytes or more than the kind holds.
    static bool FromMac(uint8_t byHardwareType, const unsigned char *lpBytes, size_t nLen, ClientKey *lpKey);
    static bool FromClientId(const unsigned char *lpBytes, size_t nLen, ClientKey *lpKey);
    static bool FromDuid(const unsigned char *lpBytes, size_t nLen, ClientKey *lpKey);
    // The key the IPv4 lease book files a client under: the first 6 bytes of
    // chaddr as an Ethernet address, whatever the request's htype says.
    static ClientKey Ethernet(const unsigned char *lpMac);

    Kind GetKind() const { return static_cast<Kind>(m_byKind); }
    uint8_t HardwareType() const { return m_byHardwareType; }
    const unsigned char *Bytes() const { return m_abBytes; }
    size_t Size() const { return m_byLength; }
    // The address of a key Ethernet() made, else null.
    const unsigned char *EthernetMac() const;

    bool operator==(const ClientKey &other) const;
    bool operator!=(const ClientKey &other) const { return !(*this == other); }
    // Kind, hardware type, length, then the bytes: MACs of one type sort as
    // their bytes do.
    bool operator<(const ClientKey &other) const;
    size_t Hash() const;

    // "mac<type>-<hex>", "id-<hex>" or "duid-<hex>", lowercase hex: bytes
    // from the wire never reach a log or the lease file raw, and the text is
    // at most kTextSize - 1 long. Returns its length; a buffer too small for
    // it gets "" and 0.
    size_t Format(char *buf, size_t size) const;
    // The text Format makes, exactly (nLen bytes of lpText); false, *lpKey
    // untouched, for anything else.
    static bool Parse(const char *lpText, size_t nLen, ClientKey *lpKey);

private:
    static bool Make(Kind kind, uint8_t byHardwareType, const unsigned char *lpBytes, size_t nLen, size_t nMax,
                     ClientKey *lpKey);

    uint8_t m_byKind = 0;
    uint8_t m_byHardwareType = 0;
    uint8_t m_byLength = 0;
    unsigned char m_abBytes[kMaxBytes] = {};
};

static_assert(std::is_trivially_copyable<ClientKey>::value, "keys are copied as bytes");
static_assert(sizeof(ClientKey) == 3 + ClientKey::kMaxBytes, "no padding: equal keys are equal bytes");

struct ClientKeyHash {
    size_t operator()(const ClientKey &key) const { return key.Hash(); }
};
