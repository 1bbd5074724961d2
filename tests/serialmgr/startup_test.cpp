// Start-up, the shutdown table and the SIGUSR2 handler.
#include <signal.h>

#include <vector>

#include "drivers/uart_x_drv.h"
#include "fixture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi_internal.h"

namespace {

using Startup = SerialMgrTest;

TEST_F(Startup, RecordsAreClosedAndTheShutdownTableIsFilled) {
    for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
        const SerialMgrDevice& dev = gDevList[id];
        EXPECT_EQ(dev.devBufHandle.load(), -1) << id;
        EXPECT_EQ(dev.currentClient.load(), nullptr) << id;
        EXPECT_EQ(dev.rxRunning.load(), 0u) << id;
        EXPECT_EQ(dev.stopRx.load(), 0u) << id;
        EXPECT_EQ(dev.txReady.load(), 0u) << id;
        EXPECT_EQ(dev.rxByteCount.load(), 0u) << id;
        EXPECT_EQ(dev.wait_sem.load() | dev.useSem.load() | dev.regSem.load(), 0u) << id;
        EXPECT_EQ(gShutdownList[id].pending.load(), 0u) << id;
        if (id <= SERIAL_DEVICE_UART_C) {
            EXPECT_EQ(gShutdownList[id].handler, &UART_HandleShutdown) << id;
        } else {
            EXPECT_EQ(gShutdownList[id].handler, nullptr) << id;
        }
    }
    EXPECT_NE(gShutdownMutex.load(), 0u);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(gShutdownMutex.load()), 1u);  // free
    EXPECT_EQ(SERIALMGR_GetDefaultATDevice(), 0u);
}

TEST_F(Startup, DriversAreRegisteredForTheirDevices) {
    // Whatever UARTs this machine's command line names, the rest is fixed.
    const int ports = UART_GetAvailablePorts();
    for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
        bool expected = id == SERIAL_DEVICE_USB || (id >= SERIAL_DEVICE_RNDIS && id <= SERIAL_DEVICE_SOCKET4);
        if (id <= SERIAL_DEVICE_UART_C) expected = (ports & (1 << id)) != 0;
        if (id == kDev) expected = true;  // the fake of this fixture
        EXPECT_EQ(gSerialDeviceTable[id].deviceValid, expected ? 1 : 0) << "device " << id;
    }
    EXPECT_NE(gSerialDeviceTable[SERIAL_DEVICE_USB].legacyOpen, nullptr);
    // No device is open after start-up.
    for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) EXPECT_EQ(Serial_GetRefCnt(id), 0) << id;
    EXPECT_EQ(Serial_OpenDevice(3, 0), -1);
}

std::vector<UInt32> g_calls;
void recordShutdown(UInt32 devID) { g_calls.push_back(devID); }

TEST_F(Startup, SignalRunsPendingShutdownsInOrderAndClearsEveryFlag) {
    gShutdownList[0].handler = recordShutdown;
    gShutdownList[2].handler = recordShutdown;
    gShutdownList[2].pending = 1;
    gShutdownList[0].pending = 1;
    gShutdownList[5].pending = 1;  // no handler: cleared without a call
    SERIALMGR_HandleSignal(SIGUSR2);
    EXPECT_EQ(g_calls, (std::vector<UInt32>{0, 2}));
    for (const auto& entry : gShutdownList) EXPECT_EQ(entry.pending.load(), 0u);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_HandleSignal: devID = 0, shutting down\n"));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_HandleSignal: devID = 2, shutting down\n"));
    EXPECT_EQ(log.countContaining("devID = 5"), 0);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(gShutdownMutex.load()), 1u);  // given back

    // Only SIGUSR2 is acted on.
    gShutdownList[0].pending = 1;
    SERIALMGR_HandleSignal(SIGUSR1);
    EXPECT_EQ(gShutdownList[0].pending.load(), 1u);
    EXPECT_EQ(g_calls.size(), 2u);

    // The installed handler is the one that runs on SIGUSR2.
    raise(SIGUSR2);
    EXPECT_EQ(g_calls, (std::vector<UInt32>{0, 2, 0}));
    EXPECT_EQ(gShutdownList[0].pending.load(), 0u);
}

TEST_F(Startup, ShutdownOfAUartDeviceRunsItsHandlerOnTheReader) {
    // The fake stands on device 1 with a recording shutdown function; its
    // read ends only through the signal, as a tty read does.
    fake::install(SERIAL_DEVICE_UART_B);
    fake::setCloseWakesRead(SERIAL_DEVICE_UART_B, false);
    static std::atomic<pthread_t> ranOn{};
    gShutdownList[1].handler = [](UInt32 devID) {
        g_calls.push_back(devID);
        ranOn = pthread_self();
    };
    start = attest::snapshot();
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, SERIAL_DEVICE_UART_B);
    const pthread_t reader = gDevList[1].rxThread.load();
    deregisterAndCheck(client);
    EXPECT_EQ(g_calls, std::vector<UInt32>{1});
    EXPECT_TRUE(pthread_equal(ranOn.load(), reader));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_HandleSignal: devID = 1, shutting down\n"));
    EXPECT_EQ(gShutdownList[1].pending.load(), 0u);
}

}  // namespace
