// Clients that reconnect from their read-error callback, callbacks that call back into the library, and
// registrations whose OS services fail (interposed here: libkovacutils is a shared library).
#include <dlfcn.h>

#include "fixture.h"

namespace {

// The call to fail (its name), and which of its calls from now on.
std::atomic<const char*> g_failName{nullptr};
std::atomic<int> g_failIn{0};
// The armed call's result when it is the one to fail, else the real call's.
template <typename R, typename... A>
R failOr(const char* name, R failed, A... args) {
    const char* armed = g_failName.load();
    if (armed != nullptr && strcmp(armed, name) == 0 && g_failIn.fetch_sub(1) == 1) return failed;
    return reinterpret_cast<R (*)(A...)>(dlsym(RTLD_NEXT, name))(args...);
}

}  // namespace

extern "C" {
OSSemaphore OSSEMAPHORE_createMutex(UInt32 mode) { return failOr<OSSemaphore>(__func__, 0, mode); }
OSSemaphore OSSEMAPHORE_Create(UInt32 count, UInt32 mode) { return failOr<OSSemaphore>(__func__, 0, count, mode); }
OSTask OSTASK_CreateWArg(OSTaskEntryWArg entry, const char* name, UInt32 prio, UInt32 stack, UInt32 arg, UInt32 opt) {
    return failOr<OSTask>(__func__, 0, entry, name, prio, stack, arg, opt);
}
void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line) { return failOr<void*>(__func__, nullptr, size, file, line); }
}

namespace {

struct Failure {
    const char* call;
    int nth;
    const char* line;
    size_t opens;  // driver opens the failed registration made
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.call << " #" << f.nth; }
class RegistrationFailure : public SerialMgrTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(RegistrationFailure, ReturnsNullAndLeavesTheDeviceAsItWas) {
    const Failure f = GetParam();
    g_failIn = f.nth;
    g_failName = f.call;
    const SerialMgrClientParams p = params(kDev, 6);
    EXPECT_EQ(SERIALMGR_RegisterClient(&p), nullptr);
    g_failName = nullptr;
    EXPECT_TRUE(log.has(kError, std::string("SERIALMGR_RegisterClient: ") + f.line + " devID=7, client=6\r\n"))
        << log.dump();
    EXPECT_EQ(fake::with(kDev, [](fake::Device& d) { return d.openParams.size(); }), f.opens);
    EXPECT_FALSE(fake::with(kDev, [](fake::Device& d) { return d.open; }));
    EXPECT_EQ(Serial_GetRefCnt(kDev), 0);
    EXPECT_EQ(gDevList[kDev].devBufHandle.load(), -1);
    EXPECT_EQ(gDevList[kDev].txReady.load(), 0);
    EXPECT_EQ(gDevList[kDev].rxRunning.load(), 0u);
    EXPECT_EQ(gDevList[kDev].useSem.load(), 0u);
    expectNothingLeft();
    SerialMgrClientInfo* client = registerIdle(kDev, 2);
    fake::push(kDev, "AT\r");
    EXPECT_TRUE(wait([&] { return blocks.size() == 1; }));
    deregister(client);
}
INSTANTIATE_TEST_SUITE_P(SerialMgr, RegistrationFailure,
                         ::testing::Values(Failure{"dbHEAP_Alloc", 1, "no memory for the client record", 0},
                                           Failure{"OSSEMAPHORE_createMutex", 1, "Semaphore create failed", 1},
                                           Failure{"OSSEMAPHORE_Create", 1, "Semaphore create failed", 1},
                                           Failure{"OSSEMAPHORE_Create", 2, "Semaphore create failed", 1},
                                           Failure{"OSTASK_CreateWArg", 1, "Reader start failed", 1}),
                         [](const auto& p) { return p.param.call + std::to_string(p.param.nth); });

// It registers again from the callback or from another thread; the old reader touches nothing of the new opening.
class Reconnect : public SerialMgrTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Reconnect, FromTheReadErrorCallbackLeavesTheNewOpeningAlone) {
    const bool fromCallback = GetParam();
    std::atomic<SerialMgrClientInfo*> again{nullptr};
    const SerialMgrClientParams second = params(kDev, 2);
    onEvent = [&](SerialMgrClientInfo* client, UInt32 event) {
        if (event != SERIALMGR_EVENT_READ_ERROR) return;
        EXPECT_EQ(SERIALMGR_DeRegisterClient(client), TRUE);
        if (fromCallback) again = SERIALMGR_RegisterClient(&second);
    };
    registerIdle(kDev, 1);
    fake::push(kDev, "", 0, EIO);
    if (!fromCallback) {
        ASSERT_TRUE(wait([&] { return events.size() == 2; }));
        again = SERIALMGR_RegisterClient(&second);
    }
    ASSERT_TRUE(attest::waitUntil([&] { return again.load() != nullptr; }));
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=7, END\r\n"));  // the old reader is gone
    fake::push(kDev, "hello");
    ASSERT_TRUE(wait([&] { return !blocks.empty(); })) << log.dump();
    EXPECT_THAT(blocks, ElementsAre(Pair(2, "hello")));
    EXPECT_THAT(events, ElementsAre(Pair(1, SERIALMGR_EVENT_READ_ERROR), Pair(1, SERIALMGR_EVENT_DEREGISTERED)));
    deregister(again.load());
    expectNothingLeft();
}
INSTANTIATE_TEST_SUITE_P(SerialMgr, Reconnect, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "FromCallback" : "FromAnotherThread"; });

