#include "dhcp/address_index.h"

#include <algorithm>

void TeskAddressIndex::AddLease(int nKind, uint32_t dwIp) {
    if (!ValidKind(nKind)) return;
    ++m_LeaseCount[nKind][dwIp];
    Refresh(nKind, dwIp);
}

void TeskAddressIndex::RemoveLease(int nKind, uint32_t dwIp) {
    if (!ValidKind(nKind)) return;
    auto it = m_LeaseCount[nKind].find(dwIp);
    if (it == m_LeaseCount[nKind].end()) return;
    if (--it->second <= 0) m_LeaseCount[nKind].erase(it);
    Refresh(nKind, dwIp);
}

void TeskAddressIndex::Clear() {
    m_StaticCount.clear();
    for (int kind = 0; kind < kKinds; ++kind) {
        m_LeaseCount[kind].clear();
        m_Taken[kind].clear();
    }
}

void TeskAddressIndex::Change(Counts &counts, uint32_t dwIp, int nDelta) {
    int &count = counts[dwIp];
    count += nDelta;
    if (count <= 0) counts.erase(dwIp);
    for (int kind = 1; kind < kKinds; ++kind) Refresh(kind, dwIp);
}

bool TeskAddressIndex::IsHeld(uint32_t dwIp) const {
    if (m_StaticCount.count(dwIp)) return true;
    for (int kind = 1; kind < kKinds; ++kind)
        if (m_LeaseCount[kind].count(dwIp)) return true;
    return false;
}

int TeskAddressIndex::Holders(int nKind, uint32_t dwIp) const {
    int holders = 0;
    auto st = m_StaticCount.find(dwIp);
    if (st != m_StaticCount.end()) holders += st->second;
    auto ls = m_LeaseCount[nKind].find(dwIp);
    if (ls != m_LeaseCount[nKind].end()) holders += ls->second;
    return holders;
}

void TeskAddressIndex::Refresh(int nKind, uint32_t dwIp) {
    bool bTaken = Holders(nKind, dwIp) > 0;
    if (bTaken == (RunHolding(m_Taken[nKind], dwIp) != nullptr)) return;
    if (bTaken)
        Insert(m_Taken[nKind], dwIp);
    else
        Erase(m_Taken[nKind], dwIp);
}

const uint32_t *TeskAddressIndex::RunHolding(const Runs &runs, uint32_t dwIp) {
    auto it = runs.upper_bound(dwIp);
    if (it == runs.begin()) return nullptr;
    --it;
    return dwIp <= it->second ? &it->second : nullptr;
}

void TeskAddressIndex::Insert(Runs &runs, uint32_t dwIp) {
    uint32_t first = dwIp, last = dwIp;
    auto next = runs.upper_bound(dwIp);
    if (next != runs.begin()) {
        auto prev = std::prev(next);
        if (dwIp != 0 && prev->second == dwIp - 1) {
            first = prev->first;
            runs.erase(prev);
        }
    }
    if (next != runs.end() && dwIp != 0xFFFFFFFFu && next->first == dwIp + 1) {
        last = next->second;
        runs.erase(next);
    }
    runs[first] = last;
}

void TeskAddressIndex::Erase(Runs &runs, uint32_t dwIp) {
    auto it = std::prev(runs.upper_bound(dwIp));
    uint32_t first = it->first, last = it->second;
    runs.erase(it);
    if (first < dwIp) runs[first] = dwIp - 1;
    if (dwIp < last) runs[dwIp + 1] = last;
}

bool TeskAddressIndex::LowestFree(uint32_t dwBegin, uint32_t dwEnd, int nKind, uint32_t dwSkip1, uint32_t dwSkip2,
                                  uint32_t *lpFree) const {
    uint64_t candidate = dwBegin;
    while (candidate <= dwEnd) {
        uint32_t dwIp = static_cast<uint32_t>(candidate);
        if (ValidKind(nKind)) {
            if (const uint32_t *last = RunHolding(m_Taken[nKind], dwIp)) {
                candidate = static_cast<uint64_t>(*last) + 1;
                continue;
            }
        } else if (m_StaticCount.count(dwIp)) {
            ++candidate;
            continue;
        }
        if (dwIp == dwSkip1 || dwIp == dwSkip2) {
            ++candidate;
            continue;
        }
        *lpFree = dwIp;
        return true;
    }
    return false;
}

uint64_t TeskAddressIndex::TakenIn(uint32_t dwBegin, uint32_t dwEnd, int nKind) const {
    uint64_t taken = 0;
    if (!ValidKind(nKind)) {
        for (const auto &entry : m_StaticCount) taken += entry.first >= dwBegin && entry.first <= dwEnd;
        return taken;
    }
    const Runs &runs = m_Taken[nKind];
    auto it = runs.upper_bound(dwBegin);
    if (it != runs.begin()) --it;
    for (; it != runs.end() && it->first <= dwEnd; ++it) {
        uint32_t first = std::max(it->first, dwBegin), last = std::min(it->second, dwEnd);
        if (first <= last) taken += static_cast<uint64_t>(last - first) + 1;
    }
    return taken;
}
