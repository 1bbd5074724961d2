// The serial manager over the real tty drivers: pseudo-terminals at
// /dev/ttyS0-2 and /dev/ttyGS0 and a chosen /proc/cmdline in a private mount
// namespace (tests/support/tty_harness.h). Start-up, and the flow control of
// the USB gadget tty (device 5) with its STOP/OK handshake.
#include <android/log.h>
#include <unistd.h>

#include <random>

#include "drivers/uart_x_drv.h"
#include "log_capture.h"
#include "serialapi/serialapi_internal.h"
#include "serialmgr/serialmgr.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "tty_harness.h"
#include "wait.h"

namespace {

constexpr UInt32 kUsb = SERIAL_DEVICE_USB;

class UsbFlow : public attest::TtyHarnessTest {
protected:
    void SetUp() override {
        TtyHarnessTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(SERIALMGR_Init(), 1);
    }

    SerialMgrClientInfo* registerReading(attest::ClientRecorder& rec, Int32 clientID = 1) {
        SerialMgrClientParams params = attest::makeParams(rec, kUsb, clientID);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        EXPECT_NE(client, nullptr);
        EXPECT_TRUE(attest::waitUntil([] { return gDevList[kUsb].rxLife.has(ReaderLife::kInLoop); }));
        return client;
    }

    // The reader reads: a line written on the far end reaches the client.
    bool delivers(attest::ClientRecorder& rec, const char* line) {
        const size_t before = rec.allBytes().size();
        const ssize_t n = static_cast<ssize_t>(strlen(line));
        if (write(tty.master(attest::TtyHarness::kUsb), line, static_cast<size_t>(n)) != n) return false;
        return attest::waitUntil([&] { return rec.allBytes().size() >= before + static_cast<size_t>(n); });
    }

    attest::LogCapture log;
};

using TtyStartup = attest::TtyHarnessTest;

TEST_F(TtyStartup, StartupRegistersTheConsoleUartAndTheFixedDevices) {
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

// The pause marks the client paused before its STOP/OK handshake: a send
// from another thread while the pause waits for the reader's OK (the reader
// is held inside dataCb, so it cannot park yet) is refused.
TEST_F(UsbFlow, SendDuringThePauseHandshakeIsRefused) {
    if (IsSkipped() || HasFatalFailure()) return;
    attest::ClientRecorder rec;
    std::atomic<bool> inCallback{false}, release{false};
    rec.onData = [&](SerialMgrClientInfo*, const UInt8*, UInt32) {
        inCallback = true;
        attest::waitUntil([&] { return release.load(); });
    };
    SerialMgrClientInfo* client = registerReading(rec);
    ASSERT_EQ(write(tty.master(attest::TtyHarness::kUsb), "x", 1), 1);
    ASSERT_TRUE(attest::waitUntil([&] { return inCallback.load(); }));
    attest::Background pause([client] { SERIALMGR_SetFlowControl(client, 1); });
    ASSERT_TRUE(log.waitFor(ANDROID_LOG_INFO, "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n"));
    const UInt8 data[2] = {'o', 'k'};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 2, 0), 0);
    EXPECT_FALSE(pause.done());
    release = true;
    ASSERT_TRUE(pause.finish());
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    EXPECT_TRUE(delivers(rec, "AT\r"));
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }));
}

// A pause right after a resume, on an idle line, returns: the reader's reopen
// drains that pause's STOP, and the reader looks at the pause again before it
// waits for data.
TEST_F(UsbFlow, PauseRightAfterAResumeReturnsOnAnIdleLine) {
    if (IsSkipped() || HasFatalFailure()) return;
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerReading(rec);
    ASSERT_TRUE(attest::finishesWithin(
        [client] {
            for (int i = 0; i < 1000; ++i) {
                SERIALMGR_SetFlowControl(client, 1);
                SERIALMGR_SetFlowControl(client, 0);
            }
        },
        std::chrono::seconds(60)));
    log.clear();
    SERIALMGR_SetFlowControl(client, 1);
    SERIALMGR_SetFlowControl(client, 0);
    EXPECT_TRUE(delivers(rec, "AT\r")) << log.dump();
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }));
}

// Pauses of one client from two threads, with traffic, and a pause of a
// replaced client racing the deregistration of the newer one: no pause waits
// for an acknowledgement that cannot come, and after the last call the
// reader does what that call asked.
TEST_F(UsbFlow, ConcurrentPausesAndADeregistrationNeverLeaveAPauseWaiting) {
    if (IsSkipped() || HasFatalFailure()) return;
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerReading(rec);
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        while (!done.load()) {
            if (write(tty.master(attest::TtyHarness::kUsb), "x", 1) != 1) break;
            std::this_thread::yield();
        }
    });
    auto flip = [client](unsigned seed) {
        std::mt19937 rng(seed);
        for (int i = 0; i < 300; ++i) SERIALMGR_SetFlowControl(client, rng() % 2);
    };
    const bool ended = attest::finishesWithin(
        [&] {
            std::thread other(flip, 1u);
            flip(2u);
            other.join();
        },
        std::chrono::seconds(60));
    done = true;
    traffic.join();
    ASSERT_TRUE(ended);
    log.clear();
    SERIALMGR_SetFlowControl(client, 0);
    EXPECT_EQ(client->state, 1u);
    EXPECT_TRUE(delivers(rec, "AT\r")) << log.dump() << " stopRx=" << int(gDevList[kUsb].stopRx.load());

    for (int round = 0; round < 50; ++round) {
        attest::ClientRecorder newer;
        SerialMgrClientInfo* replacing = registerReading(newer, 2);
        std::thread pause([client] { SERIALMGR_SetFlowControl(client, 1); });
        ASSERT_TRUE(attest::finishesWithin([replacing] { SERIALMGR_DeRegisterClient(replacing); })) << round;
        ASSERT_TRUE(attest::finishesWithin([&pause] { pause.join(); })) << round;
        // The deregistration stopped the device for both; the older client
        // registers anew to go on.
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }));
        client = registerReading(rec);
    }
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }));
}

}  // namespace
