// The drivers that need no pseudo-terminal: the RNDIS UDP channels on real
// loopback sockets, the in-process channels, the USB control pipe, and the
// tty read helpers given bad descriptors. What the reading drivers share is
// checked in tty_test.cpp.
//
// This program defines OSSEMAPHORE_obtainMutex itself (socket_read_stages.h),
// to close an in-process channel between the two obtains of its read.
#include <android/log.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "drivers/socket_drv.h"
#include "drivers/uart_x_drv.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_control_pipe_internal.h"
#include "drivers/usb_drv.h"
#include "log_capture.h"
#include "serialmgr_harness.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "socket_read_stages.h"
#include "stubs/other_stubs.h"
#include "wait.h"

namespace {

using attest::LogCapture;
using attest::waitUntil;
using attest::Lines;
constexpr int I = ANDROID_LOG_INFO;
constexpr int E = ANDROID_LOG_ERROR;

// ---- RNDIS UDP channels ----

sockaddr_in address(const char* host, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &addr.sin_addr);
    return addr;
}

int localPort(int sd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(sd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// A UDP socket of the test, bound to host at port (0: the system picks).
struct TestSocket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    explicit TestSocket(const char* host = "127.0.0.1", int port = 0) {
        const sockaddr_in addr = address(host, port);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr)) << host << ":" << port;
    }
    ~TestSocket() { close(fd); }
    int port() const { return localPort(fd); }
    void sendTo(int toPort, const std::string& data) const {
        const sockaddr_in to = address("127.0.0.1", toPort);
        ASSERT_EQ(static_cast<ssize_t>(data.size()),
                  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
    }
    // One datagram, waiting at most waitMs; "<none>" when nothing came.
    std::string receive(int waitMs = 10000) const {
        pollfd p{fd, POLLIN, 0};
        std::vector<char> data(70000);
        const ssize_t n = poll(&p, 1, waitMs) == 1 ? recv(fd, data.data(), data.size(), MSG_DONTWAIT) : -1;
        return n < 0 ? "<none>" : std::string(data.data(), static_cast<size_t>(n));
    }
};

void configure(int channel, Int32 txPort, Int32 rxPort) {
    RndisConfig config;
    for (auto& entry : config.entry) entry = {-1, -1};
    config.entry[channel] = {txPort, rxPort};
    RNDIS_SetRndisConfig(&config);
}

// Opens device 14 + channel on a port of the system's choosing; returns that port.
int openOnFreePort(int channel, Int32 txPort) {
    configure(channel, txPort, 0);
    EXPECT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS + static_cast<UInt32>(channel), 0));
    return localPort(s_rndis_channel[channel].RxSd);
}

UInt16 writeText(UInt32 devId, const std::string& text) {
    return RNDIS_Write(devId, reinterpret_cast<const UInt8*>(text.data()), static_cast<UInt16>(text.size()));
}

TEST(RndisDrv, ConfigurationKeepsPortsThatAreNotSetAndBindsTheLow16Bits) {
    LogCapture log;
    RNDIS_SetRndisConfig(nullptr);
    RndisConfig config{{{-1, 6001}, {0, -1}, {-1, -1}, {-1, -1}}};  // {Tx, Rx}
    RNDIS_SetRndisConfig(&config);
    // Port 0 counts as set; a negative one keeps the port as it is.
    Lines got = linesOf(log);
    got.resize(7);  // the other channels' lines alike
    EXPECT_EQ(Lines({{E, "RNDIS_SetRndisConfig: RndisConfig=NULL?\n"}, {I, "RNDIS_SetRndisConfig:  RNDIS0 RxPort=6001\n"},
                     {I, "RNDIS_SetRndisConfig:  RNDIS0 TxPort not set, using existing value: 0\n"},
                     {I, "RNDIS0 RxPort=6001 TxPort=0\n"},
                     {I, "RNDIS_SetRndisConfig:  RNDIS1 RxPort not set, using existing value: 0\n"},
                     {I, "RNDIS_SetRndisConfig:  RNDIS1 TxPort=0\n"}, {I, "RNDIS1 RxPort=0 TxPort=0\n"}}),
              got);
    // A port is used from its low 16 bits; the stored value stays as given.
    const int port = TestSocket().port();
    RndisConfig wide{{{INT_MAX, port + 65536}, {INT_MIN, -1}, {-1, -1}, {-1, -1}}};
    RNDIS_SetRndisConfig(&wide);
    Int32 rx = -1, tx = -1;
    UInt32 size = 0;
    EXPECT_EQ(1, RNDIS_GetRawInfo(SERIAL_DEVICE_RNDIS, &rx, &tx, &size, nullptr));  // NULL outputs are skipped
    EXPECT_EQ(port + 65536, rx);
    EXPECT_EQ(INT_MAX, tx);
    EXPECT_EQ(4u, size);
    ASSERT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    EXPECT_EQ(port, localPort(s_rndis_channel[0].RxSd));
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
}

