// tavrel-host: runs the Tavrel library from a TOML configuration file, with
// a policy table (SQLite, or PostgreSQL shared by a farm) deciding which
// server serves which MAC and storing the mirror reports of booted clients.
//   tavrel-host run FILE          serve; SIGHUP re-reads FILE, SIGINT/SIGTERM stop
//   tavrel-host check FILE        validate FILE only
//   tavrel-host reports [--json]  list the stored reports
//   tavrel-host farm [--json]     list the farm's servers
//   tavrel-host assign MAC SERVER / unassign MAC / assignments   the policy table
//   tavrel-host leases [--json]   the library's leases
//   tavrel-host machines [--json] the boot record of every machine seen
//   tavrel-host why MAC|UUID      the last boot attempt of a machine, in words
//   tavrel-host enrol MAC|UUID --profile NAME   a machine's profile; machines --unknown lists the rest
// Each subcommand is one row of kCommands: its options and what it does.
#include <signal.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "build_commit.h"  // made by the build
#include "host/boots/boot_tracker.h"
#include "host/config/host_config.h"
#include "host/config/secure_boot_check.h"
#include "host/web/boot_http_server.h"
#include "host/app/installed_paths.h"
#include "host/app/library_v6.h"
#include "host/app/log_tee.h"
#include "host/app/machine_boot.h"
#include "host/store/lease_journal.h"
#include "host/text/line_cap.h"
#include "host/cli/listings.h"
#include "host/text/address_text.h"
#include "host/text/mac_text.h"
#include "host/text/time_text.h"
#include "host/text/uuid_text.h"
#include "host/cli/machine_listings.h"
#include "host/app/policy_service.h"
#include "host/web/status_server.h"

