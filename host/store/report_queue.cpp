#include "host/store/report_queue.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <vector>

#include "host/text/mac_text.h"
#include "host/text/time_text.h"

namespace {

// Reports come from the wire: past this many unwritten ones the oldest go.
constexpr size_t kMaxQueued = 200000;
constexpr size_t kBatch = 500;
constexpr int kRetryMs = 500;
constexpr int kFinalTries = 6;
constexpr int kReportsPerMinute = 20;
constexpr size_t kMaxSources = 4096;
constexpr int64_t kPruneEverySeconds = 3600;
constexpr int64_t kRefusedLogSeconds = 60;

std::string LocalStamp(time_t when) { return LocalTimeText(static_cast<double>(when)); }

std::string Field(const char *text) { return std::string(text, strnlen(text, 16)); }

std::atomic<ReportObserver *> g_lpObserver{nullptr};

}  // namespace

void SetReportObserver(ReportObserver *lpObserver) { g_lpObserver = lpObserver; }

ReportQueue::ReportQueue(std::unique_ptr<PolicyStore> store, std::string reporter, int retentionDays)
    : m_Store(std::move(store)), m_Reporter(std::move(reporter)), m_nRetentionDays(retentionDays) {}

bool ReportQueue::Admit(const SelectMirrorRecord &record, bool approved) {
    int64_t now = time(nullptr);
    if (now / 60 != m_nMinute) {
        m_nMinute = now / 60;
        m_PerSource.clear();
    }
    bool admitted = approved;
    if (admitted) {
        auto source = m_PerSource.find(Field(record.ip));
        if (source == m_PerSource.end() && m_PerSource.size() < kMaxSources)
            source = m_PerSource.emplace(Field(record.ip), 0).first;
        admitted = source != m_PerSource.end() && ++source->second <= kReportsPerMinute;
    }
    if (admitted) return true;
    ++m_nRefused;
    if (now - m_nRefusedLogged >= kRefusedLogSeconds) {
        std::cerr << "tavrel-host: " << m_nRefused
                  << " mirror reports refused: from clients this server did not serve, or too many\n";
        m_nRefused = 0;
        m_nRefusedLogged = now;
    }
    return false;
}

void ReportQueue::Prune() {
    if (!m_Store->PruneReports(LocalStamp(time(nullptr) - static_cast<time_t>(m_nRetentionDays) * 86400)))
        std::cerr << "tavrel-host: old reports not deleted: " << m_Store->LastError() << "\n";
}

ReportQueue::~ReportQueue() { Stop(); }

void ReportQueue::Push(const SelectMirrorRecord &record, bool approved) {
    StoredReport report{LocalStamp(time(nullptr)),
                        MacText(record.mac),
                        Field(record.ip),
                        Field(record.gateway),
                        Field(record.netmask),
                        Field(record.server),
                        m_Reporter};
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (!Admit(record, approved)) return;
        if (m_Queue.size() >= kMaxQueued) {
            m_Queue.pop_front();
            ++m_nDropped;
            ++m_nEvicted;
        }
        m_Queue.push_back(report);
    }
    m_Wake.notify_one();
    if (ReportObserver *observer = g_lpObserver.load()) observer->ReportAccepted(report);
}

void ReportQueue::Start() { m_Thread = std::thread([this] { Loop(); }); }

void ReportQueue::Stop() {
    if (!m_Thread.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_bStop = true;
    }
    m_Wake.notify_one();
    m_Thread.join();
}

// A batch leaves the queue only once it is committed, so a failed write
// loses nothing: the same batch is tried again after a pause.
void ReportQueue::Loop() {
    bool bFailing = false;
    int nFinalTries = 0;
    int64_t nextPrune = 0;
    std::unique_lock<std::mutex> lock(m_Lock);
    for (;;) {
        if (time(nullptr) >= nextPrune) {
            lock.unlock();
            Prune();
            lock.lock();
            nextPrune = time(nullptr) + kPruneEverySeconds;
        }
        if (bFailing) {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryMs);
            m_Wake.wait_until(lock, until, [] { return false; });
        } else {
            m_Wake.wait_for(lock, std::chrono::seconds(kPruneEverySeconds),
                            [this] { return m_bStop || !m_Queue.empty(); });
        }
        if (m_nDropped) {
            std::cerr << "tavrel-host: " << m_nDropped << " reports dropped: the database was out of reach too long\n";
            m_nDropped = 0;
        }
        if (m_Queue.empty()) {
            if (m_bStop) return;
            continue;
        }
        if (m_bStop && bFailing && ++nFinalTries == kFinalTries) {
            std::cerr << "tavrel-host: " << m_Queue.size() << " reports not written: " << m_Store->LastError() << "\n";
            return;
        }
        size_t count = std::min(m_Queue.size(), kBatch);
        size_t evictedBefore = m_nEvicted;
        std::vector<StoredReport> batch(m_Queue.begin(), m_Queue.begin() + static_cast<long>(count));
        lock.unlock();
        bool written = m_Store->StoreReports(batch);
        lock.lock();
        if (written) {
            // Pushes meanwhile may have evicted some of the batch already.
            size_t evicted = std::min(count, m_nEvicted - evictedBefore);
            m_Queue.erase(m_Queue.begin(), m_Queue.begin() + static_cast<long>(count - evicted));
        } else if (!bFailing) {
            std::cerr << "tavrel-host: reports wait for the database: " << m_Store->LastError() << "\n";
        }
        bFailing = !written;
    }
}
