// A test DHCP client: builds requests and waits for the matching answer.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/net_client.h"

using Bytes = std::vector<unsigned char>;

struct DhcpRequest {
    unsigned char byType = 1;
    unsigned char abMac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    std::string vendor = "PXEClient:Arch:00000:UNDI:002001";
    std::string userClass;  // option 77 when not empty
    int nArch = -1;         // option 93 when not negative
    uint32_t dwXid = 0x1234;
    uint32_t dwGiaddr = 0;  // network order
    // A REQUEST's state (RFC 2131): ciaddr, options 50 and 54; network order, 0 for none.
    uint32_t dwCiaddr = 0, dwRequested = 0, dwServerId = 0;
    unsigned char byOp = 1;
    bool bGoodCookie = true;
};

Bytes BuildDhcp(const DhcpRequest &request);
// The REQUEST a client in SELECTING sends for this offer.
DhcpRequest SelectingRequest(DhcpRequest request, const Bytes &offer);
uint32_t XidOf(const Bytes &message);
uint32_t AddrAt(const Bytes &message, size_t offset);  // network order
uint32_t Ip(const char *text);                          // network order
// Options after the cookie as (code, data) in order, up to the end option.
std::vector<std::pair<int, Bytes>> OptionsOf(const Bytes &message);
// The data of the first option CODE; empty when absent.
Bytes OptionOf(const Bytes &message, int code);
// Receives until a datagram with the xid arrives; empty on timeout.
Bytes AwaitXid(TestSocket &socket, uint32_t dwXid, int timeoutMs);
// The first datagram passing the filter, or empty.
Bytes AwaitMatching(TestSocket &socket, const std::function<bool(const Bytes &)> &match, int timeoutMs);