namespace {

PolicyService *g_lpPolicy = nullptr;
BootTracker *g_lpTracker = nullptr;
// Swapped whole by SIGHUP while the DHCP thread reads it.
std::shared_ptr<const std::vector<BootRule>> g_BootRules;
std::shared_ptr<SecureBootGuard> g_SecureBoot;  // swapped with the rules
LineCap g_BootLines;  // one boot: line per request, and requests come from the wire

int TAVREL_CALLBACK SelectPxeServer(const unsigned char *mac, char *server) {
    return g_lpPolicy ? g_lpPolicy->Choose(mac, server) : 0;
}

// Queued: written by the report thread, so the answer never waits.
int TAVREL_CALLBACK SelectMirrorServerToDB(SelectMirrorRecord *record) {
    if (!g_lpPolicy) return 0;
    g_lpPolicy->Report(*record);
    return 1;
}

// Swapped with the rules: what "${http}" stands for, per family.
std::shared_ptr<const std::pair<std::string, std::string>> g_HttpBases;

// RULE's file for CLIENT, "${http}" made the base of the client's family.
std::string ChosenFile(const BootRule &rule, const SelectBootFileRecord &client) {
    auto bases = std::atomic_load(&g_HttpBases);
    if (!bases || rule.file.find(kHttpBaseWord) == std::string::npos) return rule.file;
    const std::string &base = IsIpv6Client(client) && !bases->second.empty() ? bases->second : bases->first;
    return ExpandHttpBase(rule.file, base);
}

// The [[boot]] rules' choice, as before machines had profiles.
int SelectByRules(const SelectBootFileRecord *client, char *bootfile) {
    auto rules = std::atomic_load(&g_BootRules);
    const BootRule *rule = rules ? MatchBootRule(*rules, *client) : nullptr;
    if (!rule || rule->file.empty()) {  // a rule naming a profile was the machine choice's to take
        if (g_lpTracker) g_lpTracker->NoteRule(client->mac, "", "");  // this exchange credits no rule
        return 0;
    }
    auto guard = std::atomic_load(&g_SecureBoot);
    SecureBootChoice choice = guard ? guard->Choose(*rule, *client) : SecureBootChoice{rule->file, "", false};
    BootRule served = *rule;
    served.file = choice.file;
    choice.file = served.file = ChosenFile(served, *client);
    if (g_lpTracker)
        g_lpTracker->NoteRule(client->mac, "boot[" + std::to_string(rule - rules->data()) + "]", choice.file,
                              choice.note);
    std::string line = DescribeBootChoice(served, *client) + (choice.note.empty() ? "" : "; " + choice.note);
    std::string text = g_BootLines.Admit(line);
    if (!text.empty()) std::cout << text << std::flush;  // one write: other threads log too
    if (choice.bDefault) return 0;
    snprintf(bootfile, 128, "%s", choice.file.c_str());
    return 1;
}

MachineBoot *g_lpMachineBoot = nullptr;

void LogBootLine(const std::string &line) {
    std::string text = g_BootLines.Admit(line);
    if (!text.empty()) std::cout << text << std::flush;
}

// By machine first (enrolment, discovery, a rule's profile), then by the
// rules. SILENCE: the library can leave a client unanswered.
int ChooseForMachine(const SelectBootFileRecordEx &client, char *bootfile, bool silence) {
    if (!g_lpMachineBoot) return SelectByRules(&client.base, bootfile);
    BootAnswer answer = g_lpMachineBoot->Choose(client);
    if (answer.kind == BootAnswer::kRules) {
        if (!answer.line.empty()) LogBootLine(answer.line);
        return SelectByRules(&client.base, bootfile);
    }
    LogBootLine(answer.line);
    if (answer.kind == BootAnswer::kSilent) {
        if (g_lpTracker) g_lpTracker->NoteRule(client.base.mac, "", "");
        return silence ? TAVREL_BOOT_CHOICE_SILENT : 0;
    }
    BootRule served;
    served.file = answer.file;
    std::string file = ChosenFile(served, client.base);
    if (g_lpTracker) g_lpTracker->NoteRule(client.base.mac, answer.rule, file, answer.note);
    if (answer.bDefault) return 0;  // Secure Boot refused the profile's loader: the configured boot_file
    snprintf(bootfile, 128, "%s", file.c_str());
    return 1;
}

int TAVREL_CALLBACK SelectBootFileEx(const SelectBootFileRecordEx *client, char *bootfile) {
    return ChooseForMachine(*client, bootfile, true);
}

// A library without the identity choice: by MAC alone, and always answered.
int TAVREL_CALLBACK SelectBootFile(const SelectBootFileRecord *client, char *bootfile) {
    return ChooseForMachine(ExOf(*client), bootfile, false);
}

int TAVREL_CALLBACK RenderTftpFile(const TftpRenderRecord *request, unsigned char *buffer, int capacity) {
    if (!g_lpMachineBoot) return TAVREL_RENDER_NOT_MINE;
    std::string body;
    int found = g_lpMachineBoot->Render(std::string(request->file, strnlen(request->file, sizeof request->file)),
                                        request->macknown ? MacText(request->mac) : "",
                                        std::string(request->address, strnlen(request->address, sizeof request->address)),
                                        &body, "tftp");
    if (found == 0) return TAVREL_RENDER_NOT_MINE;
    if (found < 0 || body.size() > static_cast<size_t>(capacity)) return TAVREL_RENDER_NOT_FOUND;
    memcpy(buffer, body.data(), body.size());
    return static_cast<int>(body.size());
}

// The library's delivery thread: the record is copied into the tracker at once.
void TAVREL_CALLBACK TakeBootEvent(const BootEventRecord *event) {
    if (g_lpPolicy) g_lpPolicy->NoteAnswer(*event);
    if (g_lpTracker) g_lpTracker->Take(*event);
}

// The same, with the quirks the library named.
void TAVREL_CALLBACK TakeBootEventEx(const BootEventRecordEx *event) {
    if (g_lpPolicy) g_lpPolicy->NoteAnswer(event->base);
    if (g_lpTracker) g_lpTracker->TakeEx(*event);
}

// The same for IPv6 clients and services (the farm's offers are IPv4 only).
void TAVREL_CALLBACK TakeBootEventV6(const BootEventRecordV6 *event) {
    if (g_lpTracker) g_lpTracker->TakeV6(*event);
}

// [ipv6] to the library: a first call starts IPv6 boot, a later one
// reconfigures it. 0, or the library's code.
int ApplyV6(const HostConfig &config) {
    const LibraryV6 &library = FindLibraryV6();
    if (!config.ipv6) return 0;
    if (!library.Available()) {
        std::cerr << "tavrel-host: " << kIpv6Unavailable << "\n";
        return 0;
    }
    library.lpRegister(TakeBootEventV6);
    return library.lpStart(&config.server6, config.ranges6.data(), static_cast<int>(config.ranges6.size()),
                           config.statics6.data(), static_cast<int>(config.statics6.size()));
}

std::string StartFailureV6(int code, const HostConfig &config) {
    return "IPv6 on " + std::string(config.server6.ServerIP) + (*config.server6.ifname ? "%" : "") +
           config.server6.ifname + ": UDP port 547 or 69 is in use or not permitted, or the address is not "
           "ready (code " + std::to_string(code) + ")";
}

void UseBootRules(const HostConfig &config) {
    std::atomic_store(&g_HttpBases, std::make_shared<const std::pair<std::string, std::string>>(
                                        config.httpBase, config.httpBase6));
    std::atomic_store(&g_BootRules, std::make_shared<const std::vector<BootRule>>(config.bootRules));
    auto guard = std::make_shared<SecureBootGuard>(config);
    std::atomic_store(&g_SecureBoot, guard);
    if (g_lpMachineBoot) g_lpMachineBoot->Use(config, guard);
}

// The machine choice to the library: the identity callback when it has one.
void RegisterMachineChoice(const HostConfig &config) {
    const LibraryIdentity &library = FindLibraryIdentity();
    if (library.lpRegisterChoice) library.lpRegisterChoice(SelectBootFileEx);
    else RegisterSelectBootFileCallback(SelectBootFile);
    if (library.lpRegisterRender) library.lpRegisterRender(RenderTftpFile);
    if (!library.lpRegisterChoice && config.identity.mode == UnknownMode::kEnforce)
        std::cerr << "tavrel-host: identity.mode = \"enforce\" needs a Tavrel library with "
                     "RegisterSelectBootFileCallbackEx: unknown machines get the configured boot_file\n";
    bool files = false;
    for (const Profile &profile : config.profiles) files = files || !profile.templates.empty();
    if (files && !library.lpRegisterRender)
        std::cerr << "tavrel-host: the Tavrel library in use has no RegisterRenderTftpFileCallback: the profiles' "
                     "files are served over HTTP only\n";
}

void UnregisterMachineChoice() {
    const LibraryIdentity &library = FindLibraryIdentity();
    if (library.lpRegisterChoice) library.lpRegisterChoice(nullptr);
    if (library.lpRegisterRender) library.lpRegisterRender(nullptr);
    RegisterSelectBootFileCallback(nullptr);
    g_lpMachineBoot = nullptr;
}

// As tavrel-host(8) lists them: 3 tells a script there was nothing to show
// or change (an unknown MAC, no farm), apart from a failure.
constexpr int kExitFailed = 1, kExitInvalid = 2, kExitNothing = 3;
constexpr int kFirstRetrySeconds = 1, kLastRetrySeconds = 30;

// What a load is for: a listing reads the file quietly; a re-read (SIGHUP)
// prints its warnings as a start does; `check` and a start also check what
// only this machine can tell (its addresses).
enum class LoadFor { kListing, kReRead, kServing };

// The warnings' count in WARNINGS.
bool Load(const std::string &path, HostConfig *config, LoadFor use = LoadFor::kListing, size_t *warnings = nullptr) {
    std::vector<std::string> errors, found;
    bool loaded = LoadHostConfig(path, config, &errors, &found);
    if (use != LoadFor::kListing)
        for (const std::string &warning : found) std::cerr << "warning: " << warning << "\n";
    if (warnings) *warnings = found.size();
    if (loaded && (use != LoadFor::kServing || (CheckHostHasAddress(*config, path, &errors) &
                                                CheckHostHasAddress6(*config, path, &errors))))
        return true;
    for (const std::string &error : errors) std::cerr << error << "\n";
    return false;
}

// The library's start codes in plain words.
std::string StartFailure(int code, const HostConfig &config) {
    std::string address = config.server.ServerIP;
    switch (code) {
    case -2:
        return "UDP port 67, 4011 or 4455 on " + address +
               " is in use (another DHCP server?) or not permitted (needs CAP_NET_BIND_SERVICE)";
    case -3:
        return "UDP port 69 (TFTP) on " + address + " is in use (a TFTP server?) or not permitted";
    default:
        return "the library refused to start (code " + std::to_string(code) + ")";
    }
}

// Sleeps SECONDS unless a signal to stop comes first (then false).
bool PauseUnlessStopped(const sigset_t &signals, int seconds) {
    timespec wait{seconds, 0};
    siginfo_t info{};
    int sig = sigtimedwait(&signals, &info, &wait);
    return sig < 0 || sig == SIGHUP;
}

int Apply(int (*proc)(TeskPxeServerStruct *, TeskSubNetStruct *, int, TeskStaticDhcpStruct *, int),
          HostConfig &config) {
    return proc(&config.server, config.ranges.data(), static_cast<int>(config.ranges.size()), config.statics.data(),
                static_cast<int>(config.statics.size()));
}

// [http] serves IPv6 clients on ipv6.address at the same port; a link-local
// address would need its link in every URL, so HTTP stays off it.
bool StartHttpV6(BootHttpServer &http, const HostConfig &config, std::string *error) {
    unsigned char bytes[16];
    if (!config.ipv6 || !ParseAddress6(config.server6.ServerIP, bytes)) return true;
    if (IsLinkLocal6(bytes)) {
        std::cerr << "tavrel-host: HTTP is not served on the link-local " << config.server6.ServerIP
                  << ": give [ipv6] a global or unique-local address for HTTP boot over IPv6\n";
        return true;
    }
    return http.StartV6(config.server6.ServerIP, config.nHttpPort, error);
}

// TFTP's transfer ports and HTTP's connections are shares of the
// descriptor limit: at 65,536 a quarter (16,384 ports) and 8,192
// connections, more than 5,000 machines powering on at once hold; a shell's
// soft limit (often 1,024) would hold them to a few hundred, so it is
// raised as far as the hard limit allows.
constexpr rlim_t kWantedDescriptors = 65536;

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWantedDescriptors) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kWantedDescriptors : std::min(limit.rlim_max, kWantedDescriptors);
    setrlimit(RLIMIT_NOFILE, &limit);
}

