// The platform layer's results: a wait or join that runs out of time says so
// with a result no index, success or time limit can be mistaken for.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace {

TEST(PlatformWaitTest, TimedOutSignalledAndFailedWaitsAreTold) {
    platform::WaitHandle event = nullptr;
    ASSERT_EQ(platform::EventCreate(&event), 0);
    EXPECT_EQ(platform::WaitAny(&event, 1, 0), platform::kWaitTimedOut);
    platform::EventSet(event);
    EXPECT_EQ(platform::WaitAny(&event, 1, platform::kWaitForever), 0);
    int nFailed = platform::WaitAny(&event, 0, 0);
    EXPECT_LT(nFailed, 0);
    EXPECT_NE(nFailed, platform::kWaitTimedOut);
    platform::EventClose(event);
}

TEST(PlatformWaitTest, JoinTellsARunningThreadFromAnEndedOne) {
    static std::atomic<bool> release{false};
    platform::ThreadHandle thread = nullptr;
    auto body = [](void *) -> unsigned {
        while (!release.load()) std::this_thread::yield();
        return 0;
    };
    ASSERT_EQ(platform::ThreadStart(body, nullptr, &thread), 0);
    EXPECT_EQ(platform::ThreadJoin(thread, 10), platform::kWaitTimedOut);
    release.store(true);
    EXPECT_EQ(platform::ThreadJoin(thread, platform::kWaitForever), 0);
    platform::ThreadClose(thread);
}

}  // namespace