// The host deregisters the record, and the read-error callback deregisters it too (it stops on the record check)
// or registers again (it gets NULL): neither waits for the thread that joins this reader and waits for the callback.
class ReadErrorCallbackWhileTheHostStopsItsReader : public SerialMgrTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReadErrorCallbackWhileTheHostStopsItsReader, DoesNotWaitForIt) {
    const bool registers = GetParam();
    static std::atomic<bool> inCallback{false};
    static std::atomic<SerialMgrClientInfo*> again{nullptr};
    auto scenario = [&] {
        SerialMgrClientInfo* client = registerIdle();
        onEvent = [&](SerialMgrClientInfo* c, UInt32 event) {
            if (event != SERIALMGR_EVENT_READ_ERROR) return;
            inCallback = true;
            attest::waitUntil([&] { return log.countContaining("SERIALMGR_RX_Shutdown: devID=7, send") > 0; });
            const SerialMgrClientParams second = params(kDev, 2);
            if (registers) again = SERIALMGR_RegisterClient(&second);
            else SERIALMGR_DeRegisterClient(c);
        };
        fake::push(kDev, "", 0, EIO);
        attest::waitUntil([] { return inCallback.load(); });
        return attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); });
    };
    if (!registers) {
        EXPECT_DEATH(scenario(), kBadRecord);
        return;
    }
    ASSERT_TRUE(scenario()) << log.dump();
    EXPECT_EQ(again.load(), nullptr);
    EXPECT_EQ(log.count(kError, "SERIALMGR_RegisterClient: device closing devID=7, client=2\r\n"), 1);
    expectNothingLeft();
}
INSTANTIATE_TEST_SUITE_P(SerialMgr, ReadErrorCallbackWhileTheHostStopsItsReader, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "RegistersAgain" : "DeregistersAgain"; });

// A pause from the host's send-data callback while another thread registers there and waits for that send: the
// pause fails at once.
TEST_F(SerialMgrTest, PauseFromTheHostsSendCallbackDoesNotWaitForARegistration) {
    static SerialMgrClientInfo* client = nullptr;
    static std::atomic<Boolean> paused{2};
    static std::atomic<bool> inCallback{false};
    AT_STUBS_RegisterCallbacks([](UInt32, const UInt8*, UInt32 len) {
        inCallback = true;
        attest::waitUntil([] { return gDevList[SERIAL_DEVICE_SOCKET].gate.closed(); });
        paused = SERIALMGR_SetFlowControl(client, 1);
        return static_cast<Int32>(len);
    }, nullptr);
    const SerialMgrClientParams p = params(SERIAL_DEVICE_SOCKET, 1), other = params(SERIAL_DEVICE_SOCKET, 2);
    client = SERIALMGR_RegisterClient(&p);
    SerialMgrClientInfo* second = nullptr;
    attest::Background send([] { EXPECT_EQ(SERIALMGR_SendData(client, reinterpret_cast<const UInt8*>("AT"), 2, 0), 2); });
    ASSERT_TRUE(attest::waitUntil([] { return inCallback.load(); }));
    ASSERT_TRUE(attest::finishesWithin([&] { second = SERIALMGR_RegisterClient(&other); }));
    ASSERT_TRUE(send.finish());
    EXPECT_EQ(paused.load(), FALSE);
    EXPECT_EQ(client->state, 1u);
    deregister(second);
    deregister(client);
}

