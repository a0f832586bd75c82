// The host's one reader and writer of machine UUIDs. It writes them as
// RFC 4122 text in lowercase ("4c4c4544-0042-3510-8058-b4c04f384d32"), the
// form of the store, the listings and the configuration. Firmware sends the
// same SMBIOS UUID in two byte orders: iPXE's option 97 in RFC 4122 order,
// OVMF's DUID-UUID with its first three fields little-endian as SMBIOS
// keeps them; both come out as the one text.
#pragma once

#include <string>

constexpr size_t kUuidBytes = 16;

// The 16 bytes as they stand, as text.
std::string UuidText(const unsigned char *bytes);
// The 16 bytes of a DUID-UUID (SMBIOS order), as RFC 4122 text.
std::string UuidTextOfSmbiosOrder(const unsigned char *bytes);
// The same UUID's text were its first three fields the other way round:
// what a firmware that mixed the orders up would send.
std::string OtherByteOrder(const std::string &canonical);
// 32 hex digits, with or without the four dashes, either case; false for
// anything else, CANONICAL untouched.
bool CanonicalUuid(const std::string &text, std::string *canonical);
// All zeros or all F: firmware that was never given a UUID.
bool IsPlaceholderUuid(const std::string &canonical);