int Run(const std::string &path) {
    HostConfig config;
    if (!Load(path, &config, LoadFor::kServing)) return kExitInvalid;
    RaiseDescriptorLimit();  // before the library reads it
    RecentLines lines;  // for the status page, from here to the end
    LogTee tee(lines);
    // The service and policy threads inherit this mask, so only sigwait sees the signals.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // Nothing is served before the policy is read (and, in a farm, this
    // server's first heartbeat is committed): the database may come later.
    std::unique_ptr<PolicyService> policy;
    std::string error;
    for (int wait = kFirstRetrySeconds;; wait = std::min(wait * 2, kLastRetrySeconds)) {
        policy = std::make_unique<PolicyService>();
        bool retry = false;
        if (policy->Start(config, &error, &retry)) break;
        std::cerr << "tavrel-host: " << error << "\n";
        if (!retry) return kExitFailed;
        std::cerr << "tavrel-host: trying the database again in " << wait << " s; nothing is served until then\n";
        policy.reset();
        if (!PauseUnlessStopped(signals, wait)) return 0;
    }
    g_lpPolicy = policy.get();
    auto tracker = std::make_unique<BootTracker>(config.server.ServerIP);
    if (!tracker->StartSaving(config.database, config.machineRetentionSeconds, &error)) {
        std::cerr << "tavrel-host: " << error << "\n";
        return 1;
    }
    g_lpTracker = tracker.get();
    MachineDirectory directory(config.server.ServerIP);
    directory.SetOptions(config.identity);
    if (!directory.StartSyncing(config.database, config.machineRetentionSeconds, &error)) {
        std::cerr << "tavrel-host: " << error << "\n";
        return 1;
    }
    MachineBoot machineBoot(directory);
    machineBoot.SetAttempts([&tracker](const std::string &mac, MachineRecord *record) {
        return tracker->LastAttempt(mac, record);
    });
    g_lpMachineBoot = &machineBoot;
    SetHttpObserver(tracker.get());
    SetReportObserver(tracker.get());  // a report is a boot once the queue took it
    SetBeaconObserver(tracker.get());
    signal(SIGPIPE, SIG_IGN);  // an HTTP client that hangs up ends only its transfer
    RegisterSelectPxeCallback(SelectPxeServer, SelectMirrorServerToDB);
    UseBootRules(config);
    RegisterMachineChoice(config);
    if (FindLibraryV6().lpRegisterEx)
        FindLibraryV6().lpRegisterEx(TakeBootEventEx);
    else
        RegisterBootEventCallback(TakeBootEvent);
    int result = Apply(StartPXE, config);
    if (result != 0) {
        std::cerr << "tavrel-host: cannot serve: " << StartFailure(result, config) << "\n";
        StopPXE();
        return kExitFailed;
    }
    result = ApplyV6(config);
    if (result != 0) {
        std::cerr << "tavrel-host: cannot serve: " << StartFailureV6(result, config) << "\n";
        StopPXE();
        return kExitFailed;
    }
    // The HTTP address and folder, like the TFTP folder, are taken at start.
    BootHttpServer http;
    http.SetRenderer([&machineBoot](const std::string &name, const std::string &address, std::string *body) {
        return machineBoot.Render(name, "", address, body);
    });
    if (!config.httpAddress.empty() &&
        !http.Start(config.server.rootpath, config.httpAddress, config.nHttpPort, &error)) {
        std::cerr << error << "\n";
        StopPXE();
        return kExitFailed;
    }
    if (!config.httpAddress.empty() && !StartHttpV6(http, config, &error)) {
        std::cerr << error << "\n";
        StopPXE();
        return kExitFailed;
    }
    StatusSources sources;
    sources.members = [&policy] { return policy->Members(); };
    if (!config.httpAddress.empty()) sources.http = [&http] { return http.Sending(); };
    sources.lpLines = &lines;
    sources.lpMachines = &directory;
    sources.renders = [&machineBoot] { return machineBoot.Renders(); };
    StatusServer status(*tracker, sources);
    status.SetConfig(config);
    if (!config.metricsAddress.empty() && !status.Start(config.metricsAddress, config.nMetricsPort, &error)) {
        std::cerr << error << "\n";
        StopPXE();
        return 1;
    }
    std::cout << "tavrel-host: serving on " << config.server.ServerIP
              << (config.ipv6 && FindLibraryV6().Available() ? std::string(" and ") + config.server6.ServerIP : "")
              << std::endl;
    for (;;) {
        int sig = 0;
        sigwait(&signals, &sig);
        if (sig != SIGHUP) break;
        HostConfig fresh;
        if (!Load(path, &fresh, LoadFor::kReRead)) {
            std::cerr << "tavrel-host: " << path << " is invalid; the running configuration stays\n";
            continue;
        }
        // A file read while it was being written can parse without its ranges.
        if (fresh.ranges.empty() && !config.ranges.empty() && fresh.server.dhcpmode == 0) {
            std::cerr << "tavrel-host: " << path << " names no [[range]]; the running configuration stays "
                      << "(server.dhcp_mode = \"static-only\" serves static entries only)\n";
            continue;
        }
        if (!policy->Reconfigure(fresh, &error)) {
            std::cerr << "tavrel-host: " << error << "\n";
            continue;
        }
        if (fresh.httpAddress != config.httpAddress || fresh.nHttpPort != config.nHttpPort)
            std::cerr << "tavrel-host: [http] is taken at start: restart the service to apply its change\n";
        bool hadIpv6 = config.ipv6;
        config = fresh;
        UseBootRules(config);
        status.SetConfig(config);
        RefreshPXE(&config.server, config.ranges.data(), static_cast<int>(config.ranges.size()),
                   config.statics.data(), static_cast<int>(config.statics.size()));
        if (hadIpv6 && !config.ipv6)
            std::cerr << "tavrel-host: [ipv6] was removed: IPv6 boot goes on as before until a restart\n";
        else if (int code = ApplyV6(config))
            std::cerr << "tavrel-host: " << StartFailureV6(code, config) << "\n";
        std::cout << "tavrel-host: configuration re-read" << std::endl;
    }
    policy->Leave();  // the farm takes this server's clients while it stops
    status.Stop();
    http.Stop();
    StopPXE();  // delivers the last events first
    UnregisterMachineChoice();
    directory.StopSyncing();
    RegisterBootEventCallback(nullptr);
    if (FindLibraryV6().lpRegisterEx) FindLibraryV6().lpRegisterEx(nullptr);
    if (FindLibraryV6().Available()) FindLibraryV6().lpRegister(nullptr);
    SetHttpObserver(nullptr);
    SetReportObserver(nullptr);
    SetBeaconObserver(nullptr);
    g_lpTracker = nullptr;
    tracker->StopSaving();
    g_lpPolicy = nullptr;
    policy->Stop();
    std::cout << "tavrel-host: stopped" << std::endl;
    return 0;
}

