// RNDIS UDP driver on real sockets (127.0.0.1 only), real threads and a real
// SIGUSR2 handler installed with bsd_signal.
//
// This program defines pselect itself, to act between the driver taking its
// descriptor and its wait: the driver's objects are linked into the program,
// so their calls reach this definition, which calls the C library's through
// dlsym(RTLD_NEXT).
#include <android/log.h>
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "log_capture.h"
#include "serialapi/serialapi.h"
#include "tty_harness.h"
#include "tty_test_util.h"

namespace {

// When a pselect is about to wait on this descriptor, beforeWait runs once
// on the waiting thread; -1 = none.
std::atomic<int> g_beforeWaitOn{-1};
void (*g_beforeWait)() = nullptr;

using PselectFn = int (*)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*);

}  // namespace

extern "C" int pselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                       const struct timespec* timeout, const sigset_t* sigmask) {
    static const PselectFn real = reinterpret_cast<PselectFn>(dlsym(RTLD_NEXT, "pselect"));
    int fd = g_beforeWaitOn.load();
    if (fd >= 0 && fd < nfds && readfds != nullptr && FD_ISSET(fd, readfds) &&
        g_beforeWaitOn.compare_exchange_strong(fd, -1)) {
        g_beforeWait();
    }
    return real(nfds, readfds, writefds, exceptfds, timeout, sigmask);
}

namespace {

using attest::LogCapture;
using ttytest::ReaderThread;

constexpr int I = ANDROID_LOG_INFO;
constexpr int E = ANDROID_LOG_ERROR;

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A UDP socket of the test, bound to 127.0.0.1 at a port the system picks.
struct TestSocket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    TestSocket() {
        const sockaddr_in addr = loopback(0);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr));
    }
    ~TestSocket() { close(fd); }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    int port() const { return localPort(fd); }
    static int localPort(int sd) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(sd, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    void sendTo(int toPort, const std::string& data) const {
        const sockaddr_in to = loopback(toPort);
        ASSERT_EQ(static_cast<ssize_t>(data.size()),
                  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
    }
    // One datagram, waiting at most waitMs; "<none>" when nothing came.
    std::string receive(int waitMs = 10000) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1) return "<none>";
        std::vector<char> data(4096);
        ssize_t n = recv(fd, data.data(), data.size(), MSG_DONTWAIT);
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
    return TestSocket::localPort(s_rndis_channel[channel].RxSd);
}

UInt16 writeText(UInt32 devId, const std::string& text) {
    return RNDIS_Write(devId, reinterpret_cast<const UInt8*>(text.data()), static_cast<UInt16>(text.size()));
}

// The captured lines are exactly these, with these priorities, in order.
void expectLines(const LogCapture& log, const std::vector<std::pair<int, std::string>>& expected) {
    auto lines = log.lines();
    ASSERT_EQ(expected.size(), lines.size()) << log.dump();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].first, lines[i].priority) << i;
        EXPECT_EQ(expected[i].second, lines[i].text) << i;
    }
}

