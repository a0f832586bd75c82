#include "host/config/profiles.h"

#include <cstring>

namespace {

constexpr const char kHttpClientClass[] = "HTTPClient";
constexpr int kArchBios = 0, kArchX64 = 7, kArchX64Old = 9, kArchArm64 = 11;
constexpr int kHttpArches[] = {15, 16, 19};

}  // namespace

const Profile *FindProfile(const std::vector<Profile> &profiles, const std::string &name) {
    for (const Profile &profile : profiles)
        if (profile.name == name) return &profile;
    return nullptr;
}

std::string ClientFamily(const SelectBootFileRecord &client) {
    if (strcmp(client.userclass, "iPXE") == 0 || (client.flags & TAVREL_BOOT_CLIENT_IPXE)) return "ipxe";
    if (strncmp(client.vendorclass, kHttpClientClass, sizeof kHttpClientClass - 1) == 0) return "http";
    for (int arch : kHttpArches)
        if (client.arch == arch) return "http";
    switch (client.arch) {
        case kArchBios: return "bios";
        case kArchX64:
        case kArchX64Old: return "uefi-x64";
        case kArchArm64: return "uefi-arm64";
        default: return "";
    }
}

std::string ProfileFile(const Profile &profile, const SelectBootFileRecord &client) {
    std::string family = ClientFamily(client);
    auto found = profile.chain.find(family);
    if (found != profile.chain.end()) return found->second;
    if (family == "ipxe") {  // a profile without an iPXE entry: by architecture, as a first request
        SelectBootFileRecord plain = client;
        plain.userclass[0] = '\0';
        plain.flags = static_cast<unsigned char>(plain.flags & ~TAVREL_BOOT_CLIENT_IPXE);
        return ProfileFile(profile, plain);
    }
    return "";
}
