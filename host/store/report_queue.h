// Mirror reports leave the library's DHCP thread through this queue: the
// callback only appends, and a writer thread of its own stores them in
// batches. While the database is unreachable the reports wait here and are
// written when it is back.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "Tavrel.h"
#include "host/store/policy_store.h"

// Told of every report the queue accepts, on the thread that pushed it.
class ReportObserver {
public:
    virtual void ReportAccepted(const StoredReport &report) = 0;

protected:
    ~ReportObserver() = default;
};

// Whoever wants the news registers once, before the service starts.
void SetReportObserver(ReportObserver *lpObserver);

class ReportQueue {
public:
    // Reports older than RETENTIONDAYS are deleted, at start and hourly.
    ReportQueue(std::unique_ptr<PolicyStore> store, std::string reporter, int retentionDays);
    ~ReportQueue();
    // From the DHCP thread: never waits on the database. A report of a
    // client this server did not serve (APPROVED false), and reports past
    // kReportsPerMinute from one client address, are dropped: they come
    // from the wire.
    void Push(const SelectMirrorRecord &record, bool approved);
    void Start();
    // Writes what is queued (trying for a few seconds) and ends the writer.
    void Stop();

private:
    void Loop();

    std::unique_ptr<PolicyStore> m_Store;
    std::string m_Reporter;
    int m_nRetentionDays;
    void Prune();
    bool Admit(const SelectMirrorRecord &record, bool approved);  // with m_Lock held
    std::unordered_map<std::string, int> m_PerSource;  // reports this minute, by client address
    int64_t m_nMinute = 0;
    size_t m_nRefused = 0;  // since the last warning
    int64_t m_nRefusedLogged = 0;
    std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::deque<StoredReport> m_Queue;
    size_t m_nDropped = 0;  // evicted since the last warning
    size_t m_nEvicted = 0;  // evicted ever
    bool m_bStop = false;
    std::thread m_Thread;
};
