// The serial manager's exported functions with arguments a caller can get
// wrong: invalid client records, device IDs out of range, the default-device
// flag with a meaningless device ID, and the largest lengths.
#include <cstdio>
#include <cstring>
#include <string>

#include "../serialmgr/fixture.h"

namespace {

std::string pointerText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// A freed record cannot be touched without reading freed memory: this is a
// copy as the deregistration leaves it, what a stale pointer finds until the
// memory is reused.
SerialMgrClientInfo freedRecord(UInt32 devID) {
    SerialMgrClientInfo record{};
    record.devID = devID;
    record.sig = SERIALMGR_FREED_SIG;
    return record;
}

using SerialMgrBadInput = SerialMgrTest;
using SerialMgrBadInputDeathTest = SerialMgrTest;

TEST_F(SerialMgrBadInput, InvalidRecordsAreRefusedQuietlyByFlowControlAndWithALineBySend) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* real = registerIdle(rec);
    ASSERT_NE(real, nullptr);
    SerialMgrClientInfo freed = freedRecord(kDev);
    const UInt8 text[3] = {'O', 'K', '\r'};
    for (SerialMgrClientInfo* record : {static_cast<SerialMgrClientInfo*>(nullptr), &freed}) {
        SCOPED_TRACE(pointerText(record));
        log.clear();
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 1), FALSE);
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 0), FALSE);
        EXPECT_TRUE(log.lines().empty()) << log.dump();
        EXPECT_EQ(SERIALMGR_SendData(record, text, 3, 1), 0);
        ASSERT_EQ(log.lines().size(), 1u) << log.dump();
        EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail. Invalid client handle [" + pointerText(record) +
                                        "].\r\n"))
            << log.dump();
    }
    // The real client's device saw none of it.
    EXPECT_EQ(gDevList[kDev].stopRx.load(), 0u);
    EXPECT_TRUE(fake::writes(kDev).empty());
    deregisterAndCheck(real);
}

TEST_F(SerialMgrBadInputDeathTest, DeregistrationOfAnInvalidRecordStopsTheProcess) {
    const std::string text = "SERIALMGR_DeRegisterClient.*pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE";
    SerialMgrClientInfo freed = freedRecord(kDev);
    EXPECT_DEATH(SERIALMGR_DeRegisterClient(nullptr), text);
    EXPECT_DEATH(SERIALMGR_DeRegisterClient(&freed), text);
}

TEST_F(SerialMgrBadInput, DeviceIdsOutOfRangeAreRefusedUnlessTheDefaultDeviceIsAsked) {
    attest::ClientRecorder rec;
    for (UInt32 id : {24u, 0xFFFFFFFFu}) {
        log.clear();
        SerialMgrClientParams params = attest::makeParams(rec, id, 7);
        EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
        EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: Invalid devID=" + std::to_string(static_cast<int>(id)) +
                                        ", client=7\r\n"))
            << log.dump();
    }
    expectNothingLeft();

    // With the default-device flag the device ID is not even looked at.
    installFake(SERIAL_DEVICE_UART_A);
    for (UInt32 id : {0xFFFFFFFFu, SERIAL_DEVICE_NULL}) {
        SCOPED_TRACE(id);
        log.clear();
        SerialMgrClientParams params = attest::makeParams(rec, id, 1);
        params.useDefaultDevice = 0xFF;
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        ASSERT_NE(client, nullptr) << log.dump();
        EXPECT_EQ(log.countContaining("Invalid devID"), 0);
        EXPECT_EQ(log.countContaining("NULL device"), 0);
        EXPECT_EQ(SERIALMGR_GetDeviceID(client), SERIAL_DEVICE_UART_A);
        EXPECT_TRUE(fake::waitIdle(SERIAL_DEVICE_UART_A));
        deregisterAndCheck(client);
    }
    EXPECT_EQ(fake::openCount(SERIAL_DEVICE_UART_A), 2);
}

TEST_F(SerialMgrBadInput, LargestLengthIsSentWholeInPieces) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    ASSERT_NE(client, nullptr);
    std::vector<UInt8> big(0xFFFE);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<UInt8>(i * 7);
    fake::setWriteLimit(kDev, 20000);
    EXPECT_EQ(SERIALMGR_SendData(client, big.data(), 0xFFFE, 1), 0xFFFE);
    EXPECT_EQ(fake::writes(kDev).size(), 4u);
    EXPECT_EQ(fake::writtenBytes(kDev), big);
    deregisterAndCheck(client);
}

// The length is checked before the record.
TEST_F(SerialMgrBadInputDeathTest, LengthsFrom0xFFFFStopTheProcessEvenForAnInvalidRecord) {
    const UInt8 b = 0;
    EXPECT_DEATH(SERIALMGR_SendData(nullptr, &b, 0xFFFF, 1), "SERIALMGR_SendData.*len < 0xFFFF");
}

}  // namespace
