#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "containers/mem_queue.h"

namespace {
struct Record {
    int value;
    char text[12];
};
}  // namespace

TEST(MemQueueGrowth, StepHundredGrowsAtRecord102) {
    TeskMemQueue<Record> pool(100);
    EXPECT_EQ(pool.BlockCount(), 1);
    std::vector<Record *> held;
    for (int i = 0; i < 101; ++i) held.push_back(pool.Mem_New());
    EXPECT_EQ(pool.BlockCount(), 1);
    // Fresh records come out in address order.
    for (int i = 1; i < 101; ++i) EXPECT_GT(held[i], held[i - 1]);
    Record *extra = pool.Mem_New();
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(pool.BlockCount(), 2);
    EXPECT_EQ(extra->value, 0) << "fresh blocks are zeroed";
}

TEST(MemQueueGrowth, StepTwoGrowsAtRecord4) {
    TeskMemQueue<Record> pool(2);
    for (int i = 0; i < 3; ++i) ASSERT_NE(pool.Mem_New(), nullptr);
    EXPECT_EQ(pool.BlockCount(), 1);
    ASSERT_NE(pool.Mem_New(), nullptr);
    EXPECT_EQ(pool.BlockCount(), 2);
}

TEST(MemQueueGrowth, ThousandBlockLimitAndRecovery) {
    TeskMemQueue<Record> pool(2);
    std::vector<Record *> held;
    while (Record *record = pool.Mem_New()) held.push_back(record);
    EXPECT_EQ(held.size(), 3000u);
    EXPECT_EQ(pool.BlockCount(), 1000);
    EXPECT_EQ(pool.Mem_New(), nullptr);
    EXPECT_EQ(pool.BlockCount(), 1000);
    EXPECT_EQ(pool.GrowStep(), 2);
    pool.Mem_Free(held[17]);
    EXPECT_EQ(pool.Mem_New(), held[17]);
    EXPECT_EQ(pool.Mem_New(), nullptr);
}

TEST(MemQueueReuse, FifoAndOldBytesKept) {
    TeskMemQueue<Record> pool(2);
    Record *a = pool.Mem_New();
    Record *b = pool.Mem_New();
    Record *c = pool.Mem_New();
    ASSERT_EQ(pool.BlockCount(), 1);
    strcpy(a->text, "left over");
    a->value = 42;
    pool.Mem_Free(a);
    pool.Mem_Free(b);
    EXPECT_EQ(pool.Mem_New(), a);
    EXPECT_EQ(a->value, 42);
    EXPECT_STREQ(a->text, "left over");
    EXPECT_EQ(pool.Mem_New(), b);
    (void)c;
}

TEST(MemQueuePending, FirstInFirstOut) {
    TeskMemQueue<Record> pool(100);
    EXPECT_EQ(pool.Item_Pop(), nullptr);
    Record *first = pool.Mem_New();
    Record *second = pool.Mem_New();
    pool.Item_Push(first);
    pool.Item_Push(second);
    EXPECT_EQ(pool.Item_Pop(), first);
    EXPECT_EQ(pool.Item_Pop(), second);
    EXPECT_EQ(pool.Item_Pop(), nullptr);
    // The emptied list takes records again.
    pool.Item_Push(first);
    EXPECT_EQ(pool.Item_Pop(), first);
}

TEST(MemQueueThreads, ConcurrentUsersNeverShareARecord) {
    TeskMemQueue<Record> pool(100);
    std::vector<std::thread> threads;
    std::vector<std::vector<Record *>> seen(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, &seen, t] {
            for (int round = 0; round < 2000; ++round) {
                Record *record = pool.Mem_New();
                record->value = t;
                if (round % 2) {
                    pool.Item_Push(record);
                    if (Record *popped = pool.Item_Pop()) pool.Mem_Free(popped);
                } else {
                    seen[t].push_back(record);
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    std::set<Record *> distinct;
    for (auto &list : seen)
        for (Record *record : list) EXPECT_TRUE(distinct.insert(record).second);
    for (int t = 0; t < 4; ++t)
        for (Record *record : seen[t]) EXPECT_EQ(record->value, t);
}
