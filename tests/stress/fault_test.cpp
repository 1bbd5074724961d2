// A device that fails in the middle of traffic: its reader tells the client
// once with event 11 and ends, everything read before the failure has been
// delivered, and the client can deregister and register again on the same
// device, after which data flows as before. The failures: a driver read
// error (fake driver), a pty whose far end is closed (UART and USB tty), and
// a UDP channel whose Rx descriptor stops being a socket.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "../serialmgr/fixture.h"
#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "tty_harness.h"

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

std::vector<UInt8> pattern(size_t n, UInt8 seed) {
    std::vector<UInt8> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<UInt8>(seed + i * 13);
    return v;
}

bool writeAll(int fd, const std::vector<UInt8>& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// ---- UDP: the Rx descriptor stops being a socket under the reader ----
//
// How the error is forced: /dev/null is put over the channel's Rx descriptor
// number with dup2, behind the driver's back. The number stays the one the
// driver knows and its generation does not change, so the driver takes it
// for its own; the next wait finds it readable at once and the receive fails
// with ENOTSOCK, a fatal receive error. (Closing the socket instead would
// leave a reader that waits in select on it waiting for ever: a close does
// not wake select.) A reader already waiting on the old socket when the dup2
// lands still holds that socket's file, so one more datagram is sent to wake
// it; its receive then meets /dev/null. The channel's close later closes the
// copy of /dev/null like any Rx descriptor.
TEST_F(DeviceFault, UdpSocketErrorEndsTheReaderOnceAndTheClientComesBack) {
    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender, 0);
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    {
        // A port that is free now; the channel binds it at each open.
        const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(probe, reinterpret_cast<struct sockaddr*>(&to), sizeof to), 0);
        socklen_t len = sizeof to;
        ASSERT_EQ(getsockname(probe, reinterpret_cast<struct sockaddr*>(&to), &len), 0);
        close(probe);
    }
    RndisConfig cfg;
    for (auto& e : cfg.entry) e = {-1, -1};
    cfg.entry[SERIAL_DEVICE_RNDIS2 - SERIAL_DEVICE_RNDIS] = {9, ntohs(to.sin_port)};
    RNDIS_SetRndisConfig(&cfg);
    auto sendDatagram = [&](const std::vector<UInt8>& d) {
        return sendto(sender, d.data(), d.size(), 0, reinterpret_cast<const struct sockaddr*>(&to), sizeof to);
    };
    auto registerUdp = [&](attest::ClientRecorder& rec) {
        SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_RNDIS2, 1);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        EXPECT_NE(client, nullptr) << log.dump();
        EXPECT_TRUE(attest::waitUntil([] { return gDevList[SERIAL_DEVICE_RNDIS2].rxInLoop.load() == 1; }));
        return client;
    };

    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerUdp(rec);
    ASSERT_NE(client, nullptr);
    std::vector<std::vector<UInt8>> sent;
    for (size_t i = 0; i < 12; ++i) {
        sent.push_back(pattern(1 + i * 90, static_cast<UInt8>(i)));
        ASSERT_EQ(sendDatagram(sent.back()), static_cast<ssize_t>(sent.back().size()));
    }
    ASSERT_TRUE(rec.waitBlocks(sent.size())) << log.dump();

    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devNull, 0);
    // Read whole, as the driver does: the reader's clean-up clears the field later.
    const int rx = __atomic_load_n(&s_rndis_channel[SERIAL_DEVICE_RNDIS2 - SERIAL_DEVICE_RNDIS].RxSd, __ATOMIC_SEQ_CST);
    ASSERT_GT(rx, 0);
    {
        // Swapped under the driver's Rx lock, as a close would be, so that the
        // reader's later close of this number is ordered after the swap.
        std::lock_guard<std::mutex> guard(s_rndis_rx_lock[SERIAL_DEVICE_RNDIS2 - SERIAL_DEVICE_RNDIS]);
        ASSERT_EQ(dup2(devNull, rx), rx);
    }
    close(devNull);
    (void)sendDatagram(pattern(5, 0xEE));  // wakes a wait on the old socket; never delivered

    ASSERT_TRUE(rec.waitEvents(1)) << log.dump();
    EXPECT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=15, END\r\n")) << log.dump();
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        EXPECT_EQ(rec.blocks, sent);
        EXPECT_EQ(rec.events, std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR});
    }
    EXPECT_TRUE(log.has(kError, "Could not receive datagram (errno 88).\n")) << log.dump();
    EXPECT_TRUE(log.has(kError, "SERIALMGR_RX_Entry: devID=15, blockdatasize == 0, errno 88 (" +
                                    std::string(strerror(ENOTSOCK)) + ")\r\n"));
    UInt8 reply[3] = {'O', 'K', '\r'};
    EXPECT_TRUE(attest::finishesWithin([&] { SERIALMGR_SendData(client, reply, 3, 1); }, std::chrono::seconds(5)));
    ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); })) << log.dump();
    EXPECT_EQ(rec.events, (std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR, SERIALMGR_EVENT_DEREGISTERED}));

    // The port is free again: a new registration binds it and receives.
    attest::ClientRecorder again;
    SerialMgrClientInfo* second = registerUdp(again);
    ASSERT_NE(second, nullptr);
    const std::vector<UInt8> at = {'A', 'T', '\r'};
    ASSERT_TRUE(attest::waitUntil([&] {
        // Until the reader waits, a datagram may come before the bind; send
        // again until one arrives.
        if (again.blockCount() == 0) (void)sendDatagram(at);
        return again.waitBlocks(1, std::chrono::milliseconds(20));
    }));
    EXPECT_EQ(again.blocks.front(), at);
    ASSERT_TRUE(attest::finishesWithin([second] { SERIALMGR_DeRegisterClient(second); })) << log.dump();
    EXPECT_EQ(again.events, std::vector<UInt32>{SERIALMGR_EVENT_DEREGISTERED});
    close(sender);
    expectNothingLeft();
}

