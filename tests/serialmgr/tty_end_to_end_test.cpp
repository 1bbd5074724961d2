// Start-up of the serial manager over the real tty drivers: pseudo-terminals
// at /dev/ttyS0-2 and /dev/ttyGS0 and a chosen /proc/cmdline, inside a
// private mount namespace made by this test process (tests/support/
// tty_harness.h). Traffic over these ttys is checked by TtyTransportStress.
#include <android/log.h>

#include "drivers/uart_x_drv.h"
#include "log_capture.h"
#include "serialapi/serialapi_internal.h"
#include "serialmgr/serialmgr.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "tty_harness.h"

namespace {

using TtyEndToEnd = attest::TtyHarnessTest;

TEST_F(TtyEndToEnd, StartupRegistersTheConsoleUartAndTheFixedDevices) {
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(tty.setCmdline("console=ttyS1,115200n8 quiet\n"));
    attest::LogCapture log;
    ASSERT_EQ(SERIALMGR_Init(), 1);
    for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
        const bool expected = id == SERIAL_DEVICE_UART_B || id == SERIAL_DEVICE_USB ||
                              (id >= SERIAL_DEVICE_RNDIS && id <= SERIAL_DEVICE_SOCKET4);
        EXPECT_EQ(gSerialDeviceTable[id].deviceValid, expected ? 1 : 0) << "device " << id;
        // The shutdown table does not depend on which UARTs exist.
        EXPECT_EQ(gShutdownList[id].handler, id <= SERIAL_DEVICE_UART_C ? &UART_HandleShutdown : nullptr) << id;
        EXPECT_EQ(gDevList[id].devBufHandle.load(), -1) << id;
    }
    EXPECT_NE(gSerialDeviceTable[SERIAL_DEVICE_USB].legacyOpen, nullptr);  // registered the older way
    // Devices 0 and 2 cannot be registered on; the default device is 0.
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_UART_C, 1);
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    params.devID = 99;
    params.useDefaultDevice = 1;
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(ANDROID_LOG_ERROR, "SERIALMGR_RegisterClient: Open Failed devID=0, client=1\r\n"));
    EXPECT_TRUE(log.has(ANDROID_LOG_ERROR, "SERIALMGR_RegisterClient: Open Failed devID=2, client=1\r\n"));
}

}  // namespace
