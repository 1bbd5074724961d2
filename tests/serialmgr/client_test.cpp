// Registration, sending, flow control and deregistration seen from a client.
#include <errno.h>

#include <string>
#include <thread>

#include "fixture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi_internal.h"

namespace {

using Client = SerialMgrTest;

std::string pointerText(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

TEST_F(Client, NullDeviceOpensNothingAndCannotSend) {
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_NULL, 1);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: setting up NULL device\r\n"));
    EXPECT_EQ(client->devID, SERIAL_DEVICE_NULL);
    EXPECT_EQ(client->sig, SERIALMGR_CLIENT_SIG);
    EXPECT_EQ(client->state, 1u);
    EXPECT_EQ(client->params.spare, 0x5A5A5A5Au);
    EXPECT_EQ(OSTASK_GetLiveCount(), start.tasks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), start.sems);
    EXPECT_EQ(gDevList[SERIAL_DEVICE_NULL].devBufHandle.load(), -1);
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(client), -1);
    EXPECT_EQ(SERIALMGR_GetDeviceID(client), SERIAL_DEVICE_NULL);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), client);

    const UInt8 data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(SERIALMGR_SendData(client, data, 5, 1), 0);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail!! ( DTR Received ) devID=23, client=1 len=5 \r\n"));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SendData: devID=23, client=1 buf=" + pointerText(data) +
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

TEST_F(Client, AccessorsFindTheAtClientOnTheLowestDevice) {
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), nullptr);
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(nullptr), -1);
    fake::install(12);
    fake::install(6);
    start = attest::snapshot();
    attest::ClientRecorder r12, r6, r9;
    SerialMgrClientInfo* on12 = registerIdle(r12, 12, 1);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), on12);
    SerialMgrClientInfo* other = registerIdle(r9, kDev, 2);  // not the AT client
    SerialMgrClientInfo* on6 = registerIdle(r6, 6, 1);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), on6);
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(on6), gDevList[6].devBufHandle.load());
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
    const UInt32 sems = OSSEMAPHORE_GetLiveCount();
    SerialMgrClientParams params = attest::makeParams(second, kDev, 2);
    SerialMgrClientInfo* b = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(a, b);
    EXPECT_EQ(gDevList[kDev].currentClient.load(), b);
    EXPECT_EQ(OSTASK_GetLiveCount(), tasks);  // no second reader
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
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
    EXPECT_EQ(gDevList[kDev].currentClient.load(), nullptr);
    EXPECT_FALSE(fake::isOpen(kDev));
    EXPECT_EQ(b->sig, SERIALMGR_CLIENT_SIG);
    EXPECT_EQ(SERIALMGR_SendData(b, data, 2, 1), 0);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail!! ( DTR Received ) devID=7, client=2 len=2 \r\n"));
    deregisterAndCheck(b);
    EXPECT_EQ(first.eventCount(), 1u);
    EXPECT_EQ(second.eventCount(), 1u);
}

TEST_F(Client, FailedOpenLeavesTheDeviceClosedForARetry) {
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, kDev, 5);
    fake::setOpenResult(kDev, 0);  // the device layer turns this into 0x9999
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: Open Failed devID=7, client=5\r\n"));
    EXPECT_EQ(gDevList[kDev].devBufHandle.load(), -1);
    expectNothingLeft();
    fake::setOpenResult(kDev, 2);  // -1 from the device layer
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    EXPECT_EQ(log.count(kError, "SERIALMGR_RegisterClient: Open Failed devID=7, client=5\r\n"), 2);
    expectNothingLeft();
    // An unregistered device fails the same way.
    params.devID = 3;
    EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
    expectNothingLeft();

    fake::setOpenResult(kDev, 1);
    params.devID = kDev;
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(fake::openCount(kDev), 3);
    ASSERT_TRUE(fake::waitIdle(kDev));
    deregisterAndCheck(client);
}

TEST_F(Client, RegistrationAfterAReadErrorNeedsADeregistrationFirst) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    fake::pushResult(kDev, 0, EIO);
    ASSERT_TRUE(rec.waitEvents(1));
    ASSERT_TRUE(attest::waitUntil([] { return gDevList[kDev].devBufHandle.load() == -1; }));
    attest::ClientRecorder other;
    SerialMgrClientParams params = attest::makeParams(other, kDev, 2);
    EXPECT_DEATH(SERIALMGR_RegisterClient(&params), "gDevList\\[inDevID\\].currentClient == NULL");
    deregisterAndCheck(client);
    // Once deregistered, the device opens again.
    SerialMgrClientInfo* again = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(fake::waitIdle(kDev));
    deregisterAndCheck(again);
}

