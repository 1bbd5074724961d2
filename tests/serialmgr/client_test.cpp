// Registration, sending and deregistration seen from a client.
#include <string>
#include <thread>

#include "fixture.h"

namespace {

using Client = SerialMgrTest;

TEST_F(Client, NullDeviceOpensNothingAndCannotSend) {
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_NULL, 1);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: setting up NULL device\r\n"));
    EXPECT_EQ(OSTASK_GetLiveCount(), start.tasks);  // no reader
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(client), -1);
    EXPECT_EQ(SERIALMGR_GetDeviceID(client), SERIAL_DEVICE_NULL);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), client);

    const UInt8 data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 5, 1), 0);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail!! ( DTR Received ) devID=23, client=1 len=5 \r\n"));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SendData: devID=23, client=1 buf=" + addressText(data) +
                                   " len=5 lenSent=0 block=1 state=1\r\n"))
        << log.dump();
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 1), 1);
    EXPECT_EQ(SERIALMGR_SetFlowControl(client, 0), 1);

    ASSERT_TRUE(attest::finishesWithin([client] { EXPECT_EQ(SERIALMGR_DeRegisterClient(client), 1); }));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Shutdown: devID=23\r\n"));
    EXPECT_EQ(rec.eventCount(), 1u);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), nullptr);
    expectNothingLeft();
}

TEST_F(Client, TheAtClientIsFoundOnTheLowestDevice) {
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), nullptr);
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

TEST_F(Client, SecondRegistrationReplacesTheCurrentClient) {
    attest::ClientRecorder first, second;
    SerialMgrClientInfo* a = registerIdle(first, kDev, 1);
    const UInt32 tasks = OSTASK_GetLiveCount();
    SerialMgrClientParams params = attest::makeParams(second, kDev, 2);
    SerialMgrClientInfo* b = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(a, b);
    EXPECT_EQ(OSTASK_GetLiveCount(), tasks);  // no second reader
    EXPECT_EQ(fake::openCount(kDev), 1);

    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(second.waitBlocks(1));
    EXPECT_EQ(first.blockCount(), 0u);
    // The first record still sends.
    const UInt8 data[2] = {'h', 'i'};
    EXPECT_EQ(SERIALMGR_SendData(a, data, 2, 1), 2);
    EXPECT_EQ(SERIALMGR_SendData(b, data, 2, 0), 2);
    EXPECT_EQ(fake::writes(kDev).size(), 2u);

    // Deregistering the older client stops the device for both; the newer
    // record stays allocated until it deregisters too.
    ASSERT_TRUE(attest::finishesWithin([a] { SERIALMGR_DeRegisterClient(a); }));
    EXPECT_FALSE(fake::isOpen(kDev));
    EXPECT_EQ(SERIALMGR_SendData(b, data, 2, 1), 0);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail!! ( DTR Received ) devID=7, client=2 len=2 \r\n"));
    deregisterAndCheck(b);
    EXPECT_EQ(first.eventCount(), 1u);
    EXPECT_EQ(second.eventCount(), 1u);
}

TEST_F(Client, FailedOpenLeavesTheDeviceClosedForARetry) {
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
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(fake::openCount(kDev), 3);
    ASSERT_TRUE(fake::waitIdle(kDev));
    deregisterAndCheck(client);
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
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].buf, data + 100 * i);
        EXPECT_EQ(calls[i].len, 300 - 100 * i);
    }
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

TEST_F(Client, BlockingSendWithoutProgressEndsWhenADeregistrationWaits) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    fake::setWriteLimit(kDev, 0);  // the device takes nothing
    UInt8 data[64] = {};
    std::atomic<Int32> sent{-1};
    std::thread sender([&] { sent = SERIALMGR_SendData(client, data, 64, 1); });
    ASSERT_TRUE(attest::waitUntil([] { return fake::writes(kDev).size() >= 2; }));
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); })) << log.dump();
    sender.join();
    EXPECT_EQ(sent.load(), 0);
    EXPECT_EQ(rec.eventCount(), 1u);
    expectNothingLeft();
}

TEST_F(Client, BlockingSendWithoutLockStopsWhenTxReadyIsCleared) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    client->skipSendLock = 1;  // the send holds no unit; the deregistration goes ahead
    fake::pushWriteResult(kDev, 10);
    fake::pushWriteResult(kDev, 10);
    fake::setWriteLimit(kDev, 0);
    UInt8 data[64] = {};
    std::atomic<Int32> sent{-1};
    std::thread sender([&] { sent = SERIALMGR_SendData(client, data, 64, 1); });
    ASSERT_TRUE(attest::waitUntil([] { return fake::writes(kDev).size() >= 3; }));
    // The record must outlive the send: stop the device as the deregistration
    // does, then let the send see it.
    ASSERT_TRUE(attest::finishesWithin([] { SERIALMGR_RX_Shutdown(kDev); }));
    sender.join();
    EXPECT_EQ(sent.load(), 20);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail!! ( DTR Received ) devID=7, client=1 len=64 \r\n"));
    deregisterAndCheck(client);
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
        static const UInt8 ok[] = "OK";
        replied = SERIALMGR_SendData(c, ok, 2, 1);
    };
    fake::pushText(kDev, "AT\r");
    ASSERT_TRUE(attest::waitUntil([&] { return inCallback.load(); }));
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); })) << log.dump();
    EXPECT_EQ(replied.load(), 2);
    EXPECT_EQ(fake::writtenBytes(kDev), (std::vector<UInt8>{'O', 'K'}));
    expectNothingLeft();
}

}  // namespace
