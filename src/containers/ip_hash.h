// TeskIpHash<T>: records keyed by an IPv4 address in network order; the
// bucket is key byte 2 + 256 * key byte 3, so rows follow the last octet.
#pragma once

#include <cstdint>

#include "containers/hash_table.h"

struct TeskIpKey {
    static constexpr int kSize = 4;
    static constexpr const char *kSourceName = "TeskIpHash";
    static int Bucket(const unsigned char *key) { return key[2] + 256 * key[3]; }
    static bool Equal(const unsigned char *a, const unsigned char *b) {
        uint32_t left, right;
        memcpy(&left, a, 4);
        memcpy(&right, b, 4);
        return left == right;
    }
};

template <class T>
class TeskIpHash : public TeskHashTable<TeskIpKey, T> {
    using Base = TeskHashTable<TeskIpKey, T>;

public:
    using TeskIpHashStruct = typename Base::Entry;

    explicit TeskIpHash(PoolFullReport report = nullptr) : Base(report) {}

    int GetLastClient(const uint32_t *lpIp, T **lppPayload) {
        return Base::GetLastClient(reinterpret_cast<const unsigned char *>(lpIp), lppPayload);
    }
    int DelClient(const uint32_t *lpIp) { return Base::DelClient(reinterpret_cast<const unsigned char *>(lpIp)); }

    int GetFirstClient(HashCursor *cursor, TeskIpHashStruct **lppEntry = nullptr) {
        return Base::FirstEntry(cursor, lppEntry);
    }
    int GetNextClient(HashCursor *cursor, TeskIpHashStruct **lppEntry = nullptr) {
        return Base::NextEntry(cursor, lppEntry);
    }
};