TEST_F(Client, SendModesAndResults) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec, kDev, 6);
    UInt8 data[300];
    for (int i = 0; i < 300; ++i) data[i] = static_cast<UInt8>(i);

    // Blocking with len 0 writes nothing; non-blocking writes once with 0.
    EXPECT_EQ(SERIALMGR_SendData(client, data, 0, 1), 0);
    EXPECT_TRUE(fake::writes(kDev).empty());
    EXPECT_EQ(SERIALMGR_SendData(client, data, 0, 0), 0);
    ASSERT_EQ(fake::writes(kDev).size(), 1u);
    EXPECT_EQ(fake::writes(kDev)[0].len, 0);

    // Passes of 100 bytes: the writes start at buf, buf+100, buf+200.
    fake::install(kDev);  // clears the record of writes, keeps the open device
    fake::setWriteLimit(kDev, 100);
    log.clear();
    EXPECT_EQ(SERIALMGR_SendData(client, data, 300, 1), 300);
    auto calls = fake::writes(kDev);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].buf, data);
    EXPECT_EQ(calls[1].buf, data + 100);
    EXPECT_EQ(calls[2].buf, data + 200);
    EXPECT_EQ(calls[0].len, 300);
    EXPECT_EQ(calls[1].len, 200);
    EXPECT_EQ(calls[2].len, 100);
    EXPECT_EQ(fake::writtenBytes(kDev), std::vector<UInt8>(data, data + 300));
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_SendData: devID=7, client=6 buf=" + pointerText(data) +
                                   " len=300 lenSent=300 block=1 state=1\r\n"));

    // Non-blocking: one write, its result unchanged, also a failure.
    fake::install(kDev);
    fake::setWriteLimit(kDev, 100);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 300, 0), 100);
    fake::pushWriteResult(kDev, 0xFFFF);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 300, 0), 0xFFFF);

    // Blocking: a failed write ends the send with what was written.
    fake::install(kDev);
    fake::pushWriteResult(kDev, 100);
    fake::pushWriteResult(kDev, 0xFFFF);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 300, 1), 100);
    EXPECT_EQ(fake::writes(kDev).size(), 2u);
    // A result above what was still to send is no count either.
    fake::install(kDev);
    fake::pushWriteResult(kDev, 100);
    fake::pushWriteResult(kDev, 250);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 300, 1), 100);
    EXPECT_EQ(fake::writes(kDev).size(), 2u);
    // Short writes of 0 are retried.
    fake::install(kDev);
    fake::pushWriteResult(kDev, 0);
    fake::pushWriteResult(kDev, 0);
    EXPECT_EQ(SERIALMGR_SendData(client, data, 50, 1), 50);
    EXPECT_EQ(fake::writes(kDev).size(), 3u);
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
    fake::setWriteLimit(kDev, 10);
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

TEST_F(Client, EventCallbackSeesStateZeroAndTheRecordIsFreed) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    const UInt32 heapWithClient = dbHEAP_GetLiveBlocks();
    deregisterAndCheck(client);
    EXPECT_LT(dbHEAP_GetLiveBlocks(), heapWithClient);
    std::lock_guard<std::mutex> guard(rec.lock);
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0], SERIALMGR_EVENT_DEREGISTERED);
    EXPECT_EQ(rec.stateAtEvent[0], 0u);
    EXPECT_EQ(log.count(kInfo, "SERIALMGR_DeRegisterClient: " + pointerText(client) + ", exiting\n"), 1);
}

}  // namespace

namespace {

TEST_F(Client, ReplyFromDataCbWhileADeregistrationTakesTheLock) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    const OSSemaphore useSem = gDevList[kDev].useSem.load();
    std::atomic<bool> inCallback{false};
    std::atomic<Int32> replied{-1};
    rec.onData = [&](SerialMgrClientInfo* c, const UInt8*, UInt32) {
        inCallback = true;
        // Wait until the deregistration holds every unit but the reader's.
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