// The store named by --db, or else by the configuration FILE, which must
// then exist and be valid.
struct Options {
    std::string file, database, mac, server, since, dataFolder, profile, name;
    std::vector<std::string> vars;
    bool json = false, fileGiven = false, unknown = false;
    long limit = 100;
};

std::unique_ptr<PolicyStore> OpenStore(const Options &o, int *status) {
    std::string uri = o.database;
    if (uri.empty()) {
        HostConfig config;
        if (!Load(o.file, &config)) {
            if (!o.fileGiven)
                std::cerr << "tavrel-host: " << o.file << " is the default: name the configuration with --config FILE"
                          << " or the database with --db\n";
            *status = kExitInvalid;
            return nullptr;
        }
        uri = config.database;
    }
    std::string error;
    std::unique_ptr<PolicyStore> store = PolicyStore::Open(uri, &error);
    if (!store) {
        std::cerr << "tavrel-host: " << error << "\n";
        *status = kExitFailed;
    }
    return store;
}

int Fail(const std::string &message, int status = kExitFailed) {
    std::cerr << "tavrel-host: " << message << "\n";
    return status;
}

// The server an assignment may name: a member of the farm, by name or
// address; on a single server only its own address (any other leaves the
// MAC unanswered, as no other server reads this table).
bool ResolveServer(PolicyStore &store, const Options &o, std::string *address, std::string *error) {
    std::vector<MemberRow> members;
    if (!store.Members(&members)) return *error = store.LastError(), false;
    for (const MemberRow &member : members)
        if (member.name == o.server || member.address == o.server) return *address = member.address, true;
    if (!members.empty())
        return *error = "no farm member is named or at \"" + o.server + "\" (tavrel-host farm lists them)", false;
    HostConfig config;
    if (!Load(o.file, &config))
        return *error = "no farm member is in this database, and without the configuration (--config FILE) "
                        "the server's own address is unknown",
               false;
    if (config.farm)
        return *error = "no member of this farm has started yet: assign once `tavrel-host farm` lists them", false;
    uint32_t own = AddressValue(config.server.ServerIP);
    if (AddressValue(o.server.c_str()) == own && own != 0) return *address = config.server.ServerIP, true;
    *error = "\"" + o.server + "\" is not this server (" + config.server.ServerIP +
             "), and it is in no farm: no other server would answer that MAC";
    return false;
}