TEST(RndisDrv, ConfigurationKeepsPortsThatAreNotSetAndBindsTheLow16Bits) {
    Int32 rx = -1, tx = -1;
    UInt32 size = 0, addr = 1;
    EXPECT_EQ(1, RNDIS_GetRawInfo(SERIAL_DEVICE_RNDIS2, &rx, &tx, &size, &addr));
    EXPECT_EQ(0, rx);
    EXPECT_EQ(0, tx);
    EXPECT_EQ(4u, size);
    // Outputs given as NULL are skipped.
    EXPECT_EQ(1, RNDIS_GetRawInfo(SERIAL_DEVICE_RNDIS2, nullptr, nullptr, nullptr, nullptr));

    LogCapture log;
    RNDIS_SetRndisConfig(nullptr);
    EXPECT_TRUE(log.has(E, "RNDIS_SetRndisConfig: RndisConfig=NULL?\n"));
    RndisConfig config{{{5001, 6001}, {5002, 6002}, {-1, -1}, {0, 0}}};
    RNDIS_SetRndisConfig(&config);
    log.clear();
    // Entry 0 holds Tx 7000 and Rx 7100; entry 1's Rx is not set and its Tx
    // port 0 counts as set.
    RndisConfig update{{{7000, 7100}, {0, -1}, {0, 0}, {0, 0}}};
    RNDIS_SetRndisConfig(&update);
    for (const char* line : {"RNDIS_SetRndisConfig:  RNDIS0 RxPort=7100\n", "RNDIS_SetRndisConfig:  RNDIS0 TxPort=7000\n",
                             "RNDIS0 RxPort=7100 TxPort=7000\n",
                             "RNDIS_SetRndisConfig:  RNDIS1 RxPort not set, using existing value: 6002\n",
                             "RNDIS_SetRndisConfig:  RNDIS1 TxPort=0\n", "RNDIS1 RxPort=6002 TxPort=0\n"}) {
        EXPECT_TRUE(log.has(I, line)) << line << log.dump();
    }

    // Negative values of any size mean "not set". A port is used from its
    // low 16 bits, while the stored and logged value stays as given.
    const int port = TestSocket().port();
    RndisConfig wide{{{INT_MAX, port + 65536}, {INT_MIN, -1}, {-1, -1}, {-1, -1}}};
    log.clear();
    RNDIS_SetRndisConfig(&wide);
    EXPECT_TRUE(log.has(I, "RNDIS0 RxPort=" + std::to_string(port + 65536) + " TxPort=2147483647\n")) << log.dump();
    EXPECT_TRUE(log.has(I, "RNDIS1 RxPort=6002 TxPort=0\n"));
    ASSERT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    EXPECT_EQ(port, TestSocket::localPort(s_rndis_channel[0].RxSd));
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
}

// A command from some source port is answered at the channel's Tx port on
// the sender's host, never at the source port.
TEST(RndisDrv, DatagramsInRepliesOut) {
    TestSocket replies, client;
    const int rxPort = openOnFreePort(1, replies.port());
    ASSERT_NE(0, rxPort);
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
    expectLines(log, {{I, "RNDIS_Read\n"}, {I, "RNDIS_GetRawInfo\n"}, {I, "RNDIS_Write\n"}, {I, "AT response - len 4\n"}});

    // A long datagram is cut to the buffer and the rest of it is gone.
    client.sendTo(rxPort, "0123456789");
    client.sendTo(rxPort, "next");
    ASSERT_EQ(4, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 4));
    EXPECT_EQ(0, std::memcmp(buf, "0123", 4));
    ASSERT_EQ(4, RNDIS_Read(SERIAL_DEVICE_RNDIS2, buf, 8));
    EXPECT_EQ(0, std::memcmp(buf, "next\0\0\0\0", 8));

    // Writes of 1000 bytes and more warn but are sent whole; more than one
    // IPv4 datagram can carry fails (EMSGSIZE), the sender's -1 as 65535.
    const std::string warning = "RNDIS_Write() Warning: string longer than maximum buffer length\n";
    log.clear();
    EXPECT_EQ(999, writeText(SERIAL_DEVICE_RNDIS2, std::string(999, 'a')));
    EXPECT_EQ(999u, replies.receive().size());
    EXPECT_EQ(0, log.count(I, warning));
    EXPECT_EQ(1000, writeText(SERIAL_DEVICE_RNDIS2, std::string(1000, 'b')));
    EXPECT_EQ(std::string(1000, 'b'), replies.receive());
    EXPECT_EQ(1, log.count(I, warning));
    EXPECT_TRUE(log.has(I, "AT response - len 1000\n"));
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS2, std::string(0xFFFF, 'x')));
    EXPECT_TRUE(log.has(E, "RNDIS_Write() Error sending datagram. bytes:4294967295, errno:90\n")) << log.dump();

    // A new Tx port takes effect at the next write.
    TestSocket other;
    configure(1, other.port(), -1);
    EXPECT_EQ(2, writeText(SERIAL_DEVICE_RNDIS2, "OK"));
    EXPECT_EQ("OK", other.receive());
    EXPECT_EQ(1, RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS2));
}

