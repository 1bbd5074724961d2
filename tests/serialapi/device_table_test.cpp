// The serial device table: registration in both forms, handles by first open
// attempt, reference counting, dispatch by handle and the table lock. Fake
// drivers sit on device IDs that the library never registers (6 to 13).
#include <gtest/gtest.h>

#include <android/log.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialapi/serialapi.h"
#include "serialapi/serialapi_internal.h"
#include "wait.h"

namespace {

constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;

// ---- a scriptable driver in the device-ID form ----

struct FakeDevice {
    Int32 openResult = 1;
    int opens = 0, closes = 0, reads = 0, writes = 0;
    UInt32 lastOpenParam = 0;
    UInt32 lockCountInOpen = 99, lockCountInClose = 99;
    UInt16 readResult = 0, writeResult = 0;
};
FakeDevice g_dev[SERIAL_DEVICE_MAX_DEVICE_NUM];
// Which operation set the calls reached (re-registration swaps it).
int g_generation = 1;

Int32 fakeOpen(SerialDeviceId id, UInt32 param) {
    g_dev[id].opens++;
    g_dev[id].lastOpenParam = param;
    g_dev[id].lockCountInOpen = OSSEMAPHORE_GetCnt(gSerialDeviceLock);
    return g_dev[id].openResult;
}
Int32 fakeClose(SerialDeviceId id) {
    g_dev[id].closes++;
    g_dev[id].lockCountInClose = OSSEMAPHORE_GetCnt(gSerialDeviceLock);
    return 77;  // ignored by the layer
}
UInt16 fakeRead(SerialDeviceId id, UInt8*, UInt16) {
    g_dev[id].reads++;
    return g_dev[id].readResult;
}
UInt16 fakeWrite(SerialDeviceId id, const UInt8*, UInt16) {
    g_dev[id].writes++;
    return g_dev[id].writeResult;
}
UInt16 otherRead(SerialDeviceId id, UInt8*, UInt16) {
    g_generation = 2;
    g_dev[id].reads++;
    return 2;
}
Int32 otherClose(SerialDeviceId id) {
    g_generation = 2;
    g_dev[id].closes++;
    return 1;
}
int g_auxOp3Calls = 0;
void fakeAuxOp3(void) { ++g_auxOp3Calls; }

Int32 registerFake(SerialDeviceId id, UInt32 defaultOpenParam = 0) {
    return Serial_ConfigureDeviceEx(id, fakeOpen, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, fakeAuxOp3,
                                    nullptr, defaultOpenParam, 0x11, 0x22);
}

int totalDriverCalls() {
    int n = 0;
    for (const auto& d : g_dev) n += d.opens + d.closes + d.reads + d.writes;
    return n;
}

std::vector<std::string> atTexts(const attest::LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& line : log.lines()) {
        if (line.tag == "at") out.push_back(std::to_string(line.priority) + " " + line.text);
    }
    return out;
}
std::string info(const std::string& text) { return std::to_string(kInfo) + " " + text; }

// ---- handles and open results ----

TEST(DeviceTable, HandlesFollowTheFirstOpenAttemptsIncludingFailedOnes) {
    for (SerialDeviceId id : {6u, 7u, 8u}) ASSERT_EQ(registerFake(id), static_cast<Int32>(id));
    g_dev[6].openResult = 0;
    g_dev[8].openResult = 5;
    attest::LogCapture log;
    EXPECT_EQ(Serial_OpenDevice(7, 0), 0);
    EXPECT_EQ(Serial_OpenDevice(6, 0), SERIAL_OPEN_NOT_OPENED);
    EXPECT_EQ(Serial_OpenDevice(8, 0), SERIAL_OPEN_FAILED);
    const std::vector<std::string> expected = {
        info("Serial_OpenDevice: devID=7\r\n"), info("Serial_OpenDevice: openResult=1\r\n"),
        info("Serial_OpenDevice: devID=6\r\n"), info("Serial_OpenDevice: openResult=0\r\n"),
        info("Serial_OpenDevice: devID=8\r\n"), info("Serial_OpenDevice: openResult=5\r\n"),
    };
    EXPECT_EQ(atTexts(log), expected);
    // The failed devices kept the handles of their attempts, unopened.
    EXPECT_EQ(gSerialDeviceTable[6].handle.load(), 1);
    EXPECT_EQ(gSerialDeviceTable[8].handle.load(), 2);
    EXPECT_EQ(Serial_GetRefCnt(6), 0);
    EXPECT_EQ(Serial_GetRefCnt(8), 0);
    g_dev[6].openResult = 1;
    g_dev[8].openResult = 1;
    EXPECT_EQ(Serial_OpenDevice(8, 0), 2);
    EXPECT_EQ(Serial_OpenDevice(6, 0), 1);
    EXPECT_EQ(gNextSerialHandle, 3);
}

