// Allocation failures of the serial manager. This program interposes
// dbHEAP_Alloc (libkovacutils is a shared library, so the definition here
// wins) and fails the allocations a test asks for.
#include <dlfcn.h>

#include "fixture.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

std::atomic<size_t> g_failSize{0};  // allocations of this size fail; 0 = none

using AllocFn = void* (*)(size_t, const char*, UInt32);

AllocFn realAlloc() {
    static AllocFn fn = reinterpret_cast<AllocFn>(dlsym(RTLD_NEXT, "dbHEAP_Alloc"));
    return fn;
}

}  // namespace

extern "C" void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line) {
    if (g_failSize.load() != 0 && size == g_failSize.load()) return nullptr;
    return realAlloc()(size, file, line);
}

namespace {

using AllocFailure = SerialMgrTest;

TEST_F(AllocFailure, ClientRecordFailureLeavesTheDeviceAsItWas) {
    ASSERT_NE(realAlloc(), nullptr);
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kDev, 3);
    g_failSize = sizeof(SerialMgrClientInfo);
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: no memory for the client record devID=7, client=3\r\n"));
    EXPECT_EQ(fake::openCount(kDev), 0);
    expectNothingLeft();

    // On an open device the current client stays as it was.
    g_failSize = 0;
    SerialMgrClientInfo* first = registerIdle(rec, kDev, 3);
    g_failSize = sizeof(SerialMgrClientInfo);
    attest::ClientRecorder other;
    SerialMgrClientParams otherParams = attest::makeParams(other, kDev, 4);
    EXPECT_EQ(SERIALMGR_RegisterClient(&otherParams), nullptr);
    EXPECT_EQ(gDevList[kDev].currentClient.load(), first);
    g_failSize = 0;
    deregisterAndCheck(first);
}

TEST_F(AllocFailure, ReaderWithoutBufferEndsAndClosesTheDevice) {
    g_failSize = SERIALMGR_RX_BUFFER_SIZE;
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kDev, 3);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=7, END\r\n"));
    g_failSize = 0;
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RX_Entry: devID=7, no receive buffer\r\n"));
    EXPECT_EQ(fake::readCount(kDev), 0);
    EXPECT_FALSE(fake::isOpen(kDev));
    EXPECT_EQ(rec.eventCount(), 0u);
    deregisterAndCheck(client);
    EXPECT_EQ(rec.eventCount(), 1u);
}

}  // namespace
