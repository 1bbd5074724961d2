// The reader thread on the fake driver: read results and errors, pauses (also
// the USB handshake), and how a reader ends.
#include <errno.h>

#include "fixture.h"

namespace {

using Reader = SerialMgrTest;
constexpr UInt32 kUsb = SERIAL_DEVICE_USB;
const char kStopLine[] = "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n";
const UInt8 kData[3] = {'a', 'b', 'c'};

// The reader logs a wait line before each obtain of wait_sem, inside its
// pause loop, where it reads nothing until the pause ends.
bool waitParked(const attest::LogCapture& log) {
    return attest::waitUntil([&] { return log.countContaining("wait_sem=") > 0; });
}

// Results above a block (1537, 65535 = -1) and 0 with EAGAIN carry nothing;
// blocks up to 1536 bytes are delivered whole. A read of 0 with another errno
// ends the reader and closes the device under a client still registered:
// sends end at once, another registration is a fatal error, and only the
// deregistration makes the device usable again.
TEST_F(Reader, ResultsWithoutDataAreSkippedAndAReadErrorEndsTheReader) {
    attest::ClientRecorder rec, other;
    SerialMgrClientInfo* client = registerIdle(rec);
    fake::push(kDev, "1");
    for (UInt16 result : {0, 1537, 0xFFFF}) fake::push(kDev, result, result == 0 ? EAGAIN : 0);
    fake::push(kDev, std::string(1536, 'A'));
    fake::push(kDev, 0, EIO);
    fake::push(kDev, "never read");
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=7, END\r\n"));
    EXPECT_TRUE(rec.wait([&] { return rec.blocks == Blocks{{'1'}, std::vector<UInt8>(1536, 'A')}; }));
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RX_Entry: devID=7, blockdatasize == 0, errno 5 (Input/output error)\r\n"));
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(client), -1);
    ASSERT_TRUE(attest::finishesWithin([&] {
        EXPECT_EQ(SERIALMGR_SendData(client, kData, 3, 1), 0);
        SERIALMGR_SetFlowControl(client, 1);  // no reader to answer a STOP
        SERIALMGR_SetFlowControl(client, 0);
    }));
    EXPECT_TRUE(fake::writtenBytes(kDev).empty());
    const SerialMgrClientParams params = other.params(kDev, 2);
    EXPECT_DEATH(SERIALMGR_RegisterClient(&params), "gDevList\\[inDevID\\].currentClient == NULL");
    deregister(client);
    EXPECT_EQ(rec.events, (std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR, SERIALMGR_EVENT_DEREGISTERED}));
    expectNothingLeft();
    fake::install(kDev);
    SerialMgrClientInfo* again = registerIdle(other, kDev, 2);
    fake::push(kDev, "AT\r");
    ASSERT_TRUE(other.wait([&] { return other.blocks.size() == 1; }));
    deregister(again);
}

TEST_F(Reader, PausesParkTheReaderAndResumesReopenTheDeviceWithTheDefaultArgument) {
    attest::ClientRecorder rec, newer;
    const SerialMgrClientParams params = rec.params(kDev, 4, 77);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_TRUE(fake::waitIdle(kDev));
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_EQ(SERIALMGR_SendData(client, kData, 3, 1), 0);
    fake::push(kDev, "1");  // read before the pause began: still delivered
    ASSERT_TRUE(waitParked(log));
    fake::push(kDev, "2");  // not read while paused
    EXPECT_EQ(fake::with(kDev, [](fake::Device& d) { return d.script.size(); }), 1u);
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(rec.wait([&] { return rec.blocks.size() == 2; }));
    EXPECT_EQ(fake::with(kDev, [](fake::Device& d) { return d.openParams; }), (std::vector<UInt32>{77, 0}));
    EXPECT_EQ(SERIALMGR_SendData(client, kData, 3, 0), 3);
    EXPECT_EQ(fake::writtenBytes(kDev).size(), 3u);

    // The driver's STOP result parks the reader too. A registration on a
    // paused device resumes reception, for the newer client.
    log.clear();
    fake::push(kDev, STOP_READING_USB_TTY, 0);
    ASSERT_TRUE(waitParked(log));
    SerialMgrClientInfo* second = registerIdle(newer, kDev, 2);
    fake::push(kDev, "3");
    ASSERT_TRUE(newer.wait([&] { return newer.blocks.size() == 1; }));

    // A deregistration releases a parked reader without a reopen.
    EXPECT_EQ(SERIALMGR_SetFlowControl(second, 1), 1);
    log.clear();
    fake::push(kDev, "4");
    ASSERT_TRUE(waitParked(log));
    deregister(client);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Stop devID 7\r\n"));
    EXPECT_EQ(fake::with(kDev, [](fake::Device& d) { return d.openParams.size(); }), 3u);
    deregister(second);
    expectNothingLeft();
}

