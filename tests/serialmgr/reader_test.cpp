// The reader thread on the fake driver: delivery, read results, read errors,
// pauses, and how it ends.
#include <errno.h>
#include <string.h>
#include <pthread.h>
#include <unistd.h>
#include <sys/syscall.h>
#include <signal.h>

#include <atomic>
#include <string>
#include <thread>

#include "fixture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "stubs/other_stubs.h"

namespace {

using Reader = SerialMgrTest;

std::string rxLine(UInt32 devID, const char* what) {
    return "SERIALMGR_RX_Entry: devID=" + std::to_string(devID) + ", " + what + "\r\n";
}

TEST_F(Reader, OneAtCommandTravelsInAndTheReplyOut) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    const UInt8 reply[] = "\r\nOK\r\n";
    rec.onData = [&](SerialMgrClientInfo* c, const UInt8*, UInt32) {
        // The client answers from inside dataCb, on the reader.
        EXPECT_EQ(SERIALMGR_SendData(c, reply, 6, 1), 6);
    };
    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(rec.waitBlocks(1));
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        EXPECT_EQ(rec.blocks[0], (std::vector<UInt8>{'A', 'T', '\r'}));
        EXPECT_EQ(rec.dataClients[0], client);
        EXPECT_EQ(rec.userDataSeen[0], client->params.userData);
    }
    EXPECT_EQ(gDevList[kDev].rxByteCount.load(), 3u);
    EXPECT_EQ(fake::writtenBytes(kDev), std::vector<UInt8>(reply, reply + 6));
    EXPECT_TRUE(log.has(kInfo, "   Serial_Read=3\n"));
    EXPECT_TRUE(log.has(kInfo, rxLine(kDev, "BEGIN")));
    deregisterAndCheck(client);
    EXPECT_TRUE(log.has(kInfo, rxLine(kDev, "END")));
}

TEST_F(Reader, ReadResultsThatCarryNothingAreSkipped) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    fake::pushResult(kDev, 0, EAGAIN);
    fake::pushResult(kDev, 1537, 0);
    fake::pushResult(kDev, 65535, 0);
    // Many in a row: the reader slows down but goes on reading.
    for (int i = 0; i < 20; ++i) fake::pushResult(kDev, 1537, 0);
    fake::pushText(kDev, "0123456789");
    ASSERT_TRUE(rec.waitBlocks(1));
    EXPECT_EQ(rec.allBytes().size(), 10u);
    EXPECT_EQ(gDevList[kDev].rxByteCount.load(), 10u);
    EXPECT_EQ(rec.eventCount(), 0u);
    EXPECT_EQ(log.count(kError, rxLine(kDev, "blockdatasize == 0, errno 11 (Resource temporarily unavailable)")), 0);
    EXPECT_EQ(log.count(kInfo, "   Serial_Read=1537\n"), 21);
    EXPECT_TRUE(log.has(kInfo, "   Serial_Read=65535\n"));
    // A full-size block is delivered whole.
    fake::pushBytes(kDev, std::vector<UInt8>(1536, 0x41));
    ASSERT_TRUE(rec.waitBlocks(2));
    EXPECT_EQ(gDevList[kDev].rxByteCount.load(), 1546u);
    deregisterAndCheck(client);
}

