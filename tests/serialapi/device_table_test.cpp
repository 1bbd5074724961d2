// The serial device table: registration in both forms, handles by first open
// attempt, reference counts, dispatch by handle and the table lock. Fake
// drivers sit on device IDs that the library never registers (6 to 13).
#include <android/log.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "serialapi/serialapi_internal.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

// Every driver call, marked "*" when made with the table lock held.
std::string g_calls;
Int32 g_openResult = 1;
Int32 note(const std::string& call, Int32 result) {
    g_calls += call + (OSSEMAPHORE_GetCnt(gSerialDeviceLock) == 0 ? "* " : " ");
    return result;
}
Int32 registerFake(SerialDeviceId id, bool withRead = true, bool withWrite = true) {
    SerialDriverOpen open = [](SerialDeviceId d, UInt32 p) {
        return note("open" + std::to_string(d) + "/" + std::to_string(p), g_openResult);
    };
    SerialDriverClose close = [](SerialDeviceId d) { return note("close" + std::to_string(d), 77); };  // ignored
    SerialDriverRead read = [](SerialDeviceId d, UInt8*, UInt16 n) {
        return UInt16(note("read" + std::to_string(d), n));
    };
    SerialDriverWrite write = [](SerialDeviceId d, const UInt8*, UInt16) {
        return UInt16(note("write" + std::to_string(d), 5));
    };
    return Serial_ConfigureDeviceEx(id, open, close, withRead ? read : nullptr, withWrite ? write : nullptr, nullptr,
                                    nullptr, [] { note("aux3", 0); }, nullptr, 0x55, 0x11, 0x22);
}

// Choice: a device without a legacy event-callback operation (every device in
// the device-ID form) gets 1 from Serial_RegisterEventCallBack, and nothing is called.
TEST(DeviceTable, HandlesFollowFirstOpenAttemptsAndOnlyTheLastCloseReachesTheDriver) {
    for (SerialDeviceId id : {6u, 7u, 8u}) ASSERT_EQ(registerFake(id), static_cast<Int32>(id));
    g_openResult = 0;
    EXPECT_EQ(Serial_OpenDevice(6, 9), SERIAL_OPEN_NOT_OPENED);  // keeps handle 0, unopened
    g_openResult = 5;
    EXPECT_EQ(Serial_OpenDevice(8, 0), SERIAL_OPEN_FAILED);  // keeps handle 1
    g_openResult = 1;
    attest::LogCapture log;
    EXPECT_EQ(Serial_OpenDevice(~0u, 0) + Serial_OpenDevice(3, 0), -2);  // out of range; never registered
    EXPECT_EQ(Serial_OpenDevice(7, 0), 2);
    EXPECT_THAT(attest::linesOf(log),
                ElementsAre(Pair(ANDROID_LOG_INFO, "Serial_OpenDevice: devID=-1\r\n"),
                            Pair(ANDROID_LOG_INFO, "Serial_OpenDevice: deviceID invalid(1), or !deviceValid\r\n"),
                            Pair(ANDROID_LOG_INFO, "Serial_OpenDevice: devID=3\r\n"),
                            Pair(ANDROID_LOG_INFO, "Serial_OpenDevice: deviceID invalid(0), or !deviceValid\r\n"),
                            Pair(ANDROID_LOG_INFO, "Serial_OpenDevice: devID=7\r\n"),
                            Pair(ANDROID_LOG_INFO, "Serial_OpenDevice: openResult=1\r\n")));
    EXPECT_EQ(Serial_OpenDevice(7, 0), SERIAL_OPEN_NOT_OPENED);  // already open: the driver is not asked
    EXPECT_EQ(Serial_OpenDevice(6, 0), 0);
    EXPECT_EQ(Serial_Read(0, nullptr, 3) + Serial_Write(0, nullptr, 3), 8);
    EXPECT_EQ(Serial_RegisterEventCallBack(0, [] {}), 1);
    Serial_SetRefCnt(7, 2);
    EXPECT_EQ(Serial_CloseDevice(2) + Serial_GetRefCnt(7) + Serial_CloseDevice(2), 1);
    // A closed device's handle reaches nothing.
    EXPECT_EQ(Serial_Read(2, nullptr, 4) + Serial_Write(2, nullptr, 4) + Serial_CloseDevice(2), 1);
    EXPECT_EQ(Serial_GetDeviceID(2) * 100 + Serial_GetDeviceID(0), SERIAL_DEVICE_NULL * 100 + 6);
    // 0 selects the registered default; reads and writes run without the table lock.
    EXPECT_EQ(g_calls, "open6/9* open8/85* open7/85* open6/85* read6 write6 close7* ");
}

