// The drivers that need no pseudo-terminal (tty_test.cpp has what the reading drivers share).
#include <android/log.h>
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstring>

#include "drivers/rndis_drv_internal.h"
#include "drivers/socket_drv.h"
#include "drivers/uart_x_drv.h"
#include "drivers/usb_control_pipe.h"
#include "log_capture.h"
#include "serialapi/serialapi.h"
#include "stubs/other_stubs.h"
#include "serialmgr_harness.h"

namespace {

using testing::ElementsAre;
using testing::Pair;
constexpr int I = ANDROID_LOG_INFO, E = ANDROID_LOG_ERROR;

int portOf(int sd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(sd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// A UDP socket of the test, bound to host at port (0: the system picks).
struct TestSocket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    explicit TestSocket(const char* host = "127.0.0.1", int port = 0) {
        sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
        inet_pton(AF_INET, host, &addr.sin_addr);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr)) << host << ":" << port;
    }
    ~TestSocket() { close(fd); }
    void send(int port, const std::string& data) const {
        const sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const auto* addr = reinterpret_cast<const sockaddr*>(&to);
        ASSERT_EQ(ssize_t(data.size()), sendto(fd, data.data(), data.size(), 0, addr, sizeof to));
    }
    // One datagram, waiting at most waitMs; "<none>" when nothing came.
    std::string receive(int waitMs = 10000) const {
        pollfd p{fd, POLLIN, 0};
        std::string data(70000, '\0');
        const ssize_t n = poll(&p, 1, waitMs) == 1 ? recv(fd, data.data(), data.size(), MSG_DONTWAIT) : -1;
        return n < 0 ? "<none>" : data.substr(0, size_t(n));
    }
};

UInt16 writeText(const std::string& text) {
    return RNDIS_Write(SERIAL_DEVICE_RNDIS2, reinterpret_cast<const UInt8*>(text.data()), UInt16(text.size()));
}
const auto kRead = Pair(I, "RNDIS_Read\n"), kWrite = Pair(I, "RNDIS_Write\n");

// Device 15 open on a port of the system's choosing (rxPort), answering at the port of `replies`.
class UdpChannel : public testing::Test {
protected:
    void SetUp() override {
        RndisConfig config{{{-1, -1}, {portOf(replies.fd), 0}, {-1, -1}, {-1, -1}}};  // {Tx, Rx}
        RNDIS_SetRndisConfig(&config);
        ASSERT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS2, 0));
        rxPort = portOf(s_rndis_channel[1].RxSd);
        log.clear();
    }
    void TearDown() override { RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS2); }
    TestSocket replies, client;
    int rxPort = 0;
    UInt8 buf[8] = {};
    attest::LogCapture log;
};

