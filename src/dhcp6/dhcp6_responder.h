// The DHCPv6 responder: a request in, at most one answer out, no socket.
// Its configuration is a snapshot swapped whole by Reconfigure; the lease
// book and the log cap live as long as the responder.
#pragma once

#include <memory>
#include <vector>

#include "dhcp6/dhcp6_answerer.h"
#include "dhcp6/dhcp6_codec.h"
#include "dhcp6/lease6_book.h"
#include "log/log_rate_cap.h"
#include "platform/platform.h"

struct Dhcp6Config {
    TeskPxeServerV6Struct server{};
    IpAddress address;
    std::vector<Lease6Book::RangeSpec> ranges;
    std::vector<std::vector<IpAddress>> dns;  // per range
    std::vector<Lease6Book::StaticSpec> statics;
    uint8_t abDuid[dhcp6::kMaxDuidBytes] = {};
    size_t nDuid = 0;
    char szVetoName[32] = {};
};

// False, with a log line, for records that cannot be served.
bool BuildDhcp6Config(const Dhcp6Start &start, Dhcp6Config *lpConfig);

class Dhcp6Responder : public Dhcp6Answerer {
public:
    explicit Dhcp6Responder(const DhcpHostHooks &hooks) : m_Hooks(hooks) {}
    int Start(const Dhcp6Start &start);
    int Answer(const Dhcp6Datagram &datagram, uint64_t qwNowMs, Dhcp6Reply *lpReply) override;
    int Reconfigure(const Dhcp6Start &start) override;

private:
    struct Client;
    bool Admissible(const Dhcp6Datagram &datagram, const Dhcp6Request &request, const Dhcp6Config &config) const;
    bool LearnMac(const Dhcp6Datagram &datagram, const Dhcp6Request &request, unsigned char *lpMac) const;
    bool Vetoed(const Client &client, const Dhcp6Config &config) const;
    // The boot URL, or bSilent when the host leaves the client unanswered.
    void ChooseBootUrl(const Dhcp6Request &request, Client *lpClient, const Dhcp6Config &config);
    void FillIdentity(const Dhcp6Request &request, const Client &client, SelectBootFileRecordEx *lpRecord);
    int Build(const Dhcp6Request &request, Client *lpClient, const Dhcp6Config &config, uint64_t qwNowMs,
              PacketWriter &out);
    void PutIas(const Dhcp6Request &request, Client *lpClient, bool bBind, bool bOffer, uint64_t qwNowMs,
                PacketWriter &out);
    void PutBootOptions(const Client &client, const Dhcp6Config &config, PacketWriter &out) const;
    std::shared_ptr<const Dhcp6Config> Snapshot();

    const DhcpHostHooks &m_Hooks;
    platform::TeskLock m_Lock;  // the snapshot and the book
    std::shared_ptr<const Dhcp6Config> m_lpConfig;
    Lease6Book m_Book;
    LogRateCap m_LogCap;
};
