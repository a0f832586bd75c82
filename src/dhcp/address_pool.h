// The addresses leases are given from, of either family: one interface, an
// IPv4 range over the lease book's index of taken addresses, and an IPv6
// range of 128-bit addresses. A pool keeps state only for the addresses it
// was told about, never one entry per address of its range, so a /64 costs
// what its leases cost.
#pragma once

#include <cstdint>
#include <map>

#include "dhcp/address_index.h"
#include "net/ip_address.h"

class AddressPool {
public:
    virtual ~AddressPool() = default;

    virtual bool Contains(const IpAddress &address) const = 0;
    // The first free address at FROM or after it, up to the range's end;
    // nothing is marked. False when there is none.
    virtual bool FirstFreeFrom(const IpAddress &from, IpAddress *lpFree) const = 0;
    // The next free address in the pool's order, marked used: the lowest for
    // IPv4 (clients get the addresses they always got), the one after the
    // last handed out for IPv6, wrapping at the range's end. False when the
    // range is full.
    virtual bool AllocateNext(IpAddress *lpAddress) = 0;
    // Outside the range these change nothing.
    virtual void MarkUsed(const IpAddress &address) = 0;
    virtual void MarkUnused(const IpAddress &address) = 0;
    // A declined address is free to nobody until its decline is lifted.
    virtual void MarkDeclined(const IpAddress &address) = 0;
    virtual void LiftDecline(const IpAddress &address) = 0;
    // Free addresses of the range, UINT64_MAX for that many or more.
    virtual uint64_t FreeCount() const = 0;
};

// One IPv4 range of the configuration seen by a client kind: a view of the
// lease book's index, so every range and the statics share one record of
// what is taken. The server's own addresses (the skipped ones) are never free.
class Ipv4RangePool : public AddressPool {
public:
    struct Range {
        uint32_t dwBegin, dwEnd;  // host order, inclusive
        int nKind;
        uint32_t dwSkip1, dwSkip2;
    };
    Ipv4RangePool(TeskAddressIndex &index, const Range &range) : m_Index(index), m_Range(range) {}

    bool Contains(const IpAddress &address) const override;
    bool FirstFreeFrom(const IpAddress &from, IpAddress *lpFree) const override;
    bool AllocateNext(IpAddress *lpAddress) override;
    void MarkUsed(const IpAddress &address) override;
    void MarkUnused(const IpAddress &address) override;
    void MarkDeclined(const IpAddress &address) override;
    void LiftDecline(const IpAddress &address) override;
    uint64_t FreeCount() const override;

    // The same in host order, for the IPv4 book.
    bool FirstFreeFrom(uint32_t dwFrom, uint32_t *lpFree) const;

private:
    TeskAddressIndex &m_Index;
    Range m_Range;
};

// An IPv6 range, first to last inclusive. Addresses are compared as
// 128-bit numbers; their scope is not looked at.
class Ipv6RangePool : public AddressPool {
public:
    // False, nothing made, unless both are IPv6 and FIRST <= LAST.
    static bool Valid(const IpAddress &first, const IpAddress &last);
    // A range that is not Valid contains nothing.
    Ipv6RangePool(const IpAddress &first, const IpAddress &last);

    bool Contains(const IpAddress &address) const override;
    bool FirstFreeFrom(const IpAddress &from, IpAddress *lpFree) const override;
    bool AllocateNext(IpAddress *lpAddress) override;
    void MarkUsed(const IpAddress &address) override;
    void MarkUnused(const IpAddress &address) override;
    void MarkDeclined(const IpAddress &address) override;
    void LiftDecline(const IpAddress &address) override;
    uint64_t FreeCount() const override;

    // A 128-bit address as two halves, the high one first.
    struct Wide {
        uint64_t hi, lo;
        bool operator<(const Wide &o) const { return hi != o.hi ? hi < o.hi : lo < o.lo; }
        bool operator==(const Wide &o) const { return hi == o.hi && lo == o.lo; }
        bool operator<=(const Wide &o) const { return !(o < *this); }
    };

private:
    enum : uint8_t { kUsed = 1, kDeclined = 2 };
    bool FreeBetween(Wide from, Wide to, Wide *lpFree) const;
    void Set(const IpAddress &address, uint8_t byMark, bool bOn);

    bool m_bValid;
    Wide m_First, m_Last, m_Next;
    // The addresses marked, and how; an address no longer marked leaves.
    std::map<Wide, uint8_t> m_Marked;
};