TEST(DeviceTable, ASecondOpenGives39321WithoutCallingTheDriver) {
    registerFake(6);
    const Int32 handle = Serial_OpenDevice(6, 0);
    ASSERT_EQ(handle, 0);
    attest::LogCapture log;
    EXPECT_EQ(Serial_OpenDevice(6, 0), 39321);
    EXPECT_EQ(g_dev[6].opens, 1);
    EXPECT_EQ(Serial_GetRefCnt(6), 1);
    EXPECT_EQ(atTexts(log),
              (std::vector<std::string>{info("Serial_OpenDevice: devID=6\r\n"),
                                        info("Serial_OpenDevice: openResult=0\r\n")}));
    // The first handle still reaches the driver.
    g_dev[6].readResult = 3;
    EXPECT_EQ(Serial_Read(handle, nullptr, 10), 3);
}

TEST(DeviceTable, ADriverOpenOfZeroLeavesTheDeviceClosedWithItsHandle) {
    registerFake(6);
    g_dev[6].openResult = 0;
    EXPECT_EQ(Serial_OpenDevice(6, 0), 39321);
    const Int32 handle = gSerialDeviceTable[6].handle.load();
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(Serial_GetRefCnt(6), 0);
    UInt8 buf[4];
    EXPECT_EQ(Serial_CloseDevice(handle), 1);
    EXPECT_EQ(Serial_Read(handle, buf, 4), 0);
    EXPECT_EQ(Serial_Write(handle, buf, 4), 0);
    EXPECT_EQ(Serial_GetDeviceID(handle), SERIAL_DEVICE_NULL);
    EXPECT_EQ(g_dev[6].closes + g_dev[6].reads + g_dev[6].writes, 0);
}

TEST(DeviceTable, InvalidAndUnregisteredIdsFailWithoutAHandle) {
    registerFake(6);  // the lock exists; the failures below must not touch it
    attest::LogCapture log;
    EXPECT_EQ(Serial_OpenDevice(3, 0), -1);
    EXPECT_EQ(Serial_OpenDevice(22, 0), -1);  // in range, never registered
    EXPECT_EQ(Serial_OpenDevice(24, 0), -1);
    EXPECT_EQ(Serial_OpenDevice(0xFFFFFFFFu, 0), -1);  // compared unsigned: out of range
    const std::vector<std::string> expected = {
        info("Serial_OpenDevice: devID=3\r\n"),
        info("Serial_OpenDevice: deviceID invalid(0), or !deviceValid\r\n"),
        info("Serial_OpenDevice: devID=22\r\n"),
        info("Serial_OpenDevice: deviceID invalid(0), or !deviceValid\r\n"),
        info("Serial_OpenDevice: devID=24\r\n"),
        info("Serial_OpenDevice: deviceID invalid(1), or !deviceValid\r\n"),
        info("Serial_OpenDevice: devID=-1\r\n"),
        info("Serial_OpenDevice: deviceID invalid(1), or !deviceValid\r\n"),
    };
    EXPECT_EQ(atTexts(log), expected);
    EXPECT_EQ(gSerialDeviceTable[3].handle.load(), -1);
    EXPECT_EQ(gNextSerialHandle, 0);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(gSerialDeviceLock), 1u);
    EXPECT_EQ(totalDriverCalls(), 0);
}

// ---- close and reference counts ----

TEST(DeviceTable, CloseThenOpenRunsTheDriverOnceEachAndKeepsTheHandle) {
    registerFake(6);
    registerFake(7);
    ASSERT_EQ(Serial_OpenDevice(7, 0), 0);
    const Int32 handle = Serial_OpenDevice(6, 0);
    ASSERT_EQ(handle, 1);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(g_dev[6].closes, 1);
    EXPECT_EQ(Serial_GetRefCnt(6), 0);
    EXPECT_EQ(Serial_OpenDevice(6, 0), handle);
    EXPECT_EQ(g_dev[6].opens, 2);
    EXPECT_EQ(g_dev[6].closes, 1);
    EXPECT_EQ(Serial_GetDeviceID(handle), 6u);
}

