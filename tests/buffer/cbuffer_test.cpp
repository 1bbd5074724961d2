// CBuffer behaviour case by case where a worked example or an exact text says
// more than a random sequence can: the relocation example, counter wrap-around,
// creation limits, the reported and fatal checks and the dump format.
// Everything a single-threaded operation sequence on a valid buffer can show
// (reservations refusing one side, full-buffer locks, reading past the
// relocation mark, take-backs, negative counts, and the choices made for a
// take-back at the mark or under a get block) is checked byte by byte by the
// model-based test in cbuffer_model_test.cpp.
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

// Puts n counting bytes (from `from`) and checks that all were stored.
void put(CBuffer* cb, int n, int from = 0) {
    std::vector<UInt8> v = counting(n, from);
    ASSERT_EQ(BUFFER_PutCBufferBlock(cb, v.data(), static_cast<Int16>(n)), n);
}

std::vector<UInt8> get(CBuffer* cb, int n) {
    std::vector<UInt8> v(static_cast<size_t>(n < 0 ? 0 : n) + 1);
    Int16 got = BUFFER_GetCBufferBlock(cb, v.data(), static_cast<Int16>(n));
    v.resize(static_cast<size_t>(got < 0 ? 0 : got));
    return v;
}

struct Xassert {
    std::string expression, file;
    Int32 value;
};
std::vector<Xassert> g_xasserts;

void recordXassert(const char* expression, const char* file, UInt32, Int32 value) {
    g_xasserts.push_back({expression, file, value});
}

// A buffer that is destroyed at the end of the test when it still exists.
struct Buffer {
    CBuffer* cb;
    Buffer(int size, int limit) : cb(BUFFER_CreateCBuffer(static_cast<Int16>(size), static_cast<Int16>(limit))) {}
    ~Buffer() {
        if (cb == nullptr) return;
        if (cb->wrt_reserved_sz != 0) BUFFER_UnlockCBufferPutBlock(cb, 1);
        BUFFER_UnlockCBufferGetBlock(cb, 0);
        EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
    }
};

TEST(CBuffer, NewBufferIsEmptyAndDumpsItsSettings) {
    const UInt32 blocks = dbHEAP_GetLiveBlocks();
    const UInt32 sems = OSSEMAPHORE_GetLiveCount();
    CBuffer* cb = BUFFER_CreateCBuffer(48, 12);
    ASSERT_NE(cb, nullptr);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks + 2);  // the record and the data area
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems + 1);
    EXPECT_EQ(OSSEMAPHORE_GetCnt(cb->wrt_lock), 1u);
    EXPECT_EQ(BUFFER_GetCBufferUsedSize(cb), 0);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(cb), 48);
    EXPECT_EQ(BUFFER_GetCBufferBufferSize(cb), 48);
    attest::CBufferDump d = dumpCBuffer(cb);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.wrt_idx, 0);
    EXPECT_EQ(d.rd_idx, 0);
    EXPECT_EQ(d.prv_wrt_idx, -2);
    EXPECT_EQ(d.locked_sz, 12);
    EXPECT_EQ(d.buf_sz, 48);
    EXPECT_EQ(d.reloc_cnt, 0);
    EXPECT_EQ(d.overrun_cnt, 0);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
}

TEST(CBuffer, DumpOfNullWritesNothing) {
    attest::CBufferDump d = dumpCBuffer(nullptr);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, "expected 5 dump items, got 0");
}

TEST(CBuffer, WorkedExampleRelocatesShortTail) {
    Buffer b(100, 30);
    CBuffer* cb = b.cb;
    put(cb, 80);
    ASSERT_EQ(get(cb, 60).size(), 60u);
    attest::CBufferDump d = dumpCBuffer(cb);
    EXPECT_EQ(d.wrt_idx, 80);
    EXPECT_EQ(d.rd_idx, 60);
    EXPECT_EQ(d.in_use_cnt, 20);

    // Tail 20 < head 60 and 20 < 30: the block moves to the start.
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(p, cb->buf);
    EXPECT_EQ(sz, 30);
    d = dumpCBuffer(cb);
    EXPECT_EQ(d.prv_wrt_idx, 80);
    EXPECT_EQ(d.wrt_idx, 0);
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
}

