// Layout of the records shared with separately built clients, checked at run
// time on the architecture the tests run on (host, armhf and arm64 under
// emulation). The 32-bit layout is also held by static_asserts in the
// library; these tests add the 64-bit expectations and show a client's view
// of the records through raw 32-bit slots.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "buffer/cbuffer.h"
#include "serialmgr/serialmgr.h"

namespace {

constexpr std::size_t kPtr = sizeof(void*);

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

TEST(Layout, RegistrationRecordFieldsFollowPointerSize) {
    // Two callback pointers, then six 32-bit slots.
    EXPECT_EQ(offsetof(SerialMgrClientParams, dataCb), 0u);
    EXPECT_EQ(offsetof(SerialMgrClientParams, eventCb), kPtr);
    EXPECT_EQ(offsetof(SerialMgrClientParams, spare), 2 * kPtr);
    EXPECT_EQ(offsetof(SerialMgrClientParams, userData), 2 * kPtr + 4);
    EXPECT_EQ(offsetof(SerialMgrClientParams, clientID), 2 * kPtr + 8);
    EXPECT_EQ(offsetof(SerialMgrClientParams, useDefaultDevice), 2 * kPtr + 12);
    EXPECT_EQ(offsetof(SerialMgrClientParams, devID), 2 * kPtr + 16);
    EXPECT_EQ(offsetof(SerialMgrClientParams, openParam), 2 * kPtr + 20);
    EXPECT_EQ(sizeof(SerialMgrClientParams), roundUp(2 * kPtr + 24, kPtr));  // 32 bytes on a 32-bit target
}

TEST(Layout, ClientRecordKeepsItsFieldOrder) {
    EXPECT_EQ(offsetof(SerialMgrClientInfo, sig), 0u);
    EXPECT_EQ(offsetof(SerialMgrClientInfo, devID), 4u);
    EXPECT_EQ(offsetof(SerialMgrClientInfo, state), 8u);
    EXPECT_EQ(offsetof(SerialMgrClientInfo, reserved1), 12u);
    EXPECT_EQ(offsetof(SerialMgrClientInfo, reserved2), 16u);
    EXPECT_EQ(offsetof(SerialMgrClientInfo, skipSendLock), 20u);
    EXPECT_EQ(offsetof(SerialMgrClientInfo, params), 24u);
    EXPECT_EQ(sizeof(SerialMgrClientInfo), 24u + sizeof(SerialMgrClientParams));
}

// A client built elsewhere fills the record as eight 32-bit words. Only on a
// 32-bit target does that view exist; the byte order of the targets is little
// endian, so the one-byte flag is the low byte of its slot.
TEST(Layout, RegistrationRecordReadsAsEightSlotsOnA32BitTarget) {
    if (kPtr != 4) {
        GTEST_SKIP() << "the slot view is the 32-bit ABI; this target has " << kPtr << "-byte pointers";
    }
    const std::uint32_t slots[8] = {0x1000u, 0x2000u, 3u, 4u, 5u, 1u, 7u, 8u};
    SerialMgrClientParams params;
    static_assert(sizeof(slots) <= sizeof(params), "slot view fits");
    std::memcpy(&params, slots, sizeof(slots));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(params.dataCb), 0x1000u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(params.eventCb), 0x2000u);
    EXPECT_EQ(params.spare, 3u);
    EXPECT_EQ(params.userData, 4u);
    EXPECT_EQ(params.clientID, 5);
    EXPECT_EQ(params.useDefaultDevice, 1u);
    EXPECT_EQ(params.devID, 7u);
    EXPECT_EQ(params.openParam, 8u);
}

TEST(Layout, CircularBufferRecordFollowsPointerSize) {
    EXPECT_EQ(offsetof(CBuffer, wrt_lock), 0u);
    EXPECT_EQ(offsetof(CBuffer, buf), kPtr);
    const std::size_t counts = 2 * kPtr;
    EXPECT_EQ(offsetof(CBuffer, wrt_idx), counts + 0);
    EXPECT_EQ(offsetof(CBuffer, rd_idx), counts + 2);
    EXPECT_EQ(offsetof(CBuffer, prv_wrt_idx), counts + 4);
    EXPECT_EQ(offsetof(CBuffer, wrt_reserved_sz), counts + 6);
    EXPECT_EQ(offsetof(CBuffer, rd_reserved_sz), counts + 8);
    EXPECT_EQ(offsetof(CBuffer, buf_sz), counts + 10);
    EXPECT_EQ(offsetof(CBuffer, locked_sz), counts + 12);
    EXPECT_EQ(offsetof(CBuffer, in_use_cnt), counts + 14);
    EXPECT_EQ(offsetof(CBuffer, overrun_cnt), counts + 16);
    EXPECT_EQ(offsetof(CBuffer, reloc_cnt), counts + 17);
    EXPECT_EQ(sizeof(CBuffer), roundUp(counts + 18, kPtr));
}

TEST(Layout, CircularBufferStatisticsShareOneWordOverrunLow) {
    CBuffer record;
    std::memset(&record, 0, sizeof(record));
    record.overrun_cnt = 0x12;
    record.reloc_cnt = 0x34;
    std::uint16_t word = 0;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(&record) + offsetof(CBuffer, overrun_cnt), sizeof(word));
    EXPECT_EQ(word, 0x3412u);
}

}  // namespace