// A command is answered at the channel's Tx port on the host of the latest
// datagram, never at its source port.
TEST(RndisDrv, DatagramsInRepliesOutToTheLatestHost) {
    TestSocket replies, client;
    const int rxPort = openOnFreePort(1, replies.port());
    LogCapture log;
    client.sendTo(rxPort, "AT\r");
    UInt8 buf[16];
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(3, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(0, std::memcmp(buf, "AT\r\0\0\0\0\0\xEE", 9));  // only len bytes are cleared
    UInt32 addr = 0;
    EXPECT_EQ(1, RNDIS_GetRawInfo(SERIAL_DEVICE_RNDIS2, nullptr, nullptr, nullptr, &addr));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), addr);
    EXPECT_EQ(4, writeText(SERIAL_DEVICE_RNDIS2, "OK\r\n"));
    EXPECT_EQ("OK\r\n", replies.receive());
    EXPECT_EQ("<none>", client.receive(0));
    EXPECT_EQ(Lines({{I, "RNDIS_Read\n"}, {I, "RNDIS_GetRawInfo\n"}, {I, "RNDIS_Write\n"}, {I, "AT response - len 4\n"}}),
              linesOf(log));
    // The next command comes from 127.0.0.2 (loopback has all of 127/8).
    TestSocket second("127.0.0.2"), repliesThere("127.0.0.2", replies.port());
    second.sendTo(rxPort, "AT+X");
    ASSERT_EQ(4, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(2, writeText(SERIAL_DEVICE_RNDIS2, "OK"));
    EXPECT_EQ("OK", repliesThere.receive());
    EXPECT_EQ("<none>", replies.receive(0));
    // A long datagram is cut to the buffer and the rest of it is gone.
    client.sendTo(rxPort, "0123456789");
    client.sendTo(rxPort, "next");
    ASSERT_EQ(4, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 4));
    EXPECT_EQ(0, std::memcmp(buf, "0123", 4));
    ASSERT_EQ(4, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(0, std::memcmp(buf, "next\0\0\0\0", 8));
    // Writes of 1000 bytes and more warn but are sent whole; more than one
    // IPv4 datagram can carry fails (EMSGSIZE), the sender's -1 as 65535.
    log.clear();
    EXPECT_EQ(999, writeText(SERIAL_DEVICE_RNDIS2, std::string(999, 'a')));
    EXPECT_EQ(1000, writeText(SERIAL_DEVICE_RNDIS2, std::string(1000, 'b')));
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS2, std::string(0xFFFF, 'x')));
    EXPECT_EQ(999u, replies.receive().size());
    EXPECT_EQ(std::string(1000, 'b'), replies.receive());
    EXPECT_EQ(Lines({{I, "RNDIS_Write\n"}, {I, "AT response - len 999\n"}, {I, "RNDIS_Write\n"},
                     {I, "AT response - len 1000\n"},
                     {I, "RNDIS_Write() Warning: string longer than maximum buffer length\n"}, {I, "RNDIS_Write\n"},
                     {I, "AT response - len 65535\n"},
                     {I, "RNDIS_Write() Warning: string longer than maximum buffer length\n"},
                     {E, "RNDIS_Write() Error sending datagram. bytes:4294967295, errno:90\n"}}),
              linesOf(log));
    // A new Tx port takes effect at the next write.
    TestSocket other;
    configure(1, other.port(), -1);
    EXPECT_EQ(2, writeText(SERIAL_DEVICE_RNDIS2, "OK"));
    EXPECT_EQ("OK", other.receive());
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS2);
}