TEST(CBuffer, WorkedExampleTiesAndNoLimitKeepTheTail) {
    for (int limit : {-1, 20}) {
        SCOPED_TRACE("locked_sz " + std::to_string(limit));
        Buffer b(100, limit);
        put(b.cb, 80);
        get(b.cb, 60);
        UInt8* p = nullptr;
        Int16 sz = 0;
        ASSERT_EQ(BUFFER_LockCBufferPutBlock(b.cb, &p, &sz), CBUF_OK);
        EXPECT_EQ(p, b.cb->buf + 80);
        EXPECT_EQ(sz, 20);
        attest::CBufferDump d = dumpCBuffer(b.cb);
        EXPECT_EQ(d.prv_wrt_idx, -2);
        EXPECT_EQ(d.reloc_cnt, 0);
    }
    // A tail equal to the head is kept as well.
    Buffer t(100, 90);
    put(t.cb, 70);
    get(t.cb, 30);  // wrt 70, rd 30: tail 30, head 30 — a tie
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(t.cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(p, t.cb->buf + 70);
    EXPECT_EQ(sz, 30);
    EXPECT_EQ(dumpCBuffer(t.cb).reloc_cnt, 0);
}

TEST(CBuffer, WorkedExampleEmptyBufferNearTheEndStartsOver) {
    {
        Buffer b(100, 30);
        put(b.cb, 90);
        get(b.cb, 90);
        UInt8* p = nullptr;
        Int16 sz = 0;
        ASSERT_EQ(BUFFER_LockCBufferPutBlock(b.cb, &p, &sz), CBUF_OK);
        EXPECT_EQ(p, b.cb->buf);
        EXPECT_EQ(sz, 30);
        attest::CBufferDump d = dumpCBuffer(b.cb);
        EXPECT_EQ(d.wrt_idx, 0);
        EXPECT_EQ(d.rd_idx, 0);
        EXPECT_EQ(d.prv_wrt_idx, -2);
        EXPECT_EQ(d.reloc_cnt, 0);  // nothing was stored: no relocation to count
    }
    {
        Buffer b(100, -1);
        put(b.cb, 90);
        get(b.cb, 90);
        UInt8* p = nullptr;
        Int16 sz = 0;
        ASSERT_EQ(BUFFER_LockCBufferPutBlock(b.cb, &p, &sz), CBUF_OK);
        EXPECT_EQ(p, b.cb->buf + 90);
        EXPECT_EQ(sz, 10);
    }
}

TEST(CBuffer, OverrunCountsModulo256AndLeavesRelocCntAlone) {
    Buffer b(10, 4);
    CBuffer* cb = b.cb;
    // One relocation first, so that reloc_cnt has a value to keep.
    put(cb, 9);
    get(cb, 8);  // wrt 9, rd 8: tail 1 < head 8, 1 < 4
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);
    BUFFER_UnlockCBufferPutBlock(cb, sz);
    get(cb, 10);
    ASSERT_EQ(dumpCBuffer(cb).reloc_cnt, 1);

    // 10 + 5 into the now empty buffer of 10: 10 stored, 5 refused.
    std::vector<UInt8> src = counting(300);
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, src.data(), 15), 10);
    EXPECT_EQ(dumpCBuffer(cb).overrun_cnt, 5);
    UInt8 one = 7;
    EXPECT_EQ(BUFFER_PutCBufferDatum(cb, &one), CBUF_FULL);
    EXPECT_EQ(dumpCBuffer(cb).overrun_cnt, 6);
    // 294 more refused: 300 in all, 44 modulo 256.
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, src.data(), 294), 0);
    attest::CBufferDump d = dumpCBuffer(cb);
    EXPECT_EQ(d.overrun_cnt, 44);
    EXPECT_EQ(d.reloc_cnt, 1);
    // The two counters are one 16-bit word, overrun_cnt its low byte.
    UInt16 word = 0;
    std::memcpy(&word, &cb->overrun_cnt, sizeof word);
    EXPECT_EQ(word, (1u << 8) | 44u);
    // Only a reset clears them.
    EXPECT_EQ(get(cb, 10), counting(10));
    ASSERT_EQ(BUFFER_ResetCBuffer(cb), CBUF_OK);
    d = dumpCBuffer(cb);
    EXPECT_EQ(d.overrun_cnt, 0);
    EXPECT_EQ(d.reloc_cnt, 0);
}

TEST(CBuffer, RelocationCounterWrapsWithinItsByte) {
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
    EXPECT_EQ(dumpCBuffer(cb).rd_reserved_sz, 0);
}

