// The host's one reader and writer of IPv4 addresses. A text is four
// decimal parts of one to three digits, 0 to 255, between dots: "192.0.2.1".
// A leading zero is read in decimal ("192.0.2.010" is 192.0.2.10), as the
// library reads the texts the configuration hands it; nothing else is
// taken (no octal or hex parts, no missing parts, no spaces).
#pragma once

#include <cstdint>
#include <string>

// TEXT's value in host order; false, *VALUE untouched, for anything else.
bool ParseAddress(const std::string &text, uint32_t *value);
// The value in host order, 0 for a text that is no address.
uint32_t AddressValue(const std::string &text);
// The dotted text of a host-order value, without leading zeros.
std::string AddressText(uint32_t value);
// TEXT in the form AddressText writes ("192.0.2.010" as "192.0.2.10");
// false for a text that is no address.
bool CanonicalAddress(const std::string &text, std::string *canonical);

// IPv6: any text form inet_pton reads, no scope ("%eth0") and no prefix;
// the canonical form is RFC 5952's ("2001:db8::1").
bool ParseAddress6(const std::string &text, unsigned char bytes[16]);
bool CanonicalAddress6(const std::string &text, std::string *canonical);
bool IsLinkLocal6(const unsigned char bytes[16]);
// Whether A and B share their first nLength bits.
bool SamePrefix6(const unsigned char a[16], const unsigned char b[16], int nLength);
// ADDRESS as the host part of a URL: IPv6 in brackets ("[2001:db8::1]"), IPv4 as it is.
std::string UrlHost(const std::string &address);
