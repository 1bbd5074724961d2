// A device that fails in the middle of traffic: its reader tells the client
// once with event 11 and ends, everything read before the failure has been
// delivered, and the client can deregister and register again on the same
// device, after which data flows as before.
#include <errno.h>

#include "../serialmgr/fixture.h"

namespace {

using DeviceFault = SerialMgrTest;

TEST_F(DeviceFault, ReadErrorEndsTheReaderOnceAndTheClientComesBack) {
    for (int err : {EIO, EBADF, ENODEV}) {
        SCOPED_TRACE(err);
        attest::ClientRecorder rec;
        SerialMgrClientInfo* client = registerIdle(rec);
        ASSERT_NE(client, nullptr);
        std::vector<UInt8> sent;
        for (int i = 0; i < 20; ++i) {
            std::vector<UInt8> block(1 + static_cast<size_t>(i) * 70, static_cast<UInt8>(i));
            sent.insert(sent.end(), block.begin(), block.end());
            fake::pushBytes(kDev, block);
        }
        fake::pushResult(kDev, 0, err);
        fake::pushBytes(kDev, {0xEE, 0xEE});  // after the failure: never read
        ASSERT_TRUE(rec.waitEvents(1));
        EXPECT_EQ(rec.allBytes(), sent);
        EXPECT_EQ(rec.events, std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR});
        // A send to the failed device must not hang.
        UInt8 reply[3] = {'O', 'K', '\r'};
        EXPECT_TRUE(attest::finishesWithin([&] { SERIALMGR_SendData(client, reply, 3, 1); },
                                           std::chrono::seconds(5)));
        deregisterAndCheck(client);
        EXPECT_EQ(rec.events, (std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR, SERIALMGR_EVENT_DEREGISTERED}));

        fake::install(kDev);
        attest::ClientRecorder again;
        SerialMgrClientInfo* second = registerIdle(again);
        ASSERT_NE(second, nullptr);
        fake::pushText(kDev, "AT\r");
        ASSERT_TRUE(again.waitBlocks(1));
        EXPECT_EQ(again.allBytes(), (std::vector<UInt8>{'A', 'T', '\r'}));
        deregisterAndCheck(second);
        fake::install(kDev);
    }
}

}  // namespace
