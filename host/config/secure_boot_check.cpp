#include "host/config/secure_boot_check.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "tftp/boot_path.h"

namespace {

const char *const kUefiArchNames[] = {"efi-ia32",      "efi-x64",      "efi-arm32",     "efi-arm64",
                                      "efi-ia32-http", "efi-x64-http", "efi-arm64-http"};
const char kHttpBootVendor[] = "HTTPClient";
constexpr int kDefaultHttpPort = 80;
const char kRefusedBySecureBoot[] = "machines with Secure Boot on refuse it";
// The profile families UEFI firmware itself fetches (iPXE's entry is for a loader already running).
const char *const kFirmwareFamilies[] = {"uefi-x64", "uefi-arm64", "http"};

bool IsUefiArch(int arch) {
    for (const char *name : kUefiArchNames)
        for (int code : ArchitectureCodes(name))
            if (code == arch) return true;
    return false;
}

bool ReachesUefi(const BootRule &rule) {
    if (rule.arches.empty()) return true;
    for (int arch : rule.arches)
        if (IsUefiArch(arch)) return true;
    return false;
}

// A rule for the firmware itself (not for iPXE or another loader that is
// already running): what it serves must be an EFI program.
bool ServesFirmware(const BootRule &rule) {
    bool uefi = !rule.arches.empty() && ReachesUefi(rule);
    return rule.userClass.empty() && (uefi || rule.vendorPrefix.rfind(kHttpBootVendor, 0) == 0);
}

struct Loader {
    std::string key, file;
    int nLine;
    bool bMustBeEfi;  // a non-EFI file is a problem, not something else served alongside
    std::string instead;  // what refuse_revoked serves in its place; "": boot_file
};

std::string RefusedText(const std::string &instead, const HostConfig &config) {
    return ": refused (refuse_revoked), " + (instead.empty() ? "boot_file " + std::string(config.server.bootfile) : instead) +
           " instead";
}

// What a profile's fallback profile serves in place of its entry for FAMILY.
std::string ProfileInstead(const HostConfig &config, const Profile &profile, const std::string &family) {
    const Profile *fallback = profile.fallback.empty() ? nullptr : FindProfile(config.profiles, profile.fallback);
    if (!fallback || !fallback->chain.count(family)) return "";
    return "fallback profile " + fallback->name + "'s " + fallback->chain.at(family);
}

void JudgeForCheck(const std::string &path, HostConfig *config, const Loader &loader,
                   std::vector<std::string> *warnings) {
    std::string local = LocalBootFilePath(*config, loader.file);
    struct stat info {};
    // Another server's URL is not ours to read; a missing file has its own warning.
    if (local.empty() || stat(local.c_str(), &info) != 0) return;
    EfiImage image = ReadEfiImage(local);
    LoaderVerdict verdict = JudgeLoader(image, config->secureBoot);
    std::string where = path + ":" + std::to_string(loader.nLine) + ": " + loader.key + ": " + loader.file + ": ";
    auto warn = [&](const std::string &problem) {
        ++config->secureBoot.nLoaderWarnings;
        config->secureBoot.findings.push_back({loader.key, loader.file, problem});
        warnings->push_back(where + problem);
    };
    if (!verdict.bPe) {
        if (loader.bMustBeEfi) warn(image.problem + ": UEFI firmware cannot start it");
        return;
    }
    ++config->secureBoot.nLoadersChecked;
    if (verdict.problems.empty()) return;
    if (verdict.bRevoked && config->secureBoot.bRefuseRevoked) warn(verdict.Text() + RefusedText(loader.instead, *config));
    else warn(verdict.Text() + ": " + kRefusedBySecureBoot);
}

}  // namespace

bool IsUefiClient(const SelectBootFileRecord &client) {
    return IsUefiArch(client.arch) || strncmp(client.vendorclass, kHttpBootVendor, sizeof kHttpBootVendor - 1) == 0;
}

std::string LocalBootFilePath(const HostConfig &config, const std::string &written) {
    std::string file = config.httpBase.empty() ? written : ExpandHttpBase(written, config.httpBase);
    if (file.find(kHttpBaseWord) != std::string::npos) return "";
    std::string name = file;
    if (IsBootUrl(file)) {
        size_t hostAt = file.find("://") + 3, slash = file.find('/', hostAt);
        std::string host = file.substr(hostAt, slash == std::string::npos ? std::string::npos : slash - hostAt);
        size_t colon = host.rfind(':');
        int port = colon == std::string::npos ? kDefaultHttpPort : atoi(host.c_str() + colon + 1);
        host = host.substr(0, colon);
        bool ours = !config.httpAddress.empty() && port == config.nHttpPort &&
                    (host == config.httpAddress || host == config.server.ServerIP);
        if (!ours || slash == std::string::npos || file.compare(0, 8, "https://") == 0) return "";
        name = file.substr(slash, file.find_first_of("?#", slash) - slash);
    }
    char path[kRealPathSize];
    if (name.empty() || RefuseBootFileName(name.c_str()) || !*config.server.rootpath ||
        !MakeBootFilePath(config.server.rootpath, name.c_str(), path, sizeof path))
        return "";
    return path;
}

