#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "containers/ip_hash.h"
#include "containers/mac_hash.h"

namespace {
struct Payload {
    int value;
    char text[8];
};

using MacTable = TeskMacHash<Payload>;
using IpTable = TeskIpHash<Payload>;

struct Mac {
    unsigned char bytes[6];
};

Mac MacOf(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f) {
    return Mac{{static_cast<unsigned char>(a), static_cast<unsigned char>(b), static_cast<unsigned char>(c),
                static_cast<unsigned char>(d), static_cast<unsigned char>(e), static_cast<unsigned char>(f)}};
}

uint32_t IpOf(unsigned a, unsigned b, unsigned c, unsigned d) {
    unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                              static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    uint32_t value;
    memcpy(&value, bytes, 4);
    return value;
}

std::vector<std::vector<unsigned char>> EnumerateMacs(MacTable &table) {
    std::vector<std::vector<unsigned char>> keys;
    HashCursor cursor{};
    MacTable::TeskMacHashStruct *entry = nullptr;
    for (int r = table.GetFirstClient(&cursor, &entry); r == 0; r = table.GetNextClient(&cursor, &entry))
        keys.emplace_back(entry->abKey, entry->abKey + 6);
    return keys;
}
}  // namespace

TEST(MacHash, FindOrAddKeepsOneEntryPerKey) {
    auto table = std::make_unique<MacTable>();
    Mac key = MacOf(0, 0x11, 0x22, 0x33, 0x44, 0x55);
    Payload *first = nullptr, *second = nullptr;
    ASSERT_EQ(table->GetLastClient(key.bytes, &first), 0);
    EXPECT_EQ(first->value, 0) << "fresh slot";
    first->value = 7;
    ASSERT_EQ(table->GetLastClient(key.bytes, &second), 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(EnumerateMacs(*table).size(), 1u);
}

TEST(MacHash, SharedBucketKeysAreIndependent) {
    auto table = std::make_unique<MacTable>();
    Mac a = MacOf(0x00, 0x11, 0x22, 0x33, 0x44, 0x55);
    Mac b = MacOf(0x66, 0x77, 0x88, 0x99, 0x44, 0x55);
    Payload *pa = nullptr, *pb = nullptr, *found = nullptr;
    table->GetLastClient(a.bytes, &pa);
    pa->value = 1;
    table->GetLastClient(b.bytes, &pb);
    pb->value = 2;
    EXPECT_NE(pa, pb);
    ASSERT_EQ(table->FindClient(b.bytes, &found), 0);
    EXPECT_EQ(found->value, 2);
    EXPECT_EQ(table->DelClient(a.bytes), 0);
    EXPECT_EQ(table->FindClient(a.bytes, &found), -1);
    ASSERT_EQ(table->FindClient(b.bytes, &found), 0);
    EXPECT_EQ(found->value, 2);
    EXPECT_EQ(table->DelClient(a.bytes), -1);
    EXPECT_EQ(table->DelClient(b.bytes), 0);
    HashCursor cursor{};
    EXPECT_EQ(table->GetFirstClient(&cursor), -1);
}

TEST(MacHash, NullKeysAndFindNeverAdds) {
    auto table = std::make_unique<MacTable>();
    Payload *payload = nullptr;
    EXPECT_EQ(table->GetLastClient(nullptr, &payload), -2);
    EXPECT_EQ(table->FindClient(nullptr, &payload), -2);
    EXPECT_EQ(table->DelClient(nullptr), -2);
    Mac key = MacOf(1, 2, 3, 4, 5, 6);
    EXPECT_EQ(table->FindClient(key.bytes, &payload), -1);
    HashCursor cursor{};
    EXPECT_EQ(table->GetFirstClient(&cursor), -1);
}

TEST(MacHash, EnumerationOrderByByte5ThenByte4ThenAge) {
    auto table = std::make_unique<MacTable>();
    Mac late = MacOf(9, 9, 9, 9, 0x00, 0x01);   // bucket 256
    Mac early = MacOf(9, 9, 9, 9, 0x01, 0x00);  // bucket 1
    Mac older = MacOf(1, 1, 1, 1, 0x05, 0x00);
    Mac newer = MacOf(2, 2, 2, 2, 0x05, 0x00);
    for (Mac *key : {&late, &early, &older, &newer}) table->GetLastClient(key->bytes, nullptr);
    auto keys = EnumerateMacs(*table);
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0], std::vector<unsigned char>(early.bytes, early.bytes + 6));
    EXPECT_EQ(keys[1], std::vector<unsigned char>(older.bytes, older.bytes + 6));
    EXPECT_EQ(keys[2], std::vector<unsigned char>(newer.bytes, newer.bytes + 6));
    EXPECT_EQ(keys[3], std::vector<unsigned char>(late.bytes, late.bytes + 6));
}

TEST(MacHash, CursorOverOneEntryAndPayloadOutput) {
    auto table = std::make_unique<MacTable>();
    Mac key = MacOf(1, 2, 3, 4, 0xff, 0xff);  // the very last bucket
    Payload *stored = nullptr;
    table->GetLastClient(key.bytes, &stored);
    HashCursor cursor{};
    Payload *payload = nullptr;
    ASSERT_EQ(table->GetFirstClient(&cursor, nullptr, &payload), 0);
    EXPECT_EQ(payload, stored);
    EXPECT_EQ(cursor.row, 255);
    EXPECT_EQ(cursor.col, 256);
    EXPECT_EQ(table->GetNextClient(&cursor), -1);
}

