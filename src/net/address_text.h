// Conversions between IPv4 or MAC addresses and their texts.
#pragma once

#include <cstddef>
#include <cstdint>

// A network-order address's text goes into a buffer of the caller's
// (Ipv4Text, FormatIpAddress in net/ip_address.h).
// Dotted text of a host-order address into buf, which is zeroed first.
char *HostIpToText(size_t nSize, char *buf, uint32_t dwIpHost);
// Host-order value of a dotted text. Nothing is validated: missing parts count
// as 0, runs of dots as one, parts above 255 spill into the next byte.
uint32_t TextToHostIp(const char *lpText);
// "xx:xx:xx:xx:xx:xx" into buf, which is zeroed first.
char *MacToText(size_t nSize, char *buf, const unsigned char *lpMac);
