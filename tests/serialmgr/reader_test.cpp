// The reader thread on the fake driver: delivery, read results and errors,
// pauses (also the USB handshake), the device's lock, the SIGUSR2 handler and
// how a reader ends.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"

namespace {

using Reader = SerialMgrTest;
constexpr UInt32 kUsb = SERIAL_DEVICE_USB;
const char kStopLine[] = "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n";
const char kAckLine[] = "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n";

// The reader logs a wait line before each obtain of wait_sem, inside its
// pause loop, where it reads nothing until the pause ends.
bool waitWaitLines(const attest::LogCapture& log, int n) {
    return attest::waitUntil([&] { return log.countContaining("wait_sem=") >= n; });
}

TEST_F(Reader, ReadResultsThatCarryNothingAreSkipped) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    // Every result class but the failure and the stop: 0 with EAGAIN and
    // results above a block (1537, 65535 = -1) carry nothing; blocks of 1 to
    // 1536 bytes are delivered whole and in order. Many empty results in a
    // row slow the reader down but it goes on reading.
    fake::pushBytes(kDev, {0x31});
    fake::pushResult(kDev, 0, EAGAIN);
    for (int i = 0; i < 21; ++i) fake::pushResult(kDev, i % 2 ? 1537 : 0xFFFF, 0);
    fake::pushText(kDev, "0123456789");
    fake::pushBytes(kDev, std::vector<UInt8>(1536, 0x41));
    ASSERT_TRUE(rec.waitBlocks(3));
    const std::vector<std::vector<UInt8>> blocks = {
        {0x31}, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}, std::vector<UInt8>(1536, 0x41)};
    EXPECT_EQ(rec.blocks, blocks);
    EXPECT_EQ(rec.eventCount(), 0u);
    EXPECT_EQ(log.countContaining("blockdatasize == 0"), 0);
    EXPECT_EQ(log.count(kInfo, "   Serial_Read=1537\n"), 10);
    EXPECT_EQ(log.count(kInfo, "   Serial_Read=1536\n"), 1);
    deregisterAndCheck(client);
}

// After a read error the device is closed under a client that is still
// registered: sends and pauses end at once, another registration is a fatal
// error, and only the deregistration makes the device usable again.
TEST_F(Reader, ReadErrorTellsTheClientOnceAndEndsTheReaderUntilTheClientDeregisters) {
    installFake(kUsb);
    const struct {
        UInt32 dev;
        int err;
    } cases[] = {{kDev, EIO}, {kUsb, EBADF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        log.clear();
        attest::ClientRecorder rec;
        SerialMgrClientInfo* client = registerIdle(rec, c.dev);
        std::vector<UInt8> sent;
        for (size_t i = 0; i < 20; ++i) {
            const std::vector<UInt8> block(1 + i * 70, static_cast<UInt8>(i));
            sent.insert(sent.end(), block.begin(), block.end());
            fake::pushBytes(c.dev, block);
        }
        fake::pushResult(c.dev, 0, c.err);
        fake::pushBytes(c.dev, {0xEE});  // after the failure: never read
        ASSERT_TRUE(rec.waitEvents(1));
        ASSERT_TRUE(log.waitFor(kInfo, rxLine(c.dev, "END")));
        EXPECT_EQ(rec.allBytes(), sent);
        EXPECT_EQ(log.count(kError, rxLine(c.dev, "blockdatasize == 0, errno " + std::to_string(c.err) + " (" +
                                                      strerror(c.err) + ")")),
                  1)
            << log.dump();
        EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(client), -1);
        EXPECT_FALSE(fake::isOpen(c.dev));
        const UInt8 data[4] = {1, 2, 3, 4};
        EXPECT_EQ(SERIALMGR_SendData(client, data, 4, 0), 0);
        ASSERT_TRUE(attest::finishesWithin([&] {
            EXPECT_EQ(SERIALMGR_SendData(client, data, 4, 1), 0);
            SERIALMGR_SetFlowControl(client, 1);  // no reader to answer a STOP
            SERIALMGR_SetFlowControl(client, 0);  // wait_sem is gone: nothing to release
        }));
        EXPECT_TRUE(fake::writes(c.dev).empty());
        EXPECT_EQ(log.count(kInfo, kStopLine), 0);
        attest::ClientRecorder other;
        SerialMgrClientParams params = attest::makeParams(other, c.dev, 2);
        EXPECT_DEATH(SERIALMGR_RegisterClient(&params), "gDevList\\[inDevID\\].currentClient == NULL");

        // The deregistration signals nothing and joins the ended reader once.
        log.clear();
        deregisterAndCheck(client);
        EXPECT_EQ(log.countContaining("send SIGUSR2"), 0);
        EXPECT_EQ(rec.events, (std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR, SERIALMGR_EVENT_DEREGISTERED}));
        EXPECT_EQ(rec.zeroArgs, (std::vector<UInt32>{0, 0}));
        fake::install(c.dev);
        SerialMgrClientInfo* again = registerIdle(other, c.dev, 2);
        fake::pushText(c.dev, "AT\r");
        ASSERT_TRUE(other.waitBlocks(1));
        deregisterAndCheck(again);
        fake::install(c.dev);
    }
}

