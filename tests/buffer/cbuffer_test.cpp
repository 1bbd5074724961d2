// CBuffer behaviour where a worked example or an exact text says more than a
// random sequence can: the relocation example and its variants, counter
// wrap-around, creation limits, the reported and fatal checks. Everything a
// single-threaded operation sequence on a valid buffer can show (the relocation
// rule at its boundaries, take-backs, negative counts, full-buffer locks, the
// choices made for a take-back at the mark or under a get block) is checked
// byte by byte against the reference model in cbuffer_model_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "buffer/cbuffer.h"
#include "buffer_dump.h"
#include "osal/osal.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

using attest::dumpCBuffer;

std::vector<UInt8> counting(int n, int from = 0) {
    std::vector<UInt8> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), static_cast<UInt8>(from));
    return v;
}

void put(CBuffer* cb, int n, int from = 0) {
    std::vector<UInt8> v = counting(n, from);
    ASSERT_EQ(BUFFER_PutCBufferBlock(cb, v.data(), static_cast<Int16>(n)), n);
}

std::vector<UInt8> get(CBuffer* cb, int n) {
    std::vector<UInt8> v(static_cast<size_t>(n) + 1);
    v.resize(static_cast<size_t>(BUFFER_GetCBufferBlock(cb, v.data(), static_cast<Int16>(n))));
    return v;
}

// A buffer that is destroyed at the end of the test.
struct Buffer {
    CBuffer* cb;
    Buffer(int size, int limit) : cb(BUFFER_CreateCBuffer(static_cast<Int16>(size), static_cast<Int16>(limit))) {}
    ~Buffer() {
        if (cb != nullptr) {
            EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
        }
    }
};

TEST(CBuffer, WorkedExampleRelocatesShortTail) {
    Buffer b(100, 30);
    CBuffer* cb = b.cb;
    put(cb, 80);
    ASSERT_EQ(get(cb, 60).size(), 60u);
    // Tail 20 < head 60 and 20 < 30: the block moves to the start.
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(p, cb->buf);
    EXPECT_EQ(sz, 30);
    attest::CBufferDump d = dumpCBuffer(cb);
    EXPECT_EQ(d.prv_wrt_idx, 80);
    EXPECT_EQ(d.wrt_idx, 0);
    EXPECT_EQ(d.rd_idx, 60);
    EXPECT_EQ(d.wrt_reserved_sz, 30);
    EXPECT_EQ(d.reloc_cnt, 1);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(cb), 60);  // rd_idx - wrt_idx, the end behind the mark not counted
    EXPECT_EQ(BUFFER_GetCBufferUsedSize(cb), 20);

    std::vector<UInt8> fresh = counting(30, 200);
    std::memcpy(p, fresh.data(), 30);
    BUFFER_UnlockCBufferPutBlock(cb, 30);
    d = dumpCBuffer(cb);
    EXPECT_EQ(d.wrt_idx, 30);
    EXPECT_EQ(d.in_use_cnt, 50);
    EXPECT_EQ(d.prv_wrt_idx, 80);  // the commit leaves the mark alone
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(cb), 30);

    // The reader takes the older bytes up to the mark, then jumps to 0.
    ASSERT_EQ(BUFFER_LockCBufferGetBlock(cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(p, cb->buf + 60);
    ASSERT_EQ(sz, 20);
    EXPECT_EQ(std::vector<UInt8>(p, p + 20), counting(20, 60));
    BUFFER_UnlockCBufferGetBlock(cb, -1);
    d = dumpCBuffer(cb);
    EXPECT_EQ(d.rd_idx, 0);
    EXPECT_EQ(d.prv_wrt_idx, -2);
    EXPECT_EQ(d.in_use_cnt, 30);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(cb), 70);
    ASSERT_EQ(BUFFER_LockCBufferGetBlock(cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(p, cb->buf);
    ASSERT_EQ(sz, 30);
    EXPECT_EQ(std::vector<UInt8>(p, p + 30), fresh);
    BUFFER_UnlockCBufferGetBlock(cb, 0);
}

// The two counters share a 16-bit word; each wraps within its own byte.
TEST(CBuffer, CountersWrapModulo256EachInItsOwnByte) {
    Buffer b(4, 2);
    CBuffer* cb = b.cb;
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, counting(6).data(), 6), 4);  // overrun_cnt 2
    get(cb, 4);
    put(cb, 3);
    get(cb, 2);
    UInt8* p = nullptr;
    Int16 sz = 0;
    for (int i = 0; i < 257; ++i) {
        // One byte stored at 2, writer at 3: tail 1 < head 2 and 1 < 2.
        ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);
        ASSERT_EQ(p, cb->buf);
        BUFFER_UnlockCBufferPutBlock(cb, 1);
        ASSERT_EQ(get(cb, 4).size(), 2u);  // the old byte, then the new one at 0
        put(cb, 2);                         // back to writer 3, reader 2
        get(cb, 1);
    }
    attest::CBufferDump d = dumpCBuffer(cb);
    EXPECT_EQ(d.reloc_cnt, 1);  // 257 modulo 256
    EXPECT_EQ(d.overrun_cnt, 2);
    // 3 stored, 297 refused: 299 overruns in all, 43 modulo 256.
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, counting(300).data(), 300), 3);
    d = dumpCBuffer(cb);
    EXPECT_EQ(d.overrun_cnt, 43);
    EXPECT_EQ(d.reloc_cnt, 1);
}

