// CBuffer against a model of what its rules promise: the stored bytes as a
// queue, where the oldest of them lies, the relocation mark and the two
// reservations. RapidCheck drives random operation sequences, in and out of
// the contract, and after each one the results, the bytes, the block
// positions, the sizes, the dump and the __xassert count must agree.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>
#include <rapidcheck/state.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <deque>
#include <future>
#include <string>
#include <vector>

#include "buffer/cbuffer.h"
#include "osal/osal.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

// The load knob: RapidCheck reads its settings from RC_PARAMS, which the slow
// gates set to fewer sequences; the host runs this many.
[[maybe_unused]] const int g_defaultLoad = setenv("RC_PARAMS", "max_success=1000", 0);

using Bytes = std::vector<UInt8>;
constexpr int kNoMark = -2;

std::vector<std::string> g_log;
std::vector<std::string> dumpOf(CBuffer* cb) {
    g_log.clear();
    KOVA_SetDebugLogHook([](UInt32 channel, const char* text) { g_log.push_back(std::to_string(channel) + text); });
    BUFFER_DumpCBuffer(cb);
    KOVA_SetDebugLogHook(nullptr);
    return g_log;
}
std::vector<std::string> dumpText(int wrt, int wres, int rd, int rres, int used, int limit, int mark, int size,
                                  int reloc, int overrun) {
    auto n = [](int v) { return std::to_string(v); };
    return {"262\r\nCBuffer", "262\r\nwrt_idx=" + n(wrt) + ", wrt_reserved_sz=" + n(wres),
            "262\r\nrd_idx=" + n(rd) + ", rd_reserved_sz=" + n(rres),
            "262\r\nin_use_cnt=" + n(used) + ", locked_sz=" + n(limit) + ", prv_wrt_idx=" + n(mark),
            "262\r\nbuf_sz=" + n(size) + ", reloc_cnt/overrun_cnt=" + n(reloc) + "/" + n(overrun)};
}

// What a call should return: a result, a block (offset, -1 for NULL, and
// size) and the bytes it moves (stored, copied out, or to write in a block).
struct Expect {
    int result = 0, at = -1, size = 0;
    Bytes bytes;
};

struct Model {
    int size, limit;
    std::deque<UInt8> bytes;  // stored, oldest first
    int rd = 0;               // where the oldest byte lies
    int mark = kNoMark;       // while a relocation is pending, where the older bytes end
    int wres = 0, rres = 0;
    Bytes block;              // what the producer wrote into its reservation
    unsigned overrun = 0, reloc = 0, xasserts = 0, stamp = 0;
    Model(int sz, int lim) : size(sz), limit(lim) {}

    int used() const { return static_cast<int>(bytes.size()); }
    // New bytes follow the stored ones, wrapping at the end of the area;
    // after a relocation they fill the start of the area.
    int wrt() const { return mark != kNoMark ? used() - (mark - rd) : (rd + used()) % size; }
    int freeSize() const { return mark != kNoMark ? rd - wrt() : size - used(); }
    UInt8 fresh() { return static_cast<UInt8>((++stamp * 2654435761u) >> 24); }
    // Consumes n bytes; the read side jumps to 0 at the mark (ending the
    // relocation) or at the end of the area.
    int take(int n, Bytes* out) {
        for (int i = 0; i < n; ++i) out->push_back(bytes[static_cast<size_t>(i)]);
        bytes.erase(bytes.begin(), bytes.begin() + n);
        const int end = mark != kNoMark ? mark : size;
        rd += n;
        if (rd >= end) rd -= end, mark = kNoMark;
        return n;
    }
};

enum Kind { kPutBlock, kGetBlock, kFlush, kPutDatum, kGetDatum, kUnput, kPutLock, kPutCommit, kGetLock, kGetCommit,
            kReset, kDestroy };