TEST(DeviceTable, OnlyTheLastReferenceCallsTheDriversClose) {
    registerFake(6);
    const Int32 handle = Serial_OpenDevice(6, 0);
    Serial_SetRefCnt(6, 2);
    EXPECT_EQ(Serial_GetRefCnt(6), 2);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(g_dev[6].closes, 0);
    EXPECT_EQ(Serial_GetRefCnt(6), 1);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(g_dev[6].closes, 1);
    EXPECT_EQ(Serial_GetRefCnt(6), 0);
    EXPECT_EQ(Serial_CloseDevice(handle), 1);  // now unmatched
    EXPECT_EQ(g_dev[6].closes, 1);
}

// Before anything is registered (no table lock yet) and after, with a device
// that was opened and closed again, so that its handle is stale.
TEST(DeviceTable, UnmatchedHandlesReachNoDriver) {
    UInt8 buf[4] = {};
    auto refuse = [&](std::vector<Int32> handles) {
        handles.insert(handles.end(), {-1, 24, 99, 39321, INT_MAX, INT_MIN});
        for (Int32 handle : handles) {
            SCOPED_TRACE(handle);
            EXPECT_EQ(Serial_CloseDevice(handle), 1);
            EXPECT_EQ(Serial_Read(handle, buf, 4), 0);
            EXPECT_EQ(Serial_Write(handle, buf, 4), 0);
            EXPECT_EQ(Serial_RegisterEventCallBack(handle, fakeAuxOp3), 1);
            EXPECT_EQ(Serial_GetDeviceID(handle), SERIAL_DEVICE_NULL);
        }
    };
    refuse({0});
    EXPECT_EQ(gSerialDeviceLock, 0u);
    registerFake(6);
    registerFake(7);
    const Int32 open = Serial_OpenDevice(6, 0);
    const Int32 closed = Serial_OpenDevice(7, 0);
    Serial_CloseDevice(closed);
    const int callsBefore = totalDriverCalls();
    refuse({closed});
    EXPECT_EQ(totalDriverCalls(), callsBefore);
    EXPECT_EQ(Serial_GetDeviceID(open), 6u);
}

TEST(DeviceTable, ReadAndWriteHandTheDriversResultBackUnchanged) {
    registerFake(12);
    const Int32 handle = Serial_OpenDevice(12, 0);
    UInt8 buf[8];
    for (UInt16 result : {0, 5, 1536, 65523, 65535}) {
        g_dev[12].readResult = result;
        g_dev[12].writeResult = result;
        EXPECT_EQ(Serial_Read(handle, buf, 8), result);
        EXPECT_EQ(Serial_Write(handle, buf, 8), result);
    }
}

// ---- the table lock ----

TEST(DeviceTable, DriverOpenAndCloseRunUnderTheLockAndReadsWithoutIt) {
    EXPECT_EQ(gSerialDeviceLock, 0u);  // created by the first registration
    registerFake(6);
    ASSERT_NE(gSerialDeviceLock, 0u);
    const OSSemaphore lock = gSerialDeviceLock;
    registerFake(7);
    EXPECT_EQ(gSerialDeviceLock, lock);  // created once
    const Int32 handle = Serial_OpenDevice(6, 0);
    EXPECT_EQ(g_dev[6].lockCountInOpen, 0u);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(lock), 1u);
    Serial_CloseDevice(handle);
    EXPECT_EQ(g_dev[6].lockCountInClose, 0u);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(lock), 1u);
}

// A read that blocks in its driver until the device is closed: the close must
// get through while the read is still inside the driver.
OSSemaphore g_readGate = 0;
std::atomic<bool> g_readEntered{false};
UInt16 blockingRead(SerialDeviceId, UInt8*, UInt16) {
    g_readEntered = true;
    OSSEMAPHORE_Obtain(g_readGate, 200 * 5);  // bounded: at most about 5 s
    return 0;
}
Int32 gateClose(SerialDeviceId) {
    OSSEMAPHORE_Release(g_readGate);
    return 1;
}