// MAC in the stored form, or a usage error naming the forms.
bool TakeMac(const Options &o, std::string *mac) {
    if (CanonicalMac(o.mac, mac)) return true;
    std::cerr << "tavrel-host: \"" << o.mac
              << "\" is not a MAC address (six hex pairs, like 52:54:00:12:34:56 or 52-54-00-12-34-56)\n";
    return false;
}

// A machine as `why` takes it: a MAC, or an IPv6 client's DUID key as `machines` lists it.
bool TakeMachine(const Options &o, std::string *key) {
    if (CanonicalDuidKey(o.mac, key)) return true;
    if (CanonicalMac(o.mac, key)) return true;
    std::cerr << "tavrel-host: \"" << o.mac << "\" is neither a MAC address (six hex pairs, like 52:54:00:12:34:56) "
              << "nor a DUID key (like duid-00040123...)\n";
    return false;
}

int StoreStatus(PolicyStore &store, bool ok) { return ok ? 0 : Fail(store.LastError()); }

int Assign(PolicyStore &store, const Options &o) {
    std::string mac, address, error;
    if (!TakeMac(o, &mac)) return kExitInvalid;
    if (!ResolveServer(store, o, &address, &error)) return Fail(error, kExitInvalid);
    return StoreStatus(store, store.Assign(mac, address));
}

