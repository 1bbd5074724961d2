// Flow control of the USB gadget tty (device 5) and its STOP/OK handshake
// under concurrent callers, over a pseudo-terminal at /dev/ttyGS0
// (tests/support/tty_harness.h).
#include <unistd.h>

#include <random>

#include "log_capture.h"
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
