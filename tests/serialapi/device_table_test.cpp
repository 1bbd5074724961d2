// The serial device table: registration in both forms, handles by first open
// attempt, reference counting, dispatch by handle and the table lock. Fake
// drivers sit on device IDs that the library never registers (6 to 13).
#include <gtest/gtest.h>

#include <android/log.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "serialapi/serialapi_internal.h"
#include "wait.h"

namespace {

// A scriptable driver in the device-ID form; open and close, which run under
// the table lock, add the lock's count to lockSeen.
struct FakeDevice {
    Int32 openResult = 1;
    int opens = 0, closes = 0, reads = 0, writes = 0;
    UInt32 lastOpenParam = 0, lockSeen = 0;
    UInt16 readResult = 0;
};
FakeDevice g_dev[SERIAL_DEVICE_MAX_DEVICE_NUM];
int g_calls = 0;  // every call of a fake operation

Int32 fakeOpen(SerialDeviceId id, UInt32 param) {
    g_dev[id].lockSeen += OSSEMAPHORE_GetCnt(gSerialDeviceLock);
    return ++g_calls, g_dev[id].opens++, g_dev[id].lastOpenParam = param, g_dev[id].openResult;
}
Int32 fakeClose(SerialDeviceId id) {
    g_dev[id].lockSeen += OSSEMAPHORE_GetCnt(gSerialDeviceLock);
    return ++g_calls, g_dev[id].closes++, 77;  // ignored by the layer
}
UInt16 fakeRead(SerialDeviceId id, UInt8*, UInt16) { return ++g_calls, g_dev[id].readResult; }
UInt16 fakeWrite(SerialDeviceId, const UInt8*, UInt16 len) { return ++g_calls, len; }
UInt16 otherRead(SerialDeviceId, UInt8*, UInt16) { return 2; }
void fakeAuxOp3(void) { ++g_calls; }

Int32 registerFake(SerialDeviceId id, UInt32 defaultOpenParam = 0, SerialDriverRead read = fakeRead) {
    return Serial_ConfigureDeviceEx(id, fakeOpen, fakeClose, read, fakeWrite, nullptr, nullptr, fakeAuxOp3, nullptr,
                                    defaultOpenParam, 0x11, 0x22);
}

// The "at" lines of the Android log as "<priority> <text>".
std::vector<std::string> atTexts(const attest::LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& line : log.lines())
        if (line.tag == "at") out.push_back(std::to_string(line.priority) + " " + line.text);
    return out;
}
std::string info(const std::string& text) { return std::to_string(ANDROID_LOG_INFO) + " " + text + "\r\n"; }

// Handles are given by first open attempt, failed ones included; invalid
// and unregistered IDs fail without a handle and leave the lock alone.
TEST(DeviceTable, HandlesFollowTheFirstOpenAttemptsIncludingFailedOnes) {
    for (SerialDeviceId id : {6u, 7u, 8u}) ASSERT_EQ(registerFake(id), static_cast<Int32>(id));
    g_dev[6].openResult = 0;
    g_dev[8].openResult = 5;
    attest::LogCapture log;
    std::vector<std::string> expected;
    // 3 is in range but never registered here; 0xFFFFFFFF is compared unsigned.
    for (SerialDeviceId id : {3u, 24u, ~0u}) {
        EXPECT_EQ(Serial_OpenDevice(id, 0), -1);
        expected.push_back(info("Serial_OpenDevice: devID=" + std::to_string(static_cast<int>(id))));
        expected.push_back(info("Serial_OpenDevice: deviceID invalid(" + std::to_string(id != 3) +
                                "), or !deviceValid"));
    }
    EXPECT_EQ(g_calls, 0);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(gSerialDeviceLock), 1u);
    EXPECT_EQ(Serial_OpenDevice(7, 0), 0);
    EXPECT_EQ(Serial_OpenDevice(6, 0), SERIAL_OPEN_NOT_OPENED);
    EXPECT_EQ(Serial_OpenDevice(8, 0), SERIAL_OPEN_FAILED);
    EXPECT_EQ(Serial_OpenDevice(7, 0), 39321);  // already open: the driver is not asked
    for (auto [id, result] : {std::pair{7, 1}, {6, 0}, {8, 5}, {7, 0}}) {
        expected.push_back(info("Serial_OpenDevice: devID=" + std::to_string(id)));
        expected.push_back(info("Serial_OpenDevice: openResult=" + std::to_string(result)));
    }
    EXPECT_EQ(atTexts(log), expected);
    EXPECT_EQ(g_dev[7].opens, 1);
    // The failed devices kept the handles of their attempts, unopened.
    EXPECT_EQ(Serial_GetRefCnt(7) * 100 + Serial_GetRefCnt(6) * 10 + Serial_GetRefCnt(8), 100);
    EXPECT_EQ(Serial_GetDeviceID(1), SERIAL_DEVICE_NULL);
    g_dev[6].openResult = g_dev[8].openResult = 1;
    EXPECT_EQ(Serial_OpenDevice(8, 0), 2);
    EXPECT_EQ(Serial_OpenDevice(6, 0), 1);
    g_dev[7].readResult = 3;
    EXPECT_EQ(Serial_Read(0, nullptr, 10), 3);  // the first handle still reaches the driver
}

