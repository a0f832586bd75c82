// Conversions between IPv4 or MAC addresses and their texts.
#pragma once

#include <cstddef>
#include <cstdint>

// Dotted text of a network-order address, in a 16-byte buffer of the
// calling thread that its next call overwrites. Only the lease book's one
// line still uses it; new code writes into its own buffer (Ipv4Text,
// FormatIpAddress in net/ip_address.h).
char *IpToText(uint32_t dwIpNet);
// Dotted text of a host-order address into buf, which is zeroed first.
char *HostIpToText(size_t nSize, char *buf, uint32_t dwIpHost);
// Host-order value of a dotted text. Nothing is validated: missing parts count
// as 0, runs of dots as one, parts above 255 spill into the next byte.
uint32_t TextToHostIp(const char *lpText);
// "xx:xx:xx:xx:xx:xx" into buf, which is zeroed first.
char *MacToText(size_t nSize, char *buf, const unsigned char *lpMac);