// Choice: sizes outside the contract (buf_sz < 1, locked_sz < -1, and a
// locked_sz of 0, which would leave the put side unable to commit) make
// creation return NULL without allocating anything.
TEST(CBuffer, CreationRefusesSizesOutsideTheContract) {
    const UInt32 blocks = dbHEAP_GetLiveBlocks();
    const UInt32 sems = OSSEMAPHORE_GetLiveCount();
    for (Int16 sz : {Int16{0}, Int16{-5}, Int16{-32768}}) EXPECT_EQ(BUFFER_CreateCBuffer(sz, -1), nullptr) << sz;
    for (Int16 lim : {Int16{0}, Int16{-2}, Int16{-32768}}) EXPECT_EQ(BUFFER_CreateCBuffer(10, lim), nullptr) << lim;
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
    // The extremes inside the contract work.
    Buffer one(1, 1);
    ASSERT_NE(one.cb, nullptr);
    put(one.cb, 1, 77);
    EXPECT_EQ(get(one.cb, 1), std::vector<UInt8>{77});
    Buffer big(32767, 32767);
    ASSERT_NE(big.cb, nullptr);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(big.cb), 32767);
}

// Choice: a commit count above the reservation is reported through __xassert
// with the count as value and then lowered to the reservation, so the record
// stays consistent; with no reservation nothing is committed.
TEST(CBuffer, CommitAboveReservationIsReportedAndClamped) {
    Buffer b(10, 4);
    CBuffer* cb = b.cb;
    g_xasserts.clear();
    KOVA_SetXassertHook(recordXassert);
    const UInt32 before = KOVA_GetXassertCount();
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);
    ASSERT_EQ(sz, 4);
    BUFFER_UnlockCBufferPutBlock(cb, 7);
    attest::CBufferDump d = dumpCBuffer(cb);
    EXPECT_EQ(d.in_use_cnt, 4);
    EXPECT_EQ(d.wrt_idx, 4);
    EXPECT_EQ(d.wrt_reserved_sz, 0);
    BUFFER_UnlockCBufferPutBlock(cb, 2);  // no reservation stands
    EXPECT_EQ(dumpCBuffer(cb).in_use_cnt, 4);

    ASSERT_EQ(BUFFER_LockCBufferGetBlock(cb, &p, &sz), CBUF_OK);
    ASSERT_EQ(sz, 4);
    BUFFER_UnlockCBufferGetBlock(cb, 6);
    d = dumpCBuffer(cb);
    EXPECT_EQ(d.in_use_cnt, 0);
    EXPECT_EQ(d.rd_idx, 4);
    EXPECT_EQ(d.rd_reserved_sz, 0);
    BUFFER_UnlockCBufferGetBlock(cb, 0);  // 0 and -1 are always in the contract
    BUFFER_UnlockCBufferGetBlock(cb, -1);
    KOVA_SetXassertHook(nullptr);

    EXPECT_EQ(KOVA_GetXassertCount() - before, 3u);
    ASSERT_EQ(g_xasserts.size(), 3u);
    EXPECT_EQ(g_xasserts[0].expression, "buf_sz <= cbuf->wrt_reserved_sz");
    EXPECT_EQ(g_xasserts[0].file, "common/modem/at/stubs/buffer");
    EXPECT_EQ(g_xasserts[0].value, 7);
    EXPECT_EQ(g_xasserts[1].expression, "buf_sz <= cbuf->wrt_reserved_sz");
    EXPECT_EQ(g_xasserts[1].value, 2);
    EXPECT_EQ(g_xasserts[2].expression, "cnt <= cbuf->rd_reserved_sz");
    EXPECT_EQ(g_xasserts[2].value, 6);
}

