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
    std::string file;
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
// ...), or an empty list for an unknown name.
std::vector<int> ArchitectureCodes(const std::string &name);

// Boot files that are URLs go to UEFI HTTP Boot clients; the rest are names
// under the boot folder.
bool IsBootUrl(const std::string &file);
