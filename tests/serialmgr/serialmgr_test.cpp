// The serial manager on the fake driver, alone and from several threads at once.
#include "fixture.h"

namespace {

TEST_F(SerialMgrTest, InvalidRecordsAndLengthsAreRefused) {
    SerialMgrClientInfo freed{SERIALMGR_FREED_SIG, kDev, 0, 0, 0, 0, {}};  // a stale pointer's record
    for (SerialMgrClientInfo* record : {static_cast<SerialMgrClientInfo*>(nullptr), &freed}) {
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 1), FALSE);
        EXPECT_EQ(SERIALMGR_SendData(record, kData, 3, 1), 0);
    }
    EXPECT_EQ(log.countContaining("SERIALMGR_SendData Fail. Invalid client handle ["), 2);
    // The length is checked before the record.
    EXPECT_DEATH(SERIALMGR_SendData(nullptr, kData, 0xFFFF, 1), "SERIALMGR_SendData.*len < 0xFFFF");
}

TEST_F(SerialMgrTest, DeregistrationBeforeTheReadyCheckStillSignalsTheReader) {
    installFake(SERIAL_DEVICE_UART_B);  // has a shutdown function
    static std::atomic<bool> holdReady{true};
    AT_STUBS_RegisterCallbacks(nullptr, [] { return Int32{attest::waitUntil([] { return !holdReady.load(); })}; });
    const SerialMgrClientParams p = params(SERIAL_DEVICE_UART_B);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
    attest::Background release([this] {
        attest::waitUntil([this] { return log.countContaining("devID=1, send SIGUSR2 to ") > 0; });
        holdReady = false;
    });
    deregister(client);
    EXPECT_EQ(log.count(kInfo, "UART_HandleShutdown: devID = 1\n"), 1) << log.dump();
    expectNothingLeft();
}

// Over an in-process channel whose host takes nothing, and from a dataCb over a device that takes nothing.
TEST_F(SerialMgrTest, BlockingSendThatCannotProgressGivesWayToARegistration) {
    static std::atomic<bool> tried{false};  // the far end of the channel takes nothing
    AT_STUBS_RegisterCallbacks([](UInt32, const UInt8*, UInt32) {
        tried = true;
        return Int32{0};
    }, nullptr);
    onData = [](SerialMgrClientInfo* c, const UInt8* d, UInt32 n) { SERIALMGR_SendData(c, d, n, 1); };
    fake::with(kDev, [](fake::Device& d) { d.writeLimit = 0; });
    for (UInt32 dev : {UInt32{SERIAL_DEVICE_SOCKET}, kDev}) {
        const SerialMgrClientParams first = params(dev, 1), again = params(dev, 2);
        SerialMgrClientInfo *client = SERIALMGR_RegisterClient(&first), *second = nullptr;
        attest::Background sender([&] {
            if (dev == kDev) fake::push(kDev, "AT\r");  // the reply waits in dataCb
            else EXPECT_EQ(SERIALMGR_SendData(client, kData, 2, 1), 0);
        });
        // The send is under way before the registration comes.
        ASSERT_TRUE(attest::waitUntil([&] {
            return dev == kDev ? fake::with(dev, [](fake::Device& d) { return d.writes > 0; }) : tried.load();
        }));
        ASSERT_TRUE(attest::finishesWithin([&] { second = SERIALMGR_RegisterClient(&again); })) << dev;
        ASSERT_TRUE(sender.finish());
        deregister(second);
        deregister(client);
    }
    expectNothingLeft(1);  // a channel whose reader ended before its read keeps its mutex
}