// Never at the source port; nothing is sent before the first command; replies of 1000 bytes and more warn.
TEST_F(UdpChannel, RepliesGoToTheHostOfTheLatestCommandAtTheTxPort) {
    EXPECT_EQ(65535, writeText("OK"));
    client.send(rxPort, "AT\r");
    ASSERT_EQ(3, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(4, writeText("OK\r\n"));
    EXPECT_EQ("OK\r\n", replies.receive());
    EXPECT_EQ("<none>", client.receive(0));
    // The next command comes from 127.0.0.2 (loopback has all of 127/8).
    TestSocket second("127.0.0.2"), repliesThere("127.0.0.2", portOf(replies.fd));
    second.send(rxPort, "AT");
    ASSERT_EQ(2, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(1000, writeText(std::string(1000, 'b')));
    EXPECT_EQ(std::string(1000, 'b'), repliesThere.receive());
    EXPECT_EQ("<none>", replies.receive(0));
    EXPECT_EQ(65535, writeText(std::string(0xFFFF, 'x')));  // more than a datagram takes: the sender's -1
    EXPECT_EQ(2, log.count(I, "RNDIS_Write() Warning: string longer than maximum buffer length\n"));
}

// Cut to the buffer (the rest is gone), zeros after it; 0 with EAGAIN makes the reader go round, not end.
TEST_F(UdpChannel, AReadHandsUpOneDatagramAndAnEmptyOneAsNoDataNow) {
    for (const char* datagram : {"AT+X=0123456789", "", "AT"}) client.send(rxPort, datagram);
    ASSERT_EQ(8, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    errno = 0;
    EXPECT_EQ(0, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(EAGAIN, errno);
    ASSERT_EQ(2, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(0, std::memcmp(buf, "AT\0\0\0\0\0\0", 8));
    EXPECT_EQ(65535, rndisReceiveFailure(EMSGSIZE));  // the reader goes round
    EXPECT_EQ(0, rndisReceiveFailure(EIO));           // the reader ends
}

// A closed channel is a row of DriverProps.
TEST_F(UdpChannel, WritesOfNothingAndOtherIdsFail) {
    EXPECT_EQ(0, RNDIS_Write(SERIAL_DEVICE_RNDIS2, nullptr, 3));
    EXPECT_EQ(0, RNDIS_Read(5, buf, 8));
    EXPECT_EQ(0, RNDIS_GetRawInfo(SERIAL_DEVICE_SOCKET, nullptr, nullptr, nullptr, nullptr));
    EXPECT_THAT(attest::linesOf(log),
                ElementsAre(kWrite, Pair(I, "RNDIS_Write() Null string passed in\n"), kRead,
                            Pair(E, "Invalid RNDIS device index: -9\n"), Pair(I, "RNDIS_GetRawInfo\n"),
                            Pair(E, "Invalid RNDIS device index: 4\n")));
}

// 0: the system picks one at the bind.
TEST(RndisDrv, ConfigurationStoresPortsOfZeroOrMoreAndKeepsNegativeOnes) {
    for (const auto& [tx, rx, wantTx, wantRx] : {std::tuple(7, 6001, 7, 6001), {-1, 0, 7, 0}, {0, -5, 0, 0}}) {
        const RndisConfig config{{{-1, -1}, {-1, -1}, {-1, -1}, {tx, rx}}};  // the row of device 17
        RNDIS_SetRndisConfig(&config);
        EXPECT_EQ(wantTx, s_rndis_channel[3].TxPort) << tx;
        EXPECT_EQ(wantRx, s_rndis_channel[3].RxPort) << rx;
    }
    attest::LogCapture log;
    RNDIS_SetRndisConfig(nullptr);
    EXPECT_THAT(attest::linesOf(log), ElementsAre(Pair(E, "RNDIS_SetRndisConfig: RndisConfig=NULL?\n")));
}

// A bind refused (the port is taken), or a Tx socket refused (room for one more descriptor) after the Rx one.
TEST(RndisDrv, FailedOpenClosesWhatItMade) {
    TestSocket holder;
    RndisConfig config{{{1, portOf(holder.fd)}, {-1, -1}, {-1, -1}, {0, 0}}};  // {Tx, Rx}
    RNDIS_SetRndisConfig(&config);
    const int lowestFree = dup(0);
    close(lowestFree);
    attest::LogCapture log;
    EXPECT_EQ(0, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    EXPECT_EQ(-1, fcntl(lowestFree, F_GETFD));
    rlimit saved{}, tight{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    tight = {static_cast<rlim_t>(lowestFree + 1), saved.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
    const Int32 result = RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS4, 0);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(0, result);
    EXPECT_EQ(-1, fcntl(lowestFree, F_GETFD));
    const std::string inUse = std::string(std::strerror(EADDRINUSE)) + " (" + std::to_string(EADDRINUSE) + ")\n";
    EXPECT_TRUE(log.has(E, "\nError: Could not connect to host. " + inUse)) << log.dump();  // the paths taken
    EXPECT_TRUE(log.has(E, "\nError: Could not make a Tx socket\n")) << log.dump();
}

std::atomic<UInt32> g_sentTo{0};

// The host's send-data callback gets the device ID (not the channel index). A read parks until the close, or
// returns at once after it, leaves no mutex, and logs the channel index. A mutex left by an open and a close
// without a read is destroyed by the next open.
TEST(SocketDrv, WritesReachTheHostAndAReadEndsAtTheCloseWhereverItFalls) {
    AT_STUBS_RegisterCallbacks([](UInt32 id, const UInt8*, UInt32 len) { return g_sentTo = id, Int32(len) + 100; },
                               nullptr);
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    for (const auto& [dev, closeFirst, exitLine] : {std::tuple(SERIAL_DEVICE_SOCKET, false, "Read[0]: exiting read\n"),
                                                    {SERIAL_DEVICE_SOCKET4, true, "Read[3]: exiting read\n"}}) {
        SCOPED_TRACE(dev);
        EXPECT_EQ(103, KOVA_SOCKET_Write(dev, reinterpret_cast<const UInt8*>("AT\r"), 3));
        EXPECT_EQ(dev, g_sentTo.load());
        KOVA_SOCKET_OpenDevice(dev, 0);
        KOVA_SOCKET_CloseDevice(dev);
        ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(dev, 0));
        EXPECT_EQ(start + 1, OSSEMAPHORE_GetLiveCount());
        if (closeFirst) KOVA_SOCKET_CloseDevice(dev);
        attest::LogCapture log;
        attest::Background reader([dev = dev] { EXPECT_EQ(0, KOVA_SOCKET_Read(dev, nullptr, 4)); });
        EXPECT_EQ(closeFirst, attest::waitUntil([&] { return reader.done(); }, std::chrono::milliseconds(200)));
        KOVA_SOCKET_CloseDevice(dev);  // after a read there is no mutex left: nothing to do
        ASSERT_TRUE(reader.finish()) << "the read did not return";
        EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
        EXPECT_THAT(attest::linesOf(log), ElementsAre(Pair(I, std::string("KOVA_SOCKET_") + exitLine)));
    }
}

TEST(DriverDeathTest, DeviceIdsOutsideTheDriversChannelsStopTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    const std::string failed = ": assertion \"devId >= SERIAL_DEVICE_SOCKET && devId <= SERIAL_DEVICE_SOCKET4\" failed";
    EXPECT_DEATH(KOVA_SOCKET_Read(22, nullptr, 0), "socket_drv:[0-9]+: KOVA_SOCKET_Read" + failed);
    EXPECT_DEATH(KOVA_SOCKET_CloseDevice(17), "socket_drv:[0-9]+: KOVA_SOCKET_CloseDevice" + failed);
    EXPECT_DEATH(UART_Read(3, nullptr, 1), "uart_x_drv:[0-9]+: .*assertion \"devID <= SERIAL_DEVICE_UART_C\" failed");
}

// With nothing there: 0 with EAGAIN and no log line.
TEST(TtyRead, ANonBlockingDescriptorIsReadWithoutWaiting) {
    static int fds[2], got = -1, err = 0;
    static UInt8 buf[8];
    ASSERT_EQ(0, pipe2(fds, O_NONBLOCK));
    attest::LogCapture log;
    ASSERT_TRUE(attest::finishesWithin([] { got = ReadTtyData(fds[0], buf, 8), err = errno; })) << "it waited";
    EXPECT_EQ(0, got);
    EXPECT_EQ(EAGAIN, err);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

// One read takes every waiting OK. A failed read ends the wait: here a signal whose handler does not restart
// the call (the way a host frees a caller whose reader never answers).
TEST(UsbControlPipe, MessagesTravelAndAnInterruptedWaitEnds) {
    attest::LogCapture log;
    USB_Control_Pipe_Init();  // a STOP's way through is in tty_test.cpp
    USB_Control_Pipe_Send_Ack();
    EXPECT_EQ(1, USB_Control_Pipe_Send_Ack());
    EXPECT_EQ(1, USB_Control_Pipe_Wait_Ack());
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));  // no SA_RESTART
    attest::Background wait([] { USB_Control_Pipe_Wait_Ack(); });
    EXPECT_FALSE(attest::waitUntil([&] { return wait.done(); }, std::chrono::milliseconds(200))) << "it did not wait";
    for (int i = 0; i < 400 && !wait.done(); ++i) {  // a signal just before the read changes nothing: repeat it
        syscall(SYS_tgkill, getpid(), wait.tid(), SIGUSR1);
        attest::waitUntil([&] { return wait.done(); }, std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(wait.finish()) << "the wait did not end";
    EXPECT_TRUE(log.has(I, "   USB_Control_Pipe_Wait_Ack: rx ack: OKOK\n")) << log.dump();  // both in one read
    EXPECT_TRUE(log.has(I, "   USB_Control_Pipe_Wait_Ack: rx cnt=-1\n")) << log.dump();
}

}  // namespace