// Choice: a close before the first registration returns 1 at once, without a lock.
TEST(DeviceTable, BeforeAnyRegistrationHandlesMatchNothingAndFailedRegistrationsChangeNothing) {
    EXPECT_EQ(Serial_CloseDevice(0), 1);
    EXPECT_EQ(Serial_Read(-1, nullptr, 4) + Serial_Write(0, nullptr, 4), 0);
    EXPECT_EQ(Serial_RegisterEventCallBack(0, [] {}), 1);
    attest::LogCapture log;
    EXPECT_EQ(registerFake(24), -1);  // a failed registration does not make the lock either
    EXPECT_EQ(gSerialDeviceLock, 0u);
    ASSERT_EQ(registerFake(6), 6);
    EXPECT_EQ(registerFake(6, false) + registerFake(6, true, false), -2);
    EXPECT_THAT(attest::linesOf(log), ElementsAre(Pair(ANDROID_LOG_ERROR, "Serial_ConfigureDeviceEx(24) failed\n"),
                                                  Pair(ANDROID_LOG_ERROR, "Serial_ConfigureDeviceEx(6) failed\n"),
                                                  Pair(ANDROID_LOG_ERROR, "Serial_ConfigureDeviceEx(6) failed\n")));
    EXPECT_EQ(Serial_Read(Serial_OpenDevice(6, 0), nullptr, 1), 1);
}

// Choice: the adapter of a spare legacy operation given as null returns 0.
// The drivers that Serial_Init registers are the library's; every later
// registration is the host's, also one that replaces a library driver.
TEST(DeviceTable, LegacyDriversGetTheirCallsWithoutTheIdAndFailSilently) {
    SerialLegacyOpen open = [](UInt32 p) { return note("open" + std::to_string(p), 1); };
    SerialLegacyClose close = [] { return note("close", 0); };
    SerialLegacyRead read = [](UInt8*, UInt16 n) { return UInt16(note("read" + std::to_string(n), 0xFFF3)); };
    SerialLegacyWrite write = [](const UInt8*, UInt16 n) { return UInt16(note("write" + std::to_string(n), 0xFFFF)); };
    attest::LogCapture log;
    EXPECT_EQ(Serial_ConfigureDevice(24, open, close, read, write, 0, 0, 0, 0, 0, 0, 0) +
                  Serial_ConfigureDevice(7, open, nullptr, read, write, 0, 0, 0, 0, 0, 0, 0), -2);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    ASSERT_EQ(Serial_ConfigureDevice(
                  9, open, close, read, write, [](UInt32 a) { return note("aux1:" + std::to_string(a), 11); },
                  [] { return note("aux2", 22); }, [](SerialEventCallBack) { return note("event", 5); },
                  [](UInt32 a) { return note("aux4:" + std::to_string(a), 44); }, 0x77, 0, 0),
              9);
    Serial_ConfigureDevice(10, open, close, read, write, 0, 0, 0, 0, 0, 0, 0);
    const Int32 handle = Serial_OpenDevice(9, 0);
    EXPECT_EQ(Serial_Read(handle, nullptr, 16) + Serial_Write(handle, nullptr, 7), 0xFFF3 + 0xFFFF);
    EXPECT_EQ(Serial_RegisterEventCallBack(handle, [] {}) + Serial_CloseDevice(handle), 0);
    const SerialDeviceEntry& entry = gSerialDeviceTable[9];
    EXPECT_EQ(entry.auxOp1(9, 0xAB) + entry.auxOp2(9) + entry.auxOp4(9, 0xCD), 11 + 22 + 44);
    EXPECT_EQ(gSerialDeviceTable[10].auxOp1(10, 1) + gSerialDeviceTable[10].auxOp2(10), 0);
    EXPECT_EQ(g_calls, "open119* read16 write7 event close* aux1:171 aux2 aux4:205 ");
    Serial_Init();
    Serial_ConfigureDevice(SERIAL_DEVICE_RNDIS2, open, close, read, write, 0, 0, 0, 0, 0, 0, 0);
    std::string owners;
    for (SerialDeviceId id : {5u, 14u, 15u, 18u, 9u, 11u, 24u}) owners += Serial_IsHostDriver(id) ? 'H' : 'L';
    EXPECT_EQ(owners, "LLHLHLL");
}

TEST(DeviceTable, RefCntOfOutOfRangeIdsIsReportedThroughXassert) {
    KOVA_SetXassertHook([](const char* expression, const char* file, UInt32, Int32 value) {
        note(std::string(expression) + " @" + file + " " + std::to_string(value), 0);
    });
    EXPECT_EQ(Serial_GetRefCnt(24), 0);
    Serial_SetRefCnt(0xFFFFFFFFu, 3);
    EXPECT_EQ(g_calls, "deviceID < SERIAL_DEVICE_MAX_DEVICE_NUM @common/modem/at/stubs/serialapi 24* "
                       "deviceID < SERIAL_DEVICE_MAX_DEVICE_NUM @common/modem/at/stubs/serialapi -1* ");
}

}  // namespace
