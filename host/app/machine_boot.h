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

#include <memory>
#include <mutex>
#include <string>

#include "Tavrel.h"
#include "host/boots/machine_directory.h"
#include "host/config/host_config.h"

struct BootAnswer {
    enum Kind { kRules, kFile, kSilent } kind = kRules;
    std::string file;     // kFile: the boot file, "${http}" not yet expanded
    std::string rule;     // what chose it, for the record: "profile rack" or "boot[2]"
    std::string line;     // the log line ("" for kRules)
};

// The client as the directory takes it, from the library's record.
SeenClient SeenOf(const SelectBootFileRecordEx &client);
// A record for a library that calls only the old callback: no UUID.
SelectBootFileRecordEx ExOf(const SelectBootFileRecord &client);

class MachineBoot {
public:
    explicit MachineBoot(MachineDirectory &directory) : m_Directory(directory) {}
    // The configuration's profiles, rules and [identity]; again after SIGHUP.
    void Use(const HostConfig &config);
    BootAnswer Choose(const SelectBootFileRecordEx &client);
    // FILE rendered for the machine at ADDRESS (or with MAC, when known):
    // 1 with BODY, 0 when FILE is no per-machine file, -1 when it is one but
    // that machine has none (or its rendering failed: logged).
    int Render(const std::string &file, const std::string &mac, const std::string &address, std::string *body);

private:
    struct Settings {
        std::vector<Profile> profiles;
        std::vector<BootRule> rules;
        IdentityOptions identity;
        std::string server;
    };
    BootAnswer FromProfile(const Profile &profile, const SelectBootFileRecordEx &client, const std::string &why);
    MachineDirectory &m_Directory;
    std::shared_ptr<const Settings> m_Settings = std::make_shared<Settings>();
};

// The variables a machine's files are rendered with: the profile's, the
// enrolment's over them, and the machine's own over both.
TemplateVars MachineVars(const Profile &profile, const Enrolment &enrolment, const SeenClient &client,
                         const std::string &server);