// Choice: a device without a legacy event-callback operation (every device in
// the device-ID form) gets 1 from Serial_RegisterEventCallBack, and nothing is
// called.
TEST(DeviceTable, OnlyTheLastReferenceClosesAndDriverOpenAndCloseRunUnderTheLock) {
    registerFake(6, 0x55);  // creates the table lock, once
    const OSSemaphore lock = gSerialDeviceLock;
    registerFake(7);
    EXPECT_TRUE(lock != 0u && gSerialDeviceLock == lock);
    ASSERT_EQ(Serial_OpenDevice(7, 0), 0);
    const Int32 handle = Serial_OpenDevice(6, 9);
    ASSERT_EQ(handle, 1);
    EXPECT_EQ(g_dev[6].lastOpenParam, 9u);  // a non-zero parameter is handed over unchanged
    EXPECT_EQ(Serial_RegisterEventCallBack(handle, fakeAuxOp3), 1);
    Serial_SetRefCnt(6, 2);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(g_dev[6].closes * 10 + Serial_GetRefCnt(6), 1);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(g_dev[6].closes, 1);
    EXPECT_EQ(g_dev[6].lockSeen + g_dev[7].lockSeen, 0u);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(lock), 1u);
    // Opening again runs the driver again and keeps the handle.
    EXPECT_EQ(Serial_OpenDevice(6, 0), handle);
    EXPECT_EQ(g_dev[6].opens, 2);
    EXPECT_EQ(g_dev[6].lastOpenParam, 0x55u);  // 0 selects the registered default
    EXPECT_EQ(g_calls, 4);  // nothing for the event callback or the first close
    // Registering again replaces the operations and keeps handle and count.
    ASSERT_EQ(registerFake(6, 0, otherRead), 6);
    EXPECT_EQ(Serial_GetRefCnt(6), 1);
    EXPECT_EQ(Serial_Read(handle, nullptr, 4), 2);
    EXPECT_EQ(Serial_Write(handle, nullptr, 4), 4);
}

// Before anything is registered (no table lock yet) and after, with a device
// that was opened and closed again, so that its handle is stale.
// Choice: a close before the first registration returns 1 at once, without a lock.
TEST(DeviceTable, UnmatchedHandlesReachNoDriver) {
    UInt8 buf[4] = {};
    auto refuse = [&](Int32 known) {
        for (Int32 handle : {known, -1, 99}) {  // -1: the handle of a never-opened entry
            SCOPED_TRACE(handle);
            EXPECT_EQ(Serial_CloseDevice(handle), 1);
            EXPECT_EQ(Serial_Read(handle, buf, 4) + Serial_Write(handle, buf, 4), 0);
            EXPECT_EQ(Serial_RegisterEventCallBack(handle, fakeAuxOp3), 1);
            EXPECT_EQ(Serial_GetDeviceID(handle), SERIAL_DEVICE_NULL);
        }
    };
    refuse(0);
    EXPECT_EQ(gSerialDeviceLock, 0u);
    registerFake(6);
    registerFake(7);
    const Int32 open = Serial_OpenDevice(6, 0), closed = Serial_OpenDevice(7, 0);
    Serial_CloseDevice(closed);
    const int callsBefore = g_calls;
    refuse(closed);
    EXPECT_EQ(g_calls, callsBefore);
    EXPECT_EQ(Serial_GetDeviceID(open), 6u);
}

