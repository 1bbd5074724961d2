// In-process channels: parking reads, the hand-over to the host's send-data
// callback, and the orderings of open, close and read.
#include <gtest/gtest.h>

#include <android/log.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "drivers/socket_drv.h"
#include "drivers/socket_drv_internal.h"
#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "stubs/other_stubs.h"
#include "wait.h"

namespace {

using attest::LogCapture;
using attest::waitUntil;

// Runs fn on its own thread and waits for it with a deadline. A read that
// never returns is a hang: report it and end the process rather than leave a
// thread blocked for ever.
void runWithDeadline(const std::function<void()>& fn) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
    });
    if (!waitUntil([&] { return done.load(); }, std::chrono::seconds(20))) {
        ADD_FAILURE() << "read did not return";
        std::_Exit(1);
    }
    worker.join();
}

UInt16 readOn(UInt32 devId) {
    UInt8 buf[4] = {};
    return KOVA_SOCKET_Read(devId, buf, sizeof buf);
}

TEST(SocketDrv, ReadReturnsOnlyAfterCloseFromAnotherThread) {
    LogCapture log;
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET4, 0));
    ASSERT_NE(0u, gSocketMutex[3].load());

    static std::atomic<bool> atSecondObtain{false};
    gSocketReadHook = [](UInt32, int stage) {
        if (stage == 2) atSecondObtain = true;
    };
    std::array<UInt8, 8> buf;
    buf.fill(0xA5);
    std::atomic<bool> returned{false};
    std::atomic<int> result{-1};
    std::thread reader([&] {
        result = KOVA_SOCKET_Read(SERIAL_DEVICE_SOCKET4, buf.data(), static_cast<UInt16>(buf.size()));
        returned = true;
    });
    ASSERT_TRUE(waitUntil([] { return atSecondObtain.load(); }));
    // The reader holds the mutex and asks for it again: only a close ends that.
    EXPECT_TRUE(waitUntil([&] { return OSSEMAPHORE_GetCnt(gSocketMutex[3].load()) == 0; }));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(0, log.countContaining("exiting read"));

    EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4));
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    reader.join();
    EXPECT_EQ(0, result.load());
    for (UInt8 byte : buf) EXPECT_EQ(0xA5, byte);
    EXPECT_EQ(0u, gSocketMutex[3].load());
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
    // The message carries the channel index, not the device ID.
    EXPECT_TRUE(log.has(ANDROID_LOG_INFO, "KOVA_SOCKET_Read[3]: exiting read\n")) << log.dump();
    EXPECT_EQ(1, static_cast<int>(log.lines().size())) << log.dump();
}

TEST(SocketDrv, CloseBeforeReadDoesNotPark) {
    LogCapture log;
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET, 0));
    ASSERT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET));
    // The close released a free mutex: the reader must still not park.
    runWithDeadline([] { EXPECT_EQ(0, readOn(SERIAL_DEVICE_SOCKET)); });
    EXPECT_EQ(0u, gSocketMutex[0].load());
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
    EXPECT_TRUE(log.has(ANDROID_LOG_INFO, "KOVA_SOCKET_Read[0]: exiting read\n")) << log.dump();
}

// A close that lands between the two obtains, in either window: after the
// first obtain (the closed flag catches it) and after the flag check (the
// release ends the second obtain).
TEST(SocketDrv, CloseBetweenTheTwoObtainsDoesNotPark) {
    for (int stage : {1, 2}) {
        SCOPED_TRACE(stage);
        const UInt32 start = OSSEMAPHORE_GetLiveCount();
        static std::atomic<int> closeAt{0};
        static std::atomic<int> closes{0};
        closeAt = stage;
        closes = 0;
        gSocketReadHook = [](UInt32 channel, int s) {
            if (s == closeAt.load()) {
                KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET + channel);
                ++closes;
            }
        };
        ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET2, 0));
        runWithDeadline([] { EXPECT_EQ(0, readOn(SERIAL_DEVICE_SOCKET2)); });
        EXPECT_EQ(1, closes.load());
        EXPECT_EQ(0u, gSocketMutex[1].load());
        EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
        gSocketReadHook = nullptr;
    }
}