TEST(DeviceTable, ACloseGetsThroughWhileAReadBlocksInTheDriver) {
    g_readGate = OSSEMAPHORE_Create(0, OSSEMAPHORE_MODE_DEFAULT);
    Serial_ConfigureDeviceEx(13, fakeOpen, gateClose, blockingRead, fakeWrite, nullptr, nullptr, nullptr, nullptr, 0,
                             0, 0);
    const Int32 handle = Serial_OpenDevice(13, 0);
    std::atomic<bool> readDone{false};
    std::thread reader([&] {
        UInt8 buf[4];
        Serial_Read(handle, buf, 4);
        readDone = true;
    });
    ASSERT_TRUE(attest::waitUntil([] { return g_readEntered.load(); }));
    g_dev[13].writeResult = 4;
    UInt8 out[4] = {};
    EXPECT_EQ(Serial_Write(handle, out, 4), 4);  // writes pass a blocked read too
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_TRUE(attest::waitUntil([&] { return readDone.load(); }, std::chrono::seconds(2)));
    reader.join();
    OSSEMAPHORE_Destroy(g_readGate);
}

// ---- registration ----

TEST(DeviceTable, RegisteringAgainReplacesTheOperationsAndKeepsHandleAndCount) {
    registerFake(6);
    registerFake(7);
    Serial_OpenDevice(7, 0);
    const Int32 handle = Serial_OpenDevice(6, 0);
    ASSERT_EQ(handle, 1);
    ASSERT_EQ(Serial_ConfigureDeviceEx(6, fakeOpen, otherClose, otherRead, fakeWrite, nullptr, nullptr, nullptr,
                                       nullptr, 0, 0, 0),
              6);
    EXPECT_EQ(gSerialDeviceTable[6].handle.load(), handle);
    EXPECT_EQ(Serial_GetRefCnt(6), 1);
    UInt8 buf[4];
    EXPECT_EQ(Serial_Read(handle, buf, 4), 2);
    EXPECT_EQ(g_generation, 2);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(g_dev[6].closes, 1);
    EXPECT_EQ(Serial_OpenDevice(6, 0), handle);
}

TEST(DeviceTable, FailedRegistrationsLogAndLeaveTheEntryUnchanged) {
    attest::LogCapture log;
    // Nothing registered yet: a failure must not even create the lock.
    EXPECT_EQ(Serial_ConfigureDeviceEx(24, fakeOpen, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, nullptr,
                                       nullptr, 0, 0, 0),
              -1);
    EXPECT_EQ(gSerialDeviceLock, 0u);
    registerFake(6, 0x55);
    EXPECT_EQ(Serial_ConfigureDeviceEx(6, nullptr, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, nullptr,
                                       nullptr, 1, 2, 3),
              -1);
    EXPECT_EQ(Serial_ConfigureDeviceEx(6, fakeOpen, nullptr, fakeRead, fakeWrite, nullptr, nullptr, nullptr,
                                       nullptr, 1, 2, 3),
              -1);
    EXPECT_EQ(Serial_ConfigureDeviceEx(6, fakeOpen, fakeClose, nullptr, fakeWrite, nullptr, nullptr, nullptr,
                                       nullptr, 1, 2, 3),
              -1);
    EXPECT_EQ(Serial_ConfigureDeviceEx(6, fakeOpen, fakeClose, fakeRead, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, 1, 2, 3),
              -1);
    const std::string e24 = std::to_string(kError) + " Serial_ConfigureDeviceEx(24) failed\n";
    const std::string e6 = std::to_string(kError) + " Serial_ConfigureDeviceEx(6) failed\n";
    EXPECT_EQ(atTexts(log), (std::vector<std::string>{e24, e6, e6, e6, e6}));

    // The legacy form fails silently.
    log.clear();
    auto lOpen = [](UInt32) -> Int32 { return 1; };
    auto lClose = []() -> Int32 { return 1; };
    auto lRead = [](UInt8*, UInt16) -> UInt16 { return 0; };
    auto lWrite = [](const UInt8*, UInt16) -> UInt16 { return 0; };
    EXPECT_EQ(Serial_ConfigureDevice(24, lOpen, lClose, lRead, lWrite, nullptr, nullptr, nullptr, nullptr, 0, 0, 0),
              -1);
    EXPECT_EQ(Serial_ConfigureDevice(7, lOpen, nullptr, lRead, lWrite, nullptr, nullptr, nullptr, nullptr, 0, 0, 0),
              -1);
    EXPECT_EQ(Serial_ConfigureDevice(6, nullptr, lClose, lRead, lWrite, nullptr, nullptr, nullptr, nullptr, 0, 0, 0),
              -1);
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    EXPECT_EQ(gSerialDeviceTable[7].deviceValid, 0);
    const SerialDeviceEntry& entry = gSerialDeviceTable[6];
    EXPECT_EQ(entry.open, &fakeOpen);
    EXPECT_EQ(entry.close, &fakeClose);
    EXPECT_EQ(entry.read, &fakeRead);
    EXPECT_EQ(entry.write, &fakeWrite);
    EXPECT_EQ(entry.legacyOpen, nullptr);
    EXPECT_EQ(entry.defaultOpenParam, 0x55u);
    EXPECT_EQ(entry.extraParam1, 0x11u);
    EXPECT_EQ(entry.extraParam2, 0x22u);
    EXPECT_EQ(Serial_OpenDevice(7, 0), -1);
}

