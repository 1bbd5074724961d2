// USB flow control's STOP/OK exchange, on the fake driver at device 5. The fake's read does not watch the
// control pipe: the reader looks at a STOP only when the test hands it a block.
#include <fstream>

#include "drivers/usb_control_pipe.h"
#include "drivers/usb_control_pipe_internal.h"
#include "fixture.h"

namespace {

// True once the thread sleeps in the kernel, as it does in a read or behind a lock.
bool sleeping(pid_t tid) {
    return attest::waitUntil([tid] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        const std::string all((std::istreambuf_iterator<char>(stat)), {});
        const size_t end = all.rfind(") ");
        return end != std::string::npos && all.compare(end + 2, 1, "S") == 0;
    });
}

class UsbPause : public SerialMgrTest {
protected:
    void SetUp() override {
        SerialMgrTest::SetUp();
        installFake(kUsb);
        client = registerIdle(kUsb);
        onData = [this](SerialMgrClientInfo*, const UInt8* d, UInt32 n) {
            EXPECT_FALSE(paused.load()) << std::string(d, d + n) << " reached dataCb between a pause and its resume";
        };
    }
    SerialMgrClientInfo* client = nullptr;
    std::atomic<bool> paused{false};  // from a pause's return to the resume
};

// Every pause, not only the first: a spare OK in the pipe (the first park after "SMgr_F" is created answers
// twice) does not end it, and a send meanwhile is refused. A repeated pause skips the exchange.
TEST_F(UsbPause, EveryPauseWaitsForTheOkOfItsOwnPark) {
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(fake::waitIdle(kUsb));  // in its read: only a block lets it see the STOP
        const int acksRead = log.countContaining("Wait_Ack: rx ack");
        ASSERT_EQ(write(s_ack_pipe[1], "OK", 2), 2);  // a spare OK from an earlier park
        attest::Background pause([&] {
            EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), TRUE);
            paused = true;
        });
        ASSERT_TRUE(attest::waitUntil([&] { return log.countContaining("Wait_Ack: rx ack") > acksRead; }));
        EXPECT_EQ(log.count(kInfo, kStopLine), round);
        EXPECT_EQ(SERIALMGR_SendData(client, kData, 3, 0), 0);
        EXPECT_FALSE(attest::waitUntil([&] { return pause.done(); }, std::chrono::milliseconds(100)));
        fake::push(kUsb, "block " + std::to_string(round));  // delivered; then the reader parks and answers
        ASSERT_TRUE(pause.finish());
        pollfd stops{s_control_pipe[0], POLLIN, 0};
        EXPECT_EQ(poll(&stops, 1, 0), 0) << "the parked reader left the STOP: STOPs would pile up";
        ASSERT_TRUE(attest::finishesWithin([&] { SERIALMGR_SetFlowControl(client, 1); }));
        EXPECT_EQ(log.count(kInfo, kStopLine), round);
        fake::push(kUsb, "late " + std::to_string(round));  // read only after the resume
        paused = false;
        EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), TRUE);
        ASSERT_TRUE(wait([&] { return blocks.size() == 2u * round; }));
    }
    deregister(client);
    expectNothingLeft();
}

// The resume came last: the reader answers the STOP, the pause returns, and the next block is delivered.
TEST_F(UsbPause, ResumeFromDataCbAfterTheStopWins) {
    onData = [this](SerialMgrClientInfo* c, const UInt8* d, UInt32) {
        if (d[0] != '1') return;
        log.waitFor(kInfo, kStopLine);
        EXPECT_EQ(SERIALMGR_SetFlowControl(c, 0), TRUE);
    };
    fake::push(kUsb, "1");
    ASSERT_TRUE(attest::waitUntil([] { return gDevList[kUsb].rxByteCount.load() == 1; }));
    attest::Background pause([this] { EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), TRUE); });
    ASSERT_TRUE(wait([&] { return blocks.size() == 1; }));
    fake::push(kUsb, "", STOP_READING_USB_TTY);  // the driver reads the STOP
    ASSERT_TRUE(pause.finish());
    fake::push(kUsb, "2");
    ASSERT_TRUE(wait([&] { return blocks.size() == 2; })) << log.dump();
    EXPECT_EQ(client->state, 1u);
    EXPECT_EQ(gDevList[kUsb].stopRx.load(), 0);
    deregister(client);
}