TEST(RndisDrv, WritesRefusedUntilOpenAndCommandReceived) {
    LogCapture log;
    EXPECT_EQ(0, writeText(SERIAL_DEVICE_RNDIS, "OK"));
    TestSocket replies, client;
    const int rxPort = openOnFreePort(0, replies.port());
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS, "OK"));  // no command yet: no address to send to
    EXPECT_EQ(0, RNDIS_Write(SERIAL_DEVICE_RNDIS, nullptr, 3));
    EXPECT_EQ(0, writeText(SERIAL_DEVICE_RNDIS, ""));
    for (const auto& line : Lines{{E, "RNDIS_Write() server/client not ready yet\n"},
                                  {I, "RNDIS_Write() Error sending datagram. Cannot write until a command is received "
                                      "from client.\n"},
                                  {I, "RNDIS_Write() Null string passed in\n"}}) {
        EXPECT_TRUE(log.has(line.first, line.second)) << line.second << log.dump();
    }
    // A re-open forgets the client.
    client.sendTo(rxPort, "AT");
    UInt8 buf[8];
    ASSERT_EQ(2, RNDIS_Read(SERIAL_DEVICE_RNDIS, buf, sizeof buf));
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
    ASSERT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS, "OK"));
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
    // EINTR and EMSGSIZE are retried by the reader, the rest end it.
    log.clear();
    EXPECT_EQ(65535, rndisReceiveFailure(EMSGSIZE));
    EXPECT_EQ(0, rndisReceiveFailure(EIO));
    EXPECT_EQ(Lines({{E, "Non-fatal recv error (errno 90).\n"}, {E, "Could not receive datagram (errno 5).\n"}}),
              linesOf(log));
}

TEST(RndisDrv, DeviceIdsOutsideTheChannelsFailWithoutTouchingTheOutputs) {
    LogCapture log;
    for (UInt32 dev : {5u, 18u}) {
        UInt8 buf[4] = {9, 9, 9, 9};
        Int32 port = 7;
        log.clear();
        EXPECT_EQ(0, RNDIS_OpenDevice(dev, 0));
        EXPECT_EQ(0, RNDIS_CloseDevice(dev));
        EXPECT_EQ(0, RNDIS_Read(dev, buf, sizeof buf));
        EXPECT_EQ(0, RNDIS_Write(dev, buf, sizeof buf));
        EXPECT_EQ(0, RNDIS_GetRawInfo(dev, &port, &port, nullptr, nullptr));
        // The index is logged signed: device 5 shows -9.
        const std::string invalid = "Invalid RNDIS device index: " + std::to_string(static_cast<int>(dev - 14u)) + "\n";
        EXPECT_EQ(Lines({{E, invalid}, {I, "RNDIS_CloseDevice\n"}, {E, invalid}, {I, "RNDIS_Read\n"}, {E, invalid},
                         {I, "RNDIS_Write\n"}, {E, invalid}, {I, "RNDIS_GetRawInfo\n"}, {E, invalid}}),
                  linesOf(log));
        EXPECT_EQ(0, std::memcmp(buf, "\x09\x09\x09\x09", 4));
        EXPECT_EQ(7, port);
    }
}

