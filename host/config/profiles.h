// Machines and what they boot: [identity] (how a machine is told, and what an
// unknown one gets), [profiles.NAME] (a boot chain per architecture family,
// variables, per-machine files and a fallback profile) and [api].
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "host/text/template_text.h"

// The families a profile names a chain for, in the order they are tried:
// an iPXE client (asking a second time) gets its "ipxe" entry first.
constexpr const char *kProfileFamilies[] = {"ipxe", "http", "bios", "uefi-x64", "uefi-arm64"};

struct Profile {
    std::string name;
    std::map<std::string, std::string> chain;  // family → boot file (or "${http}/..." URL)
    std::map<std::string, int> chainLines;      // family → where its entry stands
    TemplateVars vars;
    std::string fallback;  // the profile a machine whose boots keep failing gets; "" none
    std::map<std::string, std::string> files;      // name served → template path, as written
    std::map<std::string, std::string> templates;  // name served → the template's text, read at load
    int nLine = 0;
};

enum class UnknownMode { kLog, kEnforce };

struct IdentityOptions {
    UnknownMode mode = UnknownMode::kLog;
    std::string discovery;              // the profile unknown machines get in log mode; "": the [[boot]] rules
    std::vector<std::string> denyUuids; // canonical texts
    size_t nMaxUnknown = 4096;
};

// The variables every rendering has, besides the profile's own.
constexpr const char *kMachineVars[] = {"name", "mac", "uuid", "address", "arch", "server", "profile"};

// The profile named NAME, or null.
const Profile *FindProfile(const std::vector<Profile> &profiles, const std::string &name);

// The family of a client: "ipxe" for iPXE, "http" for UEFI HTTP Boot, then
// by architecture; "" for one no family holds.
std::string ClientFamily(const SelectBootFileRecord &client);
// PROFILE's boot file for CLIENT: its family's entry, else "" (none).
std::string ProfileFile(const Profile &profile, const SelectBootFileRecord &client);