TEST_F(UsbPause, PauseReturnsWhenTheReaderEndsOnAReadError) {
    attest::Background pause([&] { EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), TRUE); });
    ASSERT_TRUE(log.waitFor(kInfo, kStopLine));
    fake::push(kUsb, "", 0, EIO);
    ASSERT_TRUE(pause.finish(std::chrono::seconds(5)));
    deregister(client);
    expectNothingLeft();
}

// A resume from another thread overrides a pause whose STOP an open threw away (a reopen's drain, done by
// hand here): the pause returns, and the reader reads on.
TEST_F(UsbPause, ResumeFromAnotherThreadEndsAPauseWhoseStopWasThrownAway) {
    attest::Background pause([&] { EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), TRUE); });
    ASSERT_TRUE(log.waitFor(kInfo, kStopLine));
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), TRUE);
    char text[80];
    ASSERT_TRUE(attest::waitUntil([&] { return usbControlPipeReadIfReady(s_control_pipe[0], text) == 4; }));
    ASSERT_TRUE(pause.finish(std::chrono::seconds(5)));
    fake::push(kUsb, "read on");
    ASSERT_TRUE(wait([&] { return blocks.size() == 1; }));
    deregister(client);
    expectNothingLeft();
}

// From before its count until it returns, so that a reopen's drain cannot take an OK meant for it.
TEST_F(UsbPause, APauseHoldsTheAckPipeAgainstAnOpensDrain) {
    static std::atomic<ssize_t> drained{0};
    attest::LogCapture::setHook([](const std::string& text) {
        if (text.find("SERIALMGR_SetFlowControl: devID=5, client=1 enable=1") == std::string::npos) return;
        EXPECT_EQ(write(s_ack_pipe[1], "OK", 2), 2);
        std::thread([] {  // the drain of an open on another thread
            char read[80];
            drained = usbAckPipeReadIfUnwatched(s_ack_pipe[0], read);
        }).join();
    });
    attest::Background pause([&] { EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), TRUE); });
    ASSERT_TRUE(log.waitFor(kInfo, kStopLine));
    attest::LogCapture::setHook(nullptr);
    fake::push(kUsb, "x");  // delivered; then the reader parks and answers
    ASSERT_TRUE(pause.finish());
    EXPECT_EQ(drained.load(), kUsbPipeEmpty);
    deregister(client);
}

// Nobody waits on a pause from dataCb: its resume leaves no OK behind, which nobody would read.
TEST_F(UsbPause, PauseAndResumeFromDataCbLeaveNoOkInThePipe) {
    onData = [](SerialMgrClientInfo* c, const UInt8*, UInt32) {
        EXPECT_EQ(SERIALMGR_SetFlowControl(c, 1), TRUE);
        EXPECT_EQ(SERIALMGR_SetFlowControl(c, 0), TRUE);
    };
    fake::push(kUsb, "x");
    ASSERT_TRUE(wait([&] { return blocks.size() == 1; }));
    pollfd ack{s_ack_pipe[0], POLLIN, 0};
    EXPECT_EQ(poll(&ack, 1, 0), 0) << log.dump();
    deregister(client);
}

// Only pauses write STOPs on USB: one read with no pause on (left over; here none at all) parks no one.
TEST_F(UsbPause, AStopReadWhileNoPauseIsOnIsReadPast) {
    fake::push(kUsb, "", STOP_READING_USB_TTY);
    fake::push(kUsb, "read on");
    ASSERT_TRUE(wait([&] { return blocks.size() == 1; })) << log.dump();
    EXPECT_EQ(gDevList[kUsb].stopRx.load(), 0);
    deregister(client);
}

// It was queued behind another pause's exchange; it changes nothing and logs no line for the gone client.
TEST_F(UsbPause, PauseWhoseClientIsDeregisteredWhileItWaitsReturnsFalse) {
    attest::Background first([&] { SERIALMGR_SetFlowControl(client, 1); });
    ASSERT_TRUE(log.waitFor(kInfo, kStopLine));
    std::atomic<Boolean> second{2};
    attest::Background queued([&] { second = SERIALMGR_SetFlowControl(client, 1); });
    ASSERT_TRUE(sleeping(queued.tid()));
    deregister(client);
    ASSERT_TRUE(first.finish());
    ASSERT_TRUE(queued.finish());
    EXPECT_EQ(second.load(), FALSE);
    EXPECT_EQ(log.countContaining("enable=1"), 1) << log.dump();
    EXPECT_EQ(gDevList[kUsb].stopRx.load(), 0);
    expectNothingLeft();
}

}  // namespace