TEST(RndisDrv, WritesRefusedUntilOpenAndCommandReceived) {
    LogCapture log;
    EXPECT_EQ(0, writeText(SERIAL_DEVICE_RNDIS, "OK"));
    EXPECT_TRUE(log.has(E, "RNDIS_Write() server/client not ready yet\n"));

    TestSocket replies, client;
    const int rxPort = openOnFreePort(0, replies.port());
    log.clear();
    // No command yet: the system refuses the send for lack of an address.
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS, "OK"));
    EXPECT_TRUE(log.has(I, "RNDIS_Write() Error sending datagram. Cannot write until a command is received from "
                           "client.\n"))
        << log.dump();
    EXPECT_EQ(0, RNDIS_Write(SERIAL_DEVICE_RNDIS, nullptr, 3));
    EXPECT_EQ(0, writeText(SERIAL_DEVICE_RNDIS, ""));
    EXPECT_EQ(2, log.count(I, "RNDIS_Write() Null string passed in\n"));

    // A re-open forgets the client.
    client.sendTo(rxPort, "AT");
    UInt8 buf[8];
    ASSERT_EQ(2, RNDIS_Read(SERIAL_DEVICE_RNDIS, buf, sizeof buf));
    EXPECT_EQ(2, writeText(SERIAL_DEVICE_RNDIS, "OK"));
    EXPECT_EQ("OK", replies.receive());
    EXPECT_EQ(1, RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS));
    log.clear();
    EXPECT_EQ(0, writeText(SERIAL_DEVICE_RNDIS, "OK"));  // closed: TxSd is 0
    EXPECT_TRUE(log.has(E, "RNDIS_Write() server/client not ready yet\n"));
    ASSERT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS, "OK"));
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
}

TEST(RndisDrv, ReceiveErrorsMapToRetryOrFailure) {
    LogCapture log;
    EXPECT_EQ(65535, rndisReceiveFailure(EMSGSIZE));
    EXPECT_EQ(EMSGSIZE, errno);
    EXPECT_EQ(0, rndisReceiveFailure(EIO));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(log.has(E, "Non-fatal recv error (errno 90).\n"));
    EXPECT_TRUE(log.has(E, "Could not receive datagram (errno 5).\n"));

    // A channel that is not open has nothing to wait on: the read fails at
    // once as on a bad descriptor, so that its reader reports the error and
    // ends instead of waiting for ever; it clears its len bytes and no more.
    std::vector<UInt8> buf(0x10000, 0x5A);
    errno = 0;
    EXPECT_EQ(0, RNDIS_Read(SERIAL_DEVICE_RNDIS, buf.data(), 0xFFFF));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(std::vector<UInt8>(0xFFFF, 0), std::vector<UInt8>(buf.begin(), buf.end() - 1));
    EXPECT_EQ(0x5A, buf.back());
    EXPECT_TRUE(log.has(E, "Could not receive datagram (errno 9).\n")) << log.dump();
}

TEST(RndisDrv, DeviceIdsOutsideTheChannelsFail) {
    LogCapture log;
    for (UInt32 dev : {5u, 18u}) {
        // Neither the caller's buffer (the index check comes before the zero
        // fill) nor the outputs of GetRawInfo are touched. The index is
        // logged signed: device 5 shows -9.
        UInt8 buf[4] = {9, 9, 9, 9};
        Int32 port = 7;
        UInt32 value = 7;
        log.clear();
        const std::string invalid = "Invalid RNDIS device index: " + std::to_string(static_cast<int>(dev - 14u)) + "\n";
        EXPECT_EQ(0, RNDIS_OpenDevice(dev, 0));
        EXPECT_EQ(0, RNDIS_CloseDevice(dev));
        EXPECT_EQ(0, RNDIS_Read(dev, buf, sizeof buf));
        EXPECT_EQ(0, RNDIS_Write(dev, buf, sizeof buf));
        EXPECT_EQ(0, RNDIS_GetRawInfo(dev, &port, &port, &value, &value));
        expectLines(log, {{E, invalid}, {I, "RNDIS_CloseDevice\n"}, {E, invalid}, {I, "RNDIS_Read\n"},
                          {E, invalid}, {I, "RNDIS_Write\n"}, {E, invalid}, {I, "RNDIS_GetRawInfo\n"},
                          {E, invalid}});
        EXPECT_EQ(0, std::memcmp(buf, "\x09\x09\x09\x09", 4));
        EXPECT_EQ(7, port);
        EXPECT_EQ(7u, value);
    }
}