TEST(MacHash, RemovingDuringEnumerationAndClear) {
    auto table = std::make_unique<MacTable>();
    for (int i = 0; i < 50; ++i) {
        Mac key = MacOf(i, 0, 0, 0, i % 3, 0);  // chains of several entries
        table->GetLastClient(key.bytes, nullptr);
    }
    // Remove every entry just returned, as ClearClients does.
    HashCursor cursor{};
    MacTable::TeskMacHashStruct *entry = nullptr;
    int visited = 0;
    for (int r = table->GetFirstClient(&cursor, &entry); r == 0; r = table->GetNextClient(&cursor, &entry)) {
        ++visited;
        if (entry->abKey[0] % 2) {
            EXPECT_EQ(table->DelClient(entry->abKey), 0);
        }
    }
    EXPECT_EQ(visited, 50);
    EXPECT_EQ(EnumerateMacs(*table).size(), 25u);
    EXPECT_EQ(table->ClearClients(), 0);
    EXPECT_EQ(table->GetFirstClient(&cursor), -1);
}

TEST(MacHash, FullPoolReusesRemovedEntryWithOldPayload) {
    auto table = std::make_unique<MacTable>();
    for (int i = 0; i < 101; ++i) {
        Mac key = MacOf(0, 0, 0, 0, i, 1);
        Payload *payload = nullptr;
        table->GetLastClient(key.bytes, &payload);
        payload->value = 1000 + i;
    }
    Mac gone = MacOf(0, 0, 0, 0, 40, 1);
    Payload *old = nullptr;
    table->FindClient(gone.bytes, &old);
    ASSERT_EQ(table->DelClient(gone.bytes), 0);
    Mac fresh = MacOf(7, 7, 7, 7, 7, 7);
    Payload *reused = nullptr;
    ASSERT_EQ(table->GetLastClient(fresh.bytes, &reused), 0);
    EXPECT_EQ(reused, old);
    EXPECT_EQ(reused->value, 1040);
}

TEST(IpHash, PortIsNotPartOfTheKeyAndSharedBucketsStaySeparate) {
    auto table = std::make_unique<IpTable>();
    uint32_t a = IpOf(10, 0, 1, 5), b = IpOf(10, 1, 1, 5);
    Payload *pa = nullptr, *pb = nullptr, *again = nullptr;
    ASSERT_EQ(table->GetLastClient(&a, &pa), 0);
    ASSERT_EQ(table->GetLastClient(&b, &pb), 0);
    EXPECT_NE(pa, pb);
    ASSERT_EQ(table->GetLastClient(&a, &again), 0);
    EXPECT_EQ(again, pa);
    EXPECT_EQ(table->GetLastClient(nullptr, &pa), -2);
    EXPECT_EQ(table->DelClient(nullptr), -2);
    EXPECT_EQ(table->DelClient(&a), 0);
    EXPECT_EQ(table->DelClient(&a), -1);
}

TEST(IpHash, EnumerationByLastOctetThenThirdOctet) {
    auto table = std::make_unique<IpTable>();
    uint32_t addrs[] = {IpOf(192, 168, 1, 20), IpOf(192, 168, 2, 10), IpOf(10, 0, 9, 10), IpOf(10, 9, 9, 10)};
    for (uint32_t &addr : addrs) table->GetLastClient(&addr, nullptr);
    std::vector<uint32_t> order;
    HashCursor cursor{};
    IpTable::TeskIpHashStruct *entry = nullptr;
    for (int r = table->GetFirstClient(&cursor, &entry); r == 0; r = table->GetNextClient(&cursor, &entry)) {
        uint32_t key;
        memcpy(&key, entry->abKey, 4);
        order.push_back(key);
    }
    std::vector<uint32_t> expected = {addrs[1], addrs[2], addrs[3], addrs[0]};
    EXPECT_EQ(order, expected);
    table->GetFirstClient(&cursor, &entry);
    uint32_t first = IpOf(192, 168, 2, 10);
    EXPECT_EQ(memcmp(entry->abKey, &first, 4), 0);
    EXPECT_EQ(cursor.row, 10);
    EXPECT_EQ(cursor.col, 3);
}

TEST(IpHash, FullPoolReusesRemovedEntry) {
    auto table = std::make_unique<IpTable>();
    for (int i = 0; i < 101; ++i) {
        uint32_t addr = IpOf(10, 0, 0, i);
        Payload *payload = nullptr;
        table->GetLastClient(&addr, &payload);
        payload->value = i;
    }
    uint32_t gone = IpOf(10, 0, 0, 50), fresh = IpOf(10, 0, 1, 1);
    ASSERT_EQ(table->DelClient(&gone), 0);
    Payload *reused = nullptr;
    table->GetLastClient(&fresh, &reused);
    EXPECT_EQ(reused->value, 50);
}
