// Several host threads on one device at once: registrations, deregistrations,
// flow control and sends, and host drivers whose reads wait in plain
// select() or poll().
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"

namespace {

using Concurrency = SerialMgrTest;

// ---- a host driver that waits in plain poll() or select() ----

int gIdlePipe[2] = {-1, -1};  // nothing is ever written to it
bool gUseSelect = false;
std::atomic<int> gReadsEntered{0};

Int32 hostOpen(SerialDeviceId, UInt32) { return 1; }
Int32 hostClose(SerialDeviceId) { return 1; }
UInt16 hostWrite(SerialDeviceId, const UInt8*, UInt16 len) { return len; }
UInt16 hostRead(SerialDeviceId, UInt8*, UInt16) {
    gReadsEntered.fetch_add(1);
    if (gUseSelect) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(gIdlePipe[0], &set);
        select(gIdlePipe[0] + 1, &set, nullptr, nullptr, nullptr);
    } else {
        pollfd p{gIdlePipe[0], POLLIN, 0};
        poll(&p, 1, -1);
    }
    errno = EAGAIN;  // interrupted: the reader goes round and finds it must stop
    return 0;
}

class HostDriverWait : public Concurrency, public ::testing::WithParamInterface<bool> {};

// The deregistration's SIGUSR2 reaches a host driver's read, whether it comes
// before the driver's wait begins or during it.
TEST_P(HostDriverWait, DeregistrationEndsAReadBlockedInPlainSelectOrPoll) {
    gUseSelect = GetParam();
    ASSERT_EQ(pipe(gIdlePipe), 0);
    constexpr UInt32 kHostDev = 9;
    ASSERT_EQ(Serial_ConfigureDeviceEx(kHostDev, hostOpen, hostClose, hostRead, hostWrite, nullptr, nullptr, nullptr,
                                       nullptr, 0, 0, 0),
              static_cast<Int32>(kHostDev));
    start = attest::snapshot();
    for (int round = 0; round < 40; ++round) {
        attest::ClientRecorder rec;
        SerialMgrClientParams params = attest::makeParams(rec, kHostDev);
        const int entered = gReadsEntered.load();
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        ASSERT_NE(client, nullptr);
        if (round % 2 == 1) {
            ASSERT_TRUE(attest::waitUntil([&] { return gReadsEntered.load() > entered; }));
        }
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); })) << round;
    }
    expectNothingLeft();
    close(gIdlePipe[0]);
    close(gIdlePipe[1]);
}

INSTANTIATE_TEST_SUITE_P(, HostDriverWait, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Select" : "Poll"; });

// ---- registration and deregistration ----

// Registrations and deregistrations on one device never overlap: a
// deregistration racing a registration, and two first registrations, each
// leave the device in one of the states that some order of the two calls
// gives, and the device keeps working afterwards.
TEST_F(Concurrency, RegistrationsAndDeregistrationsOnOneDeviceTakeTurns) {
    for (int round = 0; round < 100; ++round) {
        attest::ClientRecorder recA, recB, recC;
        SerialMgrClientInfo* a = registerIdle(recA);
        SerialMgrClientParams paramsB = attest::makeParams(recB, kDev, 2);
        SerialMgrClientInfo* b = nullptr;
        std::thread registering([&] { b = SERIALMGR_RegisterClient(&paramsB); });
        SERIALMGR_DeRegisterClient(a);
        registering.join();
        ASSERT_NE(b, nullptr);
        // B after A's deregistration: B has the device open. B before it: A's
        // deregistration stopped the device for both.
        SerialMgrClientInfo* current = gDevList[kDev].currentClient.load();
        ASSERT_TRUE(current == b ? SERIALMGR_GetSerialDeviceHandle(b) != -1
                                 : current == nullptr && SERIALMGR_GetSerialDeviceHandle(b) == -1)
            << round;
        SERIALMGR_DeRegisterClient(b);

        // Two first registrations on the closed device: both succeed, once
        // open, and the later one is current.
        SerialMgrClientParams paramsC = attest::makeParams(recC, kDev, 3);
        SerialMgrClientInfo* c = nullptr;
        std::thread second([&] { c = SERIALMGR_RegisterClient(&paramsC); });
        b = SERIALMGR_RegisterClient(&paramsB);
        second.join();
        ASSERT_TRUE(b != nullptr && c != nullptr);
        ASSERT_NE(SERIALMGR_GetSerialDeviceHandle(b), -1);
        attest::ClientRecorder& recLater = gDevList[kDev].currentClient.load() == c ? recC : recB;
        fake::pushText(kDev, "x");
        ASSERT_TRUE(recLater.waitBlocks(1)) << round;
        SERIALMGR_DeRegisterClient(b);
        SERIALMGR_DeRegisterClient(c);
        ASSERT_FALSE(fake::isOpen(kDev)) << round;
    }
    expectNothingLeft();
}

// A second deregistration of a record waits for the first one and then stops
// the process on the record check instead of freeing it twice.
TEST_F(Concurrency, SecondDeregistrationOfOneRecordStopsOnTheRecordCheck) {
    EXPECT_DEATH(
        {
            attest::ClientRecorder rec;
            SerialMgrClientInfo* client = registerIdle(rec);
            std::thread other([client] { SERIALMGR_DeRegisterClient(client); });
            SERIALMGR_DeRegisterClient(client);
            other.join();
        },
        "assertion \"pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE\" failed");
}

// A reader that exists is stopped with the signal even before its ready
// check, so the device's shutdown function runs whatever the timing.
TEST_F(Concurrency, DeregistrationBeforeTheReadyCheckStillSignalsTheReader) {
    constexpr UInt32 kUart = SERIAL_DEVICE_UART_B;  // has a shutdown function
    installFake(kUart);
    static std::atomic<bool> holdReady{true};
    AT_STUBS_RegisterCallbacks(nullptr, [] {
        attest::waitUntil([] { return !holdReady.load(); });
        return Int32{1};
    });
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kUart);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    std::thread release([this] {
        attest::waitUntil([this] { return log.countContaining("devID=1, send SIGUSR2 to ") > 0; });
        holdReady = false;
    });
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }));
    release.join();
    EXPECT_EQ(log.count(kInfo, "SERIALMGR_HandleSignal: devID = 1, shutting down\n"), 1) << log.dump();
    EXPECT_EQ(log.count(kInfo, "UART_HandleShutdown: devID = 1\n"), 1) << log.dump();
    expectNothingLeft();
}