Expect step(Model& m, int kind, int cnt) {
    Expect e;
    Bytes scrap;
    switch (kind) {
        case kPutBlock:
            if (m.wres != 0 || cnt <= 0) break;
            e.result = std::min(cnt, m.freeSize());
            m.overrun += static_cast<unsigned>(cnt - e.result);
            for (int i = 0; i < e.result; ++i) e.bytes.push_back(m.fresh()), m.bytes.push_back(e.bytes.back());
            break;
        case kGetBlock:
            if (m.rres == 0 && cnt > 0) e.result = m.take(std::min(cnt, m.used()), &e.bytes);
            break;
        case kFlush:
            if (m.rres == 0 && cnt >= -1) e.result = m.take(cnt == -1 ? m.used() : std::min(cnt, m.used()), &scrap);
            break;
        case kPutDatum:
            e.bytes.push_back(m.fresh());
            e.result = m.wres != 0 ? CBUF_LOCKED : m.freeSize() == 0 ? CBUF_FULL : CBUF_OK;
            if (e.result == CBUF_FULL) ++m.overrun;
            if (e.result == CBUF_OK) m.bytes.push_back(e.bytes[0]);
            break;
        case kGetDatum:
            e.result = m.rres != 0 ? CBUF_LOCKED : m.used() == 0 ? CBUF_EMPTY : (m.take(1, &e.bytes), CBUF_OK);
            break;
        case kUnput:
            // Choice: refused while the get reservation covers every stored
            // byte; at the mark with nothing stored behind it, the take-back
            // undoes the relocation.
            e.result = m.wres != 0 ? CBUF_LOCKED : m.used() == 0 ? CBUF_EMPTY
                       : m.rres != 0 && m.rres >= m.used() ? CBUF_LOCKED : CBUF_OK;
            if (e.result != CBUF_OK) break;
            m.bytes.pop_back();
            if (m.mark != kNoMark && m.used() < m.mark - m.rd) m.mark = kNoMark;
            break;
        case kPutLock: {
            const int room = m.freeSize(), w = m.wrt();
            m.wres = 0;
            if (room == 0) {
                e.result = CBUF_FULL;
                break;
            }
            // The room from the write side up to the reader or the end of the
            // area; a tail shorter than both the rest of the room and the
            // limit is skipped for the start of the area.
            const int tail = w < m.rd ? m.rd - w : m.size - w;
            m.wres = tail;
            if (w >= m.rd && tail < room - tail && m.limit != -1 && tail < m.limit) {
                if (m.used() == 0) m.rd = 0, m.wres = m.size;
                else m.mark = w, m.wres = m.rd, ++m.reloc;
            }
            if (m.limit != -1) m.wres = std::min(m.wres, m.limit);
            e.at = m.wrt(), e.size = m.wres;
            for (int i = 0; i < e.size; ++i) e.bytes.push_back(m.fresh());
            m.block = e.bytes;
            break;
        }
        case kPutCommit:
            // Choice: a count above the reservation is reported and lowered to it.
            if (cnt > m.wres) ++m.xasserts, cnt = m.wres;
            for (int i = 0; i < cnt; ++i) m.bytes.push_back(m.block[static_cast<size_t>(i)]);
            m.wres = 0;
            break;
        case kGetLock:
            e.at = m.rd;
            if (m.used() == 0) break;
            e.size = std::min(m.used(), (m.mark != kNoMark ? m.mark : m.size) - m.rd);
            if (m.limit != -1) e.size = std::min(e.size, m.limit);
            m.rres = e.size;
            e.bytes.assign(m.bytes.begin(), m.bytes.begin() + e.size);
            break;
        case kGetCommit:
            if (cnt == -1) cnt = m.rres;
            if (cnt > m.rres) ++m.xasserts, cnt = m.rres;
            m.take(std::max(cnt, 0), &scrap);
            m.rres = 0;
            break;
        case kReset:
        case kDestroy:
            e.result = m.wres != 0 || m.rres != 0 ? CBUF_LOCKED : CBUF_OK;
            if (kind == kReset && e.result == CBUF_OK) m.bytes.clear(), m.rd = 0, m.mark = kNoMark, m.overrun = m.reloc = 0;
            break;
    }
    return e;
}

struct Sut {
    CBuffer* cb;
    UInt8* base;  // the data area: a new buffer offers an empty get block at its start
    UInt32 xassertBase;
};

