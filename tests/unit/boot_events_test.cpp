// The boot-event queue: a slow observer loses events, counted, and never
// holds up the thread that emits; what is queued reaches the observer, in
// order, before delivery stops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "events/boot_events.h"

namespace {

std::atomic<bool> g_bHold{false};
std::atomic<bool> g_bHeld{false};
std::vector<BootEventRecord> g_Delivered;  // written by the delivery thread only

void TAVREL_CALLBACK SlowObserver(const BootEventRecord *event) {
    g_bHeld = true;
    for (int i = 0; i < 20000 && g_bHold; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_Delivered.push_back(*event);
}

void TAVREL_CALLBACK LeavingObserver(const BootEventRecord *event) {
    g_Delivered.push_back(*event);
    RegisterBootEventCallback(nullptr);  // from its own thread: must not wait for itself
}

void Emit(int nSequence) {
    BootEventRecord event = NewBootEvent(TAVREL_EVENT_TFTP_ENDED, TAVREL_REASON_NONE, 69);
    event.bytes = nSequence;
    EmitBootEvent(event);
}

}  // namespace

TEST(BootEvents, SlowObserverDropsAndCountsInOrder) {
    EXPECT_FALSE(BootEventsWanted());
    g_Delivered.clear();
    g_bHold = true;
    RegisterBootEventCallback(SlowObserver);
    StartBootEventDelivery();
    EXPECT_TRUE(BootEventsWanted());
    Emit(0);
    for (int i = 0; i < 5000 && !g_bHeld; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(g_bHeld) << "the observer got the first event";
    const int kEmitted = 3000;  // more than the queue holds, while the observer sleeps
    for (int i = 1; i < kEmitted; ++i) Emit(i);
    int64_t dropped = DroppedBootEvents();
    EXPECT_GT(dropped, 0);
    g_bHold = false;
    StopBootEventDelivery();  // delivers what is queued before it returns
    ASSERT_FALSE(g_Delivered.empty());
    EXPECT_EQ(static_cast<int64_t>(g_Delivered.size()) + dropped, kEmitted);
    // Packed records: fields are copied out before they are compared.
    for (size_t i = 1; i < g_Delivered.size(); ++i)
        ASSERT_LT(int64_t{g_Delivered[i - 1].bytes}, int64_t{g_Delivered[i].bytes});
    EXPECT_EQ(int64_t{g_Delivered.back().dropped}, dropped) << "the drop count travels with the events";
    EXPECT_EQ(int{g_Delivered.front().arch}, -1);
    EXPECT_EQ(int64_t{g_Delivered.front().size}, -1);
    EXPECT_GT(int64_t{g_Delivered.front().time}, 1600000000);
    RegisterBootEventCallback(nullptr);
    EXPECT_FALSE(BootEventsWanted());
}

TEST(BootEvents, ObserverMayRemoveItself) {
    g_Delivered.clear();
    RegisterBootEventCallback(LeavingObserver);
    StartBootEventDelivery();
    Emit(1);
    for (int i = 0; i < 5000 && BootEventsWanted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(BootEventsWanted());
    StopBootEventDelivery();
    EXPECT_EQ(g_Delivered.size(), 1u);
    // A new observer starts delivery again while the services run.
    g_Delivered.clear();
    StartBootEventDelivery();
    RegisterBootEventCallback(SlowObserver);
    Emit(2);
    StopBootEventDelivery();
    ASSERT_EQ(g_Delivered.size(), 1u);
    EXPECT_EQ(int64_t{g_Delivered[0].bytes}, 2);
    RegisterBootEventCallback(nullptr);
}
