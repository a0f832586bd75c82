// ClientTable<T>: the lease book's records keyed by client key, in the
// chained table TeskMacHash uses. An Ethernet key lands in the bucket its
// MAC had there (MAC bytes 4 and 5), so the table is walked in the order it
// was (which lease a take-over picks among equals depends on it), and a
// full pool logs the line it did.
#pragma once

#include <cstring>

#include "containers/hash_table.h"
#include "dhcp/client_key.h"

struct ClientKeySlot {
    static constexpr int kSize = sizeof(ClientKey);
    static constexpr const char *kSourceName = "TeskMacHash";
    static int Bucket(const unsigned char *key) {
        ClientKey client = KeyOf(key);
        if (const unsigned char *mac = client.EthernetMac()) return mac[4] + 256 * mac[5];
        return static_cast<int>(client.Hash() & 0xFFFF);
    }
    static bool Equal(const unsigned char *a, const unsigned char *b) { return memcmp(a, b, kSize) == 0; }
    static ClientKey KeyOf(const unsigned char *key) {
        ClientKey client;
        memcpy(static_cast<void *>(&client), key, kSize);
        return client;
    }
};

template <class T>
class ClientTable : public TeskHashTable<ClientKeySlot, T> {
    using Base = TeskHashTable<ClientKeySlot, T>;

public:
    using Entry = typename Base::Entry;

    explicit ClientTable(PoolFullReport report = nullptr) : Base(report) {}

    int Find(const ClientKey &key, T **lppPayload) { return Base::FindEntry(Raw(key), lppPayload); }
    // Finds the record or appends one whose payload is whatever its pool slot holds.
    int FindOrAdd(const ClientKey &key, T **lppPayload) { return Base::GetLastClient(Raw(key), lppPayload); }
    int Remove(const ClientKey &key) { return Base::DelClient(Raw(key)); }
    int First(HashCursor *cursor, Entry **lppEntry) { return Base::FirstEntry(cursor, lppEntry); }
    int Next(HashCursor *cursor, Entry **lppEntry) { return Base::NextEntry(cursor, lppEntry); }
    static ClientKey KeyOf(const Entry &entry) { return ClientKeySlot::KeyOf(entry.abKey); }

private:
    static const unsigned char *Raw(const ClientKey &key) { return reinterpret_cast<const unsigned char *>(&key); }
};