struct Op : rc::state::Command<Model, Sut> {
    int kind, cnt = 0;
    explicit Op(const Model& m)
        : kind(*rc::gen::weightedElement<int>({{3, kPutBlock}, {3, kGetBlock}, {1, kFlush}, {2, kPutDatum},
                                               {2, kGetDatum}, {3, kUnput}, {3, kPutLock}, {3, kPutCommit},
                                               {3, kGetLock}, {3, kGetCommit}, {1, kReset}, {1, kDestroy}})) {
        const int reserved = kind == kPutCommit ? m.wres : m.rres;
        if ((kind == kPutCommit || kind == kGetCommit) && reserved == 0)
            cnt = *rc::gen::inRange(-2, 3);
        else if (kind == kPutCommit || kind == kGetCommit)
            cnt = *rc::gen::weightedOneOf<int>({{6, rc::gen::inRange(1, reserved + 1)}, {3, rc::gen::inRange(1, 3)},
                                                {1, rc::gen::inRange(-3, 0)}, {1, rc::gen::inRange(reserved + 1, reserved + 4)}});
        else if (kind == kPutBlock || kind == kGetBlock || kind == kFlush)
            cnt = *rc::gen::weightedOneOf<int>({{8, rc::gen::inRange(1, m.size + 6)},
                                                {1, rc::gen::element(-32768, -2, -1, 0, 32767)}});
        if (kind == kPutCommit && cnt == 0) cnt = reserved + 1;  // 0 stops the process
    }
    void apply(Model& m) const override { step(m, kind, cnt); }
    void run(const Model& before, Sut& s) const override {
        Model m = before;
        const Expect e = step(m, kind, cnt);
        CBuffer* cb = s.cb;
        // Exactly the bytes expected to move, so that ASan catches any access
        // past them; a destination starts as the opposite of what must land.
        Bytes data = e.bytes;
        if (kind == kGetBlock || kind == kGetDatum) data.resize(std::max<size_t>(data.size(), kind == kGetDatum));
        if (kind == kGetBlock || kind == kGetDatum) for (UInt8& b : data) b = static_cast<UInt8>(~b);
        UInt8* p = nullptr;
        Int16 sz = 0;
        const Int16 n = static_cast<Int16>(cnt);
        int got = 0;
        switch (kind) {
            case kPutBlock: got = BUFFER_PutCBufferBlock(cb, data.data(), n); break;
            case kGetBlock: got = BUFFER_GetCBufferBlock(cb, data.data(), n); break;
            case kFlush: got = BUFFER_FlushCBufferBlock(cb, n); break;
            case kPutDatum: got = BUFFER_PutCBufferDatum(cb, data.data()); break;
            case kGetDatum: got = BUFFER_GetCBufferDatum(cb, data.data()); break;
            case kUnput: got = BUFFER_UnputCBufferDatum(cb); break;
            case kPutLock: got = BUFFER_LockCBufferPutBlock(cb, &p, &sz); break;
            case kPutCommit: BUFFER_UnlockCBufferPutBlock(cb, n); break;
            case kGetLock: got = BUFFER_LockCBufferGetBlock(cb, &p, &sz); break;
            case kGetCommit: BUFFER_UnlockCBufferGetBlock(cb, n); break;
            case kReset: got = BUFFER_ResetCBuffer(cb); break;
            case kDestroy: got = e.result == CBUF_OK ? CBUF_OK : BUFFER_DestroyCBuffer(cb); break;
        }
        RC_ASSERT(got == e.result);
        RC_ASSERT((p != nullptr ? p - s.base : -1) == e.at);
        RC_ASSERT(sz == e.size);
        if (kind == kGetLock) data.assign(p, p + sz);
        if (kind == kPutLock) std::copy(data.begin(), data.end(), p);  // the producer fills its whole block
        if (kind == kGetDatum) data.resize(e.bytes.size());
        if (kind == kGetBlock || kind == kGetDatum || kind == kGetLock) RC_ASSERT(data == e.bytes);
        RC_ASSERT(BUFFER_GetCBufferUsedSize(cb) == m.used());
        RC_ASSERT(BUFFER_GetCBufferFreeSize(cb) == m.freeSize());
        RC_ASSERT(BUFFER_GetCBufferBufferSize(cb) == m.size);
        RC_ASSERT(dumpOf(cb) == dumpText(m.wrt(), m.wres, m.rd, m.rres, m.used(), m.limit, m.mark, m.size,
                                         static_cast<int>(m.reloc & 0xFF), static_cast<int>(m.overrun & 0xFF)));
        RC_ASSERT(KOVA_GetXassertCount() - s.xassertBase == m.xasserts);
    }
    void show(std::ostream& os) const override { os << "op " << kind << "(" << cnt << ")"; }
};

