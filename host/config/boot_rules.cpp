#include "host/config/boot_rules.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "boot/raspberry_pi.h"
#include "host/text/address_text.h"
#include "host/text/mac_text.h"
#include "log/log_text.h"

namespace {

struct ArchName {
    const char *lpName;
    std::vector<int> codes;
};

// RFC 4578 and the IANA processor-architecture registry. x64 firmware sends
// 7 or 9 (both were used for x64 before the registry settled).
const ArchName kArchNames[] = {
    {"bios", {0}},           {"efi-ia32", {6}},        {"efi-x64", {7, 9}},
    {"efi-arm32", {10}},     {"efi-arm64", {11}},      {"efi-ia32-http", {15}},
    {"efi-x64-http", {16}},  {"efi-arm64-http", {19}},   {"rpi", {kArchRaspberryPi}},
};

bool StartsWith(const char *text, const std::string &prefix) {
    return strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

const char kIpxeUserClass[] = "iPXE";

// iPXE builds configured without a user class still send option 175: a
// rule for iPXE must catch them too, or a chainload fetches iPXE forever.
bool UserClassMatches(const std::string &wanted, const SelectBootFileRecord &client) {
    if (wanted.empty() || wanted == client.userclass) return true;
    return wanted == kIpxeUserClass && (client.flags & TAVREL_BOOT_CLIENT_IPXE) != 0;
}

// An IPv6 client whose DUID holds no MAC comes with six zero bytes.
bool MacUnknown(const unsigned char *mac) {
    static const unsigned char kNone[6] = {};
    return memcmp(mac, kNone, sizeof kNone) == 0;
}

bool Matches(const BootRule &rule, const SelectBootFileRecord &client) {
    if (!rule.arches.empty()) {
        bool any = false;
        for (int code : rule.arches)
            any = any || (code == kArchRaspberryPi ? IsRaspberryPiBootloader(client.mac, client.arch, client.vendorclass)
                                                   : code == client.arch);
        if (!any) return false;
    }
    if (!UserClassMatches(rule.userClass, client)) return false;
    if (!StartsWith(client.vendorclass, rule.vendorPrefix)) return false;
    if (rule.macPrefix.empty()) return true;
    return !MacUnknown(client.mac) && memcmp(client.mac, rule.macPrefix.data(), rule.macPrefix.size()) == 0;
}

}  // namespace

const BootRule *MatchBootRule(const std::vector<BootRule> &rules, const SelectBootFileRecord &client) {
    for (const BootRule &rule : rules)
        if (Matches(rule, client)) return &rule;
    return nullptr;
}

std::string DescribeBootChoice(const BootRule &rule, const SelectBootFileRecord &client) {
    char line[1536];
    snprintf(line, sizeof line, "boot: %s (arch %d, user class \"%s\"%s, vendor class \"%s\") gets %s from %s",
             MacUnknown(client.mac) ? "(MAC unknown)" : MacText(client.mac).c_str(), client.arch, PrintableText(client.userclass).Text(),
             client.flags & TAVREL_BOOT_CLIENT_IPXE ? ", iPXE options" : "",
             PrintableText(client.vendorclass).Text(),
             rule.file.empty() ? "the Raspberry Pi bootloader's answer" : rule.file.c_str(), rule.name.c_str());
    return line;
}

std::vector<int> ArchitectureCodes(const std::string &name) {
    for (const ArchName &arch : kArchNames)
        if (name == arch.lpName) return arch.codes;
    return {};
}

bool IsBootUrl(const std::string &file) {
    return file.rfind("http://", 0) == 0 || file.rfind("https://", 0) == 0 || file.rfind(kHttpBaseWord, 0) == 0;
}

bool IsIpv6Client(const SelectBootFileRecord &client) {
    return (client.flags & kBootClientIpv6) != 0 || MacUnknown(client.mac);
}

std::string HttpBase(const std::string &address, int nPort) {
    constexpr int kHttpPort = 80;
    return "http://" + UrlHost(address) + (nPort == kHttpPort ? "" : ":" + std::to_string(nPort));
}

std::string ExpandHttpBase(const std::string &file, const std::string &base) {
    std::string out = file;
    const size_t nWord = sizeof kHttpBaseWord - 1;
    for (size_t at = 0; (at = out.find(kHttpBaseWord, at)) != std::string::npos; at += base.size())
        out.replace(at, nWord, base);
    return out;
}