// A blocking send writes on from where the last write ended, retries writes of 0, and ends at a failed
// write (-1) or a result above the rest; a non-blocking one writes once and returns the driver's result.
TEST_F(SerialMgrTest, SendModesAndWriteResults) {
    SerialMgrClientInfo* client = registerIdle();
    UInt8 data[300] = {};
    const struct {
        std::deque<UInt16> results;  // scripted, then at most limit per write
        UInt16 limit;
        UInt32 len, block;
        Int32 sent;
        std::vector<long> writesFrom;  // offset of each write
    } cases[] = {{{}, 100, 300, 1, 300, {0, 100, 200}}, {{}, 100, 0, 1, 0, {}},
                 {{}, 100, 0, 0, 0, {0}}, {{0xFFFF}, 100, 300, 0, 0xFFFF, {0}},
                 {{100, 0xFFFF}, 100, 300, 1, 100, {0, 100}}, {{100, 250}, 100, 300, 1, 100, {0, 100}},
                 {{0, 0}, 0xFFFF, 50, 1, 50, {0, 0, 0}}};
    for (const auto& c : cases) {
        fake::with(kDev, [&](fake::Device& d) { d.writeLimit = c.limit, d.writeResults = c.results; });
        EXPECT_EQ(SERIALMGR_SendData(client, data, c.len, c.block), c.sent);
        std::vector<long> from;
        for (const UInt8* p : fake::with(kDev, [](fake::Device& d) { return std::exchange(d.writtenFrom, {}); }))
            from.push_back(p - data);
        EXPECT_EQ(from, c.writesFrom) << "send of " << c.len << ", block " << c.block;
    }
    EXPECT_EQ(log.countContaining(" len=300 lenSent=300 block=1 state=1\r\n"), 1);
    deregister(client);
}

// A read of 0 with an errno other than EAGAIN closes the device under its client: sends and pauses
// end at once, and only the client's deregistration makes the device usable again.
TEST_F(SerialMgrTest, AReadErrorEndsTheReaderUnderItsClient) {
    installFake(kUsb);
    SerialMgrClientInfo* client = registerIdle(kUsb);
    fake::push(kUsb, "1");
    fake::push(kUsb, std::string(1536, 'A'));
    fake::push(kUsb, "", 0, EIO);
    fake::push(kUsb, "never read");
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=5, END\r\n"));
    EXPECT_THAT(blocks, ElementsAre(Pair(1, "1"), Pair(1, std::string(1536, 'A'))));
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RX_Entry: devID=5, blockdatasize == 0, errno 5 (Input/output error)\r\n"));
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(client), -1);
    ASSERT_TRUE(attest::finishesWithin([&] {
        EXPECT_EQ(SERIALMGR_SendData(client, kData, 3, 1), 0);
        EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    }));
    EXPECT_EQ(log.count(kInfo, kStopLine), 0);
    const SerialMgrClientParams other = params(kUsb, 2);
    EXPECT_DEATH(SERIALMGR_RegisterClient(&other), "gDevList\\[inDevID\\].currentClient == NULL");
    deregister(client);
    EXPECT_THAT(events, ElementsAre(Pair(1, SERIALMGR_EVENT_READ_ERROR), Pair(1, SERIALMGR_EVENT_DEREGISTERED)));
    fake::install(kUsb);
    deregister(registerIdle(kUsb, 2));
    expectNothingLeft();
}

TEST_F(SerialMgrTest, PausesParkTheReaderAndResumesReopenTheDeviceWithTheDefaultArgument) {
    const SerialMgrClientParams first = params(kDev, 4, 77);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&first);
    ASSERT_TRUE(fake::waitIdle(kDev));
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    fake::push(kDev, "1");
    ASSERT_TRUE(waitParked());
    fake::push(kDev, "2");  // not read while paused
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);
    ASSERT_TRUE(wait([&] { return blocks.size() == 2; }));
    log.clear();
    fake::push(kDev, "", STOP_READING_USB_TTY);
    ASSERT_TRUE(waitParked());
    SerialMgrClientInfo* second = registerIdle(kDev, 2);
    fake::push(kDev, "3");
    ASSERT_TRUE(wait([&] { return blocks.size() == 3; }));
    EXPECT_THAT(blocks, ElementsAre(Pair(4, "1"), Pair(4, "2"), Pair(2, "3")));
    EXPECT_EQ(fake::with(kDev, [](fake::Device& d) { return d.openParams; }), (std::vector<UInt32>{77, 0, 0}));
    EXPECT_EQ(SERIALMGR_SendData(second, kData, 3, 0), 3);
    deregister(client);
    deregister(second);
    expectNothingLeft();
}

// useDefaultDevice means device 0; 24 and above change nothing; 23, the null device, opens and writes nothing.
struct Target {
    UInt32 devID;
    UInt8 useDefault;
    bool accepted;
    const char* error;  // the registration's error line, if any
    Int32 sent;         // by a send of 3 bytes
};
class Registration : public SerialMgrTest, public ::testing::WithParamInterface<Target> {};