void CheckSecureBootChains(const std::string &path, HostConfig *config, std::vector<std::string> *warnings) {
    std::vector<Loader> loaders;
    for (const BootRule &rule : config->bootRules) {
        if (rule.file.empty() || !ReachesUefi(rule)) continue;  // a profile's rule
        std::string key = rule.name.substr(0, rule.name.find(' '));
        loaders.push_back({key + ".file", rule.file, rule.nFileLine, ServesFirmware(rule),
                           rule.fallback.empty() ? "" : "fallback " + rule.fallback});
        if (!rule.fallback.empty())
            loaders.push_back({key + ".fallback", rule.fallback, rule.nFallbackLine, ServesFirmware(rule), ""});
    }
    for (const Profile &profile : config->profiles)
        for (const char *family : kFirmwareFamilies) {
            auto entry = profile.chain.find(family);
            if (entry == profile.chain.end()) continue;
            auto line = profile.chainLines.find(family);
            loaders.push_back({"profiles." + profile.name + "." + family, entry->second,
                               line == profile.chainLines.end() ? profile.nLine : line->second, true,
                               ProfileInstead(*config, profile, family)});
        }
    // Served to every client no rule matched: judged when it is an EFI program.
    loaders.push_back({"server.boot_file", config->server.bootfile, config->secureBoot.nBootFileLine, false, ""});
    for (const Loader &loader : loaders) JudgeForCheck(path, config, loader, warnings);
}

// Read here, on the loading thread, so that the first answers after a
// start or a re-read wait for no file.
SecureBootGuard::SecureBootGuard(const HostConfig &config) : m_Config(config) {
    for (const BootRule &rule : m_Config.bootRules) {
        if (rule.file.empty() || !ReachesUefi(rule)) continue;
        Judge(rule.file);
        if (!rule.fallback.empty()) Judge(rule.fallback);
    }
    for (const Profile &profile : m_Config.profiles)
        for (const char *family : kFirmwareFamilies)
            if (profile.chain.count(family)) Judge(profile.chain.at(family));
}

LoaderVerdict SecureBootGuard::Judge(const std::string &file) {
    std::string local = LocalBootFilePath(m_Config, file);
    struct stat info {};
    if (local.empty() || stat(local.c_str(), &info) != 0) return {};
    std::lock_guard<std::mutex> lock(m_Lock);
    Judged &judged = m_Judged[local];
    if (judged.size != info.st_size || judged.mtime != info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec) {
        judged.size = info.st_size;
        judged.mtime = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
        judged.verdict = JudgeLoader(ReadEfiImage(local), m_Config.secureBoot);
    }
    return judged.verdict;
}

SecureBootChoice SecureBootGuard::Choose(const BootRule &rule, const SelectBootFileRecord &client) {
    return Refuse(rule.file, rule.fallback, "fallback " + rule.fallback, client);
}

SecureBootChoice SecureBootGuard::ChooseInProfile(const std::string &file, const Profile *fallback,
                                                  const SelectBootFileRecord &client) {
    std::string instead = fallback ? ProfileFile(*fallback, client) : "";
    return Refuse(file, instead, instead.empty() ? "" : "fallback profile " + fallback->name + "'s " + instead, client);
}

SecureBootChoice SecureBootGuard::Refuse(const std::string &file, const std::string &instead,
                                         const std::string &insteadText, const SelectBootFileRecord &client) {
    SecureBootChoice choice{file, "", false};
    if (!IsUefiClient(client)) return choice;
    LoaderVerdict verdict = Judge(file);
    if (verdict.problems.empty()) return choice;
    choice.note = "Secure Boot: " + file + ": " + verdict.Text();
    if (!verdict.bRevoked || !m_Config.secureBoot.bRefuseRevoked) {
        choice.note += ", " + std::string(kRefusedBySecureBoot);
        return choice;
    }
    choice.note += RefusedText(instead.empty() ? "" : insteadText, m_Config);
    if (instead.empty()) {
        choice.file = m_Config.server.bootfile;
        choice.bDefault = true;
        return choice;
    }
    choice.file = instead;
    LoaderVerdict fallback = Judge(instead);
    if (!fallback.problems.empty()) choice.note += ", and " + instead + ": " + fallback.Text();
    return choice;
}