RC_GTEST_PROP(CBufferModel, RandomOperationsKeepTheDocumentedRules, ()) {
    const int size = *rc::gen::inRange(1, 48);
    const int limit = *rc::gen::weightedOneOf<int>({{1, rc::gen::just(-1)}, {3, rc::gen::inRange(1, size + 4)}});
    const UInt32 blocks = dbHEAP_GetLiveBlocks(), sems = OSSEMAPHORE_GetLiveCount();
    KOVA_SetXassertHook([](const char*, const char*, UInt32, Int32) {});
    Sut s{BUFFER_CreateCBuffer(static_cast<Int16>(size), static_cast<Int16>(limit)), nullptr, KOVA_GetXassertCount()};
    RC_ASSERT(s.cb != nullptr);
    Int16 sz = 1;
    RC_ASSERT(BUFFER_LockCBufferGetBlock(s.cb, &s.base, &sz) == CBUF_OK && sz == 0);
    rc::state::check(Model(size, limit), s, rc::state::gen::execOneOfWithArgs<Op>());
    BUFFER_UnlockCBufferPutBlock(s.cb, -1);  // a negative count ends the reservation, committing nothing
    BUFFER_UnlockCBufferGetBlock(s.cb, 0);
    RC_ASSERT(BUFFER_DestroyCBuffer(s.cb) == CBUF_OK);
    RC_ASSERT(dbHEAP_GetLiveBlocks() == blocks && OSSEMAPHORE_GetLiveCount() == sems);
}

TEST(CBuffer, WorkedExampleRelocatesTheShortTailAndTheReaderFollowsTheMark) {
    CBuffer* cb = BUFFER_CreateCBuffer(100, 30);
    Bytes in(80), out(60);
    for (int i = 0; i < 80; ++i) in[static_cast<size_t>(i)] = static_cast<UInt8>(i);
    ASSERT_EQ(BUFFER_PutCBufferBlock(cb, in.data(), 80), 80);
    ASSERT_EQ(BUFFER_GetCBufferBlock(cb, out.data(), 60), 60);
    UInt8 *start = nullptr, *p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &start, &sz), CBUF_OK);
    EXPECT_EQ(sz, 30);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(cb), 60);
    EXPECT_EQ(dumpOf(cb), dumpText(0, 30, 60, 0, 20, 30, 80, 100, 1, 0));
    BUFFER_UnlockCBufferPutBlock(cb, 30);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(cb), 30);
    ASSERT_EQ(BUFFER_LockCBufferGetBlock(cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(p, start + 60);
    EXPECT_EQ(Bytes(p, p + sz), Bytes(in.begin() + 60, in.end()));
    BUFFER_UnlockCBufferGetBlock(cb, -1);
    ASSERT_EQ(BUFFER_LockCBufferGetBlock(cb, &p, &sz), CBUF_OK);
    EXPECT_EQ(p, start);
    EXPECT_EQ(sz, 30);
    EXPECT_EQ(dumpOf(cb)[3], "262\r\nin_use_cnt=30, locked_sz=30, prv_wrt_idx=-2");
    BUFFER_UnlockCBufferGetBlock(cb, 0);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// Choice: a take-back with nothing stored behind the relocation mark steps
// to the byte before the mark and ends the relocation.
TEST(CBuffer, TakeBackAtTheMarkUndoesTheRelocation) {
    CBuffer* cb = BUFFER_CreateCBuffer(10, 4);
    Bytes bytes(8);
    UInt8* p = nullptr;
    Int16 sz = 0;
    ASSERT_EQ(BUFFER_PutCBufferBlock(cb, bytes.data(), 8), 8);
    ASSERT_EQ(BUFFER_GetCBufferBlock(cb, bytes.data(), 6), 6);
    ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);  // tail 2 < 4: relocated
    BUFFER_UnlockCBufferPutBlock(cb, 1);
    EXPECT_EQ(BUFFER_UnputCBufferDatum(cb), CBUF_OK);
    EXPECT_EQ(BUFFER_UnputCBufferDatum(cb), CBUF_OK);
    EXPECT_EQ(dumpOf(cb), dumpText(7, 0, 6, 0, 1, 4, -2, 10, 1, 0));
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(cb), 9);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// reloc_cnt wraps within its own byte, leaving overrun_cnt, the other byte of
// the word, alone (the model test wraps overrun_cnt).
TEST(CBuffer, RelocationCountWrapsInItsOwnByte) {
    CBuffer* cb = BUFFER_CreateCBuffer(4, 2);
    Bytes bytes(4);
    UInt8* p = nullptr;
    Int16 sz = 0;
    for (int i = 0; i < 257; ++i) {
        // One byte stored at 2, the writer at 3: the one-byte tail is skipped.
        ASSERT_EQ(BUFFER_PutCBufferBlock(cb, bytes.data(), i == 0 ? 3 : 2), i == 0 ? 3 : 2);
        ASSERT_EQ(BUFFER_GetCBufferBlock(cb, bytes.data(), i == 0 ? 2 : 1), i == 0 ? 2 : 1);
        ASSERT_EQ(BUFFER_LockCBufferPutBlock(cb, &p, &sz), CBUF_OK);
        BUFFER_UnlockCBufferPutBlock(cb, 1);
        ASSERT_EQ(BUFFER_GetCBufferBlock(cb, bytes.data(), 4), 2);
    }
    EXPECT_EQ(dumpOf(cb)[4], "262\r\nbuf_sz=4, reloc_cnt/overrun_cnt=1/0");
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

TEST(CBuffer, GetLockOnAnEmptyBufferTakesNoLock) {
    CBuffer* cb = BUFFER_CreateCBuffer(10, -1);
    ASSERT_EQ(OSSEMAPHORE_Obtain(cb->wrt_lock, OSSUSPEND_WAIT), static_cast<OSStatus>(OSSTATUS_SUCCESS));
    auto done = std::async(std::launch::async, [cb] {
        UInt8* p = nullptr;
        Int16 sz = 9;
        return BUFFER_LockCBufferGetBlock(cb, &p, &sz) == CBUF_OK && sz == 0;
    });
    const bool finished = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    OSSEMAPHORE_Release(cb->wrt_lock);
    EXPECT_TRUE(finished && done.get());
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// Choice: sizes outside the contract (buf_sz < 1, locked_sz < -1, and a
// locked_sz of 0, which would leave the put side unable to commit) make
// creation return NULL without allocating anything; the dump of NULL writes
// nothing.
TEST(CBuffer, CreationRefusesSizesOutsideTheContractAndTheExtremesWork) {
    const UInt32 blocks = dbHEAP_GetLiveBlocks(), sems = OSSEMAPHORE_GetLiveCount();
    EXPECT_EQ(BUFFER_CreateCBuffer(0, -1), nullptr);
    EXPECT_EQ(BUFFER_CreateCBuffer(10, 0), nullptr);
    EXPECT_EQ(BUFFER_CreateCBuffer(10, -2), nullptr);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
    CBuffer* big = BUFFER_CreateCBuffer(32767, 32767);
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks + 2);  // the record and the data area
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems + 1);
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(big), 32767);
    EXPECT_EQ(BUFFER_DestroyCBuffer(big), CBUF_OK);
    EXPECT_TRUE(dumpOf(nullptr).empty());
}