TEST(CBuffer, GetLockOnEmptyTakesNoLock) {
    Buffer b(10, -1);
    CBuffer* cb = b.cb;
    put(cb, 6);
    get(cb, 6);
    // With wrt_lock held elsewhere, a get lock that wanted it would block.
    ASSERT_EQ(OSSEMAPHORE_Obtain(cb->wrt_lock, OSSUSPEND_WAIT), static_cast<OSStatus>(OSSTATUS_SUCCESS));
    auto done = std::async(std::launch::async, [cb] {
        UInt8* p = nullptr;
        Int16 sz = 9;
        CBufStatus s = BUFFER_LockCBufferGetBlock(cb, &p, &sz);
        return s == CBUF_OK && sz == 0 && p == cb->buf + 6;
    });
    const bool finished = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    OSSEMAPHORE_Release(cb->wrt_lock);
    EXPECT_TRUE(finished);
    EXPECT_TRUE(done.get());
}

// Choice: sizes outside the contract (buf_sz < 1, locked_sz < -1, and a
// locked_sz of 0, which would leave the put side unable to commit) make
// creation return NULL without allocating anything.
TEST(CBuffer, CreationRefusesSizesOutsideTheContract) {
    const UInt32 blocks = dbHEAP_GetLiveBlocks();
    const UInt32 sems = OSSEMAPHORE_GetLiveCount();
    EXPECT_EQ(BUFFER_CreateCBuffer(0, -1), nullptr);
    EXPECT_EQ(BUFFER_CreateCBuffer(10, 0), nullptr);
    EXPECT_EQ(BUFFER_CreateCBuffer(10, -2), nullptr);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
    // The extremes inside the contract work: a record, a data area and a free lock each.
    CBuffer* one = BUFFER_CreateCBuffer(1, 1);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks + 2);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems + 1);
    put(one, 1, 77);
    EXPECT_EQ(get(one, 1), std::vector<UInt8>{77});
    EXPECT_EQ(BUFFER_DestroyCBuffer(one), CBUF_OK);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
    Buffer big(32767, 32767);
    ASSERT_NE(big.cb, nullptr);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(big.cb), 32767);
    // The dump, a diagnostic, is the one operation that takes NULL: it writes nothing.
    EXPECT_EQ(dumpCBuffer(nullptr).error, "expected 5 dump items, got 0");
}

std::vector<std::string> g_xasserts;
void recordXassert(const char* expression, const char* file, UInt32, Int32 value) {
    g_xasserts.push_back(std::string(expression) + " @" + file + " " + std::to_string(value));
}