// Two devices whose dataCbs forward to each other, both deregistered, or both registered on again, at once: each
// forward finds the other device's deregistration (the record is claimed) or registration (the gate is closed, and
// that registration waits for this callback) under way, and fails instead of waiting. A callback leaves only once
// both have sent: until then neither deregistration can free the record that the other callback sends to.
class Bridge : public SerialMgrTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Bridge, ForwardsFailAndNothingDeadlocks) {
    const bool deregistering = GetParam();
    static constexpr UInt32 kDevs[2] = {kDev, 8};
    installFake(kDevs[1]);
    static SerialMgrClientInfo* clients[2] = {};
    static std::atomic<Int32> forwarded[2] = {-1, -1};
    static std::atomic<int> entered{0}, sent{0};
    onData = [](SerialMgrClientInfo* c, const UInt8* d, UInt32 n) {
        const int self = c == clients[0] ? 0 : 1;
        ++entered;
        attest::waitUntil([&] { return gDevList[kDevs[1 - self]].gate.closed(); });
        forwarded[self] = SERIALMGR_SendData(clients[1 - self], d, n, 0);
        ++sent;
        attest::waitUntil([] { return sent.load() == 2; });
    };
    clients[0] = registerIdle(kDevs[0], 1);
    clients[1] = registerIdle(kDevs[1], 2);
    fake::push(kDevs[0], "to 8");
    fake::push(kDevs[1], "to 7");
    ASSERT_TRUE(attest::waitUntil([] { return entered.load() == 2; }));
    auto change = [&](int k) {  // a newcomer, once registered, leaves with the client it replaced
        return [=] {
            const SerialMgrClientParams p = params(kDevs[k], 3 + k);
            SerialMgrClientInfo* newcomer = deregistering ? nullptr : SERIALMGR_RegisterClient(&p);
            EXPECT_TRUE(deregistering || newcomer != nullptr) << "registration on device " << kDevs[k] << " failed";
            if (newcomer != nullptr) SERIALMGR_DeRegisterClient(newcomer);
            SERIALMGR_DeRegisterClient(clients[k]);
        };
    };
    attest::Background first(change(0)), second(change(1));
    ASSERT_TRUE(first.finish()) << log.dump();
    ASSERT_TRUE(second.finish());
    EXPECT_EQ(forwarded[0].load(), 0);
    EXPECT_EQ(forwarded[1].load(), 0);
    expectNothingLeft();
}
INSTANTIATE_TEST_SUITE_P(SerialMgr, Bridge, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Deregistered" : "RegisteredOn"; });

// So the device's shutdown function runs every time (device 0 through useDefaultDevice, whatever devID says).
TEST_F(SerialMgrTest, ReaderEndedByTheCloseStillTakesTheStopSignal) {
    installFake(SERIAL_DEVICE_UART_A);
    for (int round = 1; round <= 20; ++round) {
        SerialMgrClientParams p = params(99);
        p.useDefaultDevice = 1;
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
        ASSERT_NE(client, nullptr);
        ASSERT_TRUE(fake::waitIdle(SERIAL_DEVICE_UART_A));
        EXPECT_EQ(client->devID, 0u);
        deregister(client);
        EXPECT_EQ(log.count(kInfo, "SERIALMGR_HandleSignal: devID = 0, shutting down\n"), round) << log.dump();
        EXPECT_EQ(log.count(kInfo, "UART_HandleShutdown: devID = 0\n"), round);
    }
    EXPECT_EQ(log.countContaining("Invalid devID"), 0);
    expectNothingLeft();
}

// A block read after the pause is kept until the resume; a pause during dataCb returns after dataCb.
TEST_F(SerialMgrTest, NoBlockReachesDataCbOnceAPauseHasReturned) {
    SerialMgrClientInfo* client = registerIdle();
    ASSERT_EQ(SERIALMGR_SetFlowControl(client, 1), TRUE);
    fake::push(kDev, "kept");
    ASSERT_TRUE(log.waitFor(kInfo, "   Serial_Read=4\n"));
    ASSERT_TRUE(waitParked());
    EXPECT_TRUE(blocks.empty());
    std::atomic<bool> inDataCb{false}, release{false};
    onData = [&](SerialMgrClientInfo*, const UInt8*, UInt32) {
        inDataCb = true;
        attest::waitUntil([&] { return release.load(); });
    };
    ASSERT_EQ(SERIALMGR_SetFlowControl(client, 0), TRUE);
    ASSERT_TRUE(attest::waitUntil([&] { return inDataCb.load(); }));
    attest::Background pause([client] { EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), TRUE); });
    EXPECT_FALSE(attest::waitUntil([&] { return pause.done(); }, std::chrono::milliseconds(200)));
    release = true;
    ASSERT_TRUE(pause.finish());
    EXPECT_THAT(blocks, ElementsAre(Pair(1, "kept")));
    deregister(client);
    expectNothingLeft();
}

}  // namespace
