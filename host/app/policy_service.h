// Everything tavrel-host keeps for the library's two callbacks: the policy
// view the first one reads, the farm membership that refreshes it, and the
// queue the second one fills. Each part has a database connection of its
// own; the callbacks themselves never touch the database.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "host/farm/farm.h"
#include "host/config/host_config.h"
#include "host/store/report_queue.h"

class PolicyService {
public:
    ~PolicyService();
    // Connects, registers this server in the farm and refuses when its
    // dynamic ranges overlap a live member's; then starts the threads.
    // RETRY tells a failure to reach the database (worth trying again) from
    // a refusal.
    bool Start(const HostConfig &config, std::string *error, bool *retry);
    // Checks a re-read configuration the same way; on success it is what
    // the next heartbeat registers.
    bool Reconfigure(const HostConfig &fresh, std::string *error);
    // Stops answering and tells the farm, first of all when stopping.
    void Leave();
    void Stop();
    // A boot event: the offers its clients have not taken yet count
    // against this server's room.
    void NoteAnswer(const BootEventRecord &event);

    int Choose(const unsigned char *mac, char *server) { return m_View->Choose(mac, server); }
    // Reports are believed only from clients this server chose recently.
    void Report(const SelectMirrorRecord &record) { m_Reports->Push(record, m_View->ChoseRecently(record.mac)); }
    // The farm's members as last read (this server alone when not in a farm).
    std::vector<MemberRow> Members() { return m_Sync ? m_Sync->KnownMembers() : std::vector<MemberRow>{}; }

private:
    std::unique_ptr<PolicyStore> m_Store;  // the main thread's connection
    std::unique_ptr<PolicyView> m_View;
    std::unique_ptr<FarmSync> m_Sync;
    std::unique_ptr<ReportQueue> m_Reports;
    HeldOffers m_Offers;
    bool m_bFarm = false;
    // Free addresses of this server's ranges and the leases it holds, from the
    // library's lease file; guarded for the sync thread that reads them.
    LeaseCount CountLeases();
    std::mutex m_RangesLock;  // a SIGHUP replaces the ranges
    std::vector<TeskSubNetStruct> m_Ranges;
    std::string m_LeasePath;
    std::vector<std::chrono::steady_clock::time_point> m_RangeFullLogged;  // per range, when its exhaustion was told
};