TEST_F(Reader, ReadErrorTellsTheClientOnceAndEndsTheReader) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    fake::pushResult(kDev, 0, EIO);
    ASSERT_TRUE(rec.waitEvents(1));
    ASSERT_TRUE(log.waitFor(kInfo, rxLine(kDev, "END")));
    const std::string errorLine = std::string("SERIALMGR_RX_Entry: devID=7, blockdatasize == 0, errno 5 (") +
                                  strerror(EIO) + ")\r\n";
    EXPECT_EQ(log.count(kError, errorLine), 1) << log.dump();
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        EXPECT_EQ(rec.events, std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR});
        EXPECT_EQ(rec.zeroArgs[0], 0u);
    }
    // Closed and without semaphores, but the client stays registered and
    // txReady stays 1 until it deregisters.
    SerialMgrDevice& dev = gDevList[kDev];
    EXPECT_EQ(dev.devBufHandle.load(), -1);
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(client), -1);
    EXPECT_FALSE(fake::isOpen(kDev));
    EXPECT_EQ(dev.wait_sem.load(), 0u);
    EXPECT_EQ(dev.useSem.load(), 0u);
    EXPECT_EQ(dev.regSem.load(), 0u);
    EXPECT_EQ(dev.txReady.load(), 1u);
    EXPECT_EQ(dev.currentClient.load(), client);
    // Sends end at once: non-blocking writes nothing, blocking does not spin.
    const UInt8 data[4] = {1, 2, 3, 4};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 4, 0), 0);
    EXPECT_TRUE(attest::finishesWithin([&] { EXPECT_EQ(SERIALMGR_SendData(client, data, 4, 1), 0); }));
    EXPECT_TRUE(fake::writes(kDev).empty());
    // The deregistration touches no destroyed mutex, signals nothing and
    // joins the ended reader once.
    log.clear();
    deregisterAndCheck(client);
    EXPECT_EQ(log.countContaining("send SIGUSR2"), 0);
    EXPECT_EQ(rec.eventCount(), 2u);
    EXPECT_EQ(log.countContaining("blockdatasize == 0"), 0);
}

TEST_F(Reader, UsbStopResultParksTheReader) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    fake::pushResult(kDev, STOP_READING_USB_TTY, 0);
    ASSERT_TRUE(log.waitFor(kInfo, " SERIALMGR_RX_Entry: STOP_READING_USB_TTY:  stopRx=1\n"));
    EXPECT_EQ(gDevList[kDev].stopRx.load(), 1u);
    // The wait line comes twice: the first obtain takes the free mutex, the
    // second parks.
    ASSERT_TRUE(attest::waitUntil([&] { return log.countContaining("wait_sem=") == 2; }));
    const int readsWhileParked = fake::readCount(kDev);
    fake::pushText(kDev, "x");
    // Resume: the reader reopens the device and reads on.
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(rec.waitBlocks(1));
    EXPECT_GT(fake::readCount(kDev), readsWhileParked);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 7\r\n"));
    deregisterAndCheck(client);
}

TEST_F(Reader, PauseAndResumeRefreshTheDeviceWithTheDefaultOpenArgument) {
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kDev, 4, 77);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(fake::waitIdle(kDev));
    EXPECT_EQ(fake::openParams(kDev), std::vector<UInt32>{77});

    log.clear();
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SetFlowControl: devID=7, client=4 enable=1 state=1\r\n"));
    EXPECT_EQ(client->state, 2u);
    EXPECT_EQ(gDevList[kDev].stopRx.load(), 1u);
    // A send during the pause writes nothing and returns 0.
    const UInt8 data[3] = {'a', 'b', 'c'};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 3, 1), 0);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 3, 0), 0);
    EXPECT_TRUE(fake::writes(kDev).empty());
    // The blocked read only ends with data; feed some so the reader reaches
    // the pause. That block is still delivered: it was read before the pause.
    fake::pushText(kDev, "1");
    ASSERT_TRUE(attest::waitUntil([&] { return log.countContaining("wait_sem=") == 2; }));
    fake::pushText(kDev, "2");  // not read while paused
    EXPECT_EQ(fake::scriptLeft(kDev), 1u);

    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SetFlowControl: devID=7, client=4 enable=0 state=2\r\n"));
    EXPECT_EQ(client->state, 1u);
    ASSERT_TRUE(rec.waitBlocks(2));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 7\r\n"));
    EXPECT_EQ(fake::openParams(kDev), (std::vector<UInt32>{77, 0}));
    EXPECT_EQ(fake::closeCount(kDev), 1);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 3, 0), 3);

    // Resuming a client that is not paused changes nothing else.
    ASSERT_TRUE(fake::waitIdle(kDev));
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    EXPECT_EQ(fake::openCount(kDev), 2);
    // Pausing twice is harmless too.
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_EQ(client->state, 2u);
    deregisterAndCheck(client);
}

TEST_F(Reader, DeregistrationReleasesAParkedReader) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    fake::pushResult(kDev, STOP_READING_USB_TTY, 0);
    ASSERT_TRUE(attest::waitUntil([&] { return log.countContaining("wait_sem=") == 2; }));
    deregisterAndCheck(client);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Stop devID 7\r\n"));
    EXPECT_EQ(log.countContaining("Refresh device"), 0);
    EXPECT_EQ(fake::openCount(kDev), 1);
    std::lock_guard<std::mutex> guard(rec.lock);
    EXPECT_EQ(rec.events, std::vector<UInt32>{SERIALMGR_EVENT_DEREGISTERED});
    EXPECT_EQ(rec.stateAtEvent[0], 0u);
    EXPECT_EQ(rec.zeroArgs[0], 0u);
}