TEST_F(Reader, PausesParkTheReaderAndResumesReopenTheDeviceWithTheDefaultArgument) {
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kDev, 4, 77);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(fake::waitIdle(kDev));
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SetFlowControl: devID=7, client=4 enable=1 state=1\r\n"));
    const UInt8 data[3] = {'a', 'b', 'c'};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 3, 1), 0);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 3, 0), 0);
    EXPECT_TRUE(fake::writes(kDev).empty());
    // The blocked read ends only with data; that block was read before the
    // pause and is still delivered.
    fake::pushText(kDev, "1");
    ASSERT_TRUE(waitWaitLines(log, 1));
    char waitLine[80];
    snprintf(waitLine, sizeof waitLine, "SERIALMGR_RX_Entry: devID=7, wait_sem=%p\r\n",
             reinterpret_cast<void*>(static_cast<uintptr_t>(gDevList[kDev].wait_sem.load())));
    EXPECT_TRUE(log.has(kInfo, waitLine)) << log.dump();
    fake::pushText(kDev, "2");  // not read while paused
    EXPECT_EQ(fake::scriptLeft(kDev), 1u);

    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SetFlowControl: devID=7, client=4 enable=0 state=2\r\n"));
    ASSERT_TRUE(rec.waitBlocks(2));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 7\r\n"));
    EXPECT_EQ(fake::openParams(kDev), (std::vector<UInt32>{77, 0}));
    EXPECT_EQ(fake::closeCount(kDev), 1);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 3, 0), 3);
    // Resuming a client that is not paused changes nothing.
    ASSERT_TRUE(fake::waitIdle(kDev));
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    EXPECT_EQ(fake::openCount(kDev), 2);

    // The driver's STOP result parks the reader too; pausing on top of it is
    // harmless, and a deregistration releases the parked reader without a
    // refresh.
    log.clear();
    fake::pushResult(kDev, STOP_READING_USB_TTY, 0);
    ASSERT_TRUE(log.waitFor(kInfo, " SERIALMGR_RX_Entry: STOP_READING_USB_TTY:  stopRx=1\n"));
    ASSERT_TRUE(waitWaitLines(log, 1));
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    deregisterAndCheck(client);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Stop devID 7\r\n"));
    EXPECT_EQ(log.countContaining("Refresh device"), 0);
    EXPECT_EQ(fake::openCount(kDev), 2);
}

