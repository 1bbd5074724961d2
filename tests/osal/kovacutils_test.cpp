// The host stand-in for libkovacutils: what the library's callers rely on
// (binary non-recursive mutexes released by any thread, counting semaphores,
// handle 0 and stale handles, named tasks with a usable stack).
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include "platform/kovacutils/kovacutils_host.h"
#include "wait.h"

namespace {

constexpr OSStatus kSuccess = OSSTATUS_SUCCESS, kInvalid = OSSTATUS_INVALID_HANDLE;
// A waiter that should block must still be waiting once it has had ample
// chance to run; one that never ends trips the test's time limit.
bool staysBlocked(const std::future<OSStatus>& call) {
    return call.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout;
}

TEST(KovaMutex, NotRecursiveReleasedByAnyThreadAndNeverAboveOneUnit) {
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    std::atomic<bool> held{false};
    auto holder = std::async(std::launch::async, [&] {
        OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);
        held = true;
        return OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);  // parks: not recursive
    });
    ASSERT_TRUE(attest::waitUntil([&] { return held.load(); }));
    EXPECT_TRUE(staysBlocked(holder));
    EXPECT_EQ(OSSEMAPHORE_releaseMutex(m), kSuccess);  // by a thread that never obtained it
    EXPECT_EQ(holder.get(), kSuccess);
    OSSEMAPHORE_releaseMutex(m);
    OSSEMAPHORE_releaseMutex(m);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(m), 1u);
}

TEST(KovaSemaphore, CountsTimedWaitsTakeNothingAndDestroyWakesWaiters) {
    OSSemaphore s = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    EXPECT_EQ(OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT), kSuccess);
    EXPECT_EQ(OSSEMAPHORE_Obtain(s, 4), OSSTATUS_TIMEOUT);
    for (int i = 0; i < 5; ++i) OSSEMAPHORE_Release(s);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 5u);  // above the initial count
    while (OSSEMAPHORE_Obtain(s, 0) == kSuccess) {}
    auto waiter = std::async(std::launch::async, [s] { return OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT); });
    EXPECT_TRUE(staysBlocked(waiter));
    OSSEMAPHORE_Destroy(s);
    EXPECT_EQ(waiter.get(), kInvalid);
}

TEST(KovaSemaphore, HandleZeroAndStaleHandlesReachNothing) {
    EXPECT_NE(OSSEMAPHORE_Obtain(0, OSSUSPEND_WAIT), kSuccess);  // would block if it reached an object
    const UInt32 live = OSSEMAPHORE_GetLiveCount();
    OSSemaphore old = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_Destroy(old);
    OSSemaphore next = OSSEMAPHORE_Create(2, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_EQ(next & 0xFFFFu, old & 0xFFFFu);  // the freed slot is reused at once
    EXPECT_EQ(OSSEMAPHORE_Obtain(old, OSSUSPEND_WAIT), kInvalid);
    EXPECT_EQ(OSSEMAPHORE_Destroy(old), kInvalid);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(next), 2u);
    OSSEMAPHORE_Destroy(next);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), live);
}

// What a task sees from inside.
std::atomic<bool> g_ran{false};
std::string g_seen;
pthread_t g_self{};

TEST(KovaTask, RunsWithArgumentShortNameAndARaisedStack) {
    // 4608 bytes is far below what glibc needs; the stand-in raises it.
    OSTask task = OSTASK_CreateWArg([](UInt32 argument) {
        char name[16] = {};
        size_t stack = 0;
        pthread_attr_t attr;
        pthread_getname_np(pthread_self(), name, sizeof name);
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
        g_seen = std::to_string(argument) + " " + name + " " + std::to_string(stack >= KOVA_MIN_TASK_STACK);
        g_self = pthread_self();
        g_ran = true;
    }, "AVeryLongTaskName_0123", 20, 4608, 0xA5A55A5Au, 0);
    ASSERT_TRUE(task != 0u && attest::waitUntil([] { return g_ran.load(); }));
    EXPECT_EQ(pthread_join(g_self, nullptr), 0);
    EXPECT_EQ(g_seen, "2779077210 AVeryLongTaskNa 1");  // the 15 characters a thread name holds
    EXPECT_EQ(OSTASK_GetName(task), nullptr);  // the slot was given back
}

}  // namespace
