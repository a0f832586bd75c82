// The chained hash table shared by TeskMacHash and TeskIpHash: 65,536 bucket
// chains picked by two key bytes, one lock, entries from an owned pool.
// New entries go to the end of their chain; enumeration runs rows 0-255,
// columns 0-255 (bucket = column + 256 * row), oldest entry first in a chain.
// A full pool is reported through a hook the owner passes in, so containers
// stay below the logger (which keeps its records in a pool of its own).
#pragma once

#include <cstring>
#include <new>

#include "containers/mem_queue.h"
#include "platform/platform.h"

// Told the table's source name and the source line of the refused request.
using PoolFullReport = void (*)(const char *lpSourceName, int nLine);

// Enumeration position: the row of the bucket last visited, the next column
// to look at in it, and the entry that follows the one last returned.
struct HashCursor {
    int row;
    int col;
    void *next;
};

template <class Key, class T>
class TeskHashTable {
public:
    static constexpr int kBucketCount = 65536;

    struct Entry {
        unsigned char abKey[Key::kSize];
        T payload;
        Entry *lpChain;
    };

    // Without a report a full pool refuses new keys silently.
    explicit TeskHashTable(PoolFullReport report = nullptr)
        : m_lpPool(new (std::nothrow) TeskMemQueue<Entry>(100)), m_PoolFullReport(report) {
        for (Entry *&bucket : m_lpBuckets) bucket = nullptr;
    }

    virtual ~TeskHashTable() {
        ClearClients();
        delete m_lpPool;
    }

    TeskHashTable(const TeskHashTable &) = delete;
    TeskHashTable &operator=(const TeskHashTable &) = delete;

    // Finds the entry for the key or appends a new one; a new entry's payload
    // is whatever its pool slot holds.
    int GetLastClient(const unsigned char *lpKey, T **lppPayload) {
        if (!lpKey) return -2;
        platform::TeskLockGuard guard(m_Lock);
        Entry *&head = m_lpBuckets[Key::Bucket(lpKey)];
        Entry **link = &head;
        for (; *link; link = &(*link)->lpChain) {
            if (Key::Equal((*link)->abKey, lpKey)) return Hand(*link, lppPayload);
        }
        Entry *entry = m_lpPool ? m_lpPool->Mem_New() : nullptr;
        if (!entry) {
            ReportPoolFull(__LINE__);
            return -1;
        }
        entry->lpChain = nullptr;
        memcpy(entry->abKey, lpKey, Key::kSize);
        *link = entry;
        return Hand(entry, lppPayload);
    }

    int DelClient(const unsigned char *lpKey) {
        if (!lpKey) return -2;
        platform::TeskLockGuard guard(m_Lock);
        for (Entry **link = &m_lpBuckets[Key::Bucket(lpKey)]; *link; link = &(*link)->lpChain) {
            Entry *entry = *link;
            if (!Key::Equal(entry->abKey, lpKey)) continue;
            *link = entry->lpChain;
            m_lpPool->Mem_Free(entry);
            return 0;
        }
        return -1;
    }

    int ClearClients() {
        HashCursor cursor{};
        Entry *entry = nullptr;
        for (int found = FirstEntry(&cursor, &entry); found == 0; found = NextEntry(&cursor, &entry))
            DelClient(entry->abKey);
        return 0;
    }

protected:
    int FindEntry(const unsigned char *lpKey, T **lppPayload) {
        if (!lpKey) return -2;
        platform::TeskLockGuard guard(m_Lock);
        for (Entry *entry = m_lpBuckets[Key::Bucket(lpKey)]; entry; entry = entry->lpChain) {
            if (Key::Equal(entry->abKey, lpKey)) return Hand(entry, lppPayload);
        }
        return -1;
    }

    int FirstEntry(HashCursor *cursor, Entry **lppEntry) {
        platform::TeskLockGuard guard(m_Lock);
        return ScanFrom(0, cursor, lppEntry);
    }

    int NextEntry(HashCursor *cursor, Entry **lppEntry) {
        platform::TeskLockGuard guard(m_Lock);
        if (Entry *next = static_cast<Entry *>(cursor->next)) {
            cursor->next = next->lpChain;
            if (lppEntry) *lppEntry = next;
            return 0;
        }
        if (cursor->row >= 256) return -1;
        return ScanFrom(cursor->row * 256 + cursor->col, cursor, lppEntry);
    }

private:
    static int Hand(Entry *entry, T **lppPayload) {
        if (lppPayload) *lppPayload = &entry->payload;
        return 0;
    }

    // A flood of new keys meets a full pool once per datagram: it is
    // reported at most once a second, so the log cannot grow with the flood.
    // Called with the table lock held.
    void ReportPoolFull(int nLine) {
        if (!m_PoolFullReport) return;
        int64_t now = platform::GetUnixTime();
        if (now == m_nPoolFullLogged) return;
        m_nPoolFullLogged = now;
        m_PoolFullReport(Key::kSourceName, nLine);
    }

    // Called with the table lock held.
    int ScanFrom(int nBucket, HashCursor *cursor, Entry **lppEntry) {
        for (; nBucket < kBucketCount; ++nBucket) {
            Entry *head = m_lpBuckets[nBucket];
            if (!head) continue;
            cursor->row = nBucket / 256;
            cursor->col = nBucket % 256 + 1;
            cursor->next = head->lpChain;
            if (lppEntry) *lppEntry = head;
            return 0;
        }
        return -1;
    }

    platform::TeskLock m_Lock;
    Entry *m_lpBuckets[kBucketCount];
    TeskMemQueue<Entry> *m_lpPool;
    const PoolFullReport m_PoolFullReport;
    int64_t m_nPoolFullLogged = -1;
};
