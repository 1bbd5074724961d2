// Flow control on the USB device ID (5), with the fake driver standing in for
// the USB tty so that the STOP/OK handshake on the control pipe is exercised
// without a gadget tty.
#include <errno.h>

#include <thread>

#include "fixture.h"
#include "stubs/other_stubs.h"

namespace {

constexpr UInt32 kUsb = SERIAL_DEVICE_USB;
const char kStopLine[] = "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n";
const char kAckLine[] = "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n";

class UsbFlow : public SerialMgrTest {
protected:
    void SetUp() override {
        SerialMgrTest::SetUp();
        fake::install(kUsb);
        start = attest::snapshot();
    }
};

TEST_F(UsbFlow, PauseReturnsOnlyAfterTheReaderAcknowledges) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kUsb);
    std::atomic<bool> paused{false};
    std::thread pauser([&] {
        EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
        paused = true;
    });
    ASSERT_TRUE(log.waitFor(kInfo, kStopLine));
    // The reader is blocked in the fake's read, which does not watch the
    // control pipe: nobody can have acknowledged yet.
    EXPECT_FALSE(paused.load());
    EXPECT_EQ(log.count(kInfo, kAckLine), 0);
    fake::pushText(kUsb, "AT\r");  // the reader delivers, then parks and answers
    pauser.join();
    EXPECT_TRUE(paused.load());
    EXPECT_GE(log.count(kInfo, kAckLine), 1);
    EXPECT_EQ(client->state, 2u);

    // A repeated pause skips the control pipe: the parked reader would not
    // answer a second STOP.
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 1);

    // Resume: the reader refreshes the device and reads on.
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: Flow wait end. Refresh device 5\r\n"));
    fake::pushText(kUsb, "AT\r");
    ASSERT_TRUE(rec.waitBlocks(2));

    // A new pause after the resume uses the pipe again.
    std::thread again([client] { SERIALMGR_SetFlowControl(client, 1); });
    ASSERT_TRUE(attest::waitUntil([&] { return log.count(kInfo, kStopLine) == 2; }));
    fake::pushText(kUsb, "x");
    again.join();
    deregisterAndCheck(client);
}

TEST_F(UsbFlow, StopFromTheDriverThenAClientPauseNeedsNoHandshake) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kUsb);
    fake::pushResult(kUsb, STOP_READING_USB_TTY, 0);
    ASSERT_TRUE(log.waitFor(kInfo, kAckLine));
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 0);
    deregisterAndCheck(client);
}

TEST_F(UsbFlow, PauseWithoutAReaderDoesNotWaitForAnAcknowledgement) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerNotReady(rec, kUsb);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_SetFlowControl(client, 1); }));
    EXPECT_EQ(client->state, 2u);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
    deregisterAndCheck(client);
}

TEST_F(UsbFlow, PauseAfterTheReaderEndedOnAReadError) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kUsb);
    fake::pushResult(kUsb, 0, EIO);
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=5, END\r\n"));
    ASSERT_TRUE(attest::finishesWithin([client] {
        SERIALMGR_SetFlowControl(client, 1);
        SERIALMGR_SetFlowControl(client, 0);  // wait_sem is gone: nothing to release
    }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 0);
    deregisterAndCheck(client);
}

}  // namespace
