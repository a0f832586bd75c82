// TeskMemQueue<T>: a pool of equal-sized records that grows in blocks and
// gives memory back only when destroyed. Records sit on the free list, on the
// pending (hand-over) list, or with a user. Reuse is first-in first-out and a
// reused record keeps the bytes its previous user left in it.
#pragma once

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/platform.h"

template <class T>
class TeskMemQueue {
    // Records are handed out as raw zeroed or reused bytes, never constructed.
    static_assert(std::is_trivially_copyable<T>::value, "pooled records are plain data");

public:
    static constexpr int kMaxBlocks = 1000;

    explicit TeskMemQueue(int nGrowStep) : m_nGrowStep(nGrowStep) {
        for (Slot *&block : m_lpBlocks) block = nullptr;
        Mem_Grow(m_nGrowStep);  // a refused first block is retried by Mem_New
    }

    virtual ~TeskMemQueue() {
        for (int i = 0; i < m_nBlockCount; ++i) free(m_lpBlocks[i]);
    }

    TeskMemQueue(const TeskMemQueue &) = delete;
    TeskMemQueue &operator=(const TeskMemQueue &) = delete;

    T *Mem_New() {
        platform::TeskLockGuard guard(m_FreeLock);
        if (!m_lpFreeHead) Mem_Grow(m_nGrowStep);
        Slot *slot = PopHead(m_lpFreeHead, m_lpFreeTail);
        return slot ? &slot->item : nullptr;
    }

    void Mem_Free(T *lpItem) {
        platform::TeskLockGuard guard(m_FreeLock);
        PushTail(m_lpFreeHead, m_lpFreeTail, SlotOf(lpItem));
    }

    void Item_Push(T *lpItem) {
        platform::TeskLockGuard guard(m_PendingLock);
        PushTail(m_lpPendingHead, m_lpPendingTail, SlotOf(lpItem));
    }

    T *Item_Pop() {
        platform::TeskLockGuard guard(m_PendingLock);
        Slot *slot = PopHead(m_lpPendingHead, m_lpPendingTail);
        return slot ? &slot->item : nullptr;
    }

    int BlockCount() {
        platform::TeskLockGuard guard(m_FreeLock);
        return m_nBlockCount;
    }
    int GrowStep() const { return m_nGrowStep; }

private:
    struct Slot {
        T item;  // first, so a record's address is its slot's address
        Slot *lpNext;
    };

    static Slot *SlotOf(T *lpItem) { return reinterpret_cast<Slot *>(lpItem); }

    static void PushTail(Slot *&head, Slot *&tail, Slot *slot) {
        slot->lpNext = nullptr;
        if (tail)
            tail->lpNext = slot;
        else
            head = slot;
        tail = slot;
    }

    static Slot *PopHead(Slot *&head, Slot *&tail) {
        Slot *slot = head;
        if (!slot) return nullptr;
        head = slot->lpNext;
        if (!head) tail = nullptr;
        slot->lpNext = nullptr;
        return slot;
    }

    // Called with the free lock held, or from the constructor.
    int Mem_Grow(int nCount) {
        if (m_nBlockCount >= kMaxBlocks) return -1;
        size_t nSlots = static_cast<size_t>(nCount) + 1;
        void *raw = malloc(nSlots * sizeof(Slot));
        if (!raw) return -2;
        memset(raw, 0, nSlots * sizeof(Slot));
        Slot *block = static_cast<Slot *>(raw);
        m_lpBlocks[m_nBlockCount++] = block;
        for (size_t i = 0; i < nSlots; ++i) PushTail(m_lpFreeHead, m_lpFreeTail, &block[i]);
        return 0;
    }

    Slot *m_lpFreeHead = nullptr;
    Slot *m_lpFreeTail = nullptr;
    Slot *m_lpPendingHead = nullptr;
    Slot *m_lpPendingTail = nullptr;
    platform::TeskLock m_FreeLock;
    platform::TeskLock m_PendingLock;
    int m_nBlockCount = 0;
    Slot *m_lpBlocks[kMaxBlocks];
    int m_nGrowStep;
};
