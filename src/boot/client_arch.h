// What a booting client says about itself in its vendor class, read the
// same way for DHCPv4 (option 60) and DHCPv6 (option 16): the architecture
// PXE firmware writes in decimal ("PXEClient:Arch:00007:..."), and whether
// the client is a UEFI HTTP Boot one ("HTTPClient...").
#pragma once

#include <cstddef>

// The decimal architecture after "PXEClient:Arch:" (five digits, then ':'
// or the end, at most 0xffff); -1 for anything else. lpVendor is a
// NUL-terminated text.
int VendorClassArch(const char *lpVendor);
// Whether the vendor class begins "HTTPClient".
bool IsHttpClientClass(const char *lpVendor);
// The vendor class UEFI HTTP Boot clients send and expect echoed.
constexpr const char kHttpClientClass[] = "HTTPClient";
