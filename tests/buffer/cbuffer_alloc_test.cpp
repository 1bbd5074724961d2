// CBuffer against failing OS services. This program defines its own
// dbHEAP_Alloc, OSSEMAPHORE_Create and OSSEMAPHORE_Release, which the
// buffer's objects linked into it bind to; each forwards to libkovacutils
// unless the test has armed a failure.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "buffer/cbuffer.h"
#include "osal/osal.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {
int g_failAlloc = 0;  // fail the n-th allocation from now (1-based), 0 = none
bool g_failRelease = false;
UInt32 g_createCount = 0, g_createMode = 0;
template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line) {
    if (g_failAlloc != 0 && --g_failAlloc == 0) return nullptr;
    return real<void* (*)(size_t, const char*, UInt32)>("dbHEAP_Alloc")(size, file, line);
}
extern "C" OSSemaphore OSSEMAPHORE_Create(UInt32 initialCount, UInt32 mode) {
    g_createCount = initialCount, g_createMode = mode;
    return real<OSSemaphore (*)(UInt32, UInt32)>("OSSEMAPHORE_Create")(initialCount, mode);
}
extern "C" OSStatus OSSEMAPHORE_Release(OSSemaphore sem) {
    const OSStatus s = real<OSStatus (*)(OSSemaphore)>("OSSEMAPHORE_Release")(sem);
    return g_failRelease ? OSSTATUS_FAILURE : s;
}

namespace {

TEST(CBufferServices, BinaryLockOfMode11AndADataAreaFailureFreesTheRecord) {
    CBuffer* cb = BUFFER_CreateCBuffer(16, -1);
    EXPECT_EQ(g_createCount, 1u);
    EXPECT_EQ(g_createMode, 11u);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
    const UInt32 blocks = dbHEAP_GetLiveBlocks(), sems = OSSEMAPHORE_GetLiveCount();
    g_failAlloc = 2;
    EXPECT_EQ(BUFFER_CreateCBuffer(64, 8), nullptr);
    EXPECT_EQ(g_failAlloc, 0);  // the second allocation was the one that failed
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
}

TEST(CBufferServicesDeathTest, RecordAllocationAndReleaseFailuresStop) {
    EXPECT_DEATH((g_failAlloc = 1, BUFFER_CreateCBuffer(64, 8)),
                 "common/modem/at/stubs/buffer:[0-9]+: BUFFER_CreateCBuffer: assertion \"\\(cbuf\\) != NULL\" failed");
    // A failed release stops in the name of the operation that held the lock.
    CBuffer* cb = BUFFER_CreateCBuffer(8, -1);
    UInt8 byte = 1;
    EXPECT_DEATH((g_failRelease = true, BUFFER_PutCBufferDatum(cb, &byte)),
                 "BUFFER_PutCBufferDatum: assertion \"OSSEMAPHORE_Release\\( cbuf->wrt_lock \\) == "
                 "OSSTATUS_SUCCESS\" failed");
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

}  // namespace
