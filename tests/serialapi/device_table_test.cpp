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
constexpr int kInfo = ANDROID_LOG_INFO, kError = ANDROID_LOG_ERROR;

// Every call of a fake operation, marked "*" when made with the table lock held.
std::string g_calls;
Int32 g_openResult = 1;
void note(const std::string& call) { g_calls += call + (OSSEMAPHORE_GetCnt(gSerialDeviceLock) == 0 ? "* " : " "); }
Int32 fakeOpen(SerialDeviceId id, UInt32 param) {
    return note("open" + std::to_string(id) + "/" + std::to_string(param)), g_openResult;
}
Int32 fakeClose(SerialDeviceId id) { return note("close" + std::to_string(id)), 77; }  // the result is ignored
UInt16 fakeRead(SerialDeviceId id, UInt8*, UInt16 len) { return note("read" + std::to_string(id)), len; }
UInt16 fakeWrite(SerialDeviceId id, const UInt8*, UInt16) { return note("write" + std::to_string(id)), 5; }
void fakeAuxOp3() { note("aux3"); }
Int32 registerFake(SerialDeviceId id, SerialDriverRead read = fakeRead, SerialDriverWrite write = fakeWrite) {
    return Serial_ConfigureDeviceEx(id, fakeOpen, fakeClose, read, write, nullptr, nullptr, fakeAuxOp3, nullptr, 0x55,
                                    0x11, 0x22);
}

// Choice: a device without a legacy event-callback operation (every device in
// the device-ID form) gets 1 from Serial_RegisterEventCallBack, and nothing is called.
TEST(DeviceTable, HandlesFollowFirstOpenAttemptsAndOnlyTheLastCloseReachesTheDriver) {
    for (SerialDeviceId id : {6u, 7u, 8u}) ASSERT_EQ(registerFake(id), static_cast<Int32>(id));
    {
        attest::LogCapture log;
        EXPECT_EQ(Serial_OpenDevice(~0u, 0), -1);  // compared unsigned
        EXPECT_EQ(Serial_OpenDevice(3, 0), -1);  // in range, never registered
        EXPECT_THAT(attest::linesOf(log),
                    ElementsAre(Pair(kInfo, "Serial_OpenDevice: devID=-1\r\n"),
                                Pair(kInfo, "Serial_OpenDevice: deviceID invalid(1), or !deviceValid\r\n"),
                                Pair(kInfo, "Serial_OpenDevice: devID=3\r\n"),
                                Pair(kInfo, "Serial_OpenDevice: deviceID invalid(0), or !deviceValid\r\n")));
    }
    g_openResult = 0;
    EXPECT_EQ(Serial_OpenDevice(6, 9), SERIAL_OPEN_NOT_OPENED);  // keeps handle 0, unopened
    g_openResult = 5;
    EXPECT_EQ(Serial_OpenDevice(8, 0), SERIAL_OPEN_FAILED);  // keeps handle 1
    g_openResult = 1;
    attest::LogCapture log;
    EXPECT_EQ(Serial_OpenDevice(7, 0), 2);
    EXPECT_THAT(attest::linesOf(log), ElementsAre(Pair(kInfo, "Serial_OpenDevice: devID=7\r\n"),
                                                  Pair(kInfo, "Serial_OpenDevice: openResult=1\r\n")));
    EXPECT_EQ(Serial_OpenDevice(7, 0), SERIAL_OPEN_NOT_OPENED);  // already open: the driver is not asked
    EXPECT_EQ(Serial_OpenDevice(6, 0), 0);
    EXPECT_EQ(Serial_Read(0, nullptr, 3) + Serial_Write(0, nullptr, 3), 8);
    EXPECT_EQ(Serial_RegisterEventCallBack(0, fakeAuxOp3), 1);
    Serial_SetRefCnt(7, 2);
    EXPECT_EQ(Serial_CloseDevice(2), 0);
    EXPECT_EQ(Serial_GetRefCnt(7), 1);
    EXPECT_EQ(Serial_CloseDevice(2), 0);
    // A closed device's handle reaches nothing.
    EXPECT_EQ(Serial_Read(2, nullptr, 4) + Serial_Write(2, nullptr, 4) + Serial_CloseDevice(2), 1);
    EXPECT_EQ(Serial_GetDeviceID(2), SERIAL_DEVICE_NULL);
    EXPECT_EQ(Serial_GetDeviceID(0), 6u);
    // 0 selects the registered default; reads and writes run without the table lock.
    EXPECT_EQ(g_calls, "open6/9* open8/85* open7/85* open6/85* read6 write6 close7* ");
}

