// The boot record of every machine this server sees, built from the
// library's boot events and the HTTP server's news, and the counters the
// metrics are made of. A thread of its own writes changed records to the
// store (so farm members see each other's machines), prunes those past the
// retention, and reads back what the whole farm saw.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Tavrel.h"
#include "host/http_counters.h"
#include "host/machine_record.h"
#include "host/policy_store.h"

using CountsByLabel = std::map<std::string, uint64_t>;

struct BootCounters {
    CountsByLabel dhcpAnswers;     // "TYPE PORT", such as "offer 67"
    CountsByLabel dhcpUnanswered;  // reason key
    uint64_t dhcpDeclines = 0;
    CountsByLabel mirrorMessages;  // "request", "report"
    CountsByLabel tftpTransfers;   // "complete" or a reason key
    CountsByLabel tftpRefused;     // reason key
    uint64_t tftpBytes = 0;
    CountsByLabel httpRequests;    // status code
    uint64_t httpBytes = 0;
    int64_t httpInFlight = 0;
    int64_t droppedEvents = 0;
};

class BootTracker : public HttpObserver {
public:
    explicit BootTracker(std::string reporter) : m_Reporter(std::move(reporter)) {}
    ~BootTracker() { StopSaving(); }

    // The library's delivery thread.
    void Take(const BootEventRecord &event);
    // The boot-file callback: which rule chose the file for MAC.
    void NoteRule(const unsigned char *mac, const std::string &rule);
    void HttpStarted() override;
    void HttpEnded(const HttpRequestEnd &end) override;

    // This server's records, and the farm's as last read from the store;
    // the freshest of each, newest first.
    std::vector<MachineRecord> Machines();
    BootCounters Counters();
    // Addresses of [BEGIN, END] (host order) acknowledged within a lease time.
    long AddressesInUse(uint32_t dwBegin, uint32_t dwEnd);

    bool StartSaving(const std::string &database, double retentionSeconds, std::string *error);
    void StopSaving();

private:
    MachineRecord &RecordOf(const std::string &key);
    std::string KeyOfAddress(const std::string &address);
    void Record(const std::string &key, const BootStep &step, const std::string &address);
    void TakeDhcp(const BootEventRecord &event, BootStep step);
    void TakeTftp(const BootEventRecord &event, BootStep step);
    void SaveLoop(std::unique_ptr<PolicyStore> store, double retentionSeconds);
    void Save(PolicyStore &store);

    const std::string m_Reporter;
    std::mutex m_Lock;  // everything below but the saver's own
    std::unordered_map<std::string, MachineRecord> m_Machines;  // MAC (or address) → record
    std::unordered_map<std::string, std::string> m_MacOfAddress;
    std::unordered_map<std::string, std::string> m_RuleOfMac;
    std::unordered_map<uint32_t, double> m_Acknowledged;  // address (host order) → time
    std::set<std::string> m_Changed;
    std::vector<MachineRecord> m_Farm;  // as read from the store
    BootCounters m_Counters;

    std::mutex m_StopLock;
    std::condition_variable m_StopSignal;
    bool m_bStop = false;
    std::thread m_Saver;
};

// A MachineRecord from its stored row, and back.
MachineRecord RecordFromRow(const MachineRow &row);
MachineRow RowFromRecord(const MachineRecord &record);
