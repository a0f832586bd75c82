// Which addresses are taken, so the lowest free address of a range is found
// without walking the caches: static entries block an address for every
// client, leases only for clients of their own kind. Addresses are host order.
#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>

#include "dhcp/dhcp_message.h"

class TeskAddressIndex {
public:
    // Indexed by kind: kBootStageClient and kOtherClient; other values are not indexed.
    static constexpr int kKinds = kOtherClient + 1;
    static bool ValidKind(int nKind) { return nKind > 0 && nKind < kKinds; }

    void AddStatic(uint32_t dwIp) { Change(m_StaticCount, dwIp, +1); }
    void RemoveStatic(uint32_t dwIp) { Change(m_StaticCount, dwIp, -1); }
    void AddLease(int nKind, uint32_t dwIp);
    void RemoveLease(int nKind, uint32_t dwIp);
    void Clear();
    // Whether a static entry or a lease of any kind holds the address.
    bool IsHeld(uint32_t dwIp) const;

    // Lowest address of begin..end that no static entry, no lease of this
    // kind and neither skipped address holds; false when there is none.
    bool LowestFree(uint32_t dwBegin, uint32_t dwEnd, int nKind, uint32_t dwSkip1, uint32_t dwSkip2,
                    uint32_t *lpFree) const;
    // How many addresses of begin..end a static entry or a lease of this
    // kind holds (statics alone for a kind not indexed).
    uint64_t TakenIn(uint32_t dwBegin, uint32_t dwEnd, int nKind) const;

private:
    using Counts = std::unordered_map<uint32_t, int>;
    // Disjoint, non-adjacent runs of taken addresses: first -> last.
    using Runs = std::map<uint32_t, uint32_t>;

    void Change(Counts &counts, uint32_t dwIp, int nDelta);
    int Holders(int nKind, uint32_t dwIp) const;
    void Refresh(int nKind, uint32_t dwIp);
    static void Insert(Runs &runs, uint32_t dwIp);
    static void Erase(Runs &runs, uint32_t dwIp);
    static const uint32_t *RunHolding(const Runs &runs, uint32_t dwIp);

    Counts m_StaticCount;
    Counts m_LeaseCount[kKinds];
    Runs m_Taken[kKinds];
};