// A failed open closes at once whatever it has made: the lowest free
// descriptor is the same after it.
TEST(RndisDrv, FailedOpenClosesWhatItMade) {
    TestSocket holder;  // holds the port without SO_REUSEADDR: bind fails
    configure(0, 1, holder.port());
    const int lowestFree = dup(0);
    close(lowestFree);
    LogCapture log;
    EXPECT_EQ(0, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    int after = dup(0);
    EXPECT_EQ(lowestFree, after);
    close(after);
    // Room for exactly one more descriptor: the Rx socket is made, the Tx
    // socket fails.
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + 1);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
    const Int32 result = RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS4, 0);
    after = dup(0);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(0, result);
    EXPECT_EQ(lowestFree, after);
    close(after);
    EXPECT_EQ(Lines({{I, "\nStarting AT server: (Rx)" + std::to_string(holder.port()) + ",(Tx)1\n"},
                     {E, "\nError: Could not connect to host. " + std::string(std::strerror(EADDRINUSE)) + " (" +
                             std::to_string(EADDRINUSE) + ")\n"},
                     {I, "RNDIS_CloseDevice\n"}, {I, "\nStarting AT server: (Rx)0,(Tx)0\n"},
                     {E, "\nError: Could not make a Tx socket\n"}}),
              linesOf(log));
}

// ---- in-process channels ----

// A read that must return 0 and leave the buffer alone.
void parkedRead(UInt32 devId) {
    UInt8 buf[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(0, KOVA_SOCKET_Read(devId, buf, sizeof buf));
    EXPECT_EQ(0, std::memcmp(buf, "\xA5\xA5\xA5\xA5", 4));
}

std::atomic<int> g_closeAt{0};
std::atomic<bool> g_atSecondObtain{false};

// The close falls before the read (it released a free mutex), after the first
// obtain (the closed flag catches it), right before the second obtain, or
// while the read waits there (stage 3, from the test's thread). Each time the
// read returns 0 and no mutex is left. Before each round an open, a close and
// no read (the reader ended before reading) leave a mutex that the next open
// destroys.
TEST(SocketDrv, ReadEndsAtTheCloseWhereverItFallsAndLeavesNoMutex) {
    socketstages::onStage = [](UInt32 channel, int stage) {
        if (stage == 2) g_atSecondObtain = true;
        if (stage == g_closeAt.load()) KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET + channel);
    };
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    for (int stage : {0, 1, 2, 3}) {
        SCOPED_TRACE(stage);
        g_closeAt = stage;
        g_atSecondObtain = false;
        ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET4, 0));
        KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4);
        ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET4, 0));
        EXPECT_EQ(start + 1, OSSEMAPHORE_GetLiveCount());
        if (stage == 0) KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4);
        LogCapture log;
        {
            attest::Background reader([] { parkedRead(SERIAL_DEVICE_SOCKET4); });
            if (stage == 3) {
                ASSERT_TRUE(waitUntil([] { return g_atSecondObtain.load(); }));
                EXPECT_FALSE(reader.done());
                EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4));
            }
            ASSERT_TRUE(reader.finish()) << "the read did not return";
        }
        EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
        EXPECT_EQ(Lines({{I, "KOVA_SOCKET_Read[3]: exiting read\n"}}), linesOf(log));  // the index, not the ID
    }
    socketstages::onStage = nullptr;
    EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4));  // no mutex: nothing to do
}

TEST(SocketDrv, ReadWithoutMutexLogsBothFailedObtainsAndReturns) {
    LogCapture log;
    ASSERT_TRUE(attest::finishesWithin([] { parkedRead(SERIAL_DEVICE_SOCKET2); })) << "the read did not return";
    const std::string status = std::to_string(OSSTATUS_INVALID_HANDLE);
    EXPECT_EQ(Lines({{E, "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex fail. status=" + status + "\r\n"},
                     {E, "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex (2) fail. status=" + status + "\r\n"},
                     {I, "KOVA_SOCKET_Read[1]: exiting read\n"}}),
              linesOf(log));
}

