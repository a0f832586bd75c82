// The boot record of every machine this server sees, built from the
// library's boot events, the HTTP server's news and the reports the report
// queue accepted, and the counters the metrics are made of. A thread of its
// own writes changed records to the store (so farm members see each other's
// machines), prunes those past the retention, and reads back what the whole
// farm saw.
//
// Requests come from the wire, so a record is made only once this server
// answered the machine, and no more than so many a minute from one source
// address; a machine never answered stays in a small table in memory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Tavrel.h"
#include "host/boots/http_observer.h"
#include "host/boots/machine_record.h"
#include "host/farm/farm_beacon.h"
#include "host/store/policy_store.h"
#include "host/store/report_queue.h"

namespace machine_limits {
// A fleet of 5,000 that powers on within half a minute brings each of them
// a record (a source is the address each is offered, one per machine).
constexpr size_t kMaxUnanswered = 1024;        // machines never answered, in memory only
constexpr int kNewPerSourceMinute = 20;        // new records one source address brings in a minute
constexpr int kNewPerMinute = 15000;           // and all sources together
constexpr size_t kMaxSourcesMinute = 16384;    // sources counted in a minute; the rest bring none
}  // namespace machine_limits

using CountsByLabel = std::map<std::string, uint64_t>;

// Observations counted into fixed buckets, as a Prometheus histogram shows
// them: counts[i] of those at most bounds[i], the last count those above.
struct TimeHistogram {
    std::vector<double> bounds;  // seconds, ascending
    std::vector<uint64_t> counts = std::vector<uint64_t>(bounds.size() + 1);
    double sum = 0;
    uint64_t total = 0;
    void Observe(double seconds);
};

struct BootCounters {
    CountsByLabel dhcpAnswers;     // "TYPE PORT", such as "offer 67"
    CountsByLabel dhcpUnanswered;  // reason key
    CountsByLabel dhcpOtherServers;  // another server's clients, by reason key: not unanswered
    uint64_t dhcpDeclines = 0;
    uint64_t dhcpProbeConflicts = 0;  // addresses a probe found in use
    CountsByLabel dhcpUnknownLeases;  // claims of a lease this server has no record of: "nak" or "none"
    CountsByLabel mirrorMessages;  // "request", "report"
    CountsByLabel tftpTransfers;   // "complete" or a reason key
    CountsByLabel tftpRefused;     // reason key
    uint64_t tftpBytes = 0;
    CountsByLabel httpRequests;    // status code
    uint64_t httpBytes = 0;
    int64_t httpInFlight = 0;
    int64_t droppedEvents = 0;
    uint64_t unansweredDropped = 0;  // evicted from the table of machines never answered
    uint64_t recordsRefused = 0;     // new records past the caps
    CountsByLabel farmIgnored;       // farm heartbeat and lease datagrams ignored, by reason key
    // Per machine and attempt: its first DHCP request to its first ACK, told
    // as the ACK goes out; to its payload's last byte, once the attempt
    // settled as booted.
    TimeHistogram dhcpAckSeconds{{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2, 4, 8, 16, 32, 64}};
    TimeHistogram bootSeconds{{0.1, 0.25, 0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300, 600}};
};

// A TFTP or HTTP transfer under way, as the status page lists it.
struct TransferUnderWay {
    std::string protocol;  // "tftp" or "http"
    std::string mac, address, file;
    double started = 0;    // seconds since the epoch
    long long bytes = 0;   // acknowledged by the client so far
    long long size = -1;   // the file's, -1 when unknown
    double seconds = 0;    // from the request to the moment BYTES were counted
};

// Attempts that reached their end, counted once each as they settle.
struct BootOutcomes {
    uint64_t booted = 0, failed = 0;
};

class BootTracker : public HttpObserver, public ReportObserver, public BeaconObserver {
public:
    using Clock = std::function<double()>;  // seconds since the epoch
    explicit BootTracker(std::string reporter, Clock clock = WallClock())
        : m_Reporter(std::move(reporter)), m_Clock(std::move(clock)) {}
    ~BootTracker() { StopSaving(); }

    // The library's delivery thread.
    void Take(const BootEventRecord &event);
    // An IPv6 client's or service's: its machine is keyed by MAC when the
    // library learnt one, else by the DUID's text ("duid-0004..."), and
    // counted on port 547 with the DHCPv6 message names.
    void TakeV6(const BootEventRecordV6 &event);
    // An IPv4 event with the firmware quirks the library named for it; a
    // host registered for these takes no plain IPv4 events.
    void TakeEx(const BootEventRecordEx &event);
    // The boot-file callback: which rule chose FILE for MAC ("" when none
    // matched). An answer is credited to the rule only when it names that file.
    // NOTE: what the Secure Boot check says of FILE, told with the answer.
    void NoteRule(const unsigned char *mac, const std::string &rule, const std::string &file,
                  const std::string &note = "");
    void HttpStarted() override;
    void HttpSendingStarted(const HttpSending &sending) override;
    void HttpEnded(const HttpRequestEnd &end) override;
    // How far the HTTP answers on their way got (the server counts them when asked).
    void HttpProgress(const std::vector<HttpSending> &live);
    // A report the queue took: the machine booted.
    void ReportAccepted(const StoredReport &report) override;
    void DatagramIgnored(const char *lpWhy) override;

