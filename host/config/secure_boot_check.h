// Secure Boot chains checked before they are served. Firmware does not tell
// whether Secure Boot is on, so the server judges what it hands to UEFI
// clients: every EFI loader a rule can serve them is read (efi_image.h) and
// compared with the SBAT revocation table (sbat_levels.h), by `check` and
// again when a rule hands the loader out.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Tavrel.h"
#include "host/config/host_config.h"
#include "host/config/profiles.h"

// UEFI clients: the EFI architectures, or a UEFI HTTP Boot vendor class.
bool IsUefiClient(const SelectBootFileRecord &client);

// The file a boot file names on this host: a name under the boot folder, or
// a URL of this host's [http] service; "" for another server's URL.
std::string LocalBootFilePath(const HostConfig &config, const std::string &file);

// `check`'s pass: one warning ("FILE:LINE: boot[N].file: NAME: problem")
// per problem of each loader a UEFI client can get (the rules' files and
// fallbacks, the profiles' uefi-x64, uefi-arm64 and http entries, and
// boot_file when it is an EFI program); counts what it saw in
// config->secureBoot.
void CheckSecureBootChains(const std::string &path, HostConfig *config, std::vector<std::string> *warnings);

// What a rule hands a client once Secure Boot is considered.
struct SecureBootChoice {
    std::string file;       // what is served
    std::string note;       // what the log line, `why` and the page say; "" when nothing is wrong
    bool bDefault = false;  // refused with no fallback: the configured boot_file stays
};

// The serve-time judge, built at every load of the configuration. A loader
// is read again when its size or time changes, so a replaced file is judged
// as it now is.
class SecureBootGuard {
public:
    explicit SecureBootGuard(const HostConfig &config);
    SecureBootChoice Choose(const BootRule &rule, const SelectBootFileRecord &client);
    // FILE, a profile's entry for CLIENT; refused, FALLBACK's entry for the
    // same client is served (the profile's fallback profile, or null).
    SecureBootChoice ChooseInProfile(const std::string &file, const Profile *fallback,
                                     const SelectBootFileRecord &client);

private:
    LoaderVerdict Judge(const std::string &file);
    // FILE, or INSTEAD (told as INSTEADTEXT; "" : boot_file) when refused.
    SecureBootChoice Refuse(const std::string &file, const std::string &instead, const std::string &insteadText,
                            const SelectBootFileRecord &client);
    struct Judged {
        long long size = -1, mtime = 0;
        LoaderVerdict verdict;
    };
    const HostConfig m_Config;
    std::mutex m_Lock;
    std::unordered_map<std::string, Judged> m_Judged;  // by path: only the configuration's files
};
