// The host stand-in for libkovacutils: what the library's callers rely on
// (non-recursive mutexes released by any thread, counting semaphores, handle
// 0, stale handles, joinable named tasks, the heap's live count).
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/kovacutils/kovacutils_host.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;

// Runs fn on a std::thread and reports whether it has finished.
struct Runner {
    std::atomic<bool> done{false};
    std::atomic<OSStatus> status{0};
    std::thread thread;
    template <typename Fn>
    explicit Runner(Fn fn) : thread([this, fn] {
        status = fn();
        done = true;
    }) {}
    ~Runner() {
        if (thread.joinable()) thread.join();
    }
};

// Blocked means "not finished after a moment": a waiter that should block must
// still be waiting once the thread has had ample chance to run.
bool staysBlocked(const Runner& r) { return !attest::waitUntil([&] { return r.done.load(); }, 200ms); }

TEST(KovaMutex, HolderObtainingAgainBlocksUntilAnotherThreadReleases) {
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_NE(m, 0u);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(m), 1u);  // free
    std::atomic<bool> firstHeld{false};
    Runner holder([&] {
        OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);
        firstHeld = true;
        return OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);  // parks: not recursive
    });
    ASSERT_TRUE(attest::waitUntil([&] { return firstHeld.load(); }));
    EXPECT_TRUE(staysBlocked(holder));
    EXPECT_EQ(OSSEMAPHORE_GetCnt(m), 0u);  // held
    // This thread never obtained it, and may release it all the same.
    EXPECT_EQ(OSSEMAPHORE_releaseMutex(m), (OSStatus)OSSTATUS_SUCCESS);
    ASSERT_TRUE(attest::waitUntil([&] { return holder.done.load(); }));
    EXPECT_EQ(holder.status.load(), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_EQ(OSSEMAPHORE_destroyMutex(m), (OSStatus)OSSTATUS_SUCCESS);
}

TEST(KovaMutex, ReleasingAFreeMutexLeavesOneUnit) {
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    EXPECT_EQ(OSSEMAPHORE_releaseMutex(m), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_EQ(OSSEMAPHORE_releaseMutex(m), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(m), 1u);
    EXPECT_EQ(OSSEMAPHORE_obtainMutex(m, 0), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_EQ(OSSEMAPHORE_obtainMutex(m, 0), (OSStatus)OSSTATUS_TIMEOUT);
    OSSEMAPHORE_destroyMutex(m);
}

TEST(KovaSemaphore, FiveUnitsCountDownAndTheSixthWaitsForARelease) {
    OSSemaphore s = OSSEMAPHORE_Create(5, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_NE(s, 0u);
    for (UInt32 i = 0; i < 5; ++i) {
        EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 5u - i);
        EXPECT_EQ(OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT), (OSStatus)OSSTATUS_SUCCESS);
    }
    EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 0u);
    Runner sixth([&] { return OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT); });
    EXPECT_TRUE(staysBlocked(sixth));
    EXPECT_EQ(OSSEMAPHORE_Release(s), (OSStatus)OSSTATUS_SUCCESS);
    ASSERT_TRUE(attest::waitUntil([&] { return sixth.done.load(); }));
    EXPECT_EQ(sixth.status.load(), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 0u);
    for (int i = 0; i < 5; ++i) OSSEMAPHORE_Release(s);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 5u);
    OSSEMAPHORE_Destroy(s);
}

