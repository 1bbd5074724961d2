// The host stand-in for libkovacutils: what the library's callers rely on
// (non-recursive mutexes released by any thread, counting semaphores, handle
// 0, stale handles, joinable named tasks, the heap's live count).
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include "platform/kovacutils/kovacutils_host.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
constexpr OSStatus kSuccess = OSSTATUS_SUCCESS, kTimeout = OSSTATUS_TIMEOUT, kInvalid = OSSTATUS_INVALID_HANDLE;

// A call on another thread. Blocked means "not finished after a moment": a
// waiter that should block must still be waiting once it has had ample
// chance to run. A waiter that never ends trips the test's time limit.
using Call = std::future<OSStatus>;
template <typename Fn>
Call start(Fn fn) { return std::async(std::launch::async, fn); }
bool staysBlocked(const Call& c) { return c.wait_for(200ms) == std::future_status::timeout; }

TEST(KovaMutex, NotRecursiveReleasedByAnyThreadAndNeverAboveOneUnit) {
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_NE(m, 0u);
    std::atomic<bool> firstHeld{false};
    Call holder = start([&] {
        OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);
        firstHeld = true;
        return OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);  // parks: not recursive
    });
    ASSERT_TRUE(attest::waitUntil([&] { return firstHeld.load(); }));
    EXPECT_TRUE(staysBlocked(holder));
    // This thread never obtained it, and may release it all the same.
    EXPECT_EQ(OSSEMAPHORE_releaseMutex(m), kSuccess);
    EXPECT_EQ(holder.get(), kSuccess);
    // Releasing a free mutex leaves one unit.
    OSSEMAPHORE_releaseMutex(m);
    OSSEMAPHORE_releaseMutex(m);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(m), 1u);
    EXPECT_EQ(OSSEMAPHORE_destroyMutex(m), kSuccess);
}

TEST(KovaSemaphore, UnitsCountDownTimedWaitsTakeNothingAndReleaseOrDestroyWakeWaiters) {
    OSSemaphore s = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT), kSuccess);
    EXPECT_EQ(OSSEMAPHORE_Obtain(s, 4), kTimeout);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 0u);
    Call second = start([&] { return OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT); });
    EXPECT_TRUE(staysBlocked(second));
    EXPECT_EQ(OSSEMAPHORE_Release(s), kSuccess);
    EXPECT_EQ(second.get(), kSuccess);
    for (int i = 0; i < 5; ++i) OSSEMAPHORE_Release(s);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 5u);  // counting, above the initial count
    while (OSSEMAPHORE_Obtain(s, 0) == kSuccess) {}
    // Waiters on a destroyed semaphore or mutex wake up.
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);
    Call semWaiter = start([&] { return OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT); });
    Call mutexWaiter = start([&] { return OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT); });
    EXPECT_TRUE(staysBlocked(semWaiter) && staysBlocked(mutexWaiter));
    OSSEMAPHORE_Destroy(s);
    OSSEMAPHORE_destroyMutex(m);
    EXPECT_EQ(semWaiter.get(), kInvalid);
    EXPECT_EQ(mutexWaiter.get(), kInvalid);
}

TEST(KovaSemaphore, HandleZeroAndStaleHandlesAreIgnored) {
    // Each of these would block or crash if handle 0 reached a real object.
    EXPECT_NE(OSSEMAPHORE_Obtain(0, OSSUSPEND_WAIT), kSuccess);
    EXPECT_NE(OSSEMAPHORE_releaseMutex(0), kSuccess);

    const UInt32 live = OSSEMAPHORE_GetLiveCount();
    OSSemaphore old = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_EQ(OSSEMAPHORE_Destroy(old), kSuccess);
    // The freed slot is reused at once: the next object shares it.
    OSSemaphore next = OSSEMAPHORE_Create(2, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_NE(next, old);
    EXPECT_EQ(next & 0xFFFFu, old & 0xFFFFu);
    EXPECT_EQ(OSSEMAPHORE_Obtain(old, OSSUSPEND_WAIT), kInvalid);
    EXPECT_EQ(OSSEMAPHORE_Destroy(old), kInvalid);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(next), 2u);  // the stale handle reached nothing
    OSSEMAPHORE_Destroy(next);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), live);
}

// What a task sees from inside, written by the task before it parks.
std::atomic<bool> g_ran{false};
UInt32 g_argument = 0;
char g_threadName[16] = {};
size_t g_stackSize = 0;
pthread_t g_self{};
OSSemaphore g_gate = 0;  // the task waits here until the test has looked

void probeEntry(UInt32 argument) {
    g_argument = argument;
    pthread_getname_np(pthread_self(), g_threadName, sizeof g_threadName);
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &g_stackSize);
    pthread_attr_destroy(&attr);
    g_self = pthread_self();
    g_ran = true;
    OSSEMAPHORE_Obtain(g_gate, OSSUSPEND_WAIT);
}

TEST(KovaTask, RunsWithArgumentNameAndStackAndCanBeJoined) {
    EXPECT_EQ(OSTASK_GetName(0xFFFFFFFFu), nullptr);
    const UInt32 liveBefore = OSTASK_GetLiveCount();
    g_gate = OSSEMAPHORE_Create(0, OSSEMAPHORE_MODE_DEFAULT);
    // 4608 bytes is far below what glibc needs; the stand-in raises it.
    OSTask task = OSTASK_CreateWArg(probeEntry, "AVeryLongTaskName_0123", 20, 4608, 0xA5A55A5Au, 0);
    ASSERT_TRUE(task != 0u && attest::waitUntil([] { return g_ran.load(); }));
    EXPECT_EQ(g_argument, 0xA5A55A5Au);
    EXPECT_STREQ(g_threadName, "AVeryLongTaskNa");  // the 15 characters a thread name holds
    EXPECT_STREQ(OSTASK_GetName(task), "AVeryLongTaskName_0123");
    EXPECT_GE(g_stackSize, static_cast<size_t>(KOVA_MIN_TASK_STACK));
    EXPECT_EQ(OSTASK_GetLiveCount(), liveBefore + 1);
    OSSEMAPHORE_Release(g_gate);
    EXPECT_EQ(pthread_join(g_self, nullptr), 0);
    EXPECT_EQ(OSTASK_GetLiveCount(), liveBefore);
    EXPECT_EQ(OSTASK_GetName(task), nullptr);  // the slot was given back
}

std::string g_hooked;
// The counts that leak checks and model tests rely on.
TEST(KovaCounts, HeapLiveBlocksAndXassertReportsToTheHookOrStderr) {
    const UInt32 start = dbHEAP_GetLiveBlocks();
    void* a = dbHEAP_Alloc(16, __FILE__, __LINE__);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), start + 1);
    dbHEAP_Delete(nullptr, __FILE__, __LINE__);  // ignored, not counted
    dbHEAP_Delete(a, __FILE__, __LINE__);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), start);
    const UInt32 before = KOVA_GetXassertCount();
    KOVA_SetXassertHook([](const char* expression, const char* file, UInt32 line, Int32 value) {
        g_hooked = std::string(expression) + "@" + file + ":" + std::to_string(line) + "=" + std::to_string(value);
    });
    testing::internal::CaptureStderr();
    __xassert("a < b", "some/file", 42, -3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(g_hooked, "a < b@some/file:42=-3");
    KOVA_SetXassertHook(nullptr);
    testing::internal::CaptureStderr();
    __xassert("a < b", "some/file", 42, -3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xassert: some/file:42: \"a < b\" failed (value -3)\n");
    EXPECT_EQ(KOVA_GetXassertCount(), before + 2);
}

}  // namespace
