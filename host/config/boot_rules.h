// Which boot file a client gets: the [[boot]] tables of the configuration,
// tried in order, the first whose every condition holds wins.
#pragma once

#include <string>
#include <vector>

#include "Tavrel.h"

struct BootRule {
    std::vector<int> arches;   // option-93 values; empty: any
    std::string userClass;     // the whole option 77; empty: any
    std::string vendorPrefix;  // start of option 60; empty: any
    std::vector<unsigned char> macPrefix;  // first bytes of the MAC; empty: any
    std::string file;          // "" when the rule names a profile instead
    std::string profile;       // the profile whose chain it gives; "" when it gives FILE
    std::string name;          // where the configuration has it: "boot[2] (line 31)"
    int nFileLine = 0;         // the line of its file key, for the Secure Boot check
    std::string fallback;      // served instead of a revoked loader ([secure_boot] refuse_revoked); "": none
    int nFallbackLine = 0;
};

// The first matching rule, or null (the configured boot_file stays).
const BootRule *MatchBootRule(const std::vector<BootRule> &rules, const SelectBootFileRecord &client);

// The line that says which rule chose the file for this client (wire texts
// escaped), without a line end.
std::string DescribeBootChoice(const BootRule &rule, const SelectBootFileRecord &client);

// The option-93 values an architecture name stands for ("bios", "efi-x64",
// ...), or an empty list for an unknown name. "rpi" stands for
// kArchRaspberryPi: the Raspberry Pi bootloader, told by its MAC's OUI
// (it sends architecture 0, as a BIOS PC does).
constexpr int kArchRaspberryPi = -2;
std::vector<int> ArchitectureCodes(const std::string &name);

// Boot files that are URLs go to UEFI HTTP Boot clients; the rest are names
// under the boot folder ("${http}/…" is a URL).
bool IsBootUrl(const std::string &file);

// "${http}" in a boot file stands for this server's HTTP service in the
// client's address family: "http://192.0.2.1:8080", "http://[2001:db8::1]:8080".
constexpr const char kHttpBaseWord[] = "${http}";
// The flag an IPv6 client's record carries; a MAC of six zero bytes tells
// one too (a library before the flag sent none).
constexpr unsigned char kBootClientIpv6 = TAVREL_BOOT_CLIENT_IPV6;
bool IsIpv6Client(const SelectBootFileRecord &client);
// The base for ADDRESS (either family) and PORT (80 is left out).
std::string HttpBase(const std::string &address, int nPort);
// FILE with every "${http}" replaced by BASE.
std::string ExpandHttpBase(const std::string &file, const std::string &base);
