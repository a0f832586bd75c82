// tavrel-host: runs the Tavrel library from a TOML configuration file, with
// a policy table (SQLite, or PostgreSQL shared by a farm) deciding which
// server serves which MAC and storing the mirror reports of booted clients.
//   tavrel-host run FILE          serve; SIGHUP re-reads FILE, SIGINT/SIGTERM stop
//   tavrel-host check FILE        validate FILE only
//   tavrel-host reports [--json]  list the stored reports
//   tavrel-host farm [--json]     list the farm's servers
//   tavrel-host assign MAC SERVER / unassign MAC   edit the policy table
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "Tavrel.h"
#include "host/host_config.h"
#include "host/http_server.h"
#include "host/listings.h"
#include "host/policy_service.h"

namespace {

PolicyService *g_lpPolicy = nullptr;
// Swapped whole by SIGHUP while the DHCP thread reads it.
std::shared_ptr<const std::vector<BootRule>> g_BootRules;

int TAVREL_CALLBACK SelectPxeServer(const unsigned char *mac, char *server) {
    return g_lpPolicy ? g_lpPolicy->Choose(mac, server) : 0;
}

// Queued: written by the report thread, so the answer never waits.
int TAVREL_CALLBACK SelectMirrorServerToDB(SelectMirrorRecord *record) {
    if (!g_lpPolicy) return 0;
    g_lpPolicy->Report(*record);
    return 1;
}

int TAVREL_CALLBACK SelectBootFile(const SelectBootFileRecord *client, char *bootfile) {
    auto rules = std::atomic_load(&g_BootRules);
    const BootRule *rule = rules ? MatchBootRule(*rules, *client) : nullptr;
    if (!rule) return 0;
    snprintf(bootfile, 128, "%s", rule->file.c_str());
    std::cout << DescribeBootChoice(*rule, *client) + "\n" << std::flush;  // one write: other threads log too
    return 1;
}

void UseBootRules(const HostConfig &config) {
    std::atomic_store(&g_BootRules, std::make_shared<const std::vector<BootRule>>(config.bootRules));
}

bool Load(const std::string &path, HostConfig *config) {
    std::vector<std::string> errors;
    if (LoadHostConfig(path, config, &errors)) return true;
    for (const std::string &error : errors) std::cerr << error << "\n";
    return false;
}

int Apply(int (*proc)(TeskPxeServerStruct *, TeskSubNetStruct *, int, TeskStaticDhcpStruct *, int),
          HostConfig &config) {
    return proc(&config.server, config.ranges.data(), static_cast<int>(config.ranges.size()), config.statics.data(),
                static_cast<int>(config.statics.size()));
}

int Run(const std::string &path) {
    HostConfig config;
    if (!Load(path, &config)) return 2;
    // The service and policy threads inherit this mask, so only sigwait sees the signals.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    auto policy = std::make_unique<PolicyService>();
    std::string error;
    if (!policy->Start(config, &error)) {
        std::cerr << "tavrel-host: " << error << "\n";
        return 1;
    }
    g_lpPolicy = policy.get();
    signal(SIGPIPE, SIG_IGN);  // an HTTP client that hangs up ends only its transfer
    RegisterSelectPxeCallback(SelectPxeServer, SelectMirrorServerToDB);
    UseBootRules(config);
    RegisterSelectBootFileCallback(SelectBootFile);
    int result = Apply(StartPXE, config);
    if (result != 0) {
        std::cerr << "StartPXE failed: " << result << "\n";
        StopPXE();
        return 1;
    }
    // The HTTP address and folder, like the TFTP folder, are taken at start.
    BootHttpServer http;
    if (!config.httpAddress.empty() &&
        !http.Start(config.server.rootpath, config.httpAddress, config.nHttpPort, &error)) {
        std::cerr << error << "\n";
        StopPXE();
        return 1;
    }
    std::cout << "tavrel-host: serving on " << config.server.ServerIP << std::endl;
    for (;;) {
        int sig = 0;
        sigwait(&signals, &sig);
        if (sig != SIGHUP) break;
        HostConfig fresh;
        if (!Load(path, &fresh)) {
            std::cerr << "tavrel-host: " << path << " is invalid; the running configuration stays\n";
            continue;
        }
        if (!policy->Reconfigure(fresh, &error)) {
            std::cerr << "tavrel-host: " << error << "\n";
            continue;
        }
        config = fresh;
        UseBootRules(config);
        RefreshPXE(&config.server, config.ranges.data(), static_cast<int>(config.ranges.size()),
                   config.statics.data(), static_cast<int>(config.statics.size()));
        std::cout << "tavrel-host: configuration re-read" << std::endl;
    }
    http.Stop();
    StopPXE();
    g_lpPolicy = nullptr;
    policy->Stop();
    std::cout << "tavrel-host: stopped" << std::endl;
    return 0;
}

std::string DatabaseOf(const std::string &configPath, const std::string &database) {
    if (!database.empty()) return database;
    HostConfig config;
    std::vector<std::string> errors;
    LoadHostConfig(configPath, &config, &errors);
    return config.database;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"tavrel-host: a network-boot server built on the Tavrel library"};
    app.require_subcommand(1);
    std::string file, database, mac, server;
    bool json = false;
    CLI::App *run = app.add_subcommand("run", "serve from a configuration file");
    run->add_option("FILE", file, "configuration (TOML)")->required();
    CLI::App *check = app.add_subcommand("check", "validate a configuration file");
    check->add_option("FILE", file, "configuration (TOML)")->required();
    CLI::App *reports = app.add_subcommand("reports", "list the stored mirror reports");
    CLI::App *farm = app.add_subcommand("farm", "list the farm's servers, their state and clients");
    CLI::App *assign = app.add_subcommand("assign", "let SERVER serve MAC");
    assign->add_option("MAC", mac)->required();
    assign->add_option("SERVER", server)->required();
    CLI::App *unassign = app.add_subcommand("unassign", "remove the choice for MAC");
    unassign->add_option("MAC", mac)->required();
    reports->add_flag("--json", json, "JSON instead of a table");
    farm->add_flag("--json", json, "JSON instead of a table");
    for (CLI::App *sub : {reports, farm, assign, unassign}) {
        sub->add_option("--config", file, "configuration naming the database")->default_val("tavrel.toml");
        sub->add_option("--db", database, "the database itself");
    }
    CLI11_PARSE(app, argc, argv);

    if (*run) return Run(file);
    if (*check) {
        HostConfig config;
        if (!Load(file, &config)) return 2;
        std::cout << file << ": ok (" << config.ranges.size() << " ranges, " << config.statics.size()
                  << " static entries, " << config.bootRules.size() << " boot rules)\n";
        return 0;
    }
    std::string error;
    std::unique_ptr<PolicyStore> store = PolicyStore::Open(DatabaseOf(file, database), &error);
    if (!store) {
        std::cerr << error << "\n";
        return 1;
    }
    bool ok = *assign ? store->Assign(mac, server)
              : *unassign ? store->Unassign(mac)
              : *farm     ? PrintFarm(*store, json)
                          : PrintReports(*store, json);
    if (!ok) std::cerr << "tavrel-host: " << store->LastError() << "\n";
    return ok ? 0 : 1;
}
