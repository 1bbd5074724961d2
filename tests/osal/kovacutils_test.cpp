// The host stand-in for libkovacutils: binary non-recursive mutexes that any
// thread may release, stale handles that reach nothing, tasks with a usable stack.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>

#include "platform/kovacutils/kovacutils_host.h"
#include "wait.h"

namespace {

TEST(KovaMutex, NotRecursiveReleasedByAnyThreadAndNeverAboveOneUnit) {
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    std::atomic<bool> held{false};
    auto holder = std::async(std::launch::async, [&] {
        OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);
        held = true;
        return OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);  // parks: not recursive
    });
    ASSERT_TRUE(attest::waitUntil([&] { return held.load(); }));
    // Still parked after ample time to run; a holder that never ends trips the test's time limit.
    EXPECT_EQ(holder.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(OSSEMAPHORE_releaseMutex(m), OSSTATUS_SUCCESS);  // by a thread that never obtained it
    EXPECT_EQ(holder.get(), OSSTATUS_SUCCESS);
    OSSEMAPHORE_releaseMutex(m);
    OSSEMAPHORE_releaseMutex(m);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(m), 1u);
}

TEST(KovaSemaphore, HandleZeroAndStaleHandlesReachNothing) {
    EXPECT_NE(OSSEMAPHORE_Obtain(0, OSSUSPEND_WAIT), OSSTATUS_SUCCESS);  // would block if it reached an object
    OSSemaphore old = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_Destroy(old);
    OSSemaphore next = OSSEMAPHORE_Create(2, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_EQ(next & 0xFFFFu, old & 0xFFFFu);  // the freed slot is reused at once
    EXPECT_EQ(OSSEMAPHORE_Obtain(old, OSSUSPEND_WAIT), OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(OSSEMAPHORE_Destroy(old), OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(next), 2u);
}

std::atomic<size_t> g_stack{0};
pthread_t g_task{};
TEST(KovaTask, GetsAStackOfAtLeastTheMinimum) {
    // 4608 bytes is far below what glibc needs; the stand-in raises it.
    OSTask task = OSTASK_CreateWArg([](UInt32) {
        pthread_attr_t attr;
        size_t stack = 0;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
        g_task = pthread_self();
        g_stack = stack;
    }, "StackProbe", 20, 4608, 0, 0);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(attest::waitUntil([] { return g_stack.load() != 0; }));
    EXPECT_GE(g_stack.load(), static_cast<size_t>(KOVA_MIN_TASK_STACK));
    EXPECT_EQ(pthread_join(g_task, nullptr), 0);
}

}  // namespace