    // This server's records, and the farm's as last read from the store;
    // the freshest of each, newest first; the NMOST newest. Only those are
    // copied under the lock the library's callbacks wait for; the farm's,
    // the merge and the sort are done outside it.
    std::vector<MachineRecord> Machines(size_t nMost = SIZE_MAX);
    BootCounters Counters();
    // This server's record of MAC, settled as of now; false when it has none.
    bool LastAttempt(const std::string &mac, MachineRecord *record);
    // This server's transfers under way, newest first.
    std::vector<TransferUnderWay> Transfers();
    // Settles the attempts that changed since the last call, as of now.
    BootOutcomes Outcomes();
    // Addresses of [BEGIN, END] (host order) acknowledged within a lease time
    // and not released by their holder since.
    long AddressesInUse(uint32_t dwBegin, uint32_t dwEnd);
    // The same for an IPv6 range: a DHCPv6 REPLY that bound an address.
    long AddressesInUse6(const unsigned char abBegin[16], const unsigned char abEnd[16]);

    bool StartSaving(const std::string &database, double retentionSeconds, std::string *error);
    void StopSaving();

private:
    static Clock WallClock();
    // A library event's time: its whole second, refined by the delivery
    // time, so that it sorts among the HTTP server's news.
    double EventTime(long long seconds) const;
    MachineRecord *NewRecord(const std::string &key, const std::string &source);
    bool MayCreate(const std::string &source);
    std::string KeyOfAddress(const std::string &address);
    // Adds STEP to KEY's record. An ANSWERED step (one this server answered)
    // may create the record, from SOURCE within the caps; another goes to
    // the unanswered table when KEY has no record.
    void Record(const std::string &key, const BootStep &step, const std::string &address, bool bAnswered,
                const std::string &source);
    void Unanswered(const std::string &key, const BootStep &step);
    // ADDRESS the event's (of either family), KEY its machine's ("" when unknown).
    void TakeEvent(const BootEventRecord &event, const std::string &address, const std::string &key,
                   const std::string &quirks = "");
    void TakeDhcp(const BootEventRecord &event, BootStep step, const std::string &address, const std::string &key);
    void NoteReply6(const BootEventRecord &event, const std::string &address, double time);
    void NoteRelease(const std::string &mac);
    void TakeTftp(const BootEventRecord &event, BootStep step, const std::string &address);
    // A progress event: the bytes so far go into the step its start made.
    void TakeTftpProgress(const std::string &address, BootStep step);
    // The step of KEY's transfer of FILE by WHAT that has not ended, or null.
    BootStep *OpenTransfer(const std::string &key, const char *lpWhat, const std::string &file);
    // The HTTP answer of NAME to CLIENT under way, and the key it is filed under.
    BootStep *OpenHttp(const std::string &client, const std::string &name, std::string *key);
    void SettleOutcomes(double now);
    // Into the histograms: RECORD's DHCP time when STEP is its first ACK;
    // its boot time once it settled as booted.
    void NoteFirstAck(MachineRecord &record, const BootStep &step);
    void NoteBootTime(const MachineRecord &record);
    double BeforeHttpNews(const std::string &key, double time, long long seconds) const;
    void SaveLoop(std::unique_ptr<PolicyStore> store, double retentionSeconds);
    void LogDrops();
    void Save(PolicyStore &store);

    const std::string m_Reporter;
    const Clock m_Clock;
    struct RuleNote {
        std::string rule, file, note;
    };
    std::mutex m_Lock;  // everything below but the saver's own
    std::unordered_map<std::string, MachineRecord> m_Machines;  // MAC (or address) → record
    std::unordered_map<std::string, MachineRecord> m_Unanswered;  // never answered: not stored
    std::unordered_map<std::string, int> m_NewBySource;  // new records this minute
    int m_nNewThisMinute = 0;
    int64_t m_nMinute = -1;  // of the steady clock
    std::unordered_map<std::string, std::string> m_MacOfAddress;
    std::unordered_map<std::string, RuleNote> m_RuleOfMac;
    std::unordered_map<uint32_t, double> m_Acknowledged;  // address (host order) → time
    std::unordered_map<std::string, uint32_t> m_AddressOfMac;  // MAC → the address last acknowledged to it
    // IPv6: the 16 bytes as a string, which orders as the addresses do.
    std::unordered_map<std::string, double> m_Acknowledged6;
    std::set<std::string> m_Changed;
    std::set<std::string> m_Unsettled;  // changed since SettleOutcomes last looked
    std::unordered_map<std::string, double> m_Counted;  // key → last seen when its outcome was counted
    BootOutcomes m_Outcomes;
    // As read from the store; replaced whole, never changed, so that a
    // reader holds it past the lock.
    std::shared_ptr<const std::vector<MachineRecord>> m_Farm = std::make_shared<std::vector<MachineRecord>>();
    BootCounters m_Counters;
    BootCounters m_Logged;  // as LogDrops last told them

    std::mutex m_StopLock;
    std::condition_variable m_StopSignal;
    bool m_bStop = false;
    std::thread m_Saver;
};

// A MachineRecord from its stored row (settled as of now), and back.
MachineRecord RecordFromRow(const MachineRow &row);
MachineRow RowFromRecord(const MachineRecord &record);
