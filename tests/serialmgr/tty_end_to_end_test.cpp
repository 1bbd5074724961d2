// The serial manager over the real tty drivers: pseudo-terminals at
// /dev/ttyS0-2 and /dev/ttyGS0 and a chosen /proc/cmdline, inside a private
// mount namespace made by this test process (tests/support/tty_harness.h).
#include <android/log.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "drivers/uart_x_drv.h"
#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi_internal.h"
#include "serialmgr/serialmgr.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "tty_harness.h"
#include "wait.h"

namespace {

constexpr int kInfo = ANDROID_LOG_INFO;

bool writeAll(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Reads what arrives on fd until want bytes came or limit passed.
std::string readSome(int fd, size_t want, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) != 1) continue;
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Drops whatever is waiting on fd.
void drain(int fd) {
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    while (poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0 && read(fd, buf, sizeof buf) > 0) {
    }
}

// The harness first (before any thread exists), then the command line, then
// the library.
class TtyEndToEnd : public attest::TtyHarnessTest {
protected:
    void SetUp() override {
        ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
        attest::TtyHarnessTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(tty.setCmdline("console=ttyS1,115200n8 quiet\n"));
        ASSERT_EQ(SERIALMGR_Init(), 1);
        std::thread([] {}).join();  // sanitizer helper threads start now
        start = attest::snapshot();
    }

    SerialMgrClientInfo* registerOn(attest::ClientRecorder& rec, UInt32 devID) {
        SerialMgrClientParams params = attest::makeParams(rec, devID, 1);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        EXPECT_NE(client, nullptr) << log.dump();
        EXPECT_TRUE(attest::waitUntil([devID] { return gDevList[devID].rxInLoop.load() == 1; }));
        return client;
    }

    void deregisterAndCheck(SerialMgrClientInfo* client) {
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }))
            << "deregistration hung\n"
            << log.dump();
        EXPECT_TRUE(attest::waitResourcesBack(start))
            << "start: " << start.describe() << "\nnow:   " << attest::snapshot().describe();
    }

    // The command travels in through the pty, the reply out through it.
    void roundTrip(attest::ClientRecorder& rec, SerialMgrClientInfo* client, int master, size_t blocksBefore) {
        ASSERT_TRUE(writeAll(master, "AT\r"));
        ASSERT_TRUE(rec.waitBlocks(blocksBefore + 1)) << log.dump();
        {
            std::lock_guard<std::mutex> guard(rec.lock);
            EXPECT_EQ(rec.blocks.back(), (std::vector<UInt8>{'A', 'T', '\r'}));
        }
        static const UInt8 ok[] = "\r\nOK\r\n";
        EXPECT_EQ(SERIALMGR_SendData(client, ok, 6, 1), 6);
        EXPECT_EQ(readSome(master, 6), "\r\nOK\r\n");
    }

    attest::LogCapture log;
    attest::Resources start{};
};

TEST_F(TtyEndToEnd, StartupRegistersTheConsoleUartAndTheFixedDevices) {
    for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
        const bool expected = id == SERIAL_DEVICE_UART_B || id == SERIAL_DEVICE_USB ||
                              (id >= SERIAL_DEVICE_RNDIS && id <= SERIAL_DEVICE_SOCKET4);
        EXPECT_EQ(gSerialDeviceTable[id].deviceValid, expected ? 1 : 0) << "device " << id;
    }
    // The shutdown table does not depend on which UARTs exist.
    for (UInt32 id = 0; id <= SERIAL_DEVICE_UART_C; ++id) EXPECT_EQ(gShutdownList[id].handler, &UART_HandleShutdown);
    for (UInt32 id = 3; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) EXPECT_EQ(gShutdownList[id].handler, nullptr);
    // Devices 0 and 2 cannot be registered on.
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_UART_C, 1);
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    params.devID = 99;
    params.useDefaultDevice = 1;
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(ANDROID_LOG_ERROR, "SERIALMGR_RegisterClient: Open Failed devID=0, client=1\r\n"));
}

TEST_F(TtyEndToEnd, UartCommandReplyAndShutdownThroughTheSignal) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerOn(rec, SERIAL_DEVICE_UART_B);
    ASSERT_NE(client, nullptr);
    const int master = tty.master(1);
    roundTrip(rec, client, master, 0);
    roundTrip(rec, client, master, 1);
    log.clear();
    deregisterAndCheck(client);
    // Closing the port wakes the reader's wait by itself (restoring the
    // settings hangs up the wait), so the reader may end before SIGUSR2
    // reaches it; then no handler runs and the deregistration clears the flag
    // after the join. Either way the handler runs at most once and nothing
    // stays pending. That the handler runs the shutdown function of a pending
    // UART is tested with the signal alone in the start-up tests.
    EXPECT_LE(log.count(kInfo, "SERIALMGR_HandleSignal: devID = 1, shutting down\n"), 1) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: devID=1, END\r\n"));
    EXPECT_EQ(gShutdownList[1].pending.load(), 0u);
}

TEST_F(TtyEndToEnd, UsbPauseReturnsAfterTheReadersAcknowledgement) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerOn(rec, SERIAL_DEVICE_USB);
    ASSERT_NE(client, nullptr);
    const int master = tty.master(attest::TtyHarness::kUsb);
    roundTrip(rec, client, master, 0);

    // The USB read wakes on the STOP, the reader parks and answers OK; only
    // then does the pause return.
    ASSERT_TRUE(attest::finishesWithin([client] { EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1); }))
        << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n"));
    EXPECT_TRUE(log.has(kInfo, " SERIALMGR_RX_Entry: STOP_READING_USB_TTY:  stopRx=1\n") ||
                log.countContaining("wait_sem=") > 0);
    EXPECT_EQ(gDevList[SERIAL_DEVICE_USB].stopRx.load(), 1u);
    // A second pause does not wait for an OK that would never come.
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));

    // Nothing is delivered while paused; the resume reopens the tty.
    // The tty is in raw mode again once the reopen has reported its result.
    const int opensBefore = log.count(kInfo, "Serial_OpenDevice: openResult=1\r\n");
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 5\r\n"));
    ASSERT_TRUE(attest::waitUntil(
        [&] { return log.count(kInfo, "Serial_OpenDevice: openResult=1\r\n") == opensBefore + 1; }));
    drain(master);
    roundTrip(rec, client, master, 1);
    deregisterAndCheck(client);
    EXPECT_EQ(rec.eventCount(), 1u);
}

}  // namespace