// A read that blocks in its driver until the device is closed: the close must
// get through while the read is still inside the driver. The read reports
// whether the close woke it (1) or its own generous time-out ended it (0).
OSSemaphore g_readGate = 0;
std::atomic<bool> g_readEntered{false};
UInt16 blockingRead(SerialDeviceId, UInt8*, UInt16) {
    g_readEntered = true;
    return OSSEMAPHORE_Obtain(g_readGate, 200 * 20) == OSSTATUS_SUCCESS ? 1 : 0;
}
Int32 gateClose(SerialDeviceId) { return OSSEMAPHORE_Release(g_readGate), 1; }

TEST(DeviceTable, ACloseGetsThroughWhileAReadBlocksInTheDriver) {
    g_readGate = OSSEMAPHORE_Create(0, OSSEMAPHORE_MODE_DEFAULT);
    Serial_ConfigureDeviceEx(13, fakeOpen, gateClose, blockingRead, fakeWrite, nullptr, nullptr, nullptr, nullptr, 0,
                             0, 0);
    const Int32 handle = Serial_OpenDevice(13, 0);
    std::atomic<int> readResult{-1};
    std::thread reader([&] { readResult = Serial_Read(handle, nullptr, 4); });
    ASSERT_TRUE(attest::waitUntil([] { return g_readEntered.load(); }));
    EXPECT_EQ(Serial_Write(handle, nullptr, 4), 4);  // writes pass a blocked read too
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    reader.join();
    EXPECT_EQ(readResult.load(), 1);
    OSSEMAPHORE_Destroy(g_readGate);
}

// A driver in the legacy form that notes its calls.
std::string g_legacyCalls;
const UInt8* g_legacyBuf = nullptr;
Int32 note(const std::string& call, Int32 result) { return g_legacyCalls += call + " ", result; }
Int32 legacyOpen(UInt32 param) { return note("open" + std::to_string(param), 1); }
Int32 legacyClose() { return note("close", 0); }
UInt16 legacyRead(UInt8* buf, UInt16 len) {
    return g_legacyBuf = buf, static_cast<UInt16>(note("read" + std::to_string(len), STOP_READING_USB_TTY));
}
UInt16 legacyWrite(const UInt8* buf, UInt16 len) {
    return g_legacyBuf = buf, static_cast<UInt16>(note("write" + std::to_string(len), 65535));
}
Int32 legacyAux1(UInt32 a) { return note("aux1:" + std::to_string(a), 11); }
Int32 legacyAux2() { return note("aux2", 22); }
Int32 legacyAux4(UInt32 a) { return note("aux4:" + std::to_string(a), 44); }
Int32 legacyEvent(SerialEventCallBack cb) { return note(cb == fakeAuxOp3 ? "event" : "other event", 5); }

Int32 registerLegacy(SerialDeviceId id, SerialLegacyOpen open = legacyOpen, SerialLegacyClose close = legacyClose) {
    return Serial_ConfigureDevice(id, open, close, legacyRead, legacyWrite, nullptr, nullptr, nullptr, nullptr, 0, 0, 0);
}

