// RNDIS UDP driver on real loopback sockets. Stopping a blocked receive is
// checked with the other drivers' in driver_props_test.cpp.
#include <android/log.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "log_capture.h"
#include "serialapi/serialapi.h"

namespace {

using attest::LogCapture;
constexpr int I = ANDROID_LOG_INFO;
constexpr int E = ANDROID_LOG_ERROR;

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

// The captured lines are exactly these, with these priorities, in order.
void expectLines(const LogCapture& log, const std::vector<std::pair<int, std::string>>& expected) {
    std::vector<std::pair<int, std::string>> got;
    for (const auto& line : log.lines()) got.emplace_back(line.priority, line.text);
    EXPECT_EQ(expected, got);
}

TEST(RndisDrv, ConfigurationKeepsPortsThatAreNotSetAndBindsTheLow16Bits) {
    LogCapture log;
    RNDIS_SetRndisConfig(nullptr);
    RndisConfig config{{{-1, 6001}, {0, -1}, {-1, -1}, {-1, -1}}};
    RNDIS_SetRndisConfig(&config);
    // Port 0 counts as set; a negative one keeps the port as it is.
    expectLines(log, {{E, "RNDIS_SetRndisConfig: RndisConfig=NULL?\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS0 RxPort=6001\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS0 TxPort not set, using existing value: 0\n"},
                      {I, "RNDIS0 RxPort=6001 TxPort=0\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS1 RxPort not set, using existing value: 0\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS1 TxPort=0\n"},
                      {I, "RNDIS1 RxPort=0 TxPort=0\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS2 RxPort not set, using existing value: 0\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS2 TxPort not set, using existing value: 0\n"},
                      {I, "RNDIS2 RxPort=0 TxPort=0\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS3 RxPort not set, using existing value: 0\n"},
                      {I, "RNDIS_SetRndisConfig:  RNDIS3 TxPort not set, using existing value: 0\n"},
                      {I, "RNDIS3 RxPort=0 TxPort=0\n"}});
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
    expectLines(log, {{I, "RNDIS_Read\n"}, {I, "RNDIS_GetRawInfo\n"}, {I, "RNDIS_Write\n"}, {I, "AT response - len 4\n"}});

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
    const std::string warning = "RNDIS_Write() Warning: string longer than maximum buffer length\n";
    log.clear();
    EXPECT_EQ(999, writeText(SERIAL_DEVICE_RNDIS2, std::string(999, 'a')));
    EXPECT_EQ(0, log.count(I, warning));
    EXPECT_EQ(1000, writeText(SERIAL_DEVICE_RNDIS2, std::string(1000, 'b')));
    EXPECT_EQ(1, log.count(I, warning));
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS2, std::string(0xFFFF, 'x')));
    EXPECT_TRUE(log.has(E, "RNDIS_Write() Error sending datagram. bytes:4294967295, errno:90\n")) << log.dump();
    EXPECT_EQ(999u, replies.receive().size());
    EXPECT_EQ(std::string(1000, 'b'), replies.receive());

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
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
    ASSERT_EQ(1, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    EXPECT_EQ(65535, writeText(SERIAL_DEVICE_RNDIS, "OK"));
    RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS);
    // EINTR and EMSGSIZE are retried by the reader, the rest end it.
    log.clear();
    EXPECT_EQ(65535, rndisReceiveFailure(EMSGSIZE));
    EXPECT_EQ(0, rndisReceiveFailure(EIO));
    expectLines(log, {{E, "Non-fatal recv error (errno 90).\n"}, {E, "Could not receive datagram (errno 5).\n"}});
}

TEST(RndisDrv, DeviceIdsOutsideTheChannelsFail) {
    LogCapture log;
    for (UInt32 dev : {5u, 18u}) {
        // Neither the caller's buffer nor the outputs are touched. The index
        // is logged signed: device 5 shows -9.
        UInt8 buf[4] = {9, 9, 9, 9};
        Int32 port = 7;
        log.clear();
        const std::string invalid = "Invalid RNDIS device index: " + std::to_string(static_cast<int>(dev - 14u)) + "\n";
        EXPECT_EQ(0, RNDIS_OpenDevice(dev, 0));
        EXPECT_EQ(0, RNDIS_CloseDevice(dev));
        EXPECT_EQ(0, RNDIS_Read(dev, buf, sizeof buf));
        EXPECT_EQ(0, RNDIS_Write(dev, buf, sizeof buf));
        EXPECT_EQ(0, RNDIS_GetRawInfo(dev, &port, &port, nullptr, nullptr));
        expectLines(log, {{E, invalid}, {I, "RNDIS_CloseDevice\n"}, {E, invalid}, {I, "RNDIS_Read\n"},
                          {E, invalid}, {I, "RNDIS_Write\n"}, {E, invalid}, {I, "RNDIS_GetRawInfo\n"},
                          {E, invalid}});
        EXPECT_EQ(0, std::memcmp(buf, "\x09\x09\x09\x09", 4));
        EXPECT_EQ(7, port);
    }
}

// A failed open closes at once whatever it has made, so the lowest free
// descriptor is the same before and after.
TEST(RndisDrv, FailedOpenClosesWhatItMade) {
    TestSocket holder;  // holds the port without SO_REUSEADDR: bind fails
    configure(0, 1, holder.port());
    const int lowestFree = dup(0);
    close(lowestFree);
    LogCapture log;
    EXPECT_EQ(0, RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0));
    expectLines(log, {{I, "\nStarting AT server: (Rx)" + std::to_string(holder.port()) + ",(Tx)1\n"},
                      {E, "\nError: Could not connect to host. " + std::string(std::strerror(EADDRINUSE)) + " (" +
                              std::to_string(EADDRINUSE) + ")\n"},
                      {I, "RNDIS_CloseDevice\n"}});
    int after = dup(0);
    EXPECT_EQ(lowestFree, after);
    close(after);
    // Room for exactly one more descriptor: the Rx socket is made, the Tx
    // socket fails.
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
    close(after);
    EXPECT_TRUE(log.has(E, "\nError: Could not make a Tx socket\n")) << log.dump();
}

}  // namespace