// ---- ttys: the far end of the pty is closed under the reader ----

// A pty of the test's own, bound over a device path, so that the test can
// close its master (the harness keeps its own ptys for the whole test).
struct OwnPty {
    int master = -1;
    int slave = -1;  // kept open, so that the settings survive the driver's closes
    std::string name;
    bool open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        char buf[128];
        if (ptsname_r(master, buf, sizeof buf) != 0) return false;
        name = buf;
        slave = ::open(buf, O_RDWR | O_NOCTTY | O_CLOEXEC);
        return slave >= 0;
    }
    void closeMaster() {
        if (master >= 0) close(master);
        master = -1;
    }
    ~OwnPty() {
        closeMaster();
        if (slave >= 0) close(slave);
    }
};

class TtyFault : public attest::TtyHarnessTest {
protected:
    void SetUp() override {
        ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
        attest::TtyHarnessTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(tty.setCmdline("console=ttyS1\n"));
        ASSERT_EQ(SERIALMGR_Init(), 1);
        std::thread([] {}).join();  // sanitizer helper threads start now
        start = attest::snapshot();
    }
    SerialMgrClientInfo* registerOn(attest::ClientRecorder& rec, UInt32 devID) {
        SerialMgrClientParams params = attest::makeParams(rec, devID, 1);
        SerialMgrClientInfo* client = nullptr;
        EXPECT_TRUE(attest::finishesWithin([&] { client = SERIALMGR_RegisterClient(&params); }));
        EXPECT_NE(client, nullptr) << log.dump();
        EXPECT_TRUE(attest::waitUntil([devID] { return gDevList[devID].rxInLoop.load() == 1; }));
        return client;
    }
    attest::LogCapture log;
    attest::Resources start{};
};

TEST_F(TtyFault, HangUpEndsTheReaderOnceAndTheClientComesBack) {
    const struct {
        UInt32 devID;
        const char* path;
    } cases[] = {{SERIAL_DEVICE_UART_B, "/dev/ttyS1"}, {SERIAL_DEVICE_USB, "/dev/ttyGS0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        log.clear();
        OwnPty first;
        ASSERT_TRUE(first.open());
        ASSERT_TRUE(tty.bindOver(first.name, c.path));
        attest::ClientRecorder rec;
        SerialMgrClientInfo* client = registerOn(rec, c.devID);
        ASSERT_NE(client, nullptr);

        const std::vector<UInt8> before = pattern(300, 1);
        ASSERT_TRUE(writeAll(first.master, before));
        ASSERT_TRUE(attest::waitUntil([&] { return rec.allBytes().size() >= before.size(); })) << log.dump();
        EXPECT_EQ(rec.allBytes(), before);
        // More traffic, and the far end goes away right behind it.
        const std::vector<UInt8> last = pattern(200, 2);
        ASSERT_TRUE(writeAll(first.master, last));
        first.closeMaster();

        ASSERT_TRUE(rec.waitEvents(1)) << log.dump();
        ASSERT_TRUE(log.waitFor(kInfo, "SERIALMGR_RX_Entry: devID=" + std::to_string(c.devID) + ", END\r\n"));
        // Everything delivered is what was sent, in order: the first part
        // whole, then any part of the last.
        std::vector<UInt8> all = before;
        all.insert(all.end(), last.begin(), last.end());
        const std::vector<UInt8> got = rec.allBytes();
        ASSERT_GE(got.size(), before.size());
        ASSERT_LE(got.size(), all.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
        EXPECT_TRUE(log.has(kError, "SERIALMGR_RX_Entry: devID=" + std::to_string(c.devID) +
                                        ", blockdatasize == 0, errno 5 (" + strerror(EIO) + ")\r\n"))
            << log.dump();
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); })) << log.dump();
        EXPECT_EQ(rec.events, (std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR, SERIALMGR_EVENT_DEREGISTERED}));

        // A new far end at the same path: the client registers again.
        OwnPty second;
        ASSERT_TRUE(second.open());
        ASSERT_TRUE(tty.bindOver(second.name, c.path));
        attest::ClientRecorder again;
        SerialMgrClientInfo* next = registerOn(again, c.devID);
        ASSERT_NE(next, nullptr);
        const std::vector<UInt8> at = {'A', 'T', '\r'};
        ASSERT_TRUE(writeAll(second.master, at));
        ASSERT_TRUE(again.waitBlocks(1)) << log.dump();
        EXPECT_EQ(again.allBytes(), at);
        ASSERT_TRUE(attest::finishesWithin([next] { SERIALMGR_DeRegisterClient(next); })) << log.dump();
        EXPECT_EQ(again.events, std::vector<UInt32>{SERIALMGR_EVENT_DEREGISTERED});
    }
    EXPECT_TRUE(attest::waitResourcesBack(start))
        << "start: " << start.describe() << "\nnow:   " << attest::snapshot().describe();
}

}  // namespace
