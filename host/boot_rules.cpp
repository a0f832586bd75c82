#include "host/boot_rules.h"

#include <cctype>
#include <cstring>


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
    {"efi-x64-http", {16}},  {"efi-arm64-http", {19}},
};

bool StartsWith(const char *text, const std::string &prefix) {
    return strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

bool Matches(const BootRule &rule, const SelectBootFileRecord &client) {
    if (!rule.arches.empty()) {
        bool any = false;
        for (int code : rule.arches) any = any || code == client.arch;
        if (!any) return false;
    }
    if (!rule.userClass.empty() && rule.userClass != client.userclass) return false;
    if (!StartsWith(client.vendorclass, rule.vendorPrefix)) return false;
    return rule.macPrefix.empty() || memcmp(client.mac, rule.macPrefix.data(), rule.macPrefix.size()) == 0;
}

}  // namespace

const BootRule *MatchBootRule(const std::vector<BootRule> &rules, const SelectBootFileRecord &client) {
    for (const BootRule &rule : rules)
        if (Matches(rule, client)) return &rule;
    return nullptr;
}

std::vector<int> ArchitectureCodes(const std::string &name) {
    for (const ArchName &arch : kArchNames)
        if (name == arch.lpName) return arch.codes;
    return {};
}

bool ParseMacPrefix(const std::string &text, std::vector<unsigned char> *bytes) {
    bytes->clear();
    if (text.empty() || text.size() > 17 || text.size() % 3 != 2) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2 ? text[i] != ':' : !isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    for (size_t i = 0; i < text.size(); i += 3)
        bytes->push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return true;
}

bool IsBootUrl(const std::string &file) {
    return file.rfind("http://", 0) == 0 || file.rfind("https://", 0) == 0;
}