int Unassign(PolicyStore &store, const Options &o) {
    std::string mac;
    if (!TakeMac(o, &mac)) return kExitInvalid;
    PolicyRows rows;
    if (!store.Assignments(&rows)) return Fail(store.LastError());
    if (std::none_of(rows.begin(), rows.end(), [&](const auto &row) { return row.first == mac; }))
        return Fail(mac + " has no assignment (tavrel-host assignments lists them)", kExitNothing);
    return StoreStatus(store, store.Unassign(mac));
}

// The MAC a machine known by UUID last booted with: its enrolment's, else
// its unknown entry's; "" when neither has one.
bool MacOfUuid(PolicyStore &store, const std::string &uuid, std::string *mac) {
    std::vector<EnrolmentRow> enrolled;
    std::vector<UnknownRow> unknown;
    if (!store.Enrolments(&enrolled) || !store.UnknownMachines(&unknown, 100000)) return false;
    for (const EnrolmentRow &e : enrolled)
        if (mac->empty() && (e.uuid == uuid || e.uuid == OtherByteOrder(uuid))) *mac = e.mac;
    for (const UnknownRow &u : unknown)
        if (mac->empty() && u.uuid == uuid) *mac = u.mac;
    return true;
}

int Why(PolicyStore &store, const Options &o) {
    std::string mac, uuid;
    if (CanonicalUuid(o.mac, &uuid)) {
        if (!MacOfUuid(store, uuid, &mac)) return Fail(store.LastError());
        if (mac.empty()) return std::cout << uuid << ": never heard from this machine\n", kExitNothing;
    } else if (!TakeMachine(o, &mac)) {
        return kExitInvalid;
    }
    MachineRow row;
    bool found = false;
    // PrintWhy tells an unknown MAC in words; the status tells a script.
    if (!store.Machine(mac, &row, &found) || !PrintWhy(store, mac)) return Fail(store.LastError());
    return found ? 0 : kExitNothing;
}

// The profile must be one of the configuration's, when it can be read.
bool CheckProfileName(const Options &o) {
    HostConfig config;
    std::vector<std::string> errors;
    if (!LoadHostConfig(o.file, &config, &errors)) {
        if (o.database.empty() || o.fileGiven) {
            for (const std::string &error : errors) std::cerr << error << "\n";
            return false;
        }
        std::cerr << "warning: without the configuration (--config FILE) profile \"" << o.profile
                  << "\" is not checked\n";
        return true;
    }
    if (FindProfile(config.profiles, o.profile)) return true;
    std::string names;
    for (const Profile &profile : config.profiles) names += (names.empty() ? "" : ", ") + profile.name;
    std::cerr << "tavrel-host: " << o.file << " has no profile \"" << o.profile << "\" ("
              << (names.empty() ? "it has no [profiles.NAME]" : "it has " + names) << ")\n";
    return false;
}