// ---- the legacy form ----

struct LegacyCalls {
    int opens = 0, closes = 0;
    UInt32 openParam = 0xDEAD;
    UInt8* readBuf = nullptr;
    const UInt8* writeBuf = nullptr;
    UInt16 readLen = 0, writeLen = 0;
    UInt32 aux1 = 0, aux4 = 0;
    int aux2 = 0;
    SerialEventCallBack eventCb = nullptr;
} g_legacy;

Int32 legacyOpen(UInt32 param) {
    g_legacy.opens++;
    g_legacy.openParam = param;
    return 1;
}
Int32 legacyClose() {
    g_legacy.closes++;
    return 0;
}
UInt16 legacyRead(UInt8* buf, UInt16 len) {
    g_legacy.readBuf = buf;
    g_legacy.readLen = len;
    return STOP_READING_USB_TTY;
}
UInt16 legacyWrite(const UInt8* buf, UInt16 len) {
    g_legacy.writeBuf = buf;
    g_legacy.writeLen = len;
    return 65535;
}
Int32 legacyAux1(UInt32 a) {
    g_legacy.aux1 = a;
    return 11;
}
Int32 legacyAux2() { return ++g_legacy.aux2; }
Int32 legacyAux4(UInt32 a) {
    g_legacy.aux4 = a;
    return 44;
}
Int32 legacyRegisterEventCallBack(SerialEventCallBack cb) {
    g_legacy.eventCb = cb;
    return 5;
}

TEST(DeviceTableLegacy, AdaptersDropTheDeviceIdAndPassTheRest) {
    ASSERT_EQ(Serial_ConfigureDevice(9, legacyOpen, legacyClose, legacyRead, legacyWrite, legacyAux1, legacyAux2,
                                     legacyRegisterEventCallBack, legacyAux4, 0, 0, 0),
              9);
    const Int32 handle = Serial_OpenDevice(9, 0);
    ASSERT_EQ(handle, 0);
    EXPECT_EQ(g_legacy.openParam, 0u);  // caller and default both gave 0
    UInt8 buf[16];
    EXPECT_EQ(Serial_Read(handle, buf, 16), STOP_READING_USB_TTY);
    EXPECT_EQ(g_legacy.readBuf, buf);
    EXPECT_EQ(g_legacy.readLen, 16);
    EXPECT_EQ(Serial_Write(handle, buf + 1, 7), 65535);
    EXPECT_EQ(g_legacy.writeBuf, buf + 1);
    EXPECT_EQ(g_legacy.writeLen, 7);
    EXPECT_EQ(Serial_RegisterEventCallBack(handle, fakeAuxOp3), 0);
    EXPECT_EQ(g_legacy.eventCb, &fakeAuxOp3);
    EXPECT_EQ(Serial_CloseDevice(handle), 0);
    EXPECT_EQ(g_legacy.closes, 1);

    // The spare slots hold adapters as well.
    const SerialDeviceEntry& entry = gSerialDeviceTable[9];
    EXPECT_EQ(entry.auxOp1(9, 0xAB), 11);
    EXPECT_EQ(g_legacy.aux1, 0xABu);
    EXPECT_EQ(entry.auxOp2(9), 1);
    EXPECT_EQ(entry.auxOp4(9, 0xCD), 44);
    EXPECT_EQ(g_legacy.aux4, 0xCDu);
}

