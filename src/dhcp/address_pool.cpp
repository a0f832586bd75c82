#include "dhcp/address_pool.h"

#include <cstring>

namespace {

using Wide = Ipv6RangePool::Wide;

Wide WideOf(const IpAddress &address) {
    Wide wide{0, 0};
    const uint8_t *bytes = address.Bytes();
    for (int i = 0; i < 8; ++i) wide.hi = wide.hi << 8 | bytes[i];
    for (int i = 8; i < 16; ++i) wide.lo = wide.lo << 8 | bytes[i];
    return wide;
}

IpAddress AddressOf(Wide wide) {
    uint8_t bytes[16];
    for (int i = 7; i >= 0; --i, wide.hi >>= 8) bytes[i] = static_cast<uint8_t>(wide.hi);
    for (int i = 15; i >= 8; --i, wide.lo >>= 8) bytes[i] = static_cast<uint8_t>(wide.lo);
    return IpAddress::FromV6(bytes);
}

Wide Next(Wide wide) { return wide.lo == UINT64_MAX ? Wide{wide.hi + 1, 0} : Wide{wide.hi, wide.lo + 1}; }

// A - B for B <= A.
Wide Minus(Wide a, Wide b) { return Wide{a.hi - b.hi - (a.lo < b.lo ? 1 : 0), a.lo - b.lo}; }

}  // namespace

// ---- IPv4 ----------------------------------------------------------------

bool Ipv4RangePool::Contains(const IpAddress &address) const {
    return address.IsV4() && address.V4Host() >= m_Range.dwBegin && address.V4Host() <= m_Range.dwEnd;
}

bool Ipv4RangePool::FirstFreeFrom(uint32_t dwFrom, uint32_t *lpFree) const {
    if (dwFrom < m_Range.dwBegin) dwFrom = m_Range.dwBegin;
    return m_Index.LowestFree(dwFrom, m_Range.dwEnd, m_Range.nKind, m_Range.dwSkip1, m_Range.dwSkip2, lpFree);
}

bool Ipv4RangePool::FirstFreeFrom(const IpAddress &from, IpAddress *lpFree) const {
    uint32_t dwFree = 0;
    if (!from.IsV4() || !FirstFreeFrom(from.V4Host(), &dwFree)) return false;
    *lpFree = IpAddress::FromV4Host(dwFree);
    return true;
}

bool Ipv4RangePool::AllocateNext(IpAddress *lpAddress) {
    if (!FirstFreeFrom(IpAddress::FromV4Host(m_Range.dwBegin), lpAddress)) return false;
    MarkUsed(*lpAddress);
    return true;
}

void Ipv4RangePool::MarkUsed(const IpAddress &address) {
    if (Contains(address)) m_Index.AddLease(m_Range.nKind, address.V4Host());
}

void Ipv4RangePool::MarkUnused(const IpAddress &address) {
    if (Contains(address)) m_Index.RemoveLease(m_Range.nKind, address.V4Host());
}

// A declined address is held for every kind, as a static entry holds it.
void Ipv4RangePool::MarkDeclined(const IpAddress &address) {
    if (Contains(address)) m_Index.AddStatic(address.V4Host());
}

void Ipv4RangePool::LiftDecline(const IpAddress &address) {
    if (Contains(address)) m_Index.RemoveStatic(address.V4Host());
}

uint64_t Ipv4RangePool::FreeCount() const {
    const Range &r = m_Range;
    if (r.dwEnd < r.dwBegin) return 0;
    uint64_t free = static_cast<uint64_t>(r.dwEnd - r.dwBegin) + 1 - m_Index.TakenIn(r.dwBegin, r.dwEnd, r.nKind);
    auto freeSkip = [&](uint32_t dwIp) {
        return dwIp >= r.dwBegin && dwIp <= r.dwEnd && m_Index.TakenIn(dwIp, dwIp, r.nKind) == 0;
    };
    if (freeSkip(r.dwSkip1)) --free;
    if (r.dwSkip2 != r.dwSkip1 && freeSkip(r.dwSkip2)) --free;
    return free;
}

// ---- IPv6 ----------------------------------------------------------------

bool Ipv6RangePool::Valid(const IpAddress &first, const IpAddress &last) {
    return first.IsV6() && last.IsV6() && WideOf(first) <= WideOf(last);
}

Ipv6RangePool::Ipv6RangePool(const IpAddress &first, const IpAddress &last)
    : m_bValid(Valid(first, last)), m_First(WideOf(first)), m_Last(WideOf(last)), m_Next(m_First) {}

bool Ipv6RangePool::Contains(const IpAddress &address) const {
    if (!m_bValid || !address.IsV6()) return false;
    Wide wide = WideOf(address);
    return m_First <= wide && wide <= m_Last;
}

// Walks the marked addresses from FROM on: each step passes one of them, so
// the walk is as long as the run of marked addresses, never the range.
bool Ipv6RangePool::FreeBetween(Wide from, Wide to, Wide *lpFree) const {
    if (!(from <= to)) return false;
    for (auto it = m_Marked.lower_bound(from); it != m_Marked.end() && it->first == from; ++it) {
        if (from == to) return false;
        from = Next(from);
    }
    *lpFree = from;
    return true;
}

bool Ipv6RangePool::FirstFreeFrom(const IpAddress &from, IpAddress *lpFree) const {
    if (!m_bValid || !from.IsV6()) return false;
    Wide start = WideOf(from), free{};
    if (start < m_First) start = m_First;
    if (!FreeBetween(start, m_Last, &free)) return false;
    *lpFree = AddressOf(free);
    return true;
}

bool Ipv6RangePool::AllocateNext(IpAddress *lpAddress) {
    Wide free{};
    if (!m_bValid || (!FreeBetween(m_Next, m_Last, &free) && !FreeBetween(m_First, m_Last, &free))) return false;
    m_Marked[free] = kUsed;
    m_Next = free == m_Last ? m_First : Next(free);
    *lpAddress = AddressOf(free);
    return true;
}

void Ipv6RangePool::Set(const IpAddress &address, uint8_t byMark, bool bOn) {
    if (!Contains(address)) return;
    Wide wide = WideOf(address);
    auto it = m_Marked.find(wide);
    uint8_t marks = static_cast<uint8_t>(((it == m_Marked.end() ? 0 : it->second) & ~byMark) | (bOn ? byMark : 0));
    if (marks != 0) m_Marked[wide] = marks;
    else if (it != m_Marked.end()) m_Marked.erase(it);
}

void Ipv6RangePool::MarkUsed(const IpAddress &address) { Set(address, kUsed, true); }
void Ipv6RangePool::MarkUnused(const IpAddress &address) { Set(address, kUsed, false); }
void Ipv6RangePool::MarkDeclined(const IpAddress &address) { Set(address, kDeclined, true); }
void Ipv6RangePool::LiftDecline(const IpAddress &address) { Set(address, kDeclined, false); }

uint64_t Ipv6RangePool::FreeCount() const {
    if (!m_bValid) return 0;
    // size - marked = (last - first) - (marked - 1), without the 2^128 of a
    // whole address space overflowing.
    Wide span = Minus(m_Last, m_First);
    uint64_t marked = m_Marked.size();
    Wide free = marked == 0 ? Next(span) : Minus(span, Wide{0, marked - 1});
    if (marked == 0 && span.hi == UINT64_MAX && span.lo == UINT64_MAX) return UINT64_MAX;
    return free.hi != 0 ? UINT64_MAX : free.lo;
}