// ---- sends ----

// A deregistration that waits for the device is not overtaken by threads
// that send back to back over a slow device: it ends after the sends under
// way, and each sender's next call finds the record gone.
TEST_F(Concurrency, DeregistrationIsNotStarvedByBackToBackSenders) {
    fake::setWriteLimit(kDev, 1);  // three passes, two sleeps per send
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    std::atomic<bool> deregistered{false};
    std::atomic<int> sends{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kUseUnits; ++i) {
        senders.emplace_back([&] {
            const UInt8 data[3] = {'a', 'b', 'c'};
            while (!deregistered.load()) {
                SERIALMGR_SendData(client, data, 3, 1);
                sends.fetch_add(1);
            }
        });
    }
    ASSERT_TRUE(attest::waitUntil([&] { return sends.load() >= 2 * kUseUnits; }));
    const bool ended = attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }, std::chrono::seconds(5));
    deregistered = true;
    for (std::thread& sender : senders) sender.join();
    ASSERT_TRUE(ended);
    expectNothingLeft();
}

// A blocking send that cannot progress (an in-process channel before the host
// registered its callback; a dataCb answering over a device that takes
// nothing) gives up once a registration waits for the device.
TEST_F(Concurrency, BlockingSendThatCannotProgressGivesWayToARegistration) {
    constexpr UInt32 kChannel = SERIAL_DEVICE_SOCKET;
    attest::ClientRecorder rec, late, recD;
    SerialMgrClientParams params = attest::makeParams(rec, kChannel);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    static std::atomic<int> attempts{0};  // the far end takes nothing
    AT_STUBS_RegisterCallbacks([](UInt32, const UInt8*, UInt32) { return ++attempts, Int32{0}; }, nullptr);
    std::thread sender([client] {
        const UInt8 data[2] = {'o', 'k'};
        EXPECT_EQ(SERIALMGR_SendData(client, data, 2, 1), 0);
    });
    ASSERT_TRUE(attest::waitUntil([] { return attempts.load() > 0; }));  // the send is under way
    SerialMgrClientParams again = attest::makeParams(late, kChannel);
    SerialMgrClientInfo* second = nullptr;
    ASSERT_TRUE(attest::finishesWithin([&] { second = SERIALMGR_RegisterClient(&again); }));
    sender.join();
    SERIALMGR_DeRegisterClient(second);
    SERIALMGR_DeRegisterClient(client);

    fake::setWriteLimit(kDev, 0);
    recD.onData = [](SerialMgrClientInfo* c, const UInt8* d, UInt32 n) { SERIALMGR_SendData(c, d, n, 1); };
    SerialMgrClientInfo* echo = registerIdle(recD);
    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(attest::waitUntil([] { return !fake::writes(kDev).empty(); }));
    ASSERT_TRUE(attest::finishesWithin([&] { second = SERIALMGR_RegisterClient(&again); }));
    SERIALMGR_DeRegisterClient(second);
    SERIALMGR_DeRegisterClient(echo);
    // A channel whose reader ended before its read keeps its mutex for its next open.
    expectNothingLeft(1);
}

// A send racing its own client's deregistration never reads the freed
// record: it returns 0 for a record already gone, or, when it was already
// waiting for its unit, stops the process on the record check.
TEST_F(Concurrency, SendRacingItsOwnDeregistrationNeverTouchesTheFreedRecord) {
    EXPECT_EXIT(
        {
            for (int round = 0; round < 200; ++round) {
                attest::ClientRecorder rec;
                SerialMgrClientInfo* client = registerIdle(rec);
                std::thread sender([client] {
                    const UInt8 data[1] = {'x'};
                    for (int i = 0; i < 20; ++i) SERIALMGR_SendData(client, data, 1, i % 2);
                });
                SERIALMGR_DeRegisterClient(client);
                sender.join();
            }
            std::exit(0);
        },
        [](int status) {
            return (WIFEXITED(status) && WEXITSTATUS(status) == 0) || (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
        },
        "^$|assertion \"pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE\" failed");
}

}  // namespace