TEST(DeviceTable, FailedRegistrationsLogAndLeaveTheEntryUnchanged) {
    attest::LogCapture log;
    // Nothing registered yet: a failure must not even create the lock.
    EXPECT_EQ(Serial_ConfigureDeviceEx(24, fakeOpen, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, nullptr,
                                       nullptr, 0, 0, 0),
              -1);
    EXPECT_EQ(gSerialDeviceLock, 0u);
    registerFake(6, 0x55);
    for (int missing = 0; missing < 4; ++missing) {
        EXPECT_EQ(Serial_ConfigureDeviceEx(6, missing == 0 ? nullptr : &fakeOpen, missing == 1 ? nullptr : &fakeClose,
                                           missing == 2 ? nullptr : &otherRead, missing == 3 ? nullptr : &fakeWrite,
                                           nullptr, nullptr, nullptr, nullptr, 1, 2, 3),
                  -1)
            << missing;
    }
    const std::string e24 = std::to_string(ANDROID_LOG_ERROR) + " Serial_ConfigureDeviceEx(24) failed\n";
    const std::string e6 = std::to_string(ANDROID_LOG_ERROR) + " Serial_ConfigureDeviceEx(6) failed\n";
    EXPECT_EQ(atTexts(log), (std::vector<std::string>{e24, e6, e6, e6, e6}));
    // The legacy form fails silently.
    log.clear();
    EXPECT_EQ(registerLegacy(24) + registerLegacy(7, legacyOpen, nullptr) + registerLegacy(6, nullptr), -3);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_EQ(Serial_OpenDevice(7, 0), -1);
    // Device 6 still opens and reads through its first driver and default.
    g_dev[6].readResult = 9;
    EXPECT_EQ(Serial_Read(Serial_OpenDevice(6, 0), nullptr, 1), 9);
    EXPECT_EQ(g_dev[6].lastOpenParam, 0x55u);
}

// Choice: the adapter of a spare legacy operation given as null returns 0.
// The drivers that Serial_Init registers are the library's; every later
// registration is the host's, also one that replaces a library driver.
TEST(DeviceTable, LegacyAdaptersDropTheDeviceIdAndTheHostDriversAreMarked) {
    ASSERT_EQ(Serial_ConfigureDevice(9, legacyOpen, legacyClose, legacyRead, legacyWrite, legacyAux1, legacyAux2,
                                     legacyEvent, legacyAux4, 0x77, 0, 0),
              9);
    const Int32 handle = Serial_OpenDevice(9, 0);
    ASSERT_EQ(handle, 0);
    UInt8 buf[16];
    EXPECT_EQ(Serial_Read(handle, buf, 16), STOP_READING_USB_TTY);
    EXPECT_EQ(g_legacyBuf, buf);
    EXPECT_EQ(Serial_Write(handle, buf + 1, 7), 65535);
    EXPECT_EQ(g_legacyBuf, buf + 1);
    EXPECT_EQ(Serial_RegisterEventCallBack(handle, fakeAuxOp3), 0);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(Serial_OpenDevice(9, 3), handle);
    const SerialDeviceEntry& entry = gSerialDeviceTable[9];
    EXPECT_EQ(entry.auxOp1(9, 0xAB) + entry.auxOp2(9) + entry.auxOp4(9, 0xCD), 11 + 22 + 44);
    EXPECT_EQ(g_legacyCalls, "open119 read16 write7 event close open3 aux1:171 aux2 aux4:205 ");
    registerLegacy(10);
    const SerialDeviceEntry& spare = gSerialDeviceTable[10];
    EXPECT_EQ(spare.auxOp1(10, 1) + spare.auxOp2(10) + spare.auxOp4(10, 1), 0);

    Serial_Init();
    registerLegacy(SERIAL_DEVICE_RNDIS2);
    std::string owners;
    for (SerialDeviceId id : {5u, 14u, 15u, 18u, 21u, 9u, 10u, 11u, 24u}) owners += Serial_IsHostDriver(id) ? 'H' : 'L';
    EXPECT_EQ(owners, "LLHLLHHLL");
}

std::vector<std::string> g_reports;
TEST(DeviceTable, RefCntOfOutOfRangeIdsIsReportedThroughXassert) {
    KOVA_SetXassertHook([](const char* expression, const char* file, UInt32, Int32 value) {
        g_reports.push_back(std::string(expression) + " @" + file + " " + std::to_string(value));
    });
    EXPECT_EQ(Serial_GetRefCnt(24), 0);
    Serial_SetRefCnt(0xFFFFFFFFu, 3);
    KOVA_SetXassertHook(nullptr);
    const std::string text = "deviceID < SERIAL_DEVICE_MAX_DEVICE_NUM @common/modem/at/stubs/serialapi ";
    EXPECT_EQ(g_reports, (std::vector<std::string>{text + "24", text + "-1"}));
}

}  // namespace
