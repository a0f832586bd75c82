#include "host/farm/held_offers.h"

void HeldOffers::Offered(uint64_t mac, uint32_t address, Clock::time_point at) {
    std::lock_guard<std::mutex> guard(m_Lock);
    auto entry = m_Offers.find(mac);
    if (entry == m_Offers.end() && m_Offers.size() >= kMaxHeldOffers) return;
    m_Offers[mac] = {address, at, false, {}};
    ++m_qwGeneration;
}

void HeldOffers::Acknowledged(uint64_t mac, Clock::time_point at) {
    std::lock_guard<std::mutex> guard(m_Lock);
    auto entry = m_Offers.find(mac);
    if (entry == m_Offers.end()) return;
    entry->second.acknowledged = true;
    entry->second.acknowledgedAt = at;
}

void HeldOffers::Ended(uint64_t mac) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Offers.erase(mac)) ++m_qwGeneration;
}

void HeldOffers::Settle(Clock::time_point read) {
    std::lock_guard<std::mutex> guard(m_Lock);
    for (auto entry = m_Offers.begin(); entry != m_Offers.end();) {
        bool done = entry->second.acknowledged && entry->second.acknowledgedAt < read;
        entry = done ? (++m_qwGeneration, m_Offers.erase(entry)) : std::next(entry);
    }
}

std::vector<HeldLease> HeldOffers::Held(const std::unordered_set<uint32_t> &leased, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<HeldLease> held;
    for (auto entry = m_Offers.begin(); entry != m_Offers.end();) {
        int64_t left = kOfferHoldSeconds -
                       std::chrono::duration_cast<std::chrono::seconds>(now - entry->second.at).count();
        if (left <= 0) {
            ++m_qwGeneration;
            entry = m_Offers.erase(entry);
            continue;
        }
        if (!leased.count(entry->second.address)) held.push_back({entry->first, left});
        ++entry;
    }
    return held;
}

uint64_t HeldOffers::Generation() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_qwGeneration;
}