// A USB pause marks the client paused, then sends STOP and returns only once
// the reader has parked and answered OK: a send meanwhile is refused.
TEST_F(Reader, UsbPauseRefusesSendsBeforeItsHandshakeAndReturnsAfterIt) {
    installFake(kUsb);
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kUsb);
    attest::Background pause([client] { EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1); });
    ASSERT_TRUE(log.waitFor(kInfo, kStopLine));
    // The reader waits in the fake's read, which does not watch the control
    // pipe: nobody can have answered yet.
    EXPECT_EQ(SERIALMGR_SendData(client, kData, 3, 0), 0);
    EXPECT_FALSE(pause.done());
    fake::push(kUsb, "AT\r");  // the reader delivers, then parks and answers
    ASSERT_TRUE(pause.finish());
    EXPECT_TRUE(log.has(kInfo, "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n"));
    // A repeated pause skips the control pipe: the parked reader would not
    // answer a second STOP.
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 1);
    deregister(client);
    expectNothingLeft();
}

// A reader whose ready check fails ends before its first read; the device
// stays open for sends, and a pause waits for no answer.
TEST_F(Reader, ReaderThatIsNotReadyLeavesTheDeviceOpenAndIsStillJoined) {
    installFake(kUsb);
    AT_STUBS_RegisterCallbacks(nullptr, [] { return Int32{0}; });
    attest::ClientRecorder rec;
    const SerialMgrClientParams params = rec.params(kUsb);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_TRUE(attest::waitUntil([] { return OSTASK_GetLiveCount() == 0; }));
    EXPECT_EQ(SERIALMGR_SendData(client, kData, 2, 1), 2);
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    deregister(client);
    EXPECT_EQ(log.countContaining("STOP") + log.countContaining("SIGUSR2") + log.countContaining("END"), 0);
    expectNothingLeft();
}

// The whole deregistration of a reader that waits in its read, on a device
// whose close does not wake it: the signal does, and the device's shutdown
// function runs on the reader.
TEST_F(Reader, DeregistrationLogsEveryStepAndSignalsAReaderBlockedInItsRead) {
    constexpr UInt32 kUart = SERIAL_DEVICE_UART_B;
    installFake(kUart);
    fake::with(kUart, [](fake::Device& d) { d.closeWakes = false; });
    static std::atomic<pthread_t> ranOn{};
    gShutdownList[kUart].handler = [](UInt32) { ranOn = pthread_self(); };
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kUart, 9);
    const pthread_t reader = gDevList[kUart].rxThread.load();
    log.clear();
    deregister(client);
    char p[32];
    snprintf(p, sizeof p, "%p", static_cast<void*>(client));
    EXPECT_THAT(attest::linesOf(log),
                ElementsAre(Pair(kInfo, "SERIALMGR_DeRegisterClient: " + std::string(p) + "\n"),
                            Pair(kInfo, "SERIALMGR_SetFlowControl: devID=1, client=9 enable=0 state=1\r\n"),
                            Pair(kInfo, "SERIALMGR_RX_Shutdown: devID=1\r\n"),
                            Pair(kInfo, "SERIALMGR_RX_Shutdown: Serial_CloseDevice\r\n"),
                            Pair(kInfo, "SERIALMGR_RX_Shutdown: devID=1, send SIGUSR2 to " +
                                            std::to_string(static_cast<int>(reader)) + "\r\n"),
                            Pair(kInfo, "SERIALMGR_HandleSignal: devID = 1, shutting down\n"),
                            Pair(kInfo, "   Serial_Read=0\n"), Pair(kInfo, "SERIALMGR_RX_Entry: devID=1, END\r\n"),
                            Pair(kInfo, "SERIALMGR_RX_Shutdown: devID=1, exiting\r\n"),
                            Pair(kInfo, "SERIALMGR_DeRegisterClient: " + std::string(p) + ", exiting\n")));
    EXPECT_TRUE(pthread_equal(ranOn.load(), reader));
    EXPECT_EQ(rec.events, std::vector<UInt32>{SERIALMGR_EVENT_DEREGISTERED});
    expectNothingLeft();
}

}  // namespace