// In both forms an open parameter of 0 selects the registered default.
TEST(DeviceTableLegacy, AnOpenParameterOfZeroSelectsTheDefaultInBothForms) {
    registerFake(6, 0x1234);
    Serial_ConfigureDevice(9, legacyOpen, legacyClose, legacyRead, legacyWrite, nullptr, nullptr, nullptr, nullptr,
                           0x77, 0, 0);
    Serial_CloseDevice(Serial_OpenDevice(6, 0));
    Serial_CloseDevice(Serial_OpenDevice(9, 0));
    EXPECT_EQ(g_dev[6].lastOpenParam, 0x1234u);
    EXPECT_EQ(g_legacy.openParam, 0x77u);
    Serial_OpenDevice(6, 9);
    Serial_OpenDevice(9, 3);
    EXPECT_EQ(g_dev[6].lastOpenParam, 9u);
    EXPECT_EQ(g_legacy.openParam, 3u);
}

TEST(DeviceTableLegacy, NullSpareOperationsAreAdaptedToZero) {
    Serial_ConfigureDevice(9, legacyOpen, legacyClose, legacyRead, legacyWrite, nullptr, nullptr, nullptr, nullptr,
                           0, 0, 0);
    const SerialDeviceEntry& entry = gSerialDeviceTable[9];
    EXPECT_EQ(entry.auxOp1(9, 1), 0);
    EXPECT_EQ(entry.auxOp2(9), 0);
    EXPECT_EQ(entry.auxOp4(9, 1), 0);
}

TEST(DeviceTableLegacy, TheLegacyFormKeepsAuxOp3AndTheDeviceIdFormKeepsTheLegacyFields) {
    registerFake(9);  // auxOp3 = fakeAuxOp3
    Serial_ConfigureDevice(9, legacyOpen, legacyClose, legacyRead, legacyWrite, nullptr, nullptr,
                           legacyRegisterEventCallBack, nullptr, 0, 0, 0);
    EXPECT_EQ(gSerialDeviceTable[9].auxOp3, &fakeAuxOp3);
    registerFake(9);
    EXPECT_EQ(gSerialDeviceTable[9].legacyOpen, &legacyOpen);
    EXPECT_EQ(gSerialDeviceTable[9].legacyRegisterEventCallBack, &legacyRegisterEventCallBack);
    EXPECT_EQ(gSerialDeviceTable[9].open, &fakeOpen);
}

// ---- decisions for calls without a defined target ----

TEST(DeviceTableDecisions, EventCallBackOnADeviceWithoutALegacyOperationReturnsOne) {
    registerFake(6);  // device-ID form: auxOp3 is set but never called
    const Int32 handle = Serial_OpenDevice(6, 0);
    EXPECT_EQ(Serial_RegisterEventCallBack(handle, fakeAuxOp3), 1);
    EXPECT_EQ(g_auxOp3Calls, 0);
}

TEST(DeviceTableDecisions, CloseBeforeAnyRegistrationReturnsOneAtOnce) {
    ASSERT_EQ(gSerialDeviceLock, 0u);
    EXPECT_EQ(Serial_CloseDevice(0), 1);
    EXPECT_EQ(Serial_CloseDevice(-1), 1);
    EXPECT_EQ(gSerialDeviceLock, 0u);
}

// ---- reference counts by device ID ----

struct XassertReport {
    std::string expression, file;
    Int32 value = 0;
};
std::vector<XassertReport> g_reports;
void recordXassert(const char* expression, const char* file, UInt32, Int32 value) {
    g_reports.push_back({expression, file, value});
}

TEST(DeviceTableRefCnt, OutOfRangeIdsAreReportedThroughXassert) {
    KOVA_SetXassertHook(recordXassert);
    Serial_SetRefCnt(6, 4);
    EXPECT_EQ(Serial_GetRefCnt(6), 4);
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(Serial_GetRefCnt(24), 0);
    Serial_SetRefCnt(24, 3);
    Serial_SetRefCnt(0xFFFFFFFFu, 3);
    KOVA_SetXassertHook(nullptr);
    ASSERT_EQ(g_reports.size(), 3u);
    for (const auto& report : g_reports) {
        EXPECT_EQ(report.expression, "deviceID < SERIAL_DEVICE_MAX_DEVICE_NUM");
        EXPECT_EQ(report.file, "common/modem/at/stubs/serialapi");
    }
    EXPECT_EQ(g_reports[0].value, 24);
    EXPECT_EQ(g_reports[1].value, 24);
    EXPECT_EQ(g_reports[2].value, -1);
    for (SerialDeviceId id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
        EXPECT_EQ(Serial_GetRefCnt(id), id == 6 ? 4 : 0) << id;
    }
}

}  // namespace