// A write needs no open channel and checks nothing: any ID, buffer and
// length go to the callback, whose result comes back as an unsigned 16-bit
// count.
TEST(SocketDrv, WriteHandsAnyIdBufferAndLengthToTheSendCallback) {
    static UInt32 sentId, sentLen;
    static const UInt8* sentData;
    const UInt8 bytes[] = "OK\r\n";
    EXPECT_EQ(0, KOVA_SOCKET_Write(SERIAL_DEVICE_SOCKET2, bytes, 4));  // no callback: nothing sent
    AT_STUBS_RegisterCallbacks(
        [](UInt32 devId, const UInt8* data, UInt32 len) -> Int32 {
            sentId = devId, sentData = data, sentLen = len;
            return -5;
        },
        nullptr);
    EXPECT_EQ(static_cast<UInt16>(-5), KOVA_SOCKET_Write(0xFFFFFFFFu, bytes, 0xFFFF));
    EXPECT_EQ(0xFFFFFFFFu, sentId);
    EXPECT_EQ(bytes, sentData);
    EXPECT_EQ(0xFFFFu, sentLen);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
}

TEST(SocketDrvDeathTest, DeviceIdOutsideTheChannelsStopsTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    auto assertion = [](const char* function) {
        return std::string("common/modem/at/stubs/socket_drv:[0-9]+: ") + function +
               ": assertion \"devId >= SERIAL_DEVICE_SOCKET && devId <= SERIAL_DEVICE_SOCKET4\" failed";
    };
    for (UInt32 id : {UInt32{SERIAL_DEVICE_RNDIS4}, 22u}) {
        EXPECT_DEATH(KOVA_SOCKET_OpenDevice(id, 0), assertion("KOVA_SOCKET_OpenDevice")) << id;
        EXPECT_DEATH(KOVA_SOCKET_CloseDevice(id), assertion("KOVA_SOCKET_CloseDevice")) << id;
        EXPECT_DEATH(KOVA_SOCKET_Read(id, nullptr, 0), assertion("KOVA_SOCKET_Read")) << id;
    }
}

// ---- USB control pipe ----

TEST(UsbControlPipe, StopAndOkTravelAndOneReadTakesEveryWaitingMessage) {
    LogCapture log;
    USB_Control_Pipe_Init();
    EXPECT_EQ(1, USB_Control_Pipe_Send_Stop());
    char stop[80];
    EXPECT_EQ(4, read(s_control_pipe[0], stop, sizeof stop));
    EXPECT_EQ("STOP", std::string(stop, 4));
    USB_Control_Pipe_Send_Ack();
    EXPECT_EQ(1, USB_Control_Pipe_Send_Ack());
    EXPECT_EQ(1, USB_Control_Pipe_Wait_Ack());
    EXPECT_EQ(Lines({{I, "USB_Control_Pipe_Init: ok\n"}, {I, "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n"},
                     {I, "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n"},
                     {I, "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n"},
                     {I, "   USB_Control_Pipe_Wait_Ack: rx ack: OKOK\n"}}),
              linesOf(log));
}