// Choice: a close before the first registration returns 1 at once, without a lock.
TEST(DeviceTable, BeforeAnyRegistrationHandlesMatchNothingAndNoLockIsMade) {
    UInt8 buf[4] = {};
    EXPECT_EQ(Serial_CloseDevice(0), 1);
    EXPECT_EQ(Serial_Read(-1, buf, 4) + Serial_Write(0, buf, 4), 0);
    EXPECT_EQ(Serial_RegisterEventCallBack(0, fakeAuxOp3), 1);
    EXPECT_EQ(Serial_GetDeviceID(-1), SERIAL_DEVICE_NULL);
    attest::LogCapture log;
    EXPECT_EQ(registerFake(24), -1);  // a failed registration does not make the lock either
    EXPECT_EQ(gSerialDeviceLock, 0u);
    // A missing read or write fails and leaves the entry as it was.
    ASSERT_EQ(registerFake(6), 6);
    EXPECT_EQ(registerFake(6, nullptr), -1);
    EXPECT_EQ(registerFake(6, fakeRead, nullptr), -1);
    EXPECT_THAT(attest::linesOf(log), ElementsAre(Pair(kError, "Serial_ConfigureDeviceEx(24) failed\n"),
                                                  Pair(kError, "Serial_ConfigureDeviceEx(6) failed\n"),
                                                  Pair(kError, "Serial_ConfigureDeviceEx(6) failed\n")));
    EXPECT_EQ(Serial_Read(Serial_OpenDevice(6, 0), nullptr, 1), 1);
    EXPECT_EQ(g_calls, "open6/85* read6 ");
}

// A driver in the legacy form that notes its calls.
std::string g_legacy;
Int32 legacy(const std::string& call, Int32 result) { return g_legacy += call + " ", result; }
Int32 legacyOpen(UInt32 param) { return legacy("open" + std::to_string(param), 1); }
Int32 legacyClose() { return legacy("close", 0); }
UInt16 legacyRead(UInt8*, UInt16 len) { return static_cast<UInt16>(legacy("read" + std::to_string(len), 0xFFF3)); }
UInt16 legacyWrite(const UInt8*, UInt16 n) { return static_cast<UInt16>(legacy("write" + std::to_string(n), 0xFFFF)); }
Int32 legacyAux1(UInt32 a) { return legacy("aux1:" + std::to_string(a), 11); }
Int32 legacyAux2() { return legacy("aux2", 22); }
Int32 legacyAux4(UInt32 a) { return legacy("aux4:" + std::to_string(a), 44); }
Int32 legacyEvent(SerialEventCallBack cb) { return legacy(cb == fakeAuxOp3 ? "event" : "other event", 5); }
Int32 registerLegacy(SerialDeviceId id, SerialLegacyOpen open = legacyOpen, SerialLegacyClose close = legacyClose) {
    return Serial_ConfigureDevice(id, open, close, legacyRead, legacyWrite, nullptr, nullptr, nullptr, nullptr, 0, 0,
                                  0);
}

// Choice: the adapter of a spare legacy operation given as null returns 0.
// The drivers that Serial_Init registers are the library's; every later
// registration is the host's, also one that replaces a library driver.
TEST(DeviceTable, LegacyDriversGetTheirCallsWithoutTheIdAndFailSilently) {
    attest::LogCapture log;
    EXPECT_EQ(registerLegacy(24) + registerLegacy(7, legacyOpen, nullptr) + registerLegacy(6, nullptr), -3);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_EQ(Serial_OpenDevice(7, 0), -1);
    ASSERT_EQ(Serial_ConfigureDevice(9, legacyOpen, legacyClose, legacyRead, legacyWrite, legacyAux1, legacyAux2,
                                     legacyEvent, legacyAux4, 0x77, 0, 0), 9);
    const Int32 handle = Serial_OpenDevice(9, 0);
    EXPECT_EQ(Serial_Read(handle, nullptr, 16), STOP_READING_USB_TTY);
    EXPECT_EQ(Serial_Write(handle, nullptr, 7), 65535);
    EXPECT_EQ(Serial_RegisterEventCallBack(handle, fakeAuxOp3), 0);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    const SerialDeviceEntry& entry = gSerialDeviceTable[9];
    EXPECT_EQ(entry.auxOp1(9, 0xAB) + entry.auxOp2(9) + entry.auxOp4(9, 0xCD), 11 + 22 + 44);
    EXPECT_EQ(g_legacy, "open119 read16 write7 event close aux1:171 aux2 aux4:205 ");
    registerLegacy(10);
    EXPECT_EQ(gSerialDeviceTable[10].auxOp1(10, 1) + gSerialDeviceTable[10].auxOp2(10), 0);
    Serial_Init();
    registerLegacy(SERIAL_DEVICE_RNDIS2);
    std::string owners;
    for (SerialDeviceId id : {5u, 14u, 15u, 18u, 9u, 11u, 24u}) owners += Serial_IsHostDriver(id) ? 'H' : 'L';
    EXPECT_EQ(owners, "LLHLHLL");
}

TEST(DeviceTable, RefCntOfOutOfRangeIdsIsReportedThroughXassert) {
    static std::string reports;
    KOVA_SetXassertHook([](const char* expression, const char* file, UInt32, Int32 value) {
        reports += std::string(expression) + " @" + file + " " + std::to_string(value) + "|";
    });
    EXPECT_EQ(Serial_GetRefCnt(24), 0);
    Serial_SetRefCnt(0xFFFFFFFFu, 3);
    const std::string text = "deviceID < SERIAL_DEVICE_MAX_DEVICE_NUM @common/modem/at/stubs/serialapi ";
    EXPECT_EQ(reports, text + "24|" + text + "-1|");
}

}  // namespace