TEST(KovaSemaphore, FiniteTimeoutsExpireWithTimeoutStatus) {
    OSSemaphore s = OSSEMAPHORE_Create(0, OSSEMAPHORE_MODE_DEFAULT);
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_EQ(OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_EQ(OSSEMAPHORE_Obtain(s, 0), (OSStatus)OSSTATUS_TIMEOUT);
    EXPECT_EQ(OSSEMAPHORE_Obtain(s, 4), (OSStatus)OSSTATUS_TIMEOUT);
    EXPECT_EQ(OSSEMAPHORE_obtainMutex(m, 4), (OSStatus)OSSTATUS_TIMEOUT);
    // A timed-out wait takes nothing.
    EXPECT_EQ(OSSEMAPHORE_GetCnt(s), 0u);
    OSSEMAPHORE_Release(s);
    EXPECT_EQ(OSSEMAPHORE_Obtain(s, 4), (OSStatus)OSSTATUS_SUCCESS);
    OSSEMAPHORE_Destroy(s);
    OSSEMAPHORE_destroyMutex(m);
}

TEST(KovaSemaphore, HandleZeroReturnsAtOnceWithoutEffect) {
    // Each of these would block or crash if handle 0 reached a real object.
    EXPECT_NE(OSSEMAPHORE_Obtain(0, OSSUSPEND_WAIT), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_NE(OSSEMAPHORE_Release(0), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(0), 0u);
    EXPECT_NE(OSSEMAPHORE_releaseMutex(0), (OSStatus)OSSTATUS_SUCCESS);
    EXPECT_NE(OSSEMAPHORE_obtainMutex(0, OSSUSPEND_WAIT), (OSStatus)OSSTATUS_SUCCESS);
}

TEST(KovaSemaphore, StaleHandlesAreIgnoredAndLeaveTheSlotsNextOwnerAlone) {
    const UInt32 live = OSSEMAPHORE_GetLiveCount();
    OSSemaphore old = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_EQ(OSSEMAPHORE_Destroy(old), (OSStatus)OSSTATUS_SUCCESS);
    // The freed slot is reused at once: the next object shares it.
    OSSemaphore next = OSSEMAPHORE_Create(2, OSSEMAPHORE_MODE_DEFAULT);
    ASSERT_NE(next, 0u);
    ASSERT_NE(next, old);
    EXPECT_EQ(next & 0xFFFFu, old & 0xFFFFu);

    EXPECT_EQ(OSSEMAPHORE_Obtain(old, OSSUSPEND_WAIT), (OSStatus)OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(OSSEMAPHORE_Release(old), (OSStatus)OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(old), 0u);
    EXPECT_EQ(OSSEMAPHORE_Destroy(old), (OSStatus)OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(next), 2u);

    // Kinds are not interchangeable: a semaphore handle is no mutex.
    EXPECT_EQ(OSSEMAPHORE_releaseMutex(next), (OSStatus)OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(OSSEMAPHORE_destroyMutex(next), (OSStatus)OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(next), 2u);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), live + 1);
    OSSEMAPHORE_Destroy(next);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), live);
}

TEST(KovaSemaphore, WaitersOnADestroyedObjectWakeUp) {
    OSSemaphore s = OSSEMAPHORE_Create(0, OSSEMAPHORE_MODE_DEFAULT);
    OSSemaphore m = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT);
    Runner semWaiter([&] { return OSSEMAPHORE_Obtain(s, OSSUSPEND_WAIT); });
    Runner mutexWaiter([&] { return OSSEMAPHORE_obtainMutex(m, OSSUSPEND_WAIT); });
    EXPECT_TRUE(staysBlocked(semWaiter));
    EXPECT_TRUE(staysBlocked(mutexWaiter));
    OSSEMAPHORE_Destroy(s);
    OSSEMAPHORE_destroyMutex(m);
    ASSERT_TRUE(attest::waitUntil([&] { return semWaiter.done.load() && mutexWaiter.done.load(); }));
    EXPECT_EQ(semWaiter.status.load(), (OSStatus)OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(mutexWaiter.status.load(), (OSStatus)OSSTATUS_INVALID_HANDLE);
}

TEST(KovaSemaphore, ModeDoesNotChangeBehaviour) {
    OSSemaphore a = OSSEMAPHORE_Create(1, 0);
    OSSemaphore b = OSSEMAPHORE_Create(1, 11);
    EXPECT_EQ(OSSEMAPHORE_Obtain(a, 0), OSSEMAPHORE_Obtain(b, 0));
    EXPECT_EQ(OSSEMAPHORE_Obtain(a, 0), OSSEMAPHORE_Obtain(b, 0));
    OSSEMAPHORE_Destroy(a);
    OSSEMAPHORE_Destroy(b);
}

// What a task sees from inside, written by the task before it parks.
struct TaskProbe {
    std::atomic<bool> ran{false};
    UInt32 argument = 0;
    char threadName[16] = {};
    size_t stackSize = 0;
    pthread_t self{};
    OSSemaphore gate = 0;  // the task waits here until the test has looked
};
TaskProbe g_probe;

void probeEntry(UInt32 argument) {
    g_probe.argument = argument;
    pthread_getname_np(pthread_self(), g_probe.threadName, sizeof g_probe.threadName);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &g_probe.stackSize);
        pthread_attr_destroy(&attr);
    }
    g_probe.self = pthread_self();
    g_probe.ran = true;
    OSSEMAPHORE_Obtain(g_probe.gate, OSSUSPEND_WAIT);
}

