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

#include "Tavrel.h"
#include "host/policy_store.h"

class ReportQueue {
public:
    ReportQueue(std::unique_ptr<PolicyStore> store, std::string reporter);
    ~ReportQueue();
    // From the DHCP thread: never waits on the database.
    void Push(const SelectMirrorRecord &record);
    void Start();
    // Writes what is queued (trying for a few seconds) and ends the writer.
    void Stop();

private:
    void Loop();

    std::unique_ptr<PolicyStore> m_Store;
    std::string m_Reporter;
    std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::deque<StoredReport> m_Queue;
    size_t m_nDropped = 0;  // evicted since the last warning
    size_t m_nEvicted = 0;  // evicted ever
    bool m_bStop = false;
    std::thread m_Thread;
};
