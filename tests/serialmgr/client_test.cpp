// Clients registering, sending and deregistering, alone and from several
// threads at once. This program interposes dbHEAP_Alloc and
// OSSEMAPHORE_Obtain (libkovacutils is a shared library, so the definitions
// here win): to fail allocations of one size, and to count one thread's obtains.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"

namespace {
std::atomic<size_t> g_failSize{0};
std::atomic<pid_t> g_watchedThread{0};
std::atomic<int> g_watchedObtains{0};
}  // namespace

extern "C" void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line) {
    static auto alloc = reinterpret_cast<void* (*)(size_t, const char*, UInt32)>(dlsym(RTLD_NEXT, "dbHEAP_Alloc"));
    return size == g_failSize.load() ? nullptr : alloc(size, file, line);
}

extern "C" OSStatus OSSEMAPHORE_Obtain(OSSemaphore sem, UInt32 ticks) {
    static auto obtain = reinterpret_cast<OSStatus (*)(OSSemaphore, UInt32)>(dlsym(RTLD_NEXT, "OSSEMAPHORE_Obtain"));
    if (gettid() == g_watchedThread.load()) g_watchedObtains.fetch_add(1);
    return obtain(sem, ticks);
}

namespace {

using Client = SerialMgrTest;
const UInt8 kData[5] = {1, 2, 3, 4, 5};
const char kBadRecord[] = "assertion \"pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE\" failed";

TEST_F(Client, FailedOpenOrAllocationLeavesTheDeviceAsItWas) {
    attest::ClientRecorder rec;
    const SerialMgrClientParams params = rec.params(kDev, 5);
    fake::with(kDev, [](fake::Device& d) { d.openResult = 0; });  // the device layer turns it into 0x9999
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: Open Failed devID=7, client=5\r\n"));
    fake::install(kDev);
    g_failSize = sizeof(SerialMgrClientInfo);
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: no memory for the client record devID=7, client=5\r\n"));
    EXPECT_TRUE(fake::with(kDev, [](fake::Device& d) { return d.openParams.empty(); }));
    // A reader without its buffer ends at once and closes the device.
    g_failSize = SERIALMGR_RX_BUFFER_SIZE;
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=7, END\r\n"));
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RX_Entry: devID=7, no receive buffer\r\n"));
    EXPECT_FALSE(fake::with(kDev, [](fake::Device& d) { return d.open; }));
    g_failSize = 0;
    deregister(client);
    expectNothingLeft();
}

TEST_F(Client, SendModesAndWriteResults) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    UInt8 data[300];
    for (int i = 0; i < 300; ++i) data[i] = static_cast<UInt8>(i);
    const struct {
        std::vector<UInt16> results;  // scripted write results, then the limit
        UInt16 limit;
        UInt32 len, block;
        Int32 sent;
        size_t writes, lastAt;  // lastAt: where in data the last write began
    } cases[] = {
        {{}, 100, 300, 1, 300, 3, 200},            // blocking: goes on from where the last write ended
        {{}, 100, 0, 0, 0, 1, 0},                  // non-blocking, nothing to send: one write
        {{0xFFFF}, 100, 300, 0, 0xFFFF, 1, 0},     // non-blocking: a failed write's result unchanged
        {{100, 0xFFFF}, 100, 300, 1, 100, 2, 100}, // blocking: a failed write ends the send
        {{100, 250}, 100, 300, 1, 100, 2, 100},    // blocking: a result above the rest is no count
        {{0, 0}, 0xFFFF, 50, 1, 50, 3, 0},         // blocking: writes of 0 are retried
    };
    for (const auto& c : cases) {
        fake::install(kDev);  // clears the record of writes, keeps the open device
        fake::with(kDev, [&](fake::Device& d) { d.writeResults = {c.results.begin(), c.results.end()}; });
        fake::with(kDev, [&](fake::Device& d) { d.writeLimit = c.limit; });
        EXPECT_EQ(SERIALMGR_SendData(client, data, c.len, c.block), c.sent) << &c - cases;
        const auto writes = fake::with(kDev, [](fake::Device& d) { return d.writes; });
        ASSERT_EQ(writes.size(), c.writes) << &c - cases;
        EXPECT_EQ(writes.back().buf, data + c.lastAt) << &c - cases;
    }
    EXPECT_EQ(fake::writtenBytes(kDev), std::vector<UInt8>(data, data + 50));
    deregister(client);
}

