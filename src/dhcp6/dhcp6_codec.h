// Reading a DHCPv6 request once into a plain struct, relay layers peeled,
// and writing the options of an answer. Nothing here reads past the datagram.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dhcp6/dhcp6_protocol.h"
#include "net/ip_address.h"
#include "net/packet_writer.h"

struct Dhcp6Ia {
    uint32_t dwIaid = 0;
    IpAddress asked[dhcp6::kMaxAskedAddresses];
    int nAsked = 0;
};

// One RELAY-FORW layer, outermost first, as its RELAY-REPL echoes it.
struct Dhcp6Relay {
    uint8_t byHopCount = 0;
    uint8_t abLink[16] = {};
    uint8_t abPeer[16] = {};
    uint8_t abInterfaceId[dhcp6::kMaxInterfaceIdBytes] = {};
    size_t nInterfaceId = 0;
    bool bHasInterfaceId = false;
};

struct Dhcp6Request {
    uint8_t byType = 0;
    uint32_t dwXid = 0;  // 24 bits
    uint8_t abClientDuid[dhcp6::kMaxDuidBytes] = {};
    size_t nClientDuid = 0;
    uint8_t abServerDuid[dhcp6::kMaxDuidBytes] = {};
    size_t nServerDuid = 0;
    Dhcp6Ia ias[dhcp6::kMaxIas];
    int nIas = 0;
    uint16_t awOro[dhcp6::kMaxOro] = {};
    int nOro = 0;
    int nArch = -1;  // option 61, first value
    bool bHasVendorClass = false;
    uint32_t dwVendorEnterprise = 0;
    char szVendorClass[dhcp6::kClassTextSize] = {};  // its first text
    char szUserClass[dhcp6::kClassTextSize] = {};    // option 15, first text
    bool bRapidCommit = false;
    Dhcp6Relay relays[dhcp6::kMaxRelayLayers];
    int nRelays = 0;
    uint8_t abRelayMac[6] = {};  // option 79 of the innermost relay that sent one
    bool bHasRelayMac = false;
};

enum class Dhcp6Parse { kOk, kMalformed, kTooManyRelays };

// Fills *lpRequest from the datagram; on failure lpWhy names the fault.
Dhcp6Parse ParseDhcp6(const uint8_t *lpData, size_t nLen, Dhcp6Request *lpRequest, const char **lpWhy);

// Answer building blocks over a PacketWriter.
void PutOptionHeader(PacketWriter &out, uint16_t wCode, size_t nLen);
void PutOptionBytes(PacketWriter &out, uint16_t wCode, const void *lpData, size_t nLen);
// A status code option with its message text.
void PutStatus(PacketWriter &out, uint16_t wCode, const char *lpMessage);
