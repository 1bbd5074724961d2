// Registration, sending and deregistration seen from clients, alone and from
// several host threads at once, and allocation failures. This program
// interposes dbHEAP_Alloc (libkovacutils is a shared library, so the
// definition here wins) and fails the allocations of the size a test asks for.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"

namespace {
std::atomic<size_t> g_failSize{0};
using AllocFn = void* (*)(size_t, const char*, UInt32);
AllocFn realAlloc() {
    static AllocFn fn = reinterpret_cast<AllocFn>(dlsym(RTLD_NEXT, "dbHEAP_Alloc"));
    return fn;
}
}  // namespace

extern "C" void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line) {
    if (g_failSize.load() != 0 && size == g_failSize.load()) return nullptr;
    return realAlloc()(size, file, line);
}

// Counts the semaphore obtains of one watched thread.
namespace {
std::atomic<pid_t> g_watchedThread{0};
std::atomic<int> g_watchedObtains{0};
}  // namespace

extern "C" OSStatus OSSEMAPHORE_Obtain(OSSemaphore sem, UInt32 ticks) {
    using ObtainFn = OSStatus (*)(OSSemaphore, UInt32);
    static ObtainFn real = reinterpret_cast<ObtainFn>(dlsym(RTLD_NEXT, "OSSEMAPHORE_Obtain"));
    if (gettid() == g_watchedThread.load()) g_watchedObtains.fetch_add(1);
    return real(sem, ticks);
}

namespace {

using Client = SerialMgrTest;
const UInt8 kData[5] = {1, 2, 3, 4, 5};

TEST_F(Client, NullDeviceOpensNothingAndCannotSend) {
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_NULL, 1);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RegisterClient: inDevID=23\r\n"));
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: setting up NULL device\r\n"));
    EXPECT_EQ(OSTASK_GetLiveCount(), start.tasks);  // no reader
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(client), -1);
    EXPECT_EQ(SERIALMGR_GetDeviceID(client), SERIAL_DEVICE_NULL);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), client);
    EXPECT_EQ(SERIALMGR_SendData(client, kData, 5, 1), 0);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail!! ( DTR Received ) devID=23, client=1 len=5 \r\n"));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SendData: devID=23, client=1 buf=" + addressText(kData) +
                                   " len=5 lenSent=0 block=1 state=1\r\n"))
        << log.dump();
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    deregisterAndCheck(client);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Shutdown: devID=23\r\n"));
    EXPECT_EQ(rec.eventCount(), 1u);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), nullptr);
}

TEST_F(Client, TheAtClientIsFoundOnTheLowestDevice) {
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(nullptr), -1);
    fake::install(12);
    installFake(6);
    attest::ClientRecorder r12, r6, r9;
    SerialMgrClientInfo* on12 = registerIdle(r12, 12, 1);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), on12);
    SerialMgrClientInfo* other = registerIdle(r9, kDev, 2);  // not the AT client
    SerialMgrClientInfo* on6 = registerIdle(r6, 6, 1);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), on6);
    EXPECT_GE(SERIALMGR_GetSerialDeviceHandle(on6), 0);
    ASSERT_TRUE(attest::finishesWithin([on6] { SERIALMGR_DeRegisterClient(on6); }));
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), on12);
    ASSERT_TRUE(attest::finishesWithin([on12] { SERIALMGR_DeRegisterClient(on12); }));
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), nullptr);
    deregisterAndCheck(other);
}

// A second registration replaces the current client without a second reader,
// and resumes reception when the replaced client had paused it.
TEST_F(Client, SecondRegistrationReplacesTheCurrentClientAndResumesReception) {
    attest::ClientRecorder first, second;
    SerialMgrClientInfo* a = registerIdle(first, kDev, 1);
    ASSERT_EQ(SERIALMGR_SetFlowControl(a, 1), 1);
    fake::pushText(kDev, "1");  // the reader parks after this block
    ASSERT_TRUE(attest::waitUntil([&] { return log.countContaining("wait_sem=") >= 1; }));
    const UInt32 tasks = OSTASK_GetLiveCount();
    SerialMgrClientParams params = attest::makeParams(second, kDev, 2);
    SerialMgrClientInfo* b = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(OSTASK_GetLiveCount(), tasks);
    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(second.waitBlocks(1)) << log.dump();
    EXPECT_EQ(second.allBytes(), (std::vector<UInt8>{'A', 'T', '\r'}));
    EXPECT_EQ(first.blockCount(), 1u);
    EXPECT_EQ(SERIALMGR_SendData(b, kData, 2, 0), 2);
    // Deregistering the older client stops the device for both; the newer
    // record stays allocated until it deregisters too.
    ASSERT_TRUE(attest::finishesWithin([a] { SERIALMGR_DeRegisterClient(a); }));
    EXPECT_FALSE(fake::isOpen(kDev));
    EXPECT_EQ(SERIALMGR_SendData(b, kData, 2, 1), 0);
    deregisterAndCheck(b);
    EXPECT_EQ(second.eventCount(), 1u);
}

