// In-process channels: parking reads, the hand-over to the host's send-data
// callback, and the orderings of open, close and read.
#include <android/log.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "drivers/socket_drv.h"
#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "socket_read_stages.h"
#include "stubs/other_stubs.h"
#include "wait.h"

namespace {

using attest::LogCapture;
using attest::waitUntil;
constexpr int I = ANDROID_LOG_INFO;
constexpr int E = ANDROID_LOG_ERROR;

// A read on its own thread, which must return 0 and leave the buffer alone.
// A read that never returns is a hang: report it and end the process.
struct ParkedRead {
    std::atomic<bool> returned{false};
    std::thread thread;
    explicit ParkedRead(UInt32 devId) {
        thread = std::thread([this, devId] {
            UInt8 buf[4] = {0xA5, 0xA5, 0xA5, 0xA5};
            EXPECT_EQ(0, KOVA_SOCKET_Read(devId, buf, sizeof buf));
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
    }
};

std::atomic<int> g_closeAt{0};
std::atomic<bool> g_atSecondObtain{false};

// The close falls before the read (it released a free mutex), after the first
// obtain (the closed flag catches it), right before the second obtain, or
// while the read waits there (stage 3, from the test's thread). Each time the
// read returns 0 and no mutex is left. Before each round an open, a close and
// no read (the reader ended before reading) leave a mutex behind that the
// next open destroys.
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
            ParkedRead reader(SERIAL_DEVICE_SOCKET4);
            if (stage == 3) {
                ASSERT_TRUE(waitUntil([] { return g_atSecondObtain.load(); }));
                EXPECT_FALSE(reader.returned.load());
                EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4));
            }
        }
        EXPECT_EQ(start, OSSEMAPHORE_GetLiveCount());
        // The line carries the channel index, not the device ID.
        ASSERT_EQ(1u, log.lines().size()) << log.dump();
        EXPECT_TRUE(log.has(I, "KOVA_SOCKET_Read[3]: exiting read\n")) << log.dump();
    }
    socketstages::onStage = nullptr;
    EXPECT_EQ(1, KOVA_SOCKET_CloseDevice(SERIAL_DEVICE_SOCKET4));  // no mutex: nothing to do
}

TEST(SocketDrv, ReadWithoutMutexLogsBothFailedObtainsAndReturns) {
    LogCapture log;
    { ParkedRead reader(SERIAL_DEVICE_SOCKET2); }
    const std::string status = std::to_string(OSSTATUS_INVALID_HANDLE);
    EXPECT_TRUE(log.has(E, "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex fail. status=" + status + "\r\n")) << log.dump();
    EXPECT_TRUE(log.has(E, "KOVA_SOCKET_Read[1]: OSSEMAPHORE_obtainMutex (2) fail. status=" + status + "\r\n"))
        << log.dump();
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
            sentId = devId;
            sentData = data;
            sentLen = len;
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

}  // namespace
