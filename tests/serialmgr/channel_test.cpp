// The serial manager on an in-process channel (device 18), whose far end is
// the host's callback pair.
#include <mutex>
#include <vector>

#include "fixture.h"
#include "socket_read_stages.h"
#include "stubs/other_stubs.h"

namespace {

std::mutex g_lock;
std::vector<UInt32> g_devIds;
std::vector<UInt8> g_sent;
std::atomic<int> g_readyAsked{0};

Int32 hostSend(UInt32 devId, const UInt8* data, UInt32 len) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_devIds.push_back(devId);
    g_sent.insert(g_sent.end(), data, data + len);
    return static_cast<Int32>(len);
}

Int32 hostReady() {
    ++g_readyAsked;
    return 1;
}

// The reader stores rxInLoop before its first read; a deregistration that
// comes before the read leaves the channel's mutex for the next open. Tests
// that expect every semaphore back wait until the read holds the mutex: from
// then on the read itself destroys it.
std::atomic<bool> g_readHoldsMutex{false};

void readHoldsMutex(UInt32, int stage) {
    if (stage == 1) g_readHoldsMutex = true;
}

using Channel = SerialMgrTest;

TEST_F(Channel, OneAtCommandAndItsReplyThroughTheHostCallbacks) {
    AT_STUBS_RegisterCallbacks(hostSend, hostReady);
    socketstages::onStage = readHoldsMutex;
    attest::ClientRecorder rec;
    SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_SOCKET, 1);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=18, BEGIN\r\n"));
    ASSERT_TRUE(attest::waitUntil([] { return g_readHoldsMutex.load(); }));
    EXPECT_EQ(g_readyAsked.load(), 1);
    EXPECT_EQ(SERIALMGR_GetCurrentATSerialMgrHandle(), client);

    // The channel's read never yields data: the host hands "AT\r" to the
    // client itself, and the client answers through the channel.
    const UInt8 reply[] = "\r\nOK\r\n";
    rec.onData = [&](SerialMgrClientInfo* c, const UInt8*, UInt32 length) {
        EXPECT_EQ(length, 3u);
        EXPECT_EQ(SERIALMGR_SendData(c, reply, 6, 1), 6);
    };
    UInt8 command[3] = {'A', 'T', '\r'};
    client->params.dataCb(client, client->params.userData, command, 3);
    ASSERT_EQ(rec.blockCount(), 1u);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        EXPECT_EQ(g_sent, std::vector<UInt8>(reply, reply + 6));
        EXPECT_EQ(g_devIds, std::vector<UInt32>{SERIAL_DEVICE_SOCKET});
    }
    // Non-blocking sends hand over the callback's result.
    EXPECT_EQ(SERIALMGR_SendData(client, reply, 2, 0), 2);

    // Closing the channel ends its parked read; the reader ends.
    deregisterAndCheck(client);
    EXPECT_TRUE(log.has(kInfo, "SERIALMGR_RX_Entry: devID=18, END\r\n"));
    EXPECT_TRUE(log.has(kInfo, "KOVA_SOCKET_Read[0]: exiting read\n"));
    EXPECT_EQ(rec.eventCount(), 1u);
    socketstages::onStage = nullptr;
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
}

}  // namespace