TEST_F(Client, FailedOpenOrAllocationLeavesTheDeviceAsItWas) {
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kDev, 5);
    // The device layer turns 0 into 0x9999 and 2 into -1; device 3 has no driver.
    for (const auto& [openResult, devID] : {std::pair<Int32, UInt32>{0, kDev}, {2, kDev}, {1, 3}}) {
        fake::setOpenResult(kDev, openResult);
        params.devID = devID;
        EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
        expectNothingLeft();
    }
    EXPECT_EQ(log.count(kError, "SERIALMGR_RegisterClient: Open Failed devID=7, client=5\r\n"), 2);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: Open Failed devID=3, client=5\r\n"));
    params.devID = kDev;
    g_failSize = sizeof(SerialMgrClientInfo);
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: no memory for the client record devID=7, client=5\r\n"));
    EXPECT_EQ(fake::openCount(kDev), 2);
    g_failSize = 0;
    SerialMgrClientInfo* client = registerIdle(rec, kDev, 5);
    // On an open device the current client stays as it was.
    g_failSize = sizeof(SerialMgrClientInfo);
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_EQ(gDevList[kDev].currentClient.load(), client);
    g_failSize = 0;
    deregisterAndCheck(client);
}

TEST_F(Client, ReaderWithoutBufferEndsAndClosesTheDevice) {
    g_failSize = SERIALMGR_RX_BUFFER_SIZE;
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kDev, 3);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(log.waitFor(kInfo, rxLine(kDev, "END")));
    g_failSize = 0;
    EXPECT_TRUE(log.has(kError, rxLine(kDev, "no receive buffer")));
    EXPECT_EQ(fake::readCount(kDev), 0);
    EXPECT_FALSE(fake::isOpen(kDev));
    deregisterAndCheck(client);
    EXPECT_EQ(rec.events, std::vector<UInt32>{SERIALMGR_EVENT_DEREGISTERED});
}

TEST_F(Client, SendModesAndWriteResults) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kDev, 6);
    UInt8 data[300];
    for (int i = 0; i < 300; ++i) data[i] = static_cast<UInt8>(i);
    // A blocking send goes on in passes from where the last write ended.
    fake::setWriteLimit(kDev, 100);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 300, 1), 300);
    const auto calls = fake::writes(kDev);
    ASSERT_EQ(calls.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(calls[i].buf, data + 100 * i);
    EXPECT_EQ(calls[2].len, 100);
    EXPECT_EQ(fake::writtenBytes(kDev), std::vector<UInt8>(data, data + 300));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SendData: devID=7, client=6 buf=" + addressText(data) +
                                   " len=300 lenSent=300 block=1 state=1\r\n"));
    const struct {
        const char* what;
        std::vector<UInt16> results;  // scripted write results, then the limit
        UInt16 limit;
        UInt32 len, block;
        Int32 sent;
        size_t writes;
    } cases[] = {
        {"blocking, nothing to send: no write", {}, 100, 0, 1, 0, 0},
        {"non-blocking, nothing to send: one write", {}, 100, 0, 0, 0, 1},
        {"non-blocking: a failed write's result unchanged", {0xFFFF}, 100, 300, 0, 0xFFFF, 1},
        {"blocking: a failed write ends the send", {100, 0xFFFF}, 100, 300, 1, 100, 2},
        {"blocking: a result above the rest is no count", {100, 250}, 100, 300, 1, 100, 2},
        {"blocking: writes of 0 are retried", {0, 0}, 0xFFFF, 50, 1, 50, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake::install(kDev);  // clears the record of writes, keeps the open device
        fake::setWriteLimit(kDev, c.limit);
        for (UInt16 r : c.results) fake::pushWriteResult(kDev, r);
        EXPECT_EQ(SERIALMGR_SendData(client, data, c.len, c.block), c.sent);
        EXPECT_EQ(fake::writes(kDev).size(), c.writes);
    }
    deregisterAndCheck(client);
}

