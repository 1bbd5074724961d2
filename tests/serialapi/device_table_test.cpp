// The serial device table: registration in both forms, handles by first open attempt, reference counts,
// dispatch by handle and the table lock. Fake drivers sit on IDs that the library never registers (6 to 13).
#include <android/log.h>
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "serialapi/serialapi_internal.h"

namespace {

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

// Also a failed attempt; IDs out of range or never registered get none. An open device is not opened again.
// Parameter 0 selects the registered default; every open runs under the table lock.
TEST(DeviceTable, HandlesFollowFirstOpenAttempts) {
    for (SerialDeviceId id : {6u, 7u, 8u}) ASSERT_EQ(registerFake(id), static_cast<Int32>(id));
    const struct {
        SerialDeviceId id;
        UInt32 param;
        Int32 driverResult, result;
    } opens[] = {{6, 9, 0, SERIAL_OPEN_NOT_OPENED}, {8, 0, 5, SERIAL_OPEN_FAILED}, {~0u, 0, 1, -1}, {3, 0, 1, -1},
                 {7, 0, 1, 2}, {7, 0, 1, SERIAL_OPEN_NOT_OPENED}, {6, 0, 1, 0}};
    for (const auto& o : opens) {
        g_openResult = o.driverResult;
        EXPECT_EQ(Serial_OpenDevice(o.id, o.param), o.result) << "device " << o.id;
    }
    EXPECT_EQ(g_calls, "open6/9* open8/85* open7/85* open6/85* ");
    EXPECT_EQ(Serial_GetDeviceID(0), 6u);
    EXPECT_EQ(Serial_GetDeviceID(1), SERIAL_DEVICE_NULL);  // device 8 never opened
}

// Calls by handle go without the table lock. Choice: a device without a legacy event-callback operation
// (every device in the device-ID form) gets 1 from Serial_RegisterEventCallBack, and nothing is called.
TEST(DeviceTable, OnlyTheLastCloseReachesTheDriverAndThenTheHandleReachesNothing) {
    ASSERT_EQ(registerFake(7), 7);
    ASSERT_EQ(Serial_OpenDevice(7, 0), 0);
    EXPECT_EQ(Serial_Read(0, nullptr, 3), 3);
    EXPECT_EQ(Serial_Write(0, nullptr, 3), 5);
    EXPECT_EQ(Serial_RegisterEventCallBack(0, [] {}), 1);
    Serial_SetRefCnt(7, 2);
    EXPECT_EQ(Serial_CloseDevice(0), 0);
    EXPECT_EQ(Serial_GetRefCnt(7), 1);
    EXPECT_EQ(Serial_CloseDevice(0), 0);
    EXPECT_EQ(Serial_Read(0, nullptr, 4), 0);
    EXPECT_EQ(Serial_Write(0, nullptr, 4), 0);
    EXPECT_EQ(Serial_CloseDevice(0), 1);
    EXPECT_EQ(Serial_GetDeviceID(0), SERIAL_DEVICE_NULL);
    EXPECT_EQ(g_calls, "open7/85* read7 write7 close7* ");
}

// Choice: a close before the first registration returns 1 at once, without a lock.
TEST(DeviceTable, BeforeAnyRegistrationHandlesMatchNothingAndFailedRegistrationsChangeNothing) {
    EXPECT_EQ(Serial_CloseDevice(0), 1);
    EXPECT_EQ(Serial_Read(-1, nullptr, 4), 0);
    EXPECT_EQ(Serial_Write(0, nullptr, 4), 0);
    EXPECT_EQ(Serial_RegisterEventCallBack(0, [] {}), 1);
    attest::LogCapture log;
    EXPECT_EQ(registerFake(24), -1);  // a failed registration does not make the lock either
    EXPECT_EQ(gSerialDeviceLock, 0u);
    ASSERT_EQ(registerFake(6), 6);
    EXPECT_EQ(registerFake(6, false), -1);
    EXPECT_EQ(registerFake(6, true, false), -1);
    EXPECT_EQ(log.count(ANDROID_LOG_ERROR, "Serial_ConfigureDeviceEx(6) failed\n"), 2);
    EXPECT_EQ(Serial_Read(Serial_OpenDevice(6, 0), nullptr, 1), 1);
}

// Choice: the adapter of a spare legacy operation given as null returns 0.
TEST(DeviceTable, LegacyDriversGetTheirCallsWithoutTheIdAndFailSilently) {
    SerialLegacyOpen open = [](UInt32 p) { return note("open" + std::to_string(p), 1); };
    SerialLegacyClose close = [] { return note("close", 0); };
    SerialLegacyRead read = [](UInt8*, UInt16 n) { return UInt16(note("read" + std::to_string(n), 0xFFF3)); };
    SerialLegacyWrite write = [](const UInt8*, UInt16 n) { return UInt16(note("write" + std::to_string(n), 0xFFFF)); };
    attest::LogCapture log;
    EXPECT_EQ(Serial_ConfigureDevice(24, open, close, read, write, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(Serial_ConfigureDevice(7, open, nullptr, read, write, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    ASSERT_EQ(Serial_ConfigureDevice(
                  9, open, close, read, write, [](UInt32 a) { return note("aux1:" + std::to_string(a), 11); },
                  [] { return note("aux2", 22); }, [](SerialEventCallBack) { return note("event", 5); },
                  [](UInt32 a) { return note("aux4:" + std::to_string(a), 44); }, 0x77, 0, 0),
              9);
    Serial_ConfigureDevice(10, open, close, read, write, 0, 0, 0, 0, 0, 0, 0);
    const Int32 handle = Serial_OpenDevice(9, 0);
    EXPECT_EQ(Serial_Read(handle, nullptr, 16), 0xFFF3);
    EXPECT_EQ(Serial_Write(handle, nullptr, 7), 0xFFFF);
    EXPECT_EQ(Serial_RegisterEventCallBack(handle, [] {}), 0);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    const SerialDeviceEntry &entry = gSerialDeviceTable[9], &spare = gSerialDeviceTable[10];
    const std::pair<Int32, Int32> aux[] = {{entry.auxOp1(9, 0xAB), 11}, {entry.auxOp2(9), 22},  // {got, want}
                                           {entry.auxOp4(9, 0xCD), 44}, {spare.auxOp1(10, 1), 0},
                                           {spare.auxOp2(10), 0}};
    for (const auto& [got, want] : aux) EXPECT_EQ(got, want);
    EXPECT_EQ(g_calls, "open119* read16 write7 event close* aux1:171 aux2 aux4:205 ");
}

// Also one that replaces a library driver.
TEST(DeviceTable, RegistrationsAfterStartUpAreTheHosts) {
    Serial_Init();
    for (SerialDeviceId id : {SERIAL_DEVICE_RNDIS2, 9u}) registerFake(id);
    std::string owners;
    for (SerialDeviceId id : {5u, 14u, 15u, 18u, 9u, 11u, 24u}) owners += Serial_IsHostDriver(id) ? 'H' : 'L';
    EXPECT_EQ(owners, "LLHLHLL");
}

}  // namespace