// A flow-control mutex that cannot be obtained (its handle names nothing) is
// logged with its status; the reader carries on as if it held it, waits out
// the pause a tick per round, and reads on after the resume.
// A SIGUSR2 that reaches the reader outside a driver's wait stays pending (the
// reader keeps it blocked there). When the reader then ends on its own, it
// takes that signal at its end and runs the handler as a plain call: the
// device's shutdown function runs once, on the reader, and the flag is
// cleared. The signal is never let in after that, while the thread goes away.
std::atomic<pid_t> g_shutdownRanOn{0};
std::atomic<int> g_shutdownRuns{0};
void recordShutdown(UInt32) {
    g_shutdownRanOn = static_cast<pid_t>(syscall(SYS_gettid));
    ++g_shutdownRuns;
}
std::atomic<pid_t> g_readerTid{0};
void signalSelfWhileDelivering(SerialMgrClientInfo*, UInt32, UInt8*, UInt32) {
    g_readerTid = static_cast<pid_t>(syscall(SYS_gettid));
    gShutdownList[7].pending = 1;  // the fixture's fake device
    pthread_kill(pthread_self(), SIGUSR2);
}
void ignoreEvent(SerialMgrClientInfo*, UInt32, UInt32, UInt32) {}

TEST_F(Reader, SignalPendingWhenTheReaderEndsIsHandledOnceAsAPlainCall) {
    g_shutdownRuns = 0;
    gShutdownList[kDev].handler = recordShutdown;
    SerialMgrClientParams params = {signalSelfWhileDelivering, ignoreEvent, 0, 1, 0, 0, kDev, 0};
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    fake::pushText(kDev, "x");        // the signal becomes pending in dataCb
    fake::pushResult(kDev, 0, EIO);   // and the reader ends on the next read
    ASSERT_TRUE(log.waitFor(kInfo, rxLine(kDev, "END")));
    ASSERT_TRUE(attest::waitUntil([] { return g_shutdownRuns.load() == 1; })) << log.dump();
    EXPECT_EQ(g_shutdownRanOn.load(), g_readerTid.load());
    EXPECT_EQ(gShutdownList[kDev].pending.load(), 0u);
    EXPECT_EQ(log.count(kInfo, "SERIALMGR_HandleSignal: devID = 7, shutting down\n"), 1) << log.dump();
    deregisterAndCheck(client);
    EXPECT_EQ(g_shutdownRuns.load(), 1);
}

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

TEST_F(Reader, DeregistrationLogsEveryStepAndSignalsABlockedReader) {
    // Closing does not wake this read; only SIGUSR2 does, as with a tty.
    fake::setCloseWakesRead(kDev, false);
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kDev, 9);
    const pthread_t reader = gDevList[kDev].rxThread.load();
    log.clear();
    deregisterAndCheck(client);
    char pointer[32];
    snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(client));
    const std::string expected[] = {
        std::string("SERIALMGR_DeRegisterClient: ") + pointer + "\n",
        "SERIALMGR_SetFlowControl: devID=7, client=9 enable=0 state=1\r\n",
        "SERIALMGR_RX_Shutdown: devID=7\r\n",
        "SERIALMGR_RX_Shutdown: Serial_CloseDevice\r\n",
        "SERIALMGR_RX_Shutdown: devID=7, send SIGUSR2 to " + std::to_string(static_cast<int>(reader)) + "\r\n",
        "SERIALMGR_RX_Shutdown: devID=7, exiting\r\n",
        std::string("SERIALMGR_DeRegisterClient: ") + pointer + ", exiting\n",
    };
    std::vector<std::string> mine;
    for (const auto& line : log.lines()) {
        if (line.text.rfind("SERIALMGR_DeRegisterClient", 0) == 0 || line.text.rfind("SERIALMGR_RX_Shutdown", 0) == 0 ||
            line.text.rfind("SERIALMGR_SetFlowControl", 0) == 0) {
            mine.push_back(line.text);
        }
    }
    EXPECT_EQ(mine, std::vector<std::string>(std::begin(expected), std::end(expected))) << log.dump();
    EXPECT_TRUE(log.has(kInfo, rxLine(kDev, "END")));
    EXPECT_EQ(gShutdownList[kDev].pending.load(), 0u);
    // The state after deregistration.
    SerialMgrDevice& dev = gDevList[kDev];
    EXPECT_EQ(dev.devBufHandle.load(), -1);
    EXPECT_EQ(dev.rxRunning.load(), 0u);
    EXPECT_EQ(dev.txReady.load(), 0u);
    EXPECT_EQ(dev.stopRx.load(), 0u);
    EXPECT_EQ(dev.currentClient.load(), nullptr);
}