// A blocking send that makes no progress gives way to a waiting
// deregistration; one that holds no unit stops when txReady is cleared.
TEST_F(Client, BlockingSendsWithoutProgressEndForADeregistration) {
    for (UInt8 skipLock : {0, 1}) {
        attest::ClientRecorder rec;
        SerialMgrClientInfo* client = registerIdle(rec);
        client->skipSendLock = skipLock;
        fake::install(kDev);
        fake::pushWriteResult(kDev, 10);
        fake::setWriteLimit(kDev, 0);  // then the device takes nothing
        UInt8 data[64] = {};
        std::atomic<Int32> sent{-1};
        attest::Background sender([&] { sent = SERIALMGR_SendData(client, data, 64, 1); });
        ASSERT_TRUE(attest::waitUntil([] { return fake::writes(kDev).size() >= 3; }));
        // Without a unit the record must outlive the send: stop the device as
        // the deregistration does, then let the send see it.
        ASSERT_TRUE(attest::finishesWithin([&] {
            if (skipLock) SERIALMGR_RX_Shutdown(kDev);
            else SERIALMGR_DeRegisterClient(client);
        })) << log.dump();
        ASSERT_TRUE(sender.finish());
        EXPECT_EQ(sent.load(), 10);
        if (skipLock) deregisterAndCheck(client);
        EXPECT_EQ(rec.events.back(), SERIALMGR_EVENT_DEREGISTERED);
    }
    EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail!! ( DTR Received ) devID=7, client=1 len=64 \r\n"));
    expectNothingLeft();
}

// A reply from inside dataCb takes no second unit of the device's lock: the
// deregistration, holding the other four, waits for the reader's.
TEST_F(Client, ReplyFromDataCbWhileADeregistrationTakesTheLock) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    const OSSemaphore useSem = gDevList[kDev].useSem.load();
    std::atomic<bool> inCallback{false};
    std::atomic<Int32> replied{-1};
    rec.onData = [&](SerialMgrClientInfo* c, const UInt8*, UInt32) {
        inCallback = true;
        EXPECT_TRUE(attest::waitUntil([&] { return OSSEMAPHORE_GetCnt(useSem) == 0; }));
        replied = SERIALMGR_SendData(c, kData, 2, 1);
    };
    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(attest::waitUntil([&] { return inCallback.load(); }));
    deregisterAndCheck(client);
    EXPECT_EQ(replied.load(), 2);
    EXPECT_EQ(fake::writtenBytes(kDev), (std::vector<UInt8>{1, 2}));
}

// ---- host drivers whose reads wait in plain select() or poll() ----

int gIdlePipe[2] = {-1, -1};  // nothing is ever written to it
bool gUseSelect = false;
std::atomic<int> gReadsEntered{0};
Int32 hostOpen(SerialDeviceId, UInt32) { return 1; }
Int32 hostClose(SerialDeviceId) { return 1; }
UInt16 hostWrite(SerialDeviceId, const UInt8*, UInt16 len) { return len; }
UInt16 hostRead(SerialDeviceId, UInt8*, UInt16) {
    gReadsEntered.fetch_add(1);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(gIdlePipe[0], &set);
    pollfd p{gIdlePipe[0], POLLIN, 0};
    if (gUseSelect) select(gIdlePipe[0] + 1, &set, nullptr, nullptr, nullptr);
    else poll(&p, 1, -1);
    errno = EAGAIN;  // interrupted: the reader goes round and finds it must stop
    return 0;
}

class HostDriverWait : public Client, public ::testing::WithParamInterface<bool> {};