std::vector<std::string> g_reports;
TEST(CBuffer, ReportedChecksNameTheirExpressionAndValue) {
    CBuffer* cb = BUFFER_CreateCBuffer(10, 4);
    KOVA_SetXassertHook([](const char* expression, const char* file, UInt32, Int32 value) {
        g_reports.push_back(std::string(expression) + " @" + file + " " + std::to_string(value));
    });
    UInt8* p = nullptr;
    Int16 sz = 0;
    BUFFER_LockCBufferPutBlock(cb, &p, &sz);
    BUFFER_UnlockCBufferPutBlock(cb, 7);
    BUFFER_LockCBufferGetBlock(cb, &p, &sz);
    BUFFER_UnlockCBufferGetBlock(cb, 6);
    cb->rd_reserved_sz = 3;  // a reservation on an empty buffer cannot happen
    BUFFER_LockCBufferGetBlock(cb, &p, &sz);
    cb->rd_reserved_sz = 0;
    KOVA_SetXassertHook(nullptr);
    const std::string at = " @common/modem/at/stubs/buffer ";
    EXPECT_EQ(g_reports, (std::vector<std::string>{"buf_sz <= cbuf->wrt_reserved_sz" + at + "7",
                                                   "cnt <= cbuf->rd_reserved_sz" + at + "6",
                                                   "cbuf->rd_reserved_sz == 0" + at + "3"}));
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// The records are corrupted inside the dying statements only.
TEST(CBufferDeathTest, FatalChecksStopWithTheirTexts) {
    const std::string at = "common/modem/at/stubs/buffer:[0-9]+: ";
    UInt8* p = nullptr;
    Int16 sz = 0;
    EXPECT_DEATH(BUFFER_LockCBufferGetBlock(nullptr, &p, &sz),
                 at + "BUFFER_LockCBufferGetBlock: assertion \"cbuf != NULL\" failed");
    CBuffer* cb = BUFFER_CreateCBuffer(100, -1);
    EXPECT_DEATH(BUFFER_UnlockCBufferPutBlock(cb, 0), at + "BUFFER_UnlockCBufferPutBlock: assertion \"buf_sz != 0\"");
    // 60 counted as stored, but the gap up to the reader is 50 while only 40 are free.
    EXPECT_DEATH(
        {
            KOVA_SetDebugLogHook([](UInt32 ch, const char* text) { std::fprintf(stderr, "[%u]%s\n", ch, text); });
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
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

}  // namespace