TEST(KovaTask, RunsWithArgumentNameAndStackAndCanBeJoined) {
    g_probe.gate = OSSEMAPHORE_Create(0, OSSEMAPHORE_MODE_DEFAULT);
    const UInt32 liveBefore = OSTASK_GetLiveCount();
    // 4608 bytes is far below what glibc needs; the stand-in raises it.
    OSTask task = OSTASK_CreateWArg(probeEntry, "SerMgr", 20, 4608, 0xA5A55A5Au, 0);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(attest::waitUntil([] { return g_probe.ran.load(); }));
    EXPECT_EQ(g_probe.argument, 0xA5A55A5Au);
    EXPECT_STREQ(g_probe.threadName, "SerMgr");
    EXPECT_GE(g_probe.stackSize, static_cast<size_t>(KOVA_MIN_TASK_STACK));
    ASSERT_NE(OSTASK_GetName(task), nullptr);
    EXPECT_STREQ(OSTASK_GetName(task), "SerMgr");
    EXPECT_EQ(OSTASK_GetLiveCount(), liveBefore + 1);

    OSSEMAPHORE_Release(g_probe.gate);
    EXPECT_EQ(pthread_join(g_probe.self, nullptr), 0);
    EXPECT_EQ(OSTASK_GetLiveCount(), liveBefore);
    EXPECT_EQ(OSTASK_GetName(task), nullptr);  // the slot was given back
    OSSEMAPHORE_Destroy(g_probe.gate);
}

TEST(KovaTask, LongNamesAreCutForTheThreadAndKeptWhole) {
    g_probe.gate = OSSEMAPHORE_Create(0, OSSEMAPHORE_MODE_DEFAULT);
    OSTask task = OSTASK_CreateWArg(probeEntry, "AVeryLongTaskName_0123", 1, 0, 7, 0);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(attest::waitUntil([] { return g_probe.ran.load(); }));
    EXPECT_STREQ(g_probe.threadName, "AVeryLongTaskNa");  // 15 characters
    EXPECT_STREQ(OSTASK_GetName(task), "AVeryLongTaskName_0123");
    OSSEMAPHORE_Release(g_probe.gate);
    EXPECT_EQ(pthread_join(g_probe.self, nullptr), 0);
    OSSEMAPHORE_Destroy(g_probe.gate);
}

TEST(KovaTask, NullEntryAndUnknownHandlesGiveNothing) {
    EXPECT_EQ(OSTASK_CreateWArg(nullptr, "x", 1, 4608, 0, 0), 0u);
    EXPECT_EQ(OSTASK_GetName(0), nullptr);
    EXPECT_EQ(OSTASK_GetName(0xFFFFFFFFu), nullptr);
}

TEST(KovaHeap, LiveBlockCountReturnsToItsStartValue) {
    const UInt32 start = dbHEAP_GetLiveBlocks();
    void* a = dbHEAP_Alloc(16, __FILE__, __LINE__);
    void* b = dbHEAP_Alloc(0, __FILE__, __LINE__);  // a real, distinct block
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    std::memset(a, 0x5A, 16);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), start + 2);
    dbHEAP_Delete(a, __FILE__, __LINE__);
    dbHEAP_Delete(nullptr, __FILE__, __LINE__);  // ignored, not counted
    dbHEAP_Delete(b, __FILE__, __LINE__);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), start);
}

std::string g_debugText;
UInt32 g_debugChannel = 0;
void captureDebug(UInt32 channel, const char* text) {
    g_debugChannel = channel;
    g_debugText = text;
}

TEST(KovaDebugLog, PrintfFormatsOneLineAndOutputStringPassesTextUnchanged) {
    KOVA_SetDebugLogHook(captureDebug);
    Log_DebugPrintf(269, "a=%d b=%s", 5, "x");
    EXPECT_EQ(g_debugChannel, 269u);
    EXPECT_EQ(g_debugText, "a=5 b=x");
    Log_DebugOutputString(262, "\r\nCBuffer");
    EXPECT_EQ(g_debugChannel, 262u);
    EXPECT_EQ(g_debugText, "\r\nCBuffer");
    KOVA_SetDebugLogHook(nullptr);
}

struct XassertReport {
    std::string expression, file;
    UInt32 line = 0;
    Int32 value = 0;
};
XassertReport g_xassert;
void captureXassert(const char* expression, const char* file, UInt32 line, Int32 value) {
    g_xassert = {expression, file, line, value};
}

TEST(KovaXassert, ReportsToTheHookAndReturns) {
    KOVA_SetXassertHook(captureXassert);
    const UInt32 before = KOVA_GetXassertCount();
    testing::internal::CaptureStderr();
    __xassert("a < b", "some/file", 42, -3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(KOVA_GetXassertCount(), before + 1);
    EXPECT_EQ(g_xassert.expression, "a < b");
    EXPECT_EQ(g_xassert.file, "some/file");
    EXPECT_EQ(g_xassert.line, 42u);
    EXPECT_EQ(g_xassert.value, -3);
    KOVA_SetXassertHook(nullptr);
}

TEST(KovaXassert, WithoutAHookReportsOnStderr) {
    const UInt32 before = KOVA_GetXassertCount();
    testing::internal::CaptureStderr();
    __xassert("a < b", "some/file", 42, -3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xassert: some/file:42: \"a < b\" failed (value -3)\n");
    EXPECT_EQ(KOVA_GetXassertCount(), before + 1);
}

}  // namespace