// Every ordering the device layer can produce, and a few it cannot, ends with
// no mutex left over and no read parked for ever.
TEST(SocketDrv, OpenCloseReadOrderingsLeakNoMutex) {
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    const UInt32 dev = SERIAL_DEVICE_SOCKET3;

    // open, read (parks), close.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(dev, 0));
        std::atomic<bool> returned{false};
        std::thread reader([&] {
            readOn(dev);
            returned = true;
        });
        ASSERT_TRUE(waitUntil([] { return OSSEMAPHORE_GetCnt(gSocketMutex[2].load()) == 0; }));
        KOVA_SOCKET_CloseDevice(dev);
        ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
        reader.join();
        EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
    }

    // open, close, no read (the reader ended before reading), open again: the
    // stale mutex is destroyed by the re-open, and the new open parks a read
    // as usual despite the earlier close.
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(dev, 0));
    KOVA_SOCKET_CloseDevice(dev);
    EXPECT_EQ(start + 1, OSSEMAPHORE_GetLiveCount());
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(dev, 0));
    EXPECT_EQ(start + 1, OSSEMAPHORE_GetLiveCount());
    EXPECT_FALSE(gSocketClosed[2].load());
    static std::atomic<bool> parked{false};
    gSocketReadHook = [](UInt32, int stage) {
        if (stage == 2) parked = true;
    };
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        readOn(dev);
        returned = true;
    });
    ASSERT_TRUE(waitUntil([] { return parked.load(); }));
    EXPECT_FALSE(returned.load());
    KOVA_SOCKET_CloseDevice(dev);
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    reader.join();
    gSocketReadHook = nullptr;
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());

    // open twice without a close, then close and read.
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(dev, 0));
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(dev, 0));
    EXPECT_EQ(start + 1, OSSEMAPHORE_GetLiveCount());
    KOVA_SOCKET_CloseDevice(dev);
    runWithDeadline([&] { EXPECT_EQ(0, readOn(dev)); });
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());

    // A close of a channel without a mutex does nothing.
    EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(dev));
    EXPECT_EQ(0u, gSocketMutex[2].load());
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
}

TEST(SocketDrv, ReadWithoutMutexLogsBothFailedObtainsAndReturns) {
    LogCapture log;
    runWithDeadline([] { EXPECT_EQ(0, readOn(SERIAL_DEVICE_SOCKET2)); });
    const std::string status = std::to_string(OSSTATUS_INVALID_HANDLE);
    EXPECT_TRUE(log.has(ANDROID_LOG_ERROR,
                        "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex fail. status=" + status + "\r\n"))
        << log.dump();
    EXPECT_TRUE(log.has(ANDROID_LOG_ERROR,
                        "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex (2) fail. status=" + status + "\r\n"))
        << log.dump();
    EXPECT_TRUE(log.has(ANDROID_LOG_INFO, "KOVA_SOCKET_Read[1]: exiting read\n"));
}

struct SentRecord {
    UInt32 devId = 0;
    const UInt8* data = nullptr;
    UInt32 len = 0;
    int calls = 0;
};
SentRecord g_sent;

Int32 recordingSend(UInt32 devId, const UInt8* data, UInt32 len) {
    g_sent.devId = devId;
    g_sent.data = data;
    g_sent.len = len;
    ++g_sent.calls;
    return 7;
}

TEST(SocketDrv, WriteHandsBytesToTheSendCallback) {
    const UInt8 bytes[] = "OK\r\n";
    // No callback: nothing is sent.
    EXPECT_EQ(0, KOVA_SOCKET_Write(SERIAL_DEVICE_SOCKET2, bytes, 4));

    AT_STUBS_RegisterCallbacks(recordingSend, nullptr);
    EXPECT_EQ(7, KOVA_SOCKET_Write(SERIAL_DEVICE_SOCKET2, bytes, 4));
    EXPECT_EQ(1, g_sent.calls);
    EXPECT_EQ(SERIAL_DEVICE_SOCKET2, g_sent.devId);
    EXPECT_EQ(bytes, g_sent.data);
    EXPECT_EQ(4u, g_sent.len);

    // A write needs no open channel, and parks nothing.
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    EXPECT_EQ(7, KOVA_SOCKET_Write(SERIAL_DEVICE_SOCKET4, bytes, 0));
    EXPECT_EQ(SERIAL_DEVICE_SOCKET4, g_sent.devId);
    EXPECT_EQ(0u, g_sent.len);
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
}

const char kRange[] = "devId >= SERIAL_DEVICE_SOCKET && devId <= SERIAL_DEVICE_SOCKET4";

std::string assertion(const char* function) {
    return std::string("common/modem/at/stubs/socket_drv:[0-9]+: ") + function + ": assertion \"" + kRange +
           "\" failed";
}

TEST(SocketDrvDeathTest, DeviceIdOutsideTheChannelsStopsTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    for (UInt32 id : {0u, UInt32{SERIAL_DEVICE_RNDIS4}, 22u, 23u, 24u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        EXPECT_DEATH(KOVA_SOCKET_OpenDevice(id, 0), assertion("KOVA_SOCKET_OpenDevice"));
        EXPECT_DEATH(KOVA_SOCKET_CloseDevice(id), assertion("KOVA_SOCKET_CloseDevice"));
        EXPECT_DEATH(KOVA_SOCKET_Read(id, nullptr, 0), assertion("KOVA_SOCKET_Read"));
    }
}

}  // namespace