TEST(CBuffer, InconsistentRecordIsReportedByGetLock) {
    Buffer b(10, -1);
    g_xasserts.clear();
    KOVA_SetXassertHook(recordXassert);
    b.cb->rd_reserved_sz = 3;  // a reservation on an empty buffer cannot happen
    UInt8* p = nullptr;
    Int16 sz = 1;
    EXPECT_EQ(BUFFER_LockCBufferGetBlock(b.cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(sz, 0);
    b.cb->rd_reserved_sz = 0;
    KOVA_SetXassertHook(nullptr);
    ASSERT_EQ(g_xasserts.size(), 1u);
    EXPECT_EQ(g_xasserts[0].expression, "cbuf->rd_reserved_sz == 0");
    EXPECT_EQ(g_xasserts[0].value, 3);
}

TEST(CBufferDeathTest, NullHandleStopsEveryOperationButTheDump) {
    UInt8 byte = 0;
    UInt8* p = nullptr;
    Int16 sz = 0;
    auto text = [](const char* fn) {
        return std::string("common/modem/at/stubs/buffer:[0-9]+: ") + fn + ": assertion \"cbuf != NULL\" failed";
    };
    EXPECT_DEATH(BUFFER_DestroyCBuffer(nullptr), text("BUFFER_DestroyCBuffer"));
    EXPECT_DEATH(BUFFER_ResetCBuffer(nullptr), text("BUFFER_ResetCBuffer"));
    EXPECT_DEATH(BUFFER_GetCBufferUsedSize(nullptr), text("BUFFER_GetCBufferUsedSize"));
    EXPECT_DEATH(BUFFER_GetCBufferFreeSize(nullptr), text("BUFFER_GetCBufferFreeSize"));
    EXPECT_DEATH(BUFFER_GetCBufferBufferSize(nullptr), text("BUFFER_GetCBufferBufferSize"));
    EXPECT_DEATH(BUFFER_PutCBufferBlock(nullptr, &byte, 1), text("BUFFER_PutCBufferBlock"));
    EXPECT_DEATH(BUFFER_GetCBufferBlock(nullptr, &byte, 1), text("BUFFER_GetCBufferBlock"));
    EXPECT_DEATH(BUFFER_PutCBufferDatum(nullptr, &byte), text("BUFFER_PutCBufferDatum"));
    EXPECT_DEATH(BUFFER_GetCBufferDatum(nullptr, &byte), text("BUFFER_GetCBufferDatum"));
    EXPECT_DEATH(BUFFER_UnputCBufferDatum(nullptr), text("BUFFER_UnputCBufferDatum"));
    EXPECT_DEATH(BUFFER_FlushCBufferBlock(nullptr, -1), text("BUFFER_FlushCBufferBlock"));
    EXPECT_DEATH(BUFFER_LockCBufferPutBlock(nullptr, &p, &sz), text("BUFFER_LockCBufferPutBlock"));
    EXPECT_DEATH(BUFFER_UnlockCBufferPutBlock(nullptr, 1), text("BUFFER_UnlockCBufferPutBlock"));
    EXPECT_DEATH(BUFFER_LockCBufferGetBlock(nullptr, &p, &sz), text("BUFFER_LockCBufferGetBlock"));
    EXPECT_DEATH(BUFFER_UnlockCBufferGetBlock(nullptr, 0), text("BUFFER_UnlockCBufferGetBlock"));
}

TEST(CBufferDeathTest, PutCommitOfZeroStops) {
    Buffer b(10, -1);
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(b.cb, &p, &sz), CBUF_OK);
    EXPECT_DEATH(BUFFER_UnlockCBufferPutBlock(b.cb, 0),
                 "common/modem/at/stubs/buffer:[0-9]+: BUFFER_UnlockCBufferPutBlock: assertion \"buf_sz != 0\" failed");
}

void debugToStderr(UInt32 channel, const char* text) { std::fprintf(stderr, "[%u]%s\n", channel, text); }

TEST(CBufferDeathTest, OversizedPutReservationLogsAndStops) {
    Buffer b(100, -1);
    // Corrupt the record: 60 counted as stored, but the gap up to the reader
    // is 50 while only 40 are free.
    b.cb->wrt_idx = 0;
    b.cb->rd_idx = 50;
    b.cb->in_use_cnt = 60;
    UInt8* p = nullptr;
    Int16 sz = 0;
    EXPECT_DEATH(
        {
            KOVA_SetDebugLogHook(debugToStderr);
            BUFFER_LockCBufferPutBlock(b.cb, &p, &sz);
        },
        "\\[262\\]\r\nin_use_cnt=60\n\\[262\\]\r\nwrt_reserved_sz=50\n\\[262\\]\r\nwrt_idx=0\n\\[262\\]\r\nrd_idx=50\n"
        ".*BUFFER_LockCBufferPutBlock: assertion \"FALSE\" failed");
    b.cb->in_use_cnt = 0;
    b.cb->rd_idx = 0;
}

TEST(CBufferDeathTest, OversizedGetReservationStops) {
    Buffer b(100, -1);
    b.cb->wrt_idx = 50;
    b.cb->in_use_cnt = 5;  // the writer stands 50 ahead of the reader
    UInt8* p = nullptr;
    Int16 sz = 0;
    EXPECT_DEATH(BUFFER_LockCBufferGetBlock(b.cb, &p, &sz),
                 "BUFFER_LockCBufferGetBlock: assertion \"cbuf->rd_reserved_sz <= cbuf->in_use_cnt\" failed");
    b.cb->wrt_idx = 0;
    b.cb->in_use_cnt = 0;
}

}  // namespace
