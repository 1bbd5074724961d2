// The serial manager's exported functions with arguments a caller can get
// wrong: client records that are not (or no longer) valid, device IDs out of
// range, the default-device flag with a device ID that means nothing, and
// the largest lengths. Each gives its documented result and log line, or
// stops the process with its documented assertion text.
//
// A freed record cannot be touched without reading freed memory; the record
// "as the deregistration leaves it" is a copy whose signature is 0xCCCCCCCC,
// which is what a caller holding a stale pointer would find until the memory
// is reused.
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

class SerialMgrBadInput : public SerialMgrTest {
protected:
    // Records a caller may hold that are not valid: NULL, zeroed, freed (as
    // the deregistration leaves it), garbage with an out-of-range device ID.
    void makeBogus(SerialMgrClientInfo (&out)[3], const SerialMgrClientParams& params) {
        out[0] = SerialMgrClientInfo{};
        out[0].devID = kDev;
        out[1] = out[0];
        out[1].sig = SERIALMGR_FREED_SIG;
        out[1].params = params;
        std::memset(&out[2], 0xA7, sizeof out[2]);  // devID 0xA7A7A7A7
    }
};
using SerialMgrBadInputDeathTest = SerialMgrBadInput;

TEST_F(SerialMgrBadInput, InvalidRecordsAreRefusedQuietlyByFlowControlAndWithALineBySend) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* real = registerIdle(rec);
    ASSERT_NE(real, nullptr);
    SerialMgrClientInfo bogus[3];
    makeBogus(bogus, real->params);
    const UInt8 text[3] = {'O', 'K', '\r'};
    for (SerialMgrClientInfo* record : {static_cast<SerialMgrClientInfo*>(nullptr), &bogus[0], &bogus[1], &bogus[2]}) {
        SCOPED_TRACE(pointerText(record));
        log.clear();
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 1), FALSE);
        EXPECT_EQ(SERIALMGR_SetFlowControl(record, 0), FALSE);
        EXPECT_TRUE(log.lines().empty()) << log.dump();
        for (UInt32 block : {0u, 1u}) {
            log.clear();
            EXPECT_EQ(SERIALMGR_SendData(record, text, 3, block), 0);
            ASSERT_EQ(log.lines().size(), 1u) << log.dump();
            EXPECT_TRUE(log.has(kError, "SERIALMGR_SendData Fail. Invalid client handle [" + pointerText(record) +
                                            "].\r\n"))
                << log.dump();
        }
    }
    // The real client's device saw none of it.
    EXPECT_EQ(gDevList[kDev].stopRx.load(), 0u);
    EXPECT_EQ(real->state, 1u);
    EXPECT_TRUE(fake::writes(kDev).empty());
    EXPECT_EQ(bogus[1].sig, SERIALMGR_FREED_SIG);
    deregisterAndCheck(real);
}

TEST_F(SerialMgrBadInputDeathTest, DeregistrationOfAnInvalidRecordStopsTheProcess) {
    const std::string text = "SERIALMGR_DeRegisterClient.*pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE";
    SerialMgrClientInfo bogus[3];
    makeBogus(bogus, SerialMgrClientParams{});
    EXPECT_DEATH(SERIALMGR_DeRegisterClient(nullptr), text);
    for (SerialMgrClientInfo& record : bogus) EXPECT_DEATH(SERIALMGR_DeRegisterClient(&record), text);
}

TEST_F(SerialMgrBadInput, DeviceIdsOutOfRangeAreRefusedUnlessTheDefaultDeviceIsAsked) {
    attest::ClientRecorder rec;
    for (UInt32 id : {24u, 0x80000000u, 0xFFFFFFFFu}) {
        log.clear();
        SerialMgrClientParams params = attest::makeParams(rec, id, 7);
        EXPECT_EQ(SERIALMGR_RegisterClient(&params), nullptr);
        EXPECT_TRUE(log.has(kError, "SERIALMGR_RegisterClient: Invalid devID=" + std::to_string(static_cast<int>(id)) +
                                        ", client=7\r\n"))
            << log.dump();
    }
    expectNothingLeft();

    // With the default-device flag the device ID is not even looked at.
    fake::install(SERIAL_DEVICE_UART_A);
    start = attest::snapshot();  // the fake device's wake pipe is not a leak
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
        EXPECT_EQ(client->params.devID, id);  // kept as the caller gave it
        EXPECT_EQ(gDevList[SERIAL_DEVICE_UART_A].currentClient.load(), client);
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

TEST_F(SerialMgrBadInputDeathTest, LengthsFrom0xFFFFStopTheProcessEvenForAnInvalidRecord) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    ASSERT_NE(client, nullptr);
    const UInt8 b = 0;
    for (UInt32 len : {0xFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(len);
        EXPECT_DEATH(SERIALMGR_SendData(client, &b, len, 0), "SERIALMGR_SendData.*len < 0xFFFF");
        EXPECT_DEATH(SERIALMGR_SendData(nullptr, &b, len, 1), "SERIALMGR_SendData.*len < 0xFFFF");
    }
    deregisterAndCheck(client);
}

}  // namespace