TEST_P(Registration, LandsOnTheDeviceItNamesOrIsRefused) {
    const Target t = GetParam();
    installFake(SERIAL_DEVICE_UART_A);
    SerialMgrClientParams p = params(t.devID, 6);
    p.useDefaultDevice = t.useDefault;
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
    EXPECT_EQ(client != nullptr, t.accepted);
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.priority == kError; }),
              t.error != nullptr ? 1 : 0);
    EXPECT_TRUE(t.error == nullptr || log.has(kError, t.error)) << log.dump();
    if (client == nullptr) return expectNothingLeft();
    EXPECT_EQ(client->devID, t.useDefault ? 0u : t.devID);
    EXPECT_EQ(Serial_GetRefCnt(client->devID), t.devID == SERIAL_DEVICE_NULL ? 0 : 1);
    EXPECT_EQ(SERIALMGR_SendData(client, kData, 3, 1), t.sent);
    EXPECT_EQ(log.countContaining("( DTR Received ) devID=23, client=6 len=3 \r\n"), t.sent == 0 ? 1 : 0);
    deregister(client);
    expectNothingLeft();
}
INSTANTIATE_TEST_SUITE_P(
    SerialMgr, Registration,
    ::testing::Values(Target{99, 1, true, nullptr, 3},
                      Target{24, 0, false, "SERIALMGR_RegisterClient: Invalid devID=24, client=6\r\n", 0},
                      Target{SERIAL_DEVICE_NULL, 0, true, "SERIALMGR_RegisterClient: setting up NULL device\r\n", 0}),
    [](const auto& p) { return "Dev" + std::to_string(p.param.devID) + (p.param.useDefault ? "Default" : ""); });

TEST_F(SerialMgrTest, CurrentAtHandleIsClientOneOnTheLowestDevice) {
    installFake(8);
    installFake(9);
    SerialMgrClientInfo* other = registerIdle(kDev, 2);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), nullptr);
    SerialMgrClientInfo* high = registerIdle(9, 1);
    SerialMgrClientInfo* low = registerIdle(8, 1);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), low);
    deregister(low);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), high);
    deregister(high);
    deregister(other);
}

// Sends that take no unit (skipSendLock) are drained, so none touches the freed record.
TEST_F(SerialMgrTest, DeregistrationReturnsOnlyWhenTheLastSendInFlightHasLeft) {
    static std::atomic<int> inside{0}, released{0};
    AT_STUBS_RegisterCallbacks([](UInt32, const UInt8*, UInt32 len) {
        const int me = ++inside;
        attest::waitUntil([me] { return released.load() >= me; }, std::chrono::seconds(30));
        return static_cast<Int32>(len);
    }, nullptr);
    const SerialMgrClientParams p = params(SERIAL_DEVICE_SOCKET);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
    client->skipSendLock = 1;
    attest::Background first([client] { SERIALMGR_SendData(client, kData, 2, 1); });
    attest::Background second([client] { SERIALMGR_SendData(client, kData, 2, 1); });
    ASSERT_TRUE(attest::waitUntil([] { return inside.load() == 2; }));
    attest::Background deregistration([client] { SERIALMGR_DeRegisterClient(client); });
    for (int leaving = 1; leaving <= 2; ++leaving) {
        EXPECT_FALSE(attest::waitUntil([&] { return deregistration.done(); }, std::chrono::milliseconds(100)))
            << leaving - 1 << " of 2 sends have left";
        released = leaving;
    }
    EXPECT_TRUE(deregistration.finish());
}

// A host driver's wait cannot take the stop signal atomically: the deregistration sends it again.
TEST_F(SerialMgrTest, DeregistrationEndsAReadWhoseWaitBeganAfterTheFirstSignal) {
    SerialMgrClientInfo* client = registerIdle();
    fake::with(kDev, [](fake::Device& d) {
        d.closeWakes = false;
        d.beforeWait = [] {  // the signal is taken here, before the wait, which then would not see it
            sigset_t usr2, pending;
            sigemptyset(&usr2);
            sigaddset(&usr2, SIGUSR2);
            pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
            attest::waitUntil([&] { return sigpending(&pending) == 0 && sigismember(&pending, SIGUSR2) == 1; });
            pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
        };
    });
    fake::push(kDev, "x");  // the next read waits for the signal before it polls
    ASSERT_TRUE(wait([&] { return blocks.size() == 1; }));
    deregister(client);
}

}  // namespace