// Choice: a commit count above the reservation is reported through __xassert
// with the count as value and then lowered to the reservation, so the record
// stays consistent; with no reservation nothing is committed.
TEST(CBuffer, CommitAboveReservationAndInconsistentRecordAreReported) {
    Buffer b(10, 4);
    CBuffer* cb = b.cb;
    KOVA_SetXassertHook(recordXassert);
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);
    ASSERT_EQ(sz, 4);
    BUFFER_UnlockCBufferPutBlock(cb, 7);
    BUFFER_UnlockCBufferPutBlock(cb, 2);  // no reservation stands
    EXPECT_EQ(BUFFER_GetCBufferUsedSize(cb), 4);
    ASSERT_EQ(BUFFER_LockCBufferGetBlock(cb, &p, &sz), CBUF_OK);
    BUFFER_UnlockCBufferGetBlock(cb, 6);
    EXPECT_EQ(BUFFER_GetCBufferUsedSize(cb), 0);
    BUFFER_UnlockCBufferGetBlock(cb, 0);  // 0 and -1 are always in the contract
    BUFFER_UnlockCBufferGetBlock(cb, -1);
    cb->rd_reserved_sz = 3;  // a reservation on an empty buffer cannot happen
    sz = 1;
    EXPECT_EQ(BUFFER_LockCBufferGetBlock(cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(sz, 0);
    cb->rd_reserved_sz = 0;
    KOVA_SetXassertHook(nullptr);
    const std::string at = " @common/modem/at/stubs/buffer ";
    EXPECT_EQ(g_xasserts, (std::vector<std::string>{"buf_sz <= cbuf->wrt_reserved_sz" + at + "7",
                                                    "buf_sz <= cbuf->wrt_reserved_sz" + at + "2",
                                                    "cnt <= cbuf->rd_reserved_sz" + at + "6",
                                                    "cbuf->rd_reserved_sz == 0" + at + "3"}));
}

// The records are corrupted inside the dying statements only.
TEST(CBufferDeathTest, FatalChecksStopWithTheirTexts) {
    const std::string at = "common/modem/at/stubs/buffer:[0-9]+: ";
    UInt8* p = nullptr;
    Int16 sz = 0;
    // A NULL handle stops every operation but the dump.
    EXPECT_DEATH(BUFFER_LockCBufferGetBlock(nullptr, &p, &sz),
                 at + "BUFFER_LockCBufferGetBlock: assertion \"cbuf != NULL\" failed");

    Buffer b(100, -1);
    CBuffer* cb = b.cb;
    EXPECT_DEATH(
        {
            BUFFER_LockCBufferPutBlock(cb, &p, &sz);
            BUFFER_UnlockCBufferPutBlock(cb, 0);
        },
        at + "BUFFER_UnlockCBufferPutBlock: assertion \"buf_sz != 0\" failed");
    // 60 counted as stored, but the gap up to the reader is 50 while only 40 are free.
    EXPECT_DEATH(
        {
            KOVA_SetDebugLogHook(
                [](UInt32 channel, const char* text) { std::fprintf(stderr, "[%u]%s\n", channel, text); });
            cb->rd_idx = 50;
            cb->in_use_cnt = 60;
            BUFFER_LockCBufferPutBlock(cb, &p, &sz);
        },
        "\\[262\\]\r\nin_use_cnt=60\n\\[262\\]\r\nwrt_reserved_sz=50\n\\[262\\]\r\nwrt_idx=0\n\\[262\\]\r\nrd_idx=50\n"
        ".*BUFFER_LockCBufferPutBlock: assertion \"FALSE\" failed");
    // The writer stands 50 ahead of the reader with only 5 counted.
    EXPECT_DEATH(
        {
            cb->wrt_idx = 50;
            cb->in_use_cnt = 5;
            BUFFER_LockCBufferGetBlock(cb, &p, &sz);
        },
        "BUFFER_LockCBufferGetBlock: assertion \"cbuf->rd_reserved_sz <= cbuf->in_use_cnt\" failed");
}

}  // namespace
