// The records the DHCP service keeps and hands between its parts: frame,
// responder, lease book and configuration.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct TeskDhcpTypes {
    static constexpr int kDataSize = 1500;
    static constexpr int kMaxSubNets = 10 * 1024;
    enum SocketType { SOCK_DHCP = 0, SOCK_PROXY = 1, SOCK_SELECT = 2, SOCK_COUNT = 3 };

    // One datagram in flight: received, answered in place, sent back.
    struct _socklist {
        platform::Socket socket;
        unsigned char data[kDataSize];
        int nSendLen;
        platform::SockAddrV4 peer;
        int nSocketType;
        int nRecvLen;
        // The address the datagram was sent to (network order), 0 when the
        // platform cannot tell.
        uint32_t dwLocalAddr;
    };

    // Where an answer goes: the current broadcast address (retried once on
    // the other one) or one address.
    struct AnswerDestination {
        bool bBroadcast;
        uint32_t dwAddr;  // network order; unused for a broadcast
        uint16_t wPort;   // host order
    };

    // Static assignment, all addresses in network order.
    struct tag_s_dhcp {
        uint32_t ip, netmask, gateway, dns1, dns2;
    };

    // Dynamic lease: ip in host order, the rest in network order.
    struct tag_d_dhcp {
        uint32_t ip, netmask, gateway, dns1, dns2;
        int32_t kind;  // 0 for a lease read from the journal outside every range
        int64_t time;  // last grant or renewal, on the lease book's monotonic clock
        // Offered to a DISCOVER and not yet requested by its client.
        bool bOfferOnly;
    };

    // A working subnet: begin and end in host order, so ranges can be walked.
    struct SubNetSlot {
        uint32_t begin, end, netmask, dns1, dns2, gateway;
        int32_t nDhcpType;
    };

    // What a client is given: address, netmask, gateway, DNS servers.
    struct AddressGrant {
        uint32_t ip, netmask, gateway, dns1, dns2;
    };
};