// The deregistration's SIGUSR2 reaches a host driver's read, whether it comes
// before the driver's wait begins or during it.
TEST_P(HostDriverWait, DeregistrationEndsAReadBlockedInPlainSelectOrPoll) {
    gUseSelect = GetParam();
    ASSERT_EQ(pipe(gIdlePipe), 0);
    constexpr UInt32 kHostDev = 9;
    Serial_ConfigureDeviceEx(kHostDev, hostOpen, hostClose, hostRead, hostWrite, nullptr, nullptr, nullptr, nullptr, 0,
                             0, 0);
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

// ---- several threads ----

// Two first registrations on a closed device take turns: both succeed, the
// device is opened once and read by the later client, and it closes when
// both have left.
TEST_F(Client, TwoFirstRegistrationsOnAClosedDeviceTakeTurns) {
    for (int round = 0; round < 50; ++round) {
        attest::ClientRecorder recB, recC;
        SerialMgrClientParams paramsB = attest::makeParams(recB, kDev, 2), paramsC = attest::makeParams(recC, kDev, 3);
        SerialMgrClientInfo* c = nullptr;
        attest::Background second([&] { c = SERIALMGR_RegisterClient(&paramsC); });
        SerialMgrClientInfo* b = SERIALMGR_RegisterClient(&paramsB);
        ASSERT_TRUE(second.finish());
        ASSERT_TRUE(b != nullptr && c != nullptr) << round;
        ASSERT_NE(SERIALMGR_GetSerialDeviceHandle(b), -1) << round;
        fake::pushText(kDev, "x");
        ASSERT_TRUE((gDevList[kDev].currentClient.load() == c ? recC : recB).waitBlocks(1)) << round;
        SERIALMGR_DeRegisterClient(b);
        SERIALMGR_DeRegisterClient(c);
        ASSERT_FALSE(fake::isOpen(kDev)) << round;
    }
    expectNothingLeft();
}

// A second deregistration of a record waits for the first one and then stops
// the process on the record check instead of freeing it twice.
TEST_F(Client, SecondDeregistrationOfOneRecordStopsOnTheRecordCheck) {
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
TEST_F(Client, DeregistrationBeforeTheReadyCheckStillSignalsTheReader) {
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
    attest::Background release([this] {
        attest::waitUntil([this] { return log.countContaining("devID=1, send SIGUSR2 to ") > 0; });
        holdReady = false;
    });
    deregisterAndCheck(client);
    EXPECT_EQ(log.count(kInfo, "SERIALMGR_HandleSignal: devID = 1, shutting down\n"), 1) << log.dump();
    EXPECT_EQ(log.count(kInfo, "UART_HandleShutdown: devID = 1\n"), 1) << log.dump();
}

// A deregistration that waits for the device is not overtaken by threads
// that send back to back over a slow device.
TEST_F(Client, DeregistrationIsNotStarvedByBackToBackSenders) {
    fake::setWriteLimit(kDev, 1);  // three passes, two sleeps per send
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    std::atomic<bool> deregistered{false};
    std::atomic<int> sends{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kUseUnits; ++i) {
        senders.emplace_back([&] {
            while (!deregistered.load()) {
                SERIALMGR_SendData(client, kData, 3, 1);
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

// Once a deregistration waits for the device, a new send waits behind it and
// takes no unit: here five sends are in flight (the test holds the units),
// and the late send must not compete for them.
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
    ASSERT_TRUE(deregistration.finish());
    ASSERT_TRUE(late.finish());
    EXPECT_EQ(g_watchedObtains.load(), 0);
    EXPECT_TRUE(fake::writes(kDev).empty());
    expectNothingLeft();
}

// A blocking send that cannot progress (an in-process channel before the host
// registered its callback; a dataCb answering over a device that takes
// nothing) gives up once a registration waits for the device.
TEST_F(Client, BlockingSendThatCannotProgressGivesWayToARegistration) {
    attest::ClientRecorder rec, late;
    static std::atomic<int> attempts{0};  // the far end of the channel takes nothing
    AT_STUBS_RegisterCallbacks([](UInt32, const UInt8*, UInt32) { return ++attempts, Int32{0}; }, nullptr);
    for (UInt32 dev : {UInt32{SERIAL_DEVICE_SOCKET}, kDev}) {
        SCOPED_TRACE(dev);
        fake::setWriteLimit(kDev, 0);
        rec.onData = [](SerialMgrClientInfo* c, const UInt8* d, UInt32 n) { SERIALMGR_SendData(c, d, n, 1); };
        SerialMgrClientParams params = attest::makeParams(rec, dev);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        ASSERT_NE(client, nullptr);
        attest::Background sender([&] {
            if (dev == kDev) fake::pushText(kDev, "AT\r");  // the reply waits in dataCb
            else EXPECT_EQ(SERIALMGR_SendData(client, kData, 2, 1), 0);
        });
        // The send is under way before the registration comes.
        ASSERT_TRUE(attest::waitUntil([&] { return dev == kDev ? !fake::writes(kDev).empty() : attempts > 0; }));
        SerialMgrClientParams again = attest::makeParams(late, dev);
        SerialMgrClientInfo* second = nullptr;
        ASSERT_TRUE(attest::finishesWithin([&] { second = SERIALMGR_RegisterClient(&again); }));
        ASSERT_TRUE(sender.finish());
        SERIALMGR_DeRegisterClient(second);
        SERIALMGR_DeRegisterClient(client);
    }
    // A channel whose reader ended before its read keeps its mutex for its next open.
    expectNothingLeft(1);
}

// A send racing its own client's deregistration never reads the freed
// record: it returns 0 for a record already gone, or, when it was already
// waiting for its unit, stops the process on the record check.
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
        [](int status) {
            return (WIFEXITED(status) && WEXITSTATUS(status) == 0) || (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
        },
        "^$|assertion \"pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE\" failed");
}

// ---- arguments a caller can get wrong ----

TEST_F(Client, InvalidRecordsAreRefusedQuietlyByFlowControlAndWithALineBySend) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* real = registerIdle(rec);
    // What a stale pointer finds until the memory is reused.
    SerialMgrClientInfo freed{SERIALMGR_FREED_SIG, kDev, 0, 0, 0, 0, {}};
    for (SerialMgrClientInfo* record : {static_cast<SerialMgrClientInfo*>(nullptr), &freed}) {
        log.clear();
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 1), FALSE);
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 0), FALSE);
        EXPECT_EQ(SERIALMGR_SendData(record, kData, 3, 1), 0);
        ASSERT_EQ(log.lines().size(), 1u) << log.dump();
        EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail. Invalid client handle [" + addressText(record) + "].\r\n"));
        const std::string text = "SERIALMGR_DeRegisterClient.*pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE";
        EXPECT_DEATH(SERIALMGR_DeRegisterClient(record), text);
    }
    // The length is checked before the record.
    EXPECT_DEATH(SERIALMGR_SendData(nullptr, kData, 0xFFFF, 1), "SERIALMGR_SendData.*len < 0xFFFF");
    EXPECT_EQ(gDevList[kDev].stopRx.load(), 0u);
    EXPECT_TRUE(fake::writes(kDev).empty());
    // The largest length goes out whole, in pieces.
    std::vector<UInt8> big(0xFFFE);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<UInt8>(i * 7);
    fake::setWriteLimit(kDev, 20000);
    EXPECT_EQ(SERIALMGR_SendData(real, big.data(), 0xFFFE, 1), 0xFFFE);
    EXPECT_EQ(fake::writtenBytes(kDev), big);
    deregisterAndCheck(real);
}

TEST_F(Client, DeviceIdsOutOfRangeAreRefusedUnlessTheDefaultDeviceIsAsked) {
    attest::ClientRecorder rec;
    for (UInt32 id : {24u, 0xFFFFFFFFu}) {
        SerialMgrClientParams params = attest::makeParams(rec, id, 7);
        EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
        EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: Invalid devID=" + std::to_string(static_cast<int>(id)) +
                                        ", client=7\r\n"));
    }
    // With the default-device flag the device ID is not even looked at.
    installFake(SERIAL_DEVICE_UART_A);
    for (UInt32 id : {0xFFFFFFFFu, SERIAL_DEVICE_NULL}) {
        log.clear();
        SerialMgrClientParams params = attest::makeParams(rec, id, 1);
        params.useDefaultDevice = 0xFF;
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        ASSERT_NE(client, nullptr) << log.dump();
        EXPECT_EQ(log.countContaining("Invalid devID") + log.countContaining("NULL device"), 0);
        EXPECT_EQ(SERIALMGR_GetDeviceID(client), SERIAL_DEVICE_UART_A);
        EXPECT_TRUE(fake::waitIdle(SERIAL_DEVICE_UART_A));
        deregisterAndCheck(client);
    }
}

}  // namespace
