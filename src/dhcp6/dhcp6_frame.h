// The DHCPv6 service: UDP 547 on one interface, joined to ff02::1:2, its
// datagrams handed to the responder and the answers sent from the server's
// address (a link-local one toward a link-local client). Optionally router
// advertisements for a lab without a router: managed and other flags, router
// lifetime 0 (never anyone's default router), the prefix on-link without
// autonomous addresses, since the addresses come from DHCPv6.
#pragma once

#include <cstdint>
#include <memory>

#include "dhcp6/dhcp6_answerer.h"
#include "log/log_rate_cap.h"
#include "net/ip_address.h"
#include "service/service_frame.h"

// A prefix as "2001:db8:1::/64": false for anything else (no IPv6, a length
// outside 1-128).
bool ParseIpv6Prefix(const char *lpText, IpAddress *lpPrefix, int *lpLength);

class Dhcp6Frame final : public TeskServiceFrame {
public:
    static constexpr uint16_t kServerPort = 547;
    static constexpr uint16_t kClientPort = 546;
    // Every ~200 s (RFC 4861's MaxRtrAdvInterval is 600 s), and at most one
    // answer to solicitations each 3 s (MIN_DELAY_BETWEEN_RAS), so a flood of
    // them sends no flood of advertisements.
    static constexpr uint64_t kAdvertEveryMs = 200000;
    static constexpr uint64_t kAdvertGapMs = 3000;
    static constexpr int kReceiveBytes = 4096;

    explicit Dhcp6Frame(std::unique_ptr<Dhcp6Answerer> answerer)
        : TeskServiceFrame(kSocketCount), m_Answerer(std::move(answerer)) {}
    // 0 when serving; -1 after a "Dhcp6d:" line.
    int StartServer(const Dhcp6Start &start);
    // The responder's Reconfigure, and a new prefix for the advertisements.
    int Reconfigure(const Dhcp6Start &start);
    int StopServer() override;
    // Advertisements sent so far (tests and the status).
    uint64_t AdvertsSent() const { return m_nAdverts.load(); }

private:
    enum { kDhcpSocket = 0, kAdvertSocket = 1, kSocketCount = 2 };

    void ServeSocket(int nIndex) override;
    int WaitPeriodMs() const override;
    void OnWaitPeriod() override;
    void ReleaseService() override;

    int OpenDhcpSocket();
    int OpenAdvertSocket();
    void ServeDhcp();
    void ServeSolicitation();
    void SendAdvertIfDue(uint64_t qwNowMs, uint64_t qwGapMs);
    size_t BuildAdvert(unsigned char *lpOut, size_t nSize);
    IpAddress SourceFor(const IpEndpoint &to) const;
    bool TakePrefix(const Dhcp6Start &start);

    std::unique_ptr<Dhcp6Answerer> m_Answerer;
    platform::TeskLock m_AnswerLock;  // Answer on the worker, Reconfigure and the prefix on the host's thread
    IpAddress m_Server;
    IpAddress m_LinkLocal;  // of the interface: the source toward link-local clients and of advertisements
    uint32_t m_dwInterface = 0;
    unsigned char m_abMac[6] = {};
    bool m_bHasMac = false;
    bool m_bAdvertise = false;
    IpAddress m_Prefix;
    int m_nPrefixLength = 0;
    uint64_t m_qwLastAdvertMs = 0;
    bool m_bAdvertSent = false;
    std::atomic<uint64_t> m_nAdverts{0};
    LogRateCap m_LogCap;
};