int Enrol(PolicyStore &store, const Options &o) {
    TemplateVars vars;
    for (const std::string &pair : o.vars) {
        size_t equals = pair.find('=');
        if (equals == 0 || equals == std::string::npos)
            return Fail("--var \"" + pair + "\" is not NAME=VALUE", kExitInvalid);
        vars[pair.substr(0, equals)] = pair.substr(equals + 1);
    }
    std::string id, error, canonical;
    if (!CanonicalMac(o.mac, &canonical) && !CanonicalUuid(o.mac, &canonical))
        return Fail("\"" + o.mac + "\" is neither a MAC address (like 52:54:00:12:34:56) nor a UUID "
                    "(like 4c4c4544-0042-3510-8058-b4c04f384d32)", kExitInvalid);
    if (!CheckProfileName(o)) return kExitInvalid;
    bool invalid = false;
    if (!EnrolMachine(store, o.mac, o.profile, o.name, vars, static_cast<double>(time(nullptr)), &id, &error, &invalid))
        return Fail(error, invalid ? kExitInvalid : kExitFailed);
    std::cout << "tavrel-host: " << id << (o.name.empty() ? "" : " (" + o.name + ")") << " is enrolled with profile "
              << o.profile << "; the running service answers it so from now on\n";
    return 0;
}

int Farm(PolicyStore &store, const Options &o) {
    size_t members = 0;
    if (!PrintFarm(store, o.json, &members)) return Fail(store.LastError());
    if (members > 0) return 0;
    return Fail("no farm: no server has joined one in this database", kExitNothing);
}

int Leases(const Options &o) {
    std::string error;
    std::vector<LeaseEntry> leases;
    if (!ReadAllLeases(o.dataFolder.empty() ? LibraryDataFolder() : o.dataFolder, time(nullptr), &leases, &error))
        return Fail(error);
    PrintLeases(leases, o.json);
    return 0;
}

// A store subcommand: ACTION runs on the opened store and gives the exit status.
std::function<int(const Options &)> WithStore(std::function<int(PolicyStore &, const Options &)> action) {
    return [action](const Options &o) {
        int status = 0;
        std::unique_ptr<PolicyStore> store = OpenStore(o, &status);
        return store ? action(*store, o) : status;
    };
}

// A store subcommand that only lists: a failed query is exit status 1.
std::function<int(const Options &)> Listing(std::function<bool(PolicyStore &, const Options &)> list) {
    return WithStore([list](PolicyStore &store, const Options &o) { return StoreStatus(store, list(store, o)); });
}

struct Command {
    const char *name, *help;
    std::function<void(CLI::App *, Options &)> options;
    std::function<int(const Options &)> action;
};

void StoreOptions(CLI::App *sub, Options &o) {
    static const std::string kDefault = DefaultConfigFile(RunningExecutable());
    sub->add_option("--config", o.file, "configuration naming the database")->default_val(kDefault);
    sub->add_option("--db", o.database, "the database itself (SQLite file or postgresql:// URI)");
}

void JsonFlag(CLI::App *sub, Options &o) { sub->add_flag("--json", o.json, "JSON instead of a table"); }

