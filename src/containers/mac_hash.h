// TeskMacHash<T>: records keyed by a client's 6-byte hardware address; the
// bucket is key byte 4 + 256 * key byte 5.
#pragma once

#include "containers/hash_table.h"

struct TeskMacKey {
    static constexpr int kSize = 6;
    static constexpr const char *kSourceName = "TeskMacHash";
    static int Bucket(const unsigned char *key) { return key[4] + 256 * key[5]; }
    static bool Equal(const unsigned char *a, const unsigned char *b) { return memcmp(a, b, kSize) == 0; }
};

template <class T>
class TeskMacHash : public TeskHashTable<TeskMacKey, T> {
    using Base = TeskHashTable<TeskMacKey, T>;

public:
    using TeskMacHashStruct = typename Base::Entry;

    explicit TeskMacHash(PoolFullReport report = nullptr) : Base(report) {}

    int FindClient(const unsigned char *lpMac, T **lppPayload) { return Base::FindEntry(lpMac, lppPayload); }

    int GetFirstClient(HashCursor *cursor, TeskMacHashStruct **lppEntry = nullptr, T **lppPayload = nullptr) {
        TeskMacHashStruct *found = nullptr;
        int nResult = Base::FirstEntry(cursor, &found);
        return Handed(nResult, found, lppEntry, lppPayload);
    }

    int GetNextClient(HashCursor *cursor, TeskMacHashStruct **lppEntry = nullptr, T **lppPayload = nullptr) {
        TeskMacHashStruct *found = nullptr;
        int nResult = Base::NextEntry(cursor, &found);
        return Handed(nResult, found, lppEntry, lppPayload);
    }

private:
    static int Handed(int nResult, TeskMacHashStruct *found, TeskMacHashStruct **lppEntry, T **lppPayload) {
        if (nResult != 0) return nResult;
        if (lppEntry) *lppEntry = found;
        if (lppPayload) *lppPayload = &found->payload;
        return 0;
    }
};
