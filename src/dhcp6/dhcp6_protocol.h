// The numbers of DHCPv6 (RFC 8415 and its boot options, RFC 5970) that this
// server reads and writes, and its own limits, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dhcp6 {

constexpr uint16_t kClientPort = 546;
constexpr uint16_t kServerPort = 547;

enum MessageType : uint8_t {
    kSolicit = 1,
    kAdvertise = 2,
    kRequest = 3,
    kConfirm = 4,
    kRenew = 5,
    kRebind = 6,
    kReply = 7,
    kRelease = 8,
    kDecline = 9,
    kReconfigure = 10,
    kInformationRequest = 11,
    kRelayForw = 12,
    kRelayRepl = 13,
};

enum OptionCode : uint16_t {
    kOptClientId = 1,
    kOptServerId = 2,
    kOptIaNa = 3,
    kOptIaAddr = 5,
    kOptOro = 6,
    kOptPreference = 7,
    kOptElapsedTime = 8,
    kOptRelayMessage = 9,
    kOptStatusCode = 13,
    kOptRapidCommit = 14,
    kOptUserClass = 15,
    kOptVendorClass = 16,
    kOptInterfaceId = 18,
    kOptDnsServers = 23,
    kOptBootFileUrl = 59,
    kOptBootFileParam = 60,
    kOptClientArch = 61,
    kOptClientLinkLayer = 79,
};

enum StatusCode : uint16_t {
    kStatusSuccess = 0,
    kStatusNoAddrsAvail = 2,
    kStatusNoBinding = 3,
    kStatusNotOnLink = 4,
};

enum DuidType : uint16_t { kDuidLlt = 1, kDuidEn = 2, kDuidLl = 3, kDuidUuid = 4 };
constexpr uint16_t kHardwareEthernet = 1;
constexpr uint32_t kEnterpriseIntel = 343;  // the vendor class firmware sends

constexpr size_t kHeaderBytes = 4;        // type and transaction id
constexpr size_t kRelayHeaderBytes = 34;  // type, hop count, link and peer addresses
constexpr size_t kOptionHeaderBytes = 4;
constexpr size_t kIaNaFixedBytes = 12;    // IAID, T1, T2
constexpr size_t kIaAddrFixedBytes = 24;  // address, preferred and valid lifetimes
constexpr size_t kMinDuidBytes = 2;
constexpr size_t kMaxDuidBytes = 130;     // the type and at most 128 bytes
constexpr uint8_t kServerPreference = 255;

// Limits of what one request is read into.
constexpr int kMaxRelayLayers = 8;        // HOP_COUNT_LIMIT
constexpr int kMaxIas = 4;                // IA_NAs read from one request
constexpr int kMaxAskedAddresses = 4;     // IAADDRs read from one IA_NA
constexpr int kMaxOro = 32;
constexpr size_t kMaxInterfaceIdBytes = 64;
constexpr size_t kClassTextSize = 256;

}  // namespace dhcp6
