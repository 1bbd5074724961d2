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
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_control_pipe_internal.h"
#include "log_capture.h"
#include "serialapi/serialapi.h"
#include "serialmgr_harness.h"
#include "wait.h"

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

// A command is answered at the channel's Tx port on the host of the latest
// datagram, never at its source port. A write needs an open channel, a
// command received since the open, and text.
TEST(RndisDrv, DatagramsInRepliesOutToTheLatestHost) {
    TestSocket replies, client;
    RndisConfig config{{{-1, -1}, {portOf(replies.fd), 0}, {-1, -1}, {-1, -1}}};  // {Tx, Rx}
    RNDIS_SetRndisConfig(&config);
    attest::LogCapture log;
    ASSERT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS2, 0));
    const int rxPort = portOf(s_rndis_channel[1].RxSd);
    EXPECT_EQ(65535, writeText("OK"));
    client.send(rxPort, "AT\r");
    UInt8 buf[8];
    ASSERT_EQ(3, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(4, writeText("OK\r\n"));
    EXPECT_EQ("OK\r\n", replies.receive());
    EXPECT_EQ("<none>", client.receive(0));
    // The next command comes from 127.0.0.2 (loopback has all of 127/8).
    TestSocket second("127.0.0.2"), repliesThere("127.0.0.2", portOf(replies.fd));
    second.send(rxPort, "AT+X=0123456789");  // cut to the buffer, and the rest is gone
    second.send(rxPort, "AT");
    ASSERT_EQ(8, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    ASSERT_EQ(2, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(0, std::memcmp(buf, "AT\0\0\0\0\0\0", 8));  // zeros after the datagram
    EXPECT_EQ(2, writeText("OK"));
    EXPECT_EQ("OK", repliesThere.receive());
    EXPECT_EQ("<none>", replies.receive(0));
    EXPECT_EQ(0, RNDIS_Write(SERIAL_DEVICE_RNDIS2, nullptr, 3));
    EXPECT_EQ(1000, writeText(std::string(1000, 'b')));  // sent whole, with a warning
    EXPECT_EQ(65535, writeText(std::string(0xFFFF, 'x')));  // more than a datagram takes: the sender's -1
    EXPECT_EQ(std::string(1000, 'b'), repliesThere.receive());
    EXPECT_EQ(1, RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS2));
    EXPECT_EQ(0, writeText("OK") + RNDIS_Read(5, buf, 1));
    EXPECT_EQ(65535, rndisReceiveFailure(EMSGSIZE));  // the reader goes round
    EXPECT_EQ(0, rndisReceiveFailure(EIO));           // the reader ends
    const auto write = Pair(I, "RNDIS_Write\n"), read = Pair(I, "RNDIS_Read\n"), two = Pair(I, "AT response - len 2\n");
    const auto warn = Pair(I, "RNDIS_Write() Warning: string longer than maximum buffer length\n");
    EXPECT_THAT(attest::linesOf(log),
                ElementsAre(Pair(I, "\nStarting AT server: (Rx)0,(Tx)" + std::to_string(portOf(replies.fd)) + "\n"),
                            write, two, Pair(I, "RNDIS_Write() Error sending datagram. Cannot write until a command "
                                                "is received from client.\n"),
                            read, write, Pair(I, "AT response - len 4\n"), read, read, write, two, write,
                            Pair(I, "RNDIS_Write() Null string passed in\n"), write, Pair(I, "AT response - len 1000\n"),
                            warn, write, Pair(I, "AT response - len 65535\n"), warn,
                            Pair(E, "RNDIS_Write() Error sending datagram. bytes:4294967295, errno:90\n"),
                            Pair(I, "RNDIS_CloseDevice\n"), write,
                            Pair(E, "RNDIS_Write() server/client not ready yet\n"), read,
                            Pair(E, "Invalid RNDIS device index: -9\n"), Pair(E, "Non-fatal recv error (errno 90).\n"),
                            Pair(E, "Could not receive datagram (errno 5).\n")));
}

// A failed open closes at once whatever it made: a bind refused (the port is taken), or a Tx socket refused
// (room for exactly one more descriptor) after the Rx socket was made.
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
    EXPECT_THAT(attest::linesOf(log),
                ElementsAre(Pair(I, "\nStarting AT server: (Rx)" + std::to_string(portOf(holder.fd)) + ",(Tx)1\n"),
                            Pair(E, "\nError: Could not connect to host. " + std::string(std::strerror(EADDRINUSE)) +
                                        " (" + std::to_string(EADDRINUSE) + ")\n"),
                            Pair(I, "RNDIS_CloseDevice\n"), Pair(I, "\nStarting AT server: (Rx)0,(Tx)0\n"),
                            Pair(E, "\nError: Could not make a Tx socket\n")));
}

TEST(SocketDrvDeathTest, DeviceIdOutsideTheChannelsStopsTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(KOVA_SOCKET_Read(22, nullptr, 0), "socket_drv:[0-9]+: KOVA_SOCKET_Read: assertion \"devId >= "
                                                   "SERIAL_DEVICE_SOCKET && devId <= SERIAL_DEVICE_SOCKET4\" failed");
}

// One read takes every waiting message. The wait for an acknowledgement
// waits, and a failed read ends it too: here a signal whose handler does not
// restart the call (the way a host frees a caller whose reader never answers).
TEST(UsbControlPipe, MessagesTravelAndAnInterruptedWaitEnds) {
    attest::LogCapture log;
    USB_Control_Pipe_Init();
    EXPECT_EQ(1, USB_Control_Pipe_Send_Stop());
    char stop[80];
    EXPECT_EQ(4, read(s_control_pipe[0], stop, sizeof stop));
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
    const auto ack = Pair(I, "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n");
    EXPECT_THAT(attest::linesOf(log),
                ElementsAre(Pair(I, "USB_Control_Pipe_Init: ok\n"),
                            Pair(I, "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n"), ack, ack,
                            Pair(I, "   USB_Control_Pipe_Wait_Ack: rx ack: OKOK\n"),
                            Pair(I, "   USB_Control_Pipe_Wait_Ack: rx cnt=-1\n")));
}

}  // namespace