TEST_F(Reader, UsbPauseReturnsOnlyAfterTheReaderAcknowledges) {
    installFake(kUsb);
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kUsb);
    std::atomic<bool> paused{false};
    std::thread pauser([&] {
        EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
        paused = true;
    });
    EXPECT_TRUE(log.waitFor(kInfo, kStopLine));
    // The reader is idle in the fake's read, which does not watch the control
    // pipe: nobody can have acknowledged yet.
    EXPECT_FALSE(paused.load());
    EXPECT_EQ(log.count(kInfo, kAckLine), 0);
    fake::pushText(kUsb, "AT\r");  // the reader delivers, then parks and answers
    pauser.join();
    EXPECT_GE(log.count(kInfo, kAckLine), 1);
    // A repeated pause skips the control pipe: the parked reader would not
    // answer a second STOP.
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 1);

    // After the resume the reader reads on, and a new pause uses the pipe again.
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 5\r\n"));
    fake::pushText(kUsb, "AT\r");
    ASSERT_TRUE(rec.waitBlocks(2));
    const int waitLines = log.countContaining("wait_sem=");
    std::thread again([client] { SERIALMGR_SetFlowControl(client, 1); });
    EXPECT_TRUE(attest::waitUntil([&] { return log.count(kInfo, kStopLine) == 2; }));
    fake::pushText(kUsb, "x");
    again.join();
    // The first pause after the mutex was made acknowledges twice (its first
    // obtain takes the free mutex), so this pause may have returned on the
    // spare answer: wait for the reader's own pause.
    ASSERT_TRUE(waitWaitLines(log, waitLines + 1));

    // A STOP from the driver parks the reader, which answers on its own; a
    // client's pause on top of it needs no handshake. (Last: the answer that
    // nobody waits for stays in the pipe.)
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(attest::waitUntil(
        [&] { return log.count(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 5\r\n") == 2; }));
    const int acks = log.count(kInfo, kAckLine);
    fake::pushResult(kUsb, STOP_READING_USB_TTY, 0);
    ASSERT_TRUE(attest::waitUntil([&] { return log.count(kInfo, kAckLine) > acks; }));
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 2);
    deregisterAndCheck(client);
}

// Shutdown functions record where they ran.
std::atomic<int> g_shutdownRuns{0};
std::atomic<pthread_t> g_shutdownRanOn{};
void recordShutdown(UInt32) {
    g_shutdownRanOn = pthread_self();
    ++g_shutdownRuns;
}

TEST_F(Reader, DeregistrationLogsEveryStepAndSignalsAReaderBlockedInItsRead) {
    // The fake stands on UART device 1 with a recording shutdown function;
    // closing does not wake its read, only SIGUSR2 does, as with a tty.
    constexpr UInt32 kUart = SERIAL_DEVICE_UART_B;
    installFake(kUart);
    fake::setCloseWakesRead(kUart, false);
    gShutdownList[kUart].handler = recordShutdown;
    g_shutdownRuns = 0;
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kUart, 9);
    const pthread_t reader = gDevList[kUart].rxThread.load();
    log.clear();
    deregisterAndCheck(client);
    const std::string p = addressText(client);
    const std::vector<std::string> expected = {
        "SERIALMGR_DeRegisterClient: " + p + "\n",
        "SERIALMGR_SetFlowControl: devID=1, client=9 enable=0 state=1\r\n",
        "SERIALMGR_RX_Shutdown: devID=1\r\n",
        "SERIALMGR_RX_Shutdown: Serial_CloseDevice\r\n",
        "SERIALMGR_RX_Shutdown: devID=1, send SIGUSR2 to " + std::to_string(static_cast<int>(reader)) + "\r\n",
        "SERIALMGR_HandleSignal: devID = 1, shutting down\n",
        "SERIALMGR_RX_Entry: devID=1, END\r\n",
        "SERIALMGR_RX_Shutdown: devID=1, exiting\r\n",
        "SERIALMGR_DeRegisterClient: " + p + ", exiting\n",
    };
    std::vector<std::string> mine;
    for (const auto& line : log.lines()) {
        if (line.text.rfind("SERIALMGR_", 0) == 0) mine.push_back(line.text);
    }
    EXPECT_EQ(mine, expected) << log.dump();
    // The handler ran the shutdown function once, on the reader.
    EXPECT_EQ(g_shutdownRuns.load(), 1);
    EXPECT_TRUE(pthread_equal(g_shutdownRanOn.load(), reader));
    EXPECT_EQ(gShutdownList[kUart].pending.load(), 0u);
    EXPECT_EQ(rec.events, std::vector<UInt32>{SERIALMGR_EVENT_DEREGISTERED});
    EXPECT_EQ(rec.stateAtEvent, std::vector<UInt32>{0});
    EXPECT_EQ(rec.zeroArgs, std::vector<UInt32>{0});
}

std::vector<UInt32> g_calls;
void recordCall(UInt32 devID) { g_calls.push_back(devID); }

TEST_F(Reader, SignalRunsPendingShutdownsInOrderAndClearsEveryFlag) {
    g_calls.clear();
    gShutdownList[0].handler = recordCall;
    gShutdownList[2].handler = recordCall;
    gShutdownList[2].pending = 1;
    gShutdownList[0].pending = 1;
    gShutdownList[5].pending = 1;  // no handler: cleared without a call
    SERIALMGR_HandleSignal(SIGUSR2);
    EXPECT_EQ(g_calls, (std::vector<UInt32>{0, 2}));
    for (const auto& entry : gShutdownList) EXPECT_EQ(entry.pending.load(), 0u);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_HandleSignal: devID = 0, shutting down\n"));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_HandleSignal: devID = 2, shutting down\n"));
    EXPECT_EQ(log.countContaining("devID = 5"), 0);

    // Only SIGUSR2 is acted on, and the installed handler is the one that runs
    // (it could not, had the first run kept the shutdown mutex).
    gShutdownList[0].pending = 1;
    SERIALMGR_HandleSignal(SIGUSR1);
    EXPECT_EQ(gShutdownList[0].pending.load(), 1u);
    EXPECT_EQ(g_calls.size(), 2u);
    raise(SIGUSR2);
    EXPECT_EQ(g_calls, (std::vector<UInt32>{0, 2, 0}));
    EXPECT_EQ(gShutdownList[0].pending.load(), 0u);

    // A shutdown mutex that cannot be obtained (its handle names nothing) is
    // logged with its status, and the flags are still set and cleared.
    const OSSemaphore mutex = gShutdownMutex.exchange(0xFFFF);
    SerialMgr_SetPending(0, 1);
    SERIALMGR_HandleSignal(SIGUSR2);
    gShutdownMutex.store(mutex);
    EXPECT_EQ(g_calls, (std::vector<UInt32>{0, 2, 0, 0}));
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RX_Shutdown: OSSEMAPHORE_obtainMutex fail. status=3\r\n")) << log.dump();
    EXPECT_TRUE(log.has(kError, "SERIALMGR_HandleSignal: OSSEMAPHORE_obtainMutex fail. status=3\r\n"));
}

