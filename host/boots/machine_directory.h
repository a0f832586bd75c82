// Which machine a client is, and whether it is enrolled: keyed by its UUID
// when the UUID can be believed, else by its MAC. The boot-file callback
// asks from memory only; a thread of its own writes the unknown machines
// and what was learnt of enrolled ones to the store, prunes them, and reads
// the enrolments back (so an `enrol`, from any farm member, takes effect
// within a second, without a reload).
//
// A UUID is not believed when it is a placeholder (all zeros, all F), on
// the deny list, or seen on two MACs at once; each is logged once per
// machine. Unknown machines come from the wire, so they are capped: past
// the cap the oldest go, and are counted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/config/profiles.h"
#include "host/store/policy_store.h"

// What the boot-file callback knows of a client.
struct SeenClient {
    std::string uuid;  // canonical text; "" when it sent none
    std::string mac;   // "" when unknown (an IPv6 client may not tell it)
    std::string key;   // the library's lease key, for a client with neither
    std::string address;
    int arch = -1;
    std::string vendorClass;
};

struct Enrolment {
    std::string id, uuid, mac, name, profile;
    TemplateVars vars;
};

struct Identified {
    std::string key;           // the UUID when believed, else the MAC (else the lease key)
    bool trustedUuid = false;
    bool known = false;
    Enrolment enrolment;       // when known
};

struct DirectoryCounters {
    size_t unknown = 0;          // in memory now
    uint64_t unknownDropped = 0; // evicted past the cap, or pruned from the store
    size_t enrolled = 0;
    uint64_t untrusted = 0;      // machines whose UUID was not believed, counted once each
};

// Seen on two MACs within this long of each other: one UUID, two machines.
constexpr double kSameUuidSeconds = 120;

class MachineDirectory {
public:
    using Clock = std::function<double()>;
    explicit MachineDirectory(std::string reporter, Clock clock = nullptr);
    ~MachineDirectory() { StopSyncing(); }

    void SetOptions(const IdentityOptions &options);
    // The callback's: never touches the store.
    Identified Identify(const SeenClient &client);
    // The enrolment of a machine by its MAC, UUID or address, as the last
    // Identify saw it; false when it is not enrolled.
    bool FindEnrolled(const std::string &macOrAddress, Enrolment *enrolment, SeenClient *client);

    // One round of the thread's work; the tests call it themselves.
    bool Sync(PolicyStore &store);
    bool StartSyncing(const std::string &database, double retentionSeconds, std::string *error);
    void StopSyncing();

    std::vector<UnknownRow> Unknown();  // newest first, as last read from the store (the farm's)
    DirectoryCounters Counters();

private:
    struct Index {
        std::unordered_map<std::string, Enrolment> byUuid, byMac;
        size_t count = 0;
    };
    bool Trusted(const SeenClient &client, double now);
    void Warn(const std::string &machine, const std::string &line);
    const Enrolment *Lookup(const Index &index, const SeenClient &client, bool trusted, bool *byUuid) const;
    void Learn(const Enrolment &enrolment, const SeenClient &client, bool trusted, bool byUuid);
    void NoteUnknown(const std::string &key, const SeenClient &client, double now);
    void SyncLoop(std::unique_ptr<PolicyStore> store);

    const std::string m_Reporter;
    const Clock m_Clock;
    std::shared_ptr<const Index> m_Index;  // swapped whole by the sync thread
    std::mutex m_Lock;                     // everything below
    IdentityOptions m_Options;
    std::unordered_map<std::string, std::unordered_map<std::string, double>> m_MacsOfUuid;  // uuid → mac → seen
    std::set<std::string> m_Duplicates;    // UUIDs seen on two MACs at once
    std::set<std::string> m_Warned;        // machines whose untrusted UUID was logged
    std::unordered_map<std::string, UnknownRow> m_Unknown;
    std::set<std::string> m_UnknownChanged;
    std::unordered_map<std::string, std::pair<std::string, std::string>> m_Learnt;  // id → uuid, mac to store
    std::unordered_map<std::string, SeenClient> m_SeenAt;  // address or MAC → client, for the per-machine files
    std::vector<UnknownRow> m_StoredUnknown;
    DirectoryCounters m_Counters;
    double m_RetentionSeconds = 30 * 86400.0;
    int m_nRound = 0;

    std::mutex m_StopLock;
    std::condition_variable m_StopSignal;
    bool m_bStop = false;
    std::thread m_Syncer;
};

// An enrolment's variables as the store keeps them (a JSON object), and back.
std::string VarsText(const TemplateVars &vars);
TemplateVars VarsFromText(const std::string &text);

// Enrols MACHINE (a MAC or a UUID, in any form people type) with PROFILE,
// keeping what the service learnt of it and, unless given, its name; as the
// CLI and the API do it. ID gets its key; false with the problem (ERROR,
// and INVALID when the request itself was wrong).
bool EnrolMachine(PolicyStore &store, const std::string &machine, const std::string &profile, const std::string &name,
                  const TemplateVars &vars, double now, std::string *id, std::string *error, bool *invalid);