TEST_F(Reader, ReaderWaitingForTheLockEndsWhenTheDeviceIsShutDown) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    SerialMgrDevice& dev = gDevList[kDev];
    // Hold all five units, as a deregistration does, and let the reader read
    // a block: it now waits for a unit.
    const OSSemaphore useSem = dev.useSem.load();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(OSSEMAPHORE_Obtain(useSem, 0), OSSTATUS_SUCCESS);
    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(attest::waitUntil([] { return fake::readCount(kDev) == 1; }));
    // What the deregistration does while it holds the units.
    dev.currentClient.store(nullptr);
    ASSERT_TRUE(attest::finishesWithin([] { SERIALMGR_RX_Shutdown(kDev); })) << log.dump();
    EXPECT_EQ(rec.blockCount(), 0u);
    EXPECT_TRUE(log.has(kInfo, rxLine(kDev, "END")));
    EXPECT_EQ(dev.useSem.load(), 0u);
    // The units held here were on the destroyed semaphore; the client's
    // deregistration still completes and frees everything.
    deregisterAndCheck(client);
}

TEST_F(Reader, ReaderWaitingForTheLockDeliversOnceItIsFree) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    const OSSemaphore useSem = gDevList[kDev].useSem.load();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(OSSEMAPHORE_Obtain(useSem, 0), OSSTATUS_SUCCESS);
    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(attest::waitUntil([] { return fake::readCount(kDev) == 1; }));
    EXPECT_EQ(rec.blockCount(), 0u);
    for (int i = 0; i < 5; ++i) OSSEMAPHORE_Release(useSem);
    ASSERT_TRUE(rec.waitBlocks(1));
    deregisterAndCheck(client);
}

TEST_F(Reader, ReaderThatIsNotReadyLeavesTheDeviceOpenAndIsStillJoined) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerNotReady(rec);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(attest::waitUntil([] { return OSTASK_GetLiveCount() == 0; }));
    fake::pushText(kDev, "AT\r");
    EXPECT_EQ(fake::readCount(kDev), 0);
    EXPECT_TRUE(fake::isOpen(kDev));
    EXPECT_NE(gDevList[kDev].devBufHandle.load(), -1);
    EXPECT_NE(gDevList[kDev].useSem.load(), 0u);
    EXPECT_EQ(gDevList[kDev].rxThread.load(), pthread_t{});
    EXPECT_EQ(log.countContaining("END"), 0);
    // Sending works: the device is open.
    const UInt8 data[2] = {'o', 'k'};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 2, 1), 2);
    log.clear();
    deregisterAndCheck(client);
    EXPECT_EQ(log.countContaining("send SIGUSR2"), 0);
    EXPECT_FALSE(fake::isOpen(kDev));
    EXPECT_EQ(gDevList[kDev].useSem.load(), 0u);
    EXPECT_EQ(rec.blockCount(), 0u);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
}

TEST_F(Reader, ReregistrationAfterDeregistrationStartsAFreshReader) {
    for (int round = 0; round < 3; ++round) {
        attest::ClientRecorder rec;
        SerialMgrClientInfo* client = registerIdle(rec);
        fake::pushText(kDev, "AT\r");
        ASSERT_TRUE(rec.waitBlocks(1));
        deregisterAndCheck(client);
    }
    EXPECT_EQ(fake::openCount(kDev), 3);
    EXPECT_EQ(fake::closeCount(kDev), 3);
    EXPECT_EQ(gDevList[kDev].rxByteCount.load(), 9u);  // never reset by deregistration
}

}  // namespace