// A SIGUSR2 that reaches the reader outside a driver's wait stays pending (the
// reader keeps it blocked there). When the reader then ends on its own, it
// takes that signal at its end and runs the handler as a plain call: the
// device's shutdown function runs once, on the reader, and the flag is
// cleared. The signal is never let in after that, while the thread goes away.
std::atomic<pthread_t> g_reader{};
void signalSelfWhileDelivering(SerialMgrClientInfo*, UInt32, UInt8*, UInt32) {
    g_reader = pthread_self();
    gShutdownList[7].pending = 1;  // the fixture's fake device
    pthread_kill(pthread_self(), SIGUSR2);
}
void ignoreEvent(SerialMgrClientInfo*, UInt32, UInt32, UInt32) {}

TEST_F(Reader, SignalPendingWhenTheReaderEndsIsHandledOnceAsAPlainCall) {
    gShutdownList[kDev].handler = recordShutdown;
    g_shutdownRuns = 0;
    SerialMgrClientParams params = {signalSelfWhileDelivering, ignoreEvent, 0, 1, 0, 0, kDev, 0};
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    fake::pushText(kDev, "x");       // the signal becomes pending in dataCb
    fake::pushResult(kDev, 0, EIO);  // and the reader ends on the next read
    ASSERT_TRUE(log.waitFor(kInfo, rxLine(kDev, "END")));
    ASSERT_TRUE(attest::waitUntil([] { return g_shutdownRuns.load() == 1; })) << log.dump();
    EXPECT_TRUE(pthread_equal(g_shutdownRanOn.load(), g_reader.load()));
    EXPECT_EQ(gShutdownList[kDev].pending.load(), 0u);
    EXPECT_EQ(log.count(kInfo, "SERIALMGR_HandleSignal: devID = 7, shutting down\n"), 1) << log.dump();
    deregisterAndCheck(client);
    EXPECT_EQ(g_shutdownRuns.load(), 1);
}