const std::vector<Command> &Commands() {
    static const std::vector<Command> commands = {
        {"run", "serve from a configuration file",
         [](CLI::App *sub, Options &o) { sub->add_option("FILE", o.file, "configuration (TOML)")->required(); },
         [](const Options &o) { return Run(o.file); }},
        {"check", "validate a configuration file, as run would",
         [](CLI::App *sub, Options &o) { sub->add_option("FILE", o.file, "configuration (TOML)")->required(); },
         [](const Options &o) {
             HostConfig config;
             size_t warnings = 0;
             if (!Load(o.file, &config, LoadFor::kServing, &warnings)) return kExitInvalid;
             if (config.ipv6 && !FindLibraryV6().Available()) std::cerr << "warning: " << kIpv6Unavailable << "\n";
             std::cout << o.file << ": " << CheckSummary(config, warnings) << "\n";
             return 0;
         }},
        {"assign", "let SERVER (a farm member, or this server alone) serve MAC",
         [](CLI::App *sub, Options &o) {
             sub->add_option("MAC", o.mac)->required();
             sub->add_option("SERVER", o.server)->required();
             StoreOptions(sub, o);
         },
         WithStore(Assign)},
        {"unassign", "remove the choice for MAC",
         [](CLI::App *sub, Options &o) {
             sub->add_option("MAC", o.mac)->required();
             StoreOptions(sub, o);
         },
         WithStore(Unassign)},
        {"assignments", "list which server serves which MAC",
         [](CLI::App *sub, Options &o) {
             JsonFlag(sub, o);
             StoreOptions(sub, o);
         },
         Listing([](PolicyStore &store, const Options &o) { return PrintAssignments(store, o.json); })},
        {"reports", "list the stored mirror reports, newest last",
         [](CLI::App *sub, Options &o) {
             JsonFlag(sub, o);
             sub->add_option("--limit", o.limit, "at most this many, the newest")->default_val(100)->check(
                 CLI::Validator([](std::string &text) { return atol(text.c_str()) > 0 ? "" : "must be 1 or more"; }, "N"));
             sub->add_option("--since", o.since, std::string("only those at or after a time: ") + kTimeForms)
                 ->transform(CLI::Validator(
                     [](std::string &text) {
                         return ParseLocalTime(text, &text) ? std::string()
                                                             : "\"" + text + "\" is not a time: " + kTimeForms;
                     },
                     "TIME"));
             StoreOptions(sub, o);
         },
         Listing([](PolicyStore &store, const Options &o) { return PrintReports(store, o.json, o.limit, o.since); })},
        {"farm", "list the farm's servers, their state and clients",
         [](CLI::App *sub, Options &o) {
             JsonFlag(sub, o);
             StoreOptions(sub, o);
         },
         WithStore(Farm)},
        {"leases", "list the library's current leases (read from its lease file)",
         [](CLI::App *sub, Options &o) {
             JsonFlag(sub, o);
             sub->add_option("--data", o.dataFolder,
                             "the library's data folder (default: data/ beside the executable's folder)");
             StoreOptions(sub, o);
         },
         Leases},
        {"machines", "list the boot record of every machine seen",
         [](CLI::App *sub, Options &o) {
             JsonFlag(sub, o);
             sub->add_flag("--unknown", o.unknown, "the machines answered without being enrolled instead");
             StoreOptions(sub, o);
         },
         Listing([](PolicyStore &store, const Options &o) {
             return o.unknown ? PrintUnknownMachines(store, o.json) : PrintMachines(store, o.json);
         })},
        {"enrol", "enrol a machine (by MAC or UUID) with a profile (the running service sees it at once)",
         [](CLI::App *sub, Options &o) {
             sub->add_option("MACHINE", o.mac, "its MAC or UUID")->required();
             sub->add_option("--profile", o.profile, "a profile of the configuration ([profiles.NAME])")->required();
             sub->add_option("--name", o.name, "its host name, the {{name}} of its files");
             sub->add_option("--var", o.vars, "NAME=VALUE for its files, again for more");
             StoreOptions(sub, o);
         },
         WithStore(Enrol)},
        {"why", "tell the last boot attempt of MAC (or a UUID, or an IPv6 client's duid-... key) in plain words",
         [](CLI::App *sub, Options &o) {
             sub->add_option("MAC", o.mac)->required();
             StoreOptions(sub, o);
         },
         WithStore(Why)},
    };
    return commands;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"tavrel-host: a network-boot server built on the Tavrel library", "tavrel-host"};
    app.set_version_flag("--version", "tavrel-host " TAVREL_HOST_VERSION " (library " TAVREL_LIBRARY_VERSION
                                      ", commit " TAVREL_BUILD_COMMIT ")");
    app.require_subcommand(1);
    Options options;
    std::vector<std::pair<CLI::App *, const Command *>> subs;
    std::string names;
    for (const Command &command : Commands()) {
        CLI::App *sub = app.add_subcommand(command.name, command.help);
        command.options(sub, options);
        subs.emplace_back(sub, &command);
        names += (names.empty() ? "" : ", ") + std::string(command.name);
    }
    auto known = [&](const char *word) {
        for (const Command &command : Commands())
            if (strcmp(word, command.name) == 0) return true;
        return false;
    };
    if (argc > 1 && argv[1][0] != '-' && !known(argv[1]))
        return Fail(std::string("unknown command \"") + argv[1] + "\" (commands: " + names + ")", kExitInvalid);
    if (argc == 1) {
        std::cerr << app.help();
        return kExitInvalid;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &done) {  // --help, --version
        return app.exit(done);
    } catch (const CLI::ParseError &error) {  // CLI11's own codes are no usage status
        app.exit(error);
        return kExitInvalid;
    }
    for (const auto &sub : subs) {
        if (!*sub.first) continue;
        const CLI::Option *config = sub.first->get_option_no_throw("--config");
        options.fileGiven = config && config->count() > 0;
        return sub.second->action(options);
    }
    return kExitInvalid;
}
