// Building DHCP answers in place over the request: plain functions of the
// configuration in force and what the client is given. Each returns the
// answer's length, 0 for none.
// dwSendBroadcast is the frame's broadcast address, shown in the debug lines.
#pragma once

#include <cstdint>

#include "dhcp/boot_file_choice.h"
#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_records.h"

using AddressGrant = TeskDhcpTypes::AddressGrant;

int BuildDhcpReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType, uint32_t dwNetmask,
                   uint32_t dwGateway, uint32_t dwDns1, uint32_t dwDns2, uint32_t dwSendBroadcast,
                   BootAnswer kind = BootAnswer::kConfigured);
int BuildBootServerReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                         uint32_t dwSendBroadcast, BootAnswer kind = BootAnswer::kConfigured);

// The port-67 OFFER and ACK, and the port-4011 answer. BOOT is the host's
// choice of boot file.
int BuildOffer(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant,
               uint32_t dwSendBroadcast, const BootFileChoice &boot = BootFileChoice());
int BuildAck(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant,
             uint32_t dwSendBroadcast, const BootFileChoice &boot = BootFileChoice());
int BuildBootServerAnswer(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                          uint32_t dwSendBroadcast, const BootFileChoice &boot = BootFileChoice());
// A DHCPNAK (RFC 2131 table 3): no address, no file, server identifier only.
int BuildNak(const ConfigSnapshot &config, unsigned char *lpMessage);
