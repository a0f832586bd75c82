// The boot-file choice by machine: an enrolled machine gets its profile's
// chain, an unknown one the discovery profile (identity.mode = "log") or no
// answer ("enforce"), and a [[boot]] rule may name a profile too. What it
// leaves to the [[boot]] rules it says so. It also renders the profiles'
// per-machine files, for TFTP (through the library) and for HTTP.
//
// Per-machine file names: a client asks a profile's file by its plain name
// ("grub.cfg") and gets its own, found by the MAC its lease holds (TFTP) or
// its address; or anyone asks "m/KEY/NAME", KEY being the enrolled
// machine's MAC or UUID.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <string>

#include "Tavrel.h"
#include "host/boots/machine_directory.h"
#include "host/boots/machine_record.h"
#include "host/config/host_config.h"
#include "host/config/secure_boot_check.h"
#include "host/web/metrics_text.h"

struct BootAnswer {
    enum Kind { kRules, kFile, kSilent } kind = kRules;
    std::string file;     // kFile: the boot file, "${http}" not yet expanded
    std::string rule;     // what chose it, for the record: "profile rack" or "boot[2]"
    std::string line;     // the log line ("" for kRules)
    std::string note;     // why a fallback profile serves it, for `why`; "" otherwise
    bool bDefault = false;  // kFile refused by Secure Boot with nothing in its place: boot_file is served
};

// A machine heals itself: after its last two attempts failed at the same
// stage because of what it was served (a TFTP client error, a timeout or
// silence once its loader was fetched), not because of the network, its
// next one gets the profile's fallback.
using AttemptSource = std::function<bool(const std::string &mac, MachineRecord *record)>;

// The client as the directory takes it, from the library's record.
SeenClient SeenOf(const SelectBootFileRecordEx &client);
// A record for a library that calls only the old callback: no UUID.
SelectBootFileRecordEx ExOf(const SelectBootFileRecord &client);

class MachineBoot {
public:
    explicit MachineBoot(MachineDirectory &directory) : m_Directory(directory) {}
    // The configuration's profiles, rules and [identity]; again after SIGHUP.
    // GUARD (none: no Secure Boot judgement) judges the profiles' loaders.
    void Use(const HostConfig &config, std::shared_ptr<SecureBootGuard> guard = nullptr);
    BootAnswer Choose(const SelectBootFileRecordEx &client);
    // Where the machines' last attempts are read (the boot tracker); none: no healing.
    void SetAttempts(AttemptSource source) { m_Attempts = std::move(source); }
    // FILE rendered for the machine at ADDRESS (or with MAC, when known):
    // 1 with BODY, 0 when FILE is no per-machine file, -1 when it is one but
    // that machine has none (or its rendering failed: logged). Counted by
    // SERVICE ("tftp" or "http") for the metrics.
    int Render(const std::string &file, const std::string &mac, const std::string &address, std::string *body,
               const char *lpService = "http");
    RenderCounts Renders() const;

private:
    struct Settings {
        std::vector<Profile> profiles;
        std::vector<BootRule> rules;
        IdentityOptions identity;
        std::string server;
        std::shared_ptr<SecureBootGuard> guard;
    };
    BootAnswer FromProfile(const Settings &settings, const Profile &profile, const SelectBootFileRecordEx &client,
                           const std::string &why);
    // PROFILE's fallback, with why, when KEY's last two attempts failed alike; else null.
    const Profile *Healing(const Settings &settings, const Profile &profile, const std::string &key,
                           const std::string &mac, std::string *note);
    struct Outcome {
        double start = 0;
        std::string stage, reason;
        bool served = false;  // failed because of what it was served
    };
    int RenderFile(const std::string &file, const std::string &mac, const std::string &address, std::string *body);
    MachineDirectory &m_Directory;
    AttemptSource m_Attempts;
    mutable std::mutex m_RendersLock;
    RenderCounts m_Renders;
    std::mutex m_OutcomesLock;
    std::unordered_map<std::string, std::deque<Outcome>> m_Outcomes;  // machine key → its last two attempts
    std::shared_ptr<const Settings> m_Settings = std::make_shared<Settings>();
};

// The variables a machine's files are rendered with: the profile's, the
// enrolment's over them, and the machine's own over both.
TemplateVars MachineVars(const Profile &profile, const Enrolment &enrolment, const SeenClient &client,
                         const std::string &server);