// Whatever the acknowledgement read returns ends the wait, a failure too: here
// a signal whose handler does not restart the call (the way a host can free a
// caller whose reader will never answer). The signal is repeated until the
// wait ends: one that comes before the read begins changes nothing.
TEST(UsbControlPipe, InterruptedAcknowledgementReadEndsTheWait) {
    USB_Control_Pipe_Init();
    LogCapture log;
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));  // no SA_RESTART
    std::atomic<pthread_t> waiter{};
    {
        attest::Background wait([&waiter] {
            waiter = pthread_self();
            USB_Control_Pipe_Wait_Ack();
        });
        ASSERT_TRUE(waitUntil([&] { return waiter.load() != pthread_t{}; }));
        EXPECT_FALSE(waitUntil([&] { return wait.done(); }, std::chrono::milliseconds(200)))
            << "the wait did not wait for an acknowledgement";
        for (int i = 0; i < 400 && !wait.done(); ++i) {
            pthread_kill(waiter.load(), SIGUSR1);
            waitUntil([&] { return wait.done(); }, std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(wait.finish()) << "the wait did not end";
    }
    EXPECT_EQ(Lines({{I, "   USB_Control_Pipe_Wait_Ack: rx cnt=-1\n"}}), linesOf(log));
}

// With no descriptor left to the process every pipe() fails: six attempts a
// second apart, then the process ends.
LogCapture* g_log = nullptr;
rlimit g_savedLimit{};

void initWithoutDescriptors() {
    g_log = new LogCapture;
    std::atexit([] {
        setrlimit(RLIMIT_NOFILE, &g_savedLimit);  // first: the sanitizers' exit-time work needs descriptors
        std::fprintf(stderr, "control errors=%d ack errors=%d\n", g_log->count(E, "zund: error creating s_control_pipe\n"),
                     g_log->count(E, "zund: error creating s_ack_pipe\n"));
    });
    getrlimit(RLIMIT_NOFILE, &g_savedLimit);
    rlimit none = g_savedLimit;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    USB_Control_Pipe_Init();
}

TEST(UsbControlPipeDeathTest, CreationFailureEndsTheProcessAfterSixAttempts) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_EXIT(initWithoutDescriptors(), testing::ExitedWithCode(static_cast<unsigned char>(-10)),
                "control errors=6 ack errors=0");
}

// ---- the tty read helpers with bad input ----

// Each gives its documented result, writes nothing outside the caller's
// buffer and does not wait for ever.
TEST(TtyBadInput, ReadHelpersWithBadDescriptorsAndCapacities) {
    USB_Control_Pipe_Init();
    const int closed = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(closed);
    // select() fails on bad descriptors and leaves its set untouched: only a
    // positive result may count as readable. A number at or above FD_SETSIZE
    // does not fit a set at all.
    for (int fd : {INT32_MIN, closed, FD_SETSIZE}) {
        EXPECT_EQ(isDataAvailable(fd, 0), 0) << fd;
        EXPECT_EQ(isUsbDataAvailable(fd, 1000), 0) << fd;
    }
    struct Helper {
        UInt16 (*read)(int fd, UInt8* buf, int capacity);
        attest::LogLine badDescriptor;  // the line a bad descriptor logs
    };
    for (const Helper& h : {Helper{ReadTtyData, {E, "", "Read: read errno [9]\n"}},
                            Helper{ReadUsbTtyData, {I, "", "  ReadUsbTtyData: select=0\n"}}}) {
        LogCapture log;
        std::string buf(10, 'Z');
        UInt8* inner = reinterpret_cast<UInt8*>(&buf[1]);
        for (int fd : {-2, closed, FD_SETSIZE}) {
            errno = 0;
            EXPECT_EQ(h.read(fd, inner, 8), 0) << fd;
            EXPECT_NE(errno, 0) << fd;
        }
        EXPECT_TRUE(log.has(h.badDescriptor.priority, h.badDescriptor.text)) << log.dump();
        // Capacities below 1 read nothing, even with bytes waiting, and do
        // not report a hung-up tty (EIO), which would end a reader.
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
        ASSERT_EQ(6, write(fds[1], "abcdef", 6));
        for (int capacity : {0, INT32_MIN}) {
            errno = 0;
            EXPECT_EQ(h.read(fds[0], inner, capacity), 0) << capacity;
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_EQ(h.read(fds[0], inner, 1), 1);
        EXPECT_EQ(h.read(fds[0], inner + 1, 8), 5);
        EXPECT_EQ("Zabcdef" "ZZZ", buf);
        close(fds[0]);
        close(fds[1]);
        EXPECT_EQ(h.read(-1, inner, 8), 0);  // a port whose open failed: nothing, at once
    }
}

}  // namespace