TEST_F(Client, InvalidArgumentsAreRefused) {
    // What a stale pointer finds until the memory is reused.
    SerialMgrClientInfo freed{SERIALMGR_FREED_SIG, kDev, 0, 0, 0, 0, {}};
    for (SerialMgrClientInfo* record : {static_cast<SerialMgrClientInfo*>(nullptr), &freed}) {
        log.clear();
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 1), FALSE);
        EXPECT_EQ(SERIALMGR_SendData(record, kData, 3, 1), 0);
        char line[80];
        snprintf(line, sizeof line, "SERIALMGR_SendData Fail. Invalid client handle [%p].\r\n", static_cast<void*>(record));
        EXPECT_THAT(attest::linesOf(log), ElementsAre(Pair(kError, line)));
    }
    // The length is checked before the record.
    EXPECT_DEATH(SERIALMGR_SendData(nullptr, kData, 0xFFFF, 1), "SERIALMGR_SendData.*len < 0xFFFF");
    attest::ClientRecorder rec;
    SerialMgrClientParams params = rec.params(24, 7);
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: Invalid devID=24, client=7\r\n"));
    // With the default-device flag the device ID is not looked at.
    installFake(SERIAL_DEVICE_UART_A);
    params.useDefaultDevice = 0xFF;
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    EXPECT_EQ(SERIALMGR_GetDeviceID(client), SERIAL_DEVICE_UART_A);
    deregister(client);
    expectNothingLeft();
}

// Two first registrations on a closed device take turns: both succeed, the
// device is read by the later client, and it closes when both have left.
TEST_F(Client, TwoFirstRegistrationsOnAClosedDeviceTakeTurns) {
    for (int round = 0; round < 50; ++round) {
        attest::ClientRecorder recB, recC;
        const SerialMgrClientParams paramsB = recB.params(kDev, 2), paramsC = recC.params(kDev, 3);
        SerialMgrClientInfo* c = nullptr;
        attest::Background second([&] { c = SERIALMGR_RegisterClient(&paramsC); });
        SerialMgrClientInfo* b = SERIALMGR_RegisterClient(&paramsB);
        ASSERT_TRUE(second.finish());
        ASSERT_NE(SERIALMGR_GetSerialDeviceHandle(b), -1) << round;
        fake::push(kDev, "x");
        auto& current = gDevList[kDev].currentClient.load() == c ? recC : recB;
        ASSERT_TRUE(current.wait([&] { return current.blocks.size() == 1; })) << round;
        SERIALMGR_DeRegisterClient(b);
        SERIALMGR_DeRegisterClient(c);
        ASSERT_FALSE(fake::with(kDev, [](fake::Device& d) { return d.open; })) << round;
    }
    expectNothingLeft();
}

// A second deregistration of a record waits for the first one and then stops
// on the record check instead of freeing it twice.
TEST_F(Client, SecondDeregistrationOfOneRecordStopsOnTheRecordCheck) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    EXPECT_DEATH(
        {
            std::thread other([client] { SERIALMGR_DeRegisterClient(client); });
            SERIALMGR_DeRegisterClient(client);
            other.join();
        },
        kBadRecord);
    deregister(client);
}

// A reader that exists is stopped with the signal even before its ready
// check, so the device's shutdown function runs whatever the timing.
TEST_F(Client, DeregistrationBeforeTheReadyCheckStillSignalsTheReader) {
    installFake(SERIAL_DEVICE_UART_B);  // has a shutdown function
    static std::atomic<bool> holdReady{true};
    AT_STUBS_RegisterCallbacks(nullptr, [] { return Int32{attest::waitUntil([] { return !holdReady.load(); })}; });
    attest::ClientRecorder rec;
    const SerialMgrClientParams params = rec.params(SERIAL_DEVICE_UART_B);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    attest::Background release([this] {
        attest::waitUntil([this] { return log.countContaining("devID=1, send SIGUSR2 to ") > 0; });
        holdReady = false;
    });
    deregister(client);
    EXPECT_EQ(log.count(kInfo, "SERIALMGR_HandleSignal: devID = 1, shutting down\n"), 1) << log.dump();
    EXPECT_EQ(log.count(kInfo, "UART_HandleShutdown: devID = 1\n"), 1) << log.dump();
    expectNothingLeft();
}

