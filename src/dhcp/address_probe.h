// The frame's side of the probes before a first offer: the ICMP echo socket
// and the bounded wait of each probe the lease book queued. The book decides
// what is probed and what an outcome means; this only sends, listens and
// keeps time, on the DHCP worker, without ever blocking it.
#pragma once

#include <cstdint>
#include <map>

#include "dhcp/lease_book.h"
#include "log/log_rate_cap.h"
#include "platform/platform.h"

class AddressProber {
public:
    // An address silent this long after its echo request is taken as free.
    static constexpr int kProbeWaitMs = 500;
    // How often the worker looks at the socket while probes are out, and
    // while none are (the book may queue probes at a refresh).
    static constexpr int kBusyTickMs = 25;
    static constexpr int kIdleTickMs = 1000;
    // Replies read per look, so a flood of them delays no DHCP datagram long.
    static constexpr int kRepliesPerPump = 2 * static_cast<int>(LeaseBook::kProbesInFlight);

    explicit AddressProber(LeaseBook &leases) : m_Leases(leases) {}
    AddressProber(const AddressProber &) = delete;
    AddressProber &operator=(const AddressProber &) = delete;
    ~AddressProber() { Close(); }

    // At start, after the journal is read: opens the echo socket and turns
    // the book's probes on when its history is unknown and bAllowed
    // (ProbeAddresses), saying in one line what it does.
    void Start(bool bAllowed);
    void Close();
    // Sends the probes the book queued, takes the replies, and ends the
    // probes whose wait is over.
    void Pump(uint64_t qwNowMs);
    // The frame's wait period: platform::kWaitForever when not probing.
    int TickMs() const;

private:
    void TakeReplies();
    void EndWaits(uint64_t qwNowMs);

    LeaseBook &m_Leases;
    platform::Socket m_Socket = platform::kInvalidSocket;
    // Probes sent (host order) and when their wait ends.
    std::map<uint32_t, uint64_t> m_Out;
    uint16_t m_wSequence = 0;
    uint64_t m_qwNowMs = 0;
    LogRateCap m_LogCap;
};
