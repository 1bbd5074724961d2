// The serial manager's exported functions with each argument a caller can get
// wrong: NULL pointers, client records that are not (or no longer) valid,
// device IDs out of range, the default-device flag with a device ID that
// means nothing, and lengths 0, 0xFFFE and 0xFFFF. Each gives its documented
// result and log line, or stops the process with its documented assertion
// text, and leaves nothing behind.
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

std::string literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

std::string pointerText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

const std::string kClientText = literal("pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE");

class SerialMgrBadInput : public SerialMgrTest {
protected:
    // Records a caller may hold that are not valid: zeroed, freed (as the
    // deregistration leaves it), garbage with an out-of-range device ID.
    void makeBogus(SerialMgrClientInfo* out, const SerialMgrClientParams& params) {
        out[0] = SerialMgrClientInfo{};
        out[0].devID = kDev;
        out[1] = SerialMgrClientInfo{};
        out[1].sig = SERIALMGR_FREED_SIG;
        out[1].devID = kDev;
        out[1].state = 0;
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
    SerialMgrClientInfo* records[] = {nullptr, &bogus[0], &bogus[1], &bogus[2]};
    const UInt8 text[3] = {'O', 'K', '\r'};
    for (SerialMgrClientInfo* record : records) {
        SCOPED_TRACE(pointerText(record));
        for (UInt32 enable : {0u, 1u, 0xFFFFFFFFu}) {
            log.clear();
            EXPECT_EQ(SERIALMGR_SetFlowControl(record, enable), FALSE);
            EXPECT_TRUE(log.lines().empty()) << log.dump();
        }
        for (UInt32 block : {0u, 1u}) {
            log.clear();
            EXPECT_EQ(SERIALMGR_SendData(record, text, 3, block), 0);
            EXPECT_EQ(log.lines().size(), 1u) << log.dump();
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
    EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(nullptr), -1);
    deregisterAndCheck(real);
}

TEST_F(SerialMgrBadInputDeathTest, DeregistrationOfAnInvalidRecordStopsTheProcess) {
    SerialMgrClientParams params = {};
    SerialMgrClientInfo bogus[3];
    makeBogus(bogus, params);
    EXPECT_DEATH(SERIALMGR_DeRegisterClient(nullptr), "SERIALMGR_DeRegisterClient.*" + kClientText);
    for (SerialMgrClientInfo& record : bogus) {
        EXPECT_DEATH(SERIALMGR_DeRegisterClient(&record), "SERIALMGR_DeRegisterClient.*" + kClientText);
    }
}

TEST_F(SerialMgrBadInputDeathTest, NullRegistrationRecordStopsTheProcess) {
    // The record is required; there is no check, and reading it through NULL
    // stops the process before anything is opened.
    EXPECT_DEATH(SERIALMGR_RegisterClient(nullptr), "");
}

TEST_F(SerialMgrBadInput, DeviceIdsOutOfRangeAreRefusedUnlessTheDefaultDeviceIsAsked) {
    attest::ClientRecorder rec;
    for (UInt32 id : {24u, 25u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
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
    for (UInt32 id : {0xFFFFFFFFu, 24u, SERIAL_DEVICE_NULL}) {
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
        EXPECT_EQ(SERIALMGR_GetDefaultATDevice(), SERIAL_DEVICE_UART_A);
        EXPECT_EQ(gDevList[SERIAL_DEVICE_UART_A].currentClient.load(), client);
        EXPECT_TRUE(fake::waitIdle(SERIAL_DEVICE_UART_A));
        deregisterAndCheck(client);
    }
    EXPECT_EQ(fake::openCount(SERIAL_DEVICE_UART_A), 3);
}

TEST_F(SerialMgrBadInput, LengthsZeroAndLargestAreSent) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    ASSERT_NE(client, nullptr);
    // Length 0: nothing to send, with or without a buffer.
    EXPECT_EQ(SERIALMGR_SendData(client, nullptr, 0, 1), 0);
    EXPECT_EQ(SERIALMGR_SendData(client, nullptr, 0, 0), 0);
    for (const auto& w : fake::writes(kDev)) EXPECT_EQ(w.len, 0u);
    // 0xFFFE, the largest length: all of it, once in one write and once in
    // pieces of 20000.
    std::vector<UInt8> big(0xFFFE);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<UInt8>(i * 7);
    auto bytesFrom = [](size_t firstCall) {
        const std::vector<fake::WriteCall> calls = fake::writes(kDev);
        std::vector<UInt8> all;
        for (size_t i = firstCall; i < calls.size(); ++i) all.insert(all.end(), calls[i].data.begin(), calls[i].data.end());
        return all;
    };
    size_t first = fake::writes(kDev).size();
    EXPECT_EQ(SERIALMGR_SendData(client, big.data(), 0xFFFE, 0), 0xFFFE);
    EXPECT_EQ(fake::writes(kDev).size(), first + 1);
    EXPECT_EQ(bytesFrom(first), big);
    first = fake::writes(kDev).size();
    fake::setWriteLimit(kDev, 20000);
    EXPECT_EQ(SERIALMGR_SendData(client, big.data(), 0xFFFE, 1), 0xFFFE);
    EXPECT_EQ(fake::writes(kDev).size(), first + 4);
    EXPECT_EQ(bytesFrom(first), big);
    deregisterAndCheck(client);
}

TEST_F(SerialMgrBadInputDeathTest, LengthsFrom0xFFFFStopTheProcessEvenForAnInvalidRecord) {
    attest::ClientRecorder rec;
    SerialMgrClientInfo* client = registerIdle(rec);
    ASSERT_NE(client, nullptr);
    const UInt8 b = 0;
    const std::string text = "SERIALMGR_SendData.*" + literal("len < 0xFFFF");
    for (UInt32 len : {0xFFFFu, 0x10000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(len);
        EXPECT_DEATH(SERIALMGR_SendData(client, &b, len, 0), text);
        EXPECT_DEATH(SERIALMGR_SendData(nullptr, &b, len, 1), text);
    }
    deregisterAndCheck(client);
}

}  // namespace