// A flow-control mutex that cannot be obtained (its handle names nothing) is
// logged with its status; the reader carries on as if it held it, waits out
// the pause a tick per round, and reads on after the resume.
TEST_F(Reader, FailingFlowControlMutexIsLoggedAndThePauseStillEnds) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    SerialMgrDevice& dev = gDevList[kDev];
    const OSSemaphore mutex = dev.wait_sem.exchange(0xFFFF);  // beyond the handle table
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    fake::pushText(kDev, "1");  // read before the pause began: still delivered
    ASSERT_TRUE(log.waitFor(kError, "SERIALMGR_RX_Entry: OSSEMAPHORE_obtainMutex fail. status=3\r\n"));
    fake::pushText(kDev, "2");  // not read while paused
    EXPECT_EQ(fake::scriptLeft(kDev), 1u);
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(rec.waitBlocks(2));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 7\r\n"));
    ASSERT_TRUE(fake::waitIdle(kDev));
    dev.wait_sem.store(mutex);  // the reader destroys its own mutex when it ends
    deregisterAndCheck(client);
}

// While a registration or deregistration holds every unit of the device's
// lock, a block that the reader has read waits. Released, it is delivered;
// shut down instead, the reader ends without delivering it. Nothing tells
// whether the reader is already inside its wait for a unit or just before it
// once it has logged the read; neither outcome depends on that.
TEST_F(Reader, BlockReadWhileTheLockIsHeldIsDeliveredOnceFreeAndDroppedAtShutdown) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    SerialMgrDevice& dev = gDevList[kDev];
    for (int round = 1; round <= 2; ++round) {
        SerialMgr_ObtainExclusive(dev);
        fake::pushText(kDev, "AT\r");
        ASSERT_TRUE(attest::waitUntil([&] { return log.count(kInfo, "   Serial_Read=3\n") == round; }));
        EXPECT_EQ(rec.blockCount(), static_cast<size_t>(round - 1));
        if (round == 2) break;
        SerialMgr_ReleaseExclusive(dev);
        ASSERT_TRUE(rec.waitBlocks(1));
        ASSERT_TRUE(fake::waitIdle(kDev));  // the reader has given its unit back
    }
    // What the deregistration does while it holds the units.
    dev.currentClient.store(nullptr);
    ASSERT_TRUE(attest::finishesWithin([] { SERIALMGR_RX_Shutdown(kDev); })) << log.dump();
    EXPECT_EQ(rec.blockCount(), 1u);
    EXPECT_TRUE(log.has(kInfo, rxLine(kDev, "END")));
    // The units held here were on the destroyed semaphore; the client's
    // deregistration still completes and frees everything.
    deregisterAndCheck(client);
}

TEST_F(Reader, ReaderThatIsNotReadyLeavesTheDeviceOpenAndIsStillJoined) {
    installFake(kUsb);
    attest::ClientRecorder rec;
    // The reader logs BEGIN and ends before its first read.
    AT_STUBS_RegisterCallbacks(nullptr, [] { return Int32{0}; });
    SerialMgrClientParams params = attest::makeParams(rec, kUsb);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(log.waitFor(kInfo, rxLine(kUsb, "BEGIN")));
    ASSERT_TRUE(attest::waitUntil([] { return OSTASK_GetLiveCount() == 0; }));
    fake::pushText(kUsb, "AT\r");
    EXPECT_EQ(fake::readCount(kUsb), 0);
    EXPECT_TRUE(fake::isOpen(kUsb));
    EXPECT_EQ(log.countContaining("END"), 0);
    // Sending works: the device is open. A pause does not wait for an
    // acknowledgement that no reader would give.
    const UInt8 data[2] = {'o', 'k'};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 2, 1), 2);
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 0);
    log.clear();
    deregisterAndCheck(client);
    EXPECT_EQ(log.countContaining("send SIGUSR2"), 0);
    EXPECT_FALSE(fake::isOpen(kUsb));
    EXPECT_EQ(rec.blockCount(), 0u);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
}

}  // namespace
