// In-process channels: parking reads, the hand-over to the host's send-data
// callback, and the orderings of open, close and read.
#include <android/log.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "drivers/socket_drv.h"
#include "drivers/socket_drv_internal.h"
#include "log_capture.h"
#include "socket_read_stages.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "stubs/other_stubs.h"
#include "wait.h"

namespace {

using attest::LogCapture;
using attest::waitUntil;

constexpr int I = ANDROID_LOG_INFO;

// A read on its own thread, which must return 0 and leave the buffer alone
// (nothing is ever received). A read that never returns is a hang: report it
// and end the process rather than leave a thread blocked for ever.
struct ParkedRead {
    std::atomic<bool> returned{false};
    std::atomic<int> result{-1};
    std::thread thread;
    explicit ParkedRead(UInt32 devId) {
        thread = std::thread([this, devId] {
            UInt8 buf[4] = {0xA5, 0xA5, 0xA5, 0xA5};
            result = KOVA_SOCKET_Read(devId, buf, sizeof buf);
            for (UInt8 byte : buf) EXPECT_EQ(0xA5, byte);
            returned = true;
        });
    }
    ~ParkedRead() {
        if (!waitUntil([this] { return returned.load(); }, std::chrono::seconds(20))) {
            ADD_FAILURE() << "read did not return";
            std::_Exit(1);
        }
        thread.join();
        EXPECT_EQ(0, result.load());
    }
};

// Set when a read is about to wait on its second obtain.
std::atomic<bool> g_atSecondObtain{false};
void noteSecondObtain(UInt32, int stage) {
    if (stage == 2) g_atSecondObtain = true;
}

TEST(SocketDrv, ReadReturnsOnlyAfterCloseFromAnotherThreadAndAReopenLeaksNoMutex) {
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    // open, close, no read (the reader ended before reading), open again: the
    // re-open destroys the stale mutex, and its read parks as usual despite
    // the earlier close.
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET4, 0));
    KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4);
    ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET4, 0));
    EXPECT_EQ(start + 1, OSSEMAPHORE_GetLiveCount());
    LogCapture log;
    socketstages::onStage = noteSecondObtain;
    {
        ParkedRead reader(SERIAL_DEVICE_SOCKET4);
        ASSERT_TRUE(waitUntil([] { return g_atSecondObtain.load(); }));
        // The reader holds the mutex and asks for it again: only a close ends that.
        EXPECT_FALSE(reader.returned.load());
        EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4));
    }
    socketstages::onStage = nullptr;
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
    // The message carries the channel index, not the device ID.
    EXPECT_TRUE(log.has(I, "KOVA_SOCKET_Read[3]: exiting read\n")) << log.dump();
    EXPECT_EQ(1u, log.lines().size()) << log.dump();
    // A close of a channel without a mutex does nothing.
    EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4));
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
}

// A close before the read (it released a free mutex), after the first obtain
// (the closed flag catches it) or after the flag check (the release ends the
// second obtain): the read returns 0 and leaves no mutex.
TEST(SocketDrv, CloseBeforeOrBetweenTheTwoObtainsDoesNotPark) {
    static std::atomic<int> closeAt{0};
    socketstages::onStage = [](UInt32 channel, int stage) {
        if (stage == closeAt.load()) KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET + channel);
    };
    for (int stage : {0, 1, 2}) {
        SCOPED_TRACE(stage);
        closeAt = stage;
        const UInt32 start = OSSEMAPHORE_GetLiveCount();
        ASSERT_EQ(1, KOVA_SOCKET_OpenDevice(SERIAL_DEVICE_SOCKET2, 0));
        if (stage == 0) KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET2);
        { ParkedRead reader(SERIAL_DEVICE_SOCKET2); }
        EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
    }
    socketstages::onStage = nullptr;
}

TEST(SocketDrv, ReadWithoutMutexLogsBothFailedObtainsAndReturns) {
    LogCapture log;
    { ParkedRead reader(SERIAL_DEVICE_SOCKET2); }
    const std::string status = std::to_string(OSSTATUS_INVALID_HANDLE);
    EXPECT_TRUE(log.has(ANDROID_LOG_ERROR,
                        "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex fail. status=" + status + "\r\n"))
        << log.dump();
    EXPECT_TRUE(log.has(ANDROID_LOG_ERROR,
                        "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex (2) fail. status=" + status + "\r\n"))
        << log.dump();
    EXPECT_TRUE(log.has(I, "KOVA_SOCKET_Read[1]: exiting read\n"));
}

struct SentRecord {
    UInt32 devId = 0;
    const UInt8* data = nullptr;
    UInt32 len = 0;
};
SentRecord g_sent;

// A write needs no open channel, parks nothing and checks nothing: any ID,
// buffer and length go to the callback, whose result comes back as an
// unsigned 16-bit count.
TEST(SocketDrv, WriteHandsAnyIdBufferAndLengthToTheSendCallback) {
    const UInt8 bytes[] = "OK\r\n";
    EXPECT_EQ(0, KOVA_SOCKET_Write(SERIAL_DEVICE_SOCKET2, bytes, 4));  // no callback: nothing sent
    AT_STUBS_RegisterCallbacks(
        [](UInt32 devId, const UInt8* data, UInt32 len) -> Int32 {
            g_sent = {devId, data, len};
            return -5;
        },
        nullptr);
    const UInt32 start = OSSEMAPHORE_GetLiveCount();
    EXPECT_EQ(static_cast<UInt16>(-5), KOVA_SOCKET_Write(0xFFFFFFFFu, bytes, 0xFFFF));
    EXPECT_EQ(0xFFFFFFFFu, g_sent.devId);
    EXPECT_EQ(bytes, g_sent.data);
    EXPECT_EQ(0xFFFFu, g_sent.len);
    EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
}

std::string assertion(const char* function) {
    return std::string("common/modem/at/stubs/socket_drv:[0-9]+: ") + function +
           ": assertion \"devId >= SERIAL_DEVICE_SOCKET && devId <= SERIAL_DEVICE_SOCKET4\" failed";
}

TEST(SocketDrvDeathTest, DeviceIdOutsideTheChannelsStopsTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    for (UInt32 id : {UInt32{SERIAL_DEVICE_RNDIS4}, 22u}) {
        SCOPED_TRACE(id);
        EXPECT_DEATH(KOVA_SOCKET_OpenDevice(id, 0), assertion("KOVA_SOCKET_OpenDevice"));
        EXPECT_DEATH(KOVA_SOCKET_CloseDevice(id), assertion("KOVA_SOCKET_CloseDevice"));
        EXPECT_DEATH(KOVA_SOCKET_Read(id, nullptr, 0), assertion("KOVA_SOCKET_Read"));
    }
}

}  // namespace
