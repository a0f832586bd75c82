// The addresses this server has offered and its clients have not yet taken:
// the library holds each one for its client kOfferHoldSeconds, but writes
// only acknowledged leases to its lease file. Counted against the server's
// room and announced with its leases, so that in a farm a member whose
// offers fill its ranges is full to everyone, and a client with an offer
// held is answered by the member that holds it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/farm/farm_beacon.h"

constexpr int64_t kOfferHoldSeconds = 120;  // as long as the library holds an offered address
constexpr size_t kMaxHeldOffers = 65536;    // MACs come from the wire

class HeldOffers {
public:
    using Clock = std::chrono::steady_clock;
    // From the boot events: an OFFER of ADDRESS (host order) to MAC, an ACK
    // (its lease is in the lease file from then on), or the end of an offer
    // (a NAK, or the client took another server's).
    void Offered(uint64_t mac, uint32_t address, Clock::time_point at);
    void Acknowledged(uint64_t mac, Clock::time_point at);
    void Ended(uint64_t mac);
    // The lease file was read at READ: acknowledged offers are in it now.
    void Settle(Clock::time_point read);
    // The offers held now whose address LEASED does not already count, as
    // leases with the seconds their hold has left.
    std::vector<HeldLease> Held(const std::unordered_set<uint32_t> &leased, Clock::time_point now);
    // Grows with every change, so a reader can tell nothing changed.
    uint64_t Generation();

private:
    struct Offer {
        uint32_t address;
        Clock::time_point at;
        bool acknowledged;
        Clock::time_point acknowledgedAt;
    };
    std::mutex m_Lock;
    std::unordered_map<uint64_t, Offer> m_Offers;  // MAC → its offer
    uint64_t m_qwGeneration = 0;
};
