// Every exported function, called with each argument a caller can get wrong:
// NULL pointers, device IDs that are never registered or out of range (22,
// 23, 24, 0xFFFFFFFF), handles no device holds, lengths 0, 0xFFFE and 0xFFFF,
// negative and oversized counts, a locked_sz of 0, ports out of range. Each
// must give its documented result (or stop the process with its documented
// assertion text) and nothing else: no crash, no hang, and no write outside
// the caller's buffers, which sit between canary bytes (and under ASan in
// the sanitizer build).
#include <gtest/gtest.h>

#include <android/log.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "buffer/cbuffer.h"
#include "buffer_dump.h"
#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "drivers/socket_drv.h"
#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "serialapi/serialapi_internal.h"
#include "stubs/other_stubs.h"

namespace {

constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;
constexpr UInt8 kCanary = 0xA5;

const UInt32 kBadDeviceIds[] = {22, 23, 24, 0xFFFFFFFFu};
const UInt16 kBadLengths[] = {0, 0xFFFE, 0xFFFF};

// A caller's buffer of n bytes with 32 canary bytes on each side.
struct Guarded {
    explicit Guarded(size_t n, UInt8 fill = 0x5A) : size(n), area(32, kCanary) {
        area.insert(area.end(), n, fill);
        area.insert(area.end(), 32, kCanary);
    }
    UInt8* data() { return area.data() + 32; }
    bool canariesIntact() const {
        for (size_t i = 0; i < 32; ++i)
            if (area[i] != kCanary || area[32 + size + i] != kCanary) return false;
        return true;
    }
    bool allBytes(UInt8 v) const {
        for (size_t i = 0; i < size; ++i)
            if (area[32 + i] != v) return false;
        return true;
    }
    size_t size;
    std::vector<UInt8> area;
};

// Regex for a death test that matches the assertion text literally.
std::string literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

// ---- a driver that records what reached it ----

struct Seen {
    int opens = 0, closes = 0, reads = 0, writes = 0;
    const UInt8* buf = nullptr;
    UInt16 len = 0;
};
Seen g_seen;

Int32 recOpen(SerialDeviceId, UInt32) {
    ++g_seen.opens;
    return 1;
}
Int32 recClose(SerialDeviceId) {
    ++g_seen.closes;
    return 1;
}
UInt16 recRead(SerialDeviceId, UInt8* buf, UInt16 len) {
    ++g_seen.reads;
    g_seen.buf = buf;
    g_seen.len = len;
    return len;
}
UInt16 recWrite(SerialDeviceId, const UInt8* buf, UInt16 len) {
    ++g_seen.writes;
    g_seen.buf = buf;
    g_seen.len = len;
    return len;
}

// ======================= serial device layer =======================

TEST(BadInputSerialApi, LengthsAndNullBuffersPassUnchangedToTheDriver) {
    ASSERT_EQ(Serial_ConfigureDeviceEx(8, recOpen, recClose, recRead, recWrite, nullptr, nullptr, nullptr, nullptr, 0,
                                       0, 0),
              8);
    const Int32 h = Serial_OpenDevice(8, 0);
    ASSERT_GE(h, 0);
    for (UInt16 len : kBadLengths) {
        SCOPED_TRACE(len);
        g_seen = Seen{};
        EXPECT_EQ(Serial_Read(h, nullptr, len), len);
        EXPECT_EQ(g_seen.reads, 1);
        EXPECT_EQ(g_seen.buf, nullptr);
        EXPECT_EQ(g_seen.len, len);
        EXPECT_EQ(Serial_Write(h, nullptr, len), len);
        EXPECT_EQ(g_seen.writes, 1);
        EXPECT_EQ(g_seen.len, len);
    }
    EXPECT_EQ(Serial_CloseDevice(h), 0);
}

// ======================= RNDIS UDP driver =======================

TEST(BadInputRndis, ReadOnAChannelThatIsNotOpenFailsAtOnceInsideTheBuffer) {
    // Decision of the driver: with no socket there is nothing to wait on, so
    // the read fails as on a bad descriptor (0, errno EBADF) instead of
    // blocking; the reader that gets it reports the error and ends.
    attest::LogCapture log;
    for (UInt16 len : kBadLengths) {
        SCOPED_TRACE(len);
        Guarded buf(len);
        EXPECT_EQ(RNDIS_Read(14, buf.data(), len), 0);
        EXPECT_TRUE(buf.allBytes(0));
        EXPECT_TRUE(buf.canariesIntact());
    }
    EXPECT_EQ(RNDIS_Read(15, nullptr, 0), 0);
    EXPECT_EQ(log.count(kError, "Could not receive datagram (errno 9).\n"), 4) << log.dump();
}

TEST(BadInputRndis, OversizedWritesFailWithTheSendersCount) {
    // 0xFFFE and 0xFFFF bytes are more than one IPv4 datagram can carry: the
    // send fails (EMSGSIZE) once a client is known, and the result is 65535.
    attest::LogCapture log;
    // A Tx port of 0 would make every send fail with EINVAL first.
    RndisConfig cfg;
    for (auto& e : cfg.entry) e = {-1, -1};
    cfg.entry[1].TxPort = 9;
    RNDIS_SetRndisConfig(&cfg);
    ASSERT_EQ(RNDIS_OpenDevice(15, 0), 1);
    struct sockaddr_in to;
    socklen_t len = sizeof to;
    ASSERT_EQ(getsockname(s_rndis_channel[1].RxSd, reinterpret_cast<struct sockaddr*>(&to), &len), 0);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    ASSERT_EQ(sendto(sender, "AT\r", 3, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to), 3);
    Guarded in(1536);
    ASSERT_EQ(RNDIS_Read(15, in.data(), 1536), 3);
    for (UInt16 n : {UInt16{0xFFFE}, UInt16{0xFFFF}}) {
        SCOPED_TRACE(n);
        std::vector<UInt8> out(n, 'x');
        log.clear();
        EXPECT_EQ(RNDIS_Write(15, out.data(), n), 65535);
        EXPECT_TRUE(log.has(kInfo, "RNDIS_Write() Warning: string longer than maximum buffer length\n"));
        EXPECT_TRUE(log.has(kError, "RNDIS_Write() Error sending datagram. bytes:4294967295, errno:90\n"))
            << log.dump();
    }
    close(sender);
    EXPECT_EQ(RNDIS_CloseDevice(15), 1);
}

TEST(BadInputRndis, ConfigurationNullAndOutOfRangePorts) {
    attest::LogCapture log;
    RNDIS_SetRndisConfig(nullptr);
    EXPECT_EQ(s_rndis_channel[0].RxPort, 0);

    // A free port P; the configuration asks for P + 65536, of which only the
    // low 16 bits are used: the channel binds P, while the stored and logged
    // value stays as given. Negative values of any size mean "not set".
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    ASSERT_EQ(bind(probe, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
    socklen_t alen = sizeof a;
    ASSERT_EQ(getsockname(probe, reinterpret_cast<struct sockaddr*>(&a), &alen), 0);
    const int port = ntohs(a.sin_port);
    close(probe);

    RndisConfig cfg;
    cfg.entry[0] = {INT_MAX, port + 65536};
    cfg.entry[1] = {INT_MIN, -1};
    cfg.entry[2] = {-1, INT_MIN};
    cfg.entry[3] = {65535, 65536};
    log.clear();
    RNDIS_SetRndisConfig(&cfg);
    EXPECT_TRUE(log.has(kInfo, "RNDIS0 RxPort=" + std::to_string(port + 65536) + " TxPort=2147483647\n"))
        << log.dump();
    EXPECT_TRUE(log.has(kInfo, "RNDIS_SetRndisConfig:  RNDIS1 TxPort not set, using existing value: 0\n"));
    EXPECT_TRUE(log.has(kInfo, "RNDIS_SetRndisConfig:  RNDIS2 RxPort not set, using existing value: 0\n"));
    EXPECT_TRUE(log.has(kInfo, "RNDIS3 RxPort=65536 TxPort=65535\n"));
    Int32 rx = 0, tx = 0;
    UInt32 size = 0, addr = 1;
    EXPECT_EQ(RNDIS_GetRawInfo(14, &rx, &tx, &size, &addr), 1);
    EXPECT_EQ(rx, port + 65536);
    EXPECT_EQ(tx, INT_MAX);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(addr, 0u);
    // Outputs given as NULL are skipped (decision of the driver).
    EXPECT_EQ(RNDIS_GetRawInfo(14, nullptr, nullptr, nullptr, nullptr), 1);

    ASSERT_EQ(RNDIS_OpenDevice(14, 0), 1);
    struct sockaddr_in bound;
    socklen_t blen = sizeof bound;
    ASSERT_EQ(getsockname(s_rndis_channel[0].RxSd, reinterpret_cast<struct sockaddr*>(&bound), &blen), 0);
    EXPECT_EQ(ntohs(bound.sin_port), port);
    EXPECT_EQ(RNDIS_CloseDevice(14), 1);
}

// ======================= in-process channels =======================


struct SentToClient {
    int calls = 0;
    UInt32 devId = 0;
    const UInt8* data = nullptr;
    UInt32 len = 0;
};
SentToClient g_sent;

TEST(BadInputSocket, WritePassesAnyIdBufferAndLengthToTheHost) {
    UInt8 byte = 1;
    EXPECT_EQ(KOVA_SOCKET_Write(0xFFFFFFFFu, &byte, 0xFFFF), 0);  // no callback: 0
    AT_STUBS_RegisterCallbacks(
        [](UInt32 devId, const UInt8* data, UInt32 len) -> Int32 {
            ++g_sent.calls;
            g_sent.devId = devId;
            g_sent.data = data;
            g_sent.len = len;
            return -5;
        },
        nullptr);
    for (UInt32 id : kBadDeviceIds) {
        for (UInt16 len : kBadLengths) {
            g_sent = SentToClient{};
            EXPECT_EQ(KOVA_SOCKET_Write(id, nullptr, len), static_cast<UInt16>(-5));
            EXPECT_EQ(g_sent.calls, 1);
            EXPECT_EQ(g_sent.devId, id);
            EXPECT_EQ(g_sent.data, nullptr);
            EXPECT_EQ(g_sent.len, len);
        }
    }
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
    EXPECT_EQ(AT_STUBS_SendDataToClient(22, nullptr, 0xFFFFFFFFu), 0);
}

TEST(BadInputSocket, CloseOfAChannelNeverOpenedDoesNothing) {
    for (UInt32 id = SERIAL_DEVICE_SOCKET; id <= SERIAL_DEVICE_SOCKET4; ++id) EXPECT_EQ(KOVA_SOCKET_CloseDevice(id), 1);
}

// ======================= stubs and string helpers =======================

TEST(BadInputStubs, StringHelpersNeverWritePastSize) {
    const std::string longText(300, 'z');
    for (UInt32 size : {1u, 2u, 7u, 8u}) {
        SCOPED_TRACE(size);
        Guarded a(size, 'q'), b(size, 'q'), c(size, 0);
        SYS_CopyStr8(reinterpret_cast<char*>(a.data()), longText.c_str(), size);
        SYS_FormatStr8(reinterpret_cast<char*>(b.data()), size, "%s%s", longText.c_str(), longText.c_str());
        SYS_AppendStr8(reinterpret_cast<char*>(c.data()), longText.c_str(), size);
        for (Guarded* g : {&a, &b, &c}) {
            EXPECT_TRUE(g->canariesIntact());
            EXPECT_EQ(g->data()[size - 1], 0);
            EXPECT_EQ(std::strlen(reinterpret_cast<char*>(g->data())), size - 1);
        }
    }
}

using BadInputStubsDeathTest = ::testing::Test;

TEST_F(BadInputStubsDeathTest, ClientIdRangesPastTheLimitStopTheProcess) {
    const std::string text = "SYS_GenClientIDRange.*" + literal("gClientIdIndex < MAX_CLIENT_NUM");
    EXPECT_DEATH(SYS_GenClientIDRange(0xFFFFFFFFu), text);  // 255 after the 8-bit sum
    EXPECT_DEATH(SYS_GenClientIDRange(30), text);
    EXPECT_DEATH(SYS_GenClientIDRange(0x7FFFFFFFu), text);
}

// ======================= circular buffer =======================

TEST(BadInputCBuffer, NegativeZeroAndOversizedCountsStayInsideTheBuffers) {
    CBuffer* cb = BUFFER_CreateCBuffer(16, -1);
    ASSERT_NE(cb, nullptr);
    Guarded src(16, 'x');
    // Nothing happens for counts of 0 or below, whatever the pointer.
    for (Int16 cnt : {Int16{0}, Int16{-1}, Int16{-32768}}) {
        SCOPED_TRACE(cnt);
        EXPECT_EQ(BUFFER_PutCBufferBlock(cb, nullptr, cnt), 0);
        EXPECT_EQ(BUFFER_GetCBufferBlock(cb, nullptr, cnt), 0);
        EXPECT_EQ(BUFFER_FlushCBufferBlock(cb, cnt), 0);
    }
    EXPECT_EQ(attest::dumpCBuffer(cb).overrun_cnt, 0);
    // An oversized put stores what fits and counts the rest, reading only
    // what it stores: the source here is exactly 16 bytes long.
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, src.data(), 32767), 16);
    EXPECT_EQ(attest::dumpCBuffer(cb).overrun_cnt, (32767 - 16) % 256);
    // An oversized get copies only what is stored.
    Guarded dst(16, 0);
    EXPECT_EQ(BUFFER_GetCBufferBlock(cb, dst.data(), 32767), 16);
    EXPECT_TRUE(dst.allBytes('x'));
    EXPECT_TRUE(dst.canariesIntact());
    // Flush counts below -1 discard nothing; oversized ones what is stored.
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, src.data(), 5), 5);
    EXPECT_EQ(BUFFER_FlushCBufferBlock(cb, -2), 0);
    EXPECT_EQ(BUFFER_FlushCBufferBlock(cb, 32767), 5);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

}  // namespace