// A failed open closes at once whatever it has made. Bind failure: the port
// is held by a socket without SO_REUSEADDR.
TEST(RndisDrv, FailedOpenClosesWhatItMade) {
    TestSocket holder;
    configure(0, 1, holder.port());
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    LogCapture log;
    EXPECT_EQ(0, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    expectLines(log, {
                         {I, "\nStarting AT server: (Rx)" + std::to_string(holder.port()) + ",(Tx)1\n"},
                         {E, "\nError: Could not connect to host. " + std::string(std::strerror(EADDRINUSE)) +
                                 " (" + std::to_string(EADDRINUSE) + ")\n"},
                         {I, "RNDIS_CloseDevice\n"},
                     });
    int after = dup(0);
    EXPECT_EQ(lowestFree, after);
    close(after);

    // With room for exactly one more descriptor the Rx socket is made and
    // the Tx socket fails; the Rx socket's descriptor is free again after.
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + 1);
    log.clear();
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
    const Int32 result = RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS4, 0);
    after = dup(0);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(0, result);
    EXPECT_EQ(lowestFree, after);
    if (after >= 0) close(after);
    EXPECT_TRUE(log.has(E, "\nError: Could not make a Tx socket\n")) << log.dump();
    log.clear();
    EXPECT_EQ(1, RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS4));
    expectLines(log, {{I, "RNDIS_CloseDevice\n"}});  // nothing left to close: the name only
}

// ---- ending a blocked receive ----

UInt8 g_buf[32];

// The shutdown signal ends the receive whether it came before the wait
// (pending, since readers keep it blocked) or during it. The serial manager's
// order, a close while the reader waits and then the signal, runs at random
// moments in the transport stress on loopback.
TEST(RndisDrvSignal, SignalBeforeOrDuringTheWaitEndsTheReceive) {
    ttytest::installSigusr2Handler();
    openOnFreePort(0, 0);
    LogCapture log;
    auto read = [] { return RNDIS_Read(SERIAL_DEVICE_RNDIS, g_buf, sizeof g_buf); };
    for (bool before : {true, false}) {
        SCOPED_TRACE(before ? "before the wait" : "during the wait");
        const int handled = ttytest::sigusr2Count().load();
        ReaderThread reader(read, /*signalFirst=*/before);
        if (!before) {
            ASSERT_TRUE(attest::waitInPselect(reader.tid()));
            reader.signal();
        }
        ASSERT_TRUE(reader.waitDone());
        EXPECT_TRUE(!before || reader.handledBefore() == handled);  // pending, not yet handled
        EXPECT_EQ(65535, reader.result());
        EXPECT_EQ(EINTR, reader.error());
        EXPECT_EQ(handled + 1, ttytest::sigusr2Count().load());
    }
    EXPECT_EQ(2, log.count(E, "Non-fatal recv error (errno 4).\n")) << log.dump();
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
}

// A close with no signal after it, and an open of another channel that gets
// the same descriptor numbers, between the reader taking its descriptor and
// its wait: the reader reports an interrupted receive (not a read error) and
// does not receive the other channel's datagram.
TEST(RndisDrvSignal, DescriptorReusedBeforeTheWaitIsNotRead) {
    TestSocket client;
    openOnFreePort(0, 0);
    const int oldRx = s_rndis_channel[0].RxSd;
    static const TestSocket* sender = nullptr;
    sender = &client;
    g_beforeWait = [] {
        RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
        sender->sendTo(openOnFreePort(2, 0), "for channel 2");
    };
    g_beforeWaitOn = oldRx;
    LogCapture log;
    {
        ReaderThread reader([] { return RNDIS_Read(SERIAL_DEVICE_RNDIS, g_buf, sizeof g_buf); });
        ASSERT_TRUE(reader.waitDone());
        EXPECT_EQ(65535, reader.result());
        EXPECT_EQ(EINTR, reader.error());
    }
    EXPECT_EQ(-1, g_beforeWaitOn.load()) << "the reader never waited";
    ASSERT_EQ(oldRx, s_rndis_channel[2].RxSd) << "descriptor number was not reused";
    EXPECT_TRUE(log.has(E, "Non-fatal recv error (errno 4).\n")) << log.dump();
    // The datagram is still waiting for its own channel.
    ASSERT_EQ(13, RNDIS_Read(SERIAL_DEVICE_RNDIS3, g_buf, sizeof g_buf));
    EXPECT_EQ(0, std::memcmp(g_buf, "for channel 2", 13));
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS3);
}

}  // namespace