// Once a deregistration waits for the device, a new send waits behind it and
// takes no unit: here the test holds the five units of the sends in flight.
TEST_F(Client, NewSendWaitsBehindAWaitingDeregistration) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    SerialMgrDevice& dev = gDevList[kDev];
    const OSSemaphore useSem = dev.useSem.load();
    for (int i = 0; i < kUseUnits; ++i) ASSERT_EQ(OSSEMAPHORE_Obtain(useSem, 0), OSSTATUS_SUCCESS);
    attest::Background deregistration([client] { SERIALMGR_DeRegisterClient(client); });
    ASSERT_TRUE(attest::waitUntil([&] { return dev.exclusive.load() != 0; }));
    attest::Background late([client] {
        g_watchedThread = gettid();
        EXPECT_EQ(SERIALMGR_SendData(client, kData, 1, 0), 0);  // the record is gone by then
    });
    EXPECT_FALSE(attest::waitUntil([] { return g_watchedObtains.load() > 0; }, std::chrono::milliseconds(200)));
    for (int i = 0; i < kUseUnits; ++i) OSSEMAPHORE_Release(useSem);
    ASSERT_TRUE(deregistration.finish() && late.finish());
    EXPECT_EQ(g_watchedObtains.load(), 0);
    EXPECT_TRUE(fake::writtenBytes(kDev).empty());
    expectNothingLeft();
}

// A blocking send that cannot progress (an in-process channel before the host
// registered its callback; a dataCb answering over a device that takes
// nothing) gives up once a registration waits for the device.
TEST_F(Client, BlockingSendThatCannotProgressGivesWayToARegistration) {
    attest::ClientRecorder rec, late;
    static std::atomic<bool> tried{false};  // the far end of the channel takes nothing
    AT_STUBS_RegisterCallbacks([](UInt32, const UInt8*, UInt32) {
        tried = true;
        return Int32{0};
    }, nullptr);
    rec.onData = [](SerialMgrClientInfo* c, const UInt8* d, UInt32 n) { SERIALMGR_SendData(c, d, n, 1); };
    fake::with(kDev, [](fake::Device& d) { d.writeLimit = 0; });
    for (UInt32 dev : {UInt32{SERIAL_DEVICE_SOCKET}, kDev}) {
        const SerialMgrClientParams params = rec.params(dev), again = late.params(dev);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        attest::Background sender([&] {
            if (dev == kDev) fake::push(kDev, "AT\r");  // the reply waits in dataCb
            else EXPECT_EQ(SERIALMGR_SendData(client, kData, 2, 1), 0);
        });
        // The send is under way before the registration comes.
        ASSERT_TRUE(attest::waitUntil([&] {
            return dev == kDev ? fake::with(kDev, [](fake::Device& d) { return !d.writes.empty(); }) : tried.load();
        }));
        SerialMgrClientInfo* second = nullptr;
        ASSERT_TRUE(attest::finishesWithin([&] { second = SERIALMGR_RegisterClient(&again); })) << dev;
        ASSERT_TRUE(sender.finish());
        deregister(second);
        deregister(client);
    }
    // A channel whose reader ended before its read keeps its mutex for its next open.
    expectNothingLeft(1);
}

// A send racing its own client's deregistration never reads the freed
// record: it returns 0 for a record already gone, or, when it was already
// waiting for its unit, stops on the record check.
TEST_F(Client, SendRacingItsOwnDeregistrationNeverTouchesTheFreedRecord) {
    EXPECT_EXIT(
        {
            for (int round = 0; round < 200; ++round) {
                attest::ClientRecorder rec;
                SerialMgrClientInfo* client = registerIdle(rec);
                std::thread sender([client] {
                    for (int i = 0; i < 20; ++i) SERIALMGR_SendData(client, kData, 1, i % 2);
                });
                SERIALMGR_DeRegisterClient(client);
                sender.join();
            }
            std::exit(0);
        },
        [](int status) { return WIFEXITED(status) ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGABRT; },
        std::string("^$|") + kBadRecord);
}

}  // namespace
