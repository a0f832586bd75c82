// What the DHCPv6 frame (UDP 547) and the DHCPv6 responder agree on: a
// datagram with where it came from and where it was sent, the answer built
// in place with where it goes, and how a responder is made from the
// StartPXEV6 records. The responder touches no socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Tavrel.h"
#include "dhcp/dhcp_host_hooks.h"
#include "net/ip_address.h"

struct Dhcp6Datagram {
    const unsigned char *lpData = nullptr;
    size_t nLen = 0;
    IpEndpoint from;           // the sender, a link-local address with its scope, or a relay's
    IpAddress to;              // where it was sent: ff02::1:2 or an address of this server
    uint32_t dwInterface = 0;  // the interface it came in on
};

struct Dhcp6Reply {
    // An answer never exceeds the IPv6 minimum MTU less the IPv6 and UDP
    // headers, so it is never fragmented.
    static constexpr size_t kMaxBytes = 1280 - 40 - 8;
    unsigned char abData[kMaxBytes];
    size_t nLen = 0;
    IpEndpoint to;             // the client (port 546) or the relay (port 547)
};

// What StartPXEV6 was given, and what the frame learnt of the interface.
struct Dhcp6Start {
    const TeskPxeServerV6Struct *lpServer = nullptr;
    const TeskSubNetV6Struct *lpSubNets = nullptr;
    int nSubNets = 0;
    const TeskStaticDhcpV6Struct *lpStatics = nullptr;
    int nStatics = 0;
    IpAddress server;                // ServerIP, parsed, with its scope
    uint32_t dwInterface = 0;        // the interface served
    unsigned char abInterfaceMac[6] = {};  // its hardware address, for the server DUID
    bool bHasInterfaceMac = false;
    const char *lpLeaseFolder = nullptr;   // where the leases are journalled; null: kept in memory only
    // StartPXE's ServerIP text when it runs, for the host's veto when
    // vetoname is empty; "" otherwise.
    char szIpv4ServerIp[32] = {};
};

class Dhcp6Answerer {
public:
    virtual ~Dhcp6Answerer() = default;
    // 0 when *lpReply holds an answer to send; anything else for none.
    virtual int Answer(const Dhcp6Datagram &datagram, uint64_t qwNowMs, Dhcp6Reply *lpReply) = 0;
    // A StartPXEV6 while serving: the new records in force, the leases kept.
    // 0, or a negative code (the old configuration stays) with a log line.
    virtual int Reconfigure(const Dhcp6Start &start) = 0;
};

// Null, with a log line, when the records cannot be served (no usable
// address, a range that is not IPv6, a journal that cannot be opened).
std::unique_ptr<Dhcp6Answerer> MakeDhcp6Answerer(const Dhcp6Start &start, const DhcpHostHooks &hooks);
