// CBuffer against a model of what its rules promise: the stored bytes as a
// queue, where the oldest of them lies, the relocation mark and the two
// reservations. RapidCheck drives random operation sequences, in and out of
// the contract, and after each one the results, the bytes, the block
// positions, the sizes, the dump and the __xassert reports must agree. Then the
// checks that stop or report, failing OS services, and a threaded stream.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>
#include <rapidcheck/state.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "buffer/cbuffer.h"
#include "osal/osal.h"
#include "platform/kovacutils/kovacutils_host.h"

// The buffer's objects linked into this program bind to these OS services;
// each forwards to libkovacutils unless a test has armed a failure.
namespace {
int g_failAlloc = 0;  // fail the n-th allocation from now (1-based), 0 = none
bool g_failRelease = false;
UInt32 g_createCount = 0, g_createMode = 0;
template <typename F>
F real(const char* name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }
}  // namespace
extern "C" void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line) {
    if (g_failAlloc != 0 && --g_failAlloc == 0) return nullptr;
    return real<void* (*)(size_t, const char*, UInt32)>("dbHEAP_Alloc")(size, file, line);
}
extern "C" OSSemaphore OSSEMAPHORE_Create(UInt32 initialCount, UInt32 mode) {
    g_createCount = initialCount, g_createMode = mode;
    return real<OSSemaphore (*)(UInt32, UInt32)>("OSSEMAPHORE_Create")(initialCount, mode);
}
extern "C" OSStatus OSSEMAPHORE_Release(OSSemaphore sem) {
    const OSStatus s = real<OSStatus (*)(OSSemaphore)>("OSSEMAPHORE_Release")(sem);
    return g_failRelease ? OSSTATUS_FAILURE : s;
}

namespace {

// The load knob: RapidCheck reads its settings from RC_PARAMS, which the slow
// gates set to fewer sequences; the host runs this many.
[[maybe_unused]] const int g_defaultLoad = setenv("RC_PARAMS", "max_success=1000", 0);

using Bytes = std::vector<UInt8>;
constexpr int kNoMark = -2;

// __xassert reports as "<expression> @<file> <value>".
std::vector<std::string> g_reports;
void recordReport(const char* expression, const char* file, UInt32, Int32 value) {
    g_reports.push_back(std::string(expression) + " @" + file + " " + std::to_string(value));
}
std::string report(const std::string& expression, int value) {
    return expression + " @common/modem/at/stubs/buffer " + std::to_string(value);
}

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
    unsigned overrun = 0, reloc = 0, stamp = 0;
    std::vector<std::string> reports;
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
            if (cnt > m.wres) m.reports.push_back(report("buf_sz <= cbuf->wrt_reserved_sz", cnt)), cnt = m.wres;
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
            if (cnt > m.rres) m.reports.push_back(report("cnt <= cbuf->rd_reserved_sz", cnt)), cnt = m.rres;
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
        RC_ASSERT(g_reports == m.reports);
    }
    void show(std::ostream& os) const override { os << "op " << kind << "(" << cnt << ")"; }
};

RC_GTEST_PROP(CBufferModel, RandomOperationsKeepTheDocumentedRules, ()) {
    const int size = *rc::gen::inRange(1, 48);
    const int limit = *rc::gen::weightedOneOf<int>({{1, rc::gen::just(-1)}, {3, rc::gen::inRange(1, size + 4)}});
    const UInt32 blocks = dbHEAP_GetLiveBlocks(), sems = OSSEMAPHORE_GetLiveCount();
    g_reports.clear();
    KOVA_SetXassertHook(recordReport);
    Sut s{BUFFER_CreateCBuffer(static_cast<Int16>(size), static_cast<Int16>(limit)), nullptr};
    RC_ASSERT(s.cb != nullptr);
    Int16 sz = 1;
    RC_ASSERT(BUFFER_LockCBufferGetBlock(s.cb, &s.base, &sz) == CBUF_OK && sz == 0);
    rc::state::check(Model(size, limit), s, rc::state::gen::execOneOfWithArgs<Op>());
    BUFFER_UnlockCBufferPutBlock(s.cb, -1);  // a negative count ends the reservation, committing nothing
    BUFFER_UnlockCBufferGetBlock(s.cb, 0);
    RC_ASSERT(BUFFER_DestroyCBuffer(s.cb) == CBUF_OK);
    RC_ASSERT(dbHEAP_GetLiveBlocks() == blocks && OSSEMAPHORE_GetLiveCount() == sems);
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
    BUFFER_UnlockCBufferPutBlock(cb, -1);
    EXPECT_EQ(BUFFER_UnputCBufferDatum(cb), CBUF_OK);
    EXPECT_EQ(dumpOf(cb), dumpText(7, 0, 6, 0, 1, 4, -2, 10, 1, 0));
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// Choice: sizes outside the contract (buf_sz < 1, locked_sz < -1, and a
// locked_sz of 0, which would leave the put side unable to commit) make
// creation return NULL without allocating anything; the dump of NULL writes
// nothing. A failure to allocate the data area frees the record.
TEST(CBuffer, CreationRefusesBadSizesFreesAllOnFailureAndTakesABinaryLock) {
    const UInt32 blocks = dbHEAP_GetLiveBlocks(), sems = OSSEMAPHORE_GetLiveCount();
    for (auto [size, limit] : {std::pair<Int16, Int16>{0, -1}, {10, 0}, {10, -2}})
        EXPECT_EQ(BUFFER_CreateCBuffer(size, limit), nullptr);
    g_failAlloc = 2;
    EXPECT_EQ(BUFFER_CreateCBuffer(64, 8), nullptr);
    EXPECT_EQ(g_failAlloc, 0);  // the second allocation was the one that failed
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
    CBuffer* big = BUFFER_CreateCBuffer(32767, 32767);
    EXPECT_EQ(g_createCount * 100 + g_createMode, 111u);  // one unit, mode 11
    EXPECT_EQ(BUFFER_GetCBufferFreeSize(big), 32767);
    EXPECT_EQ(BUFFER_DestroyCBuffer(big), CBUF_OK);
    EXPECT_TRUE(dumpOf(nullptr).empty());
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

// A get reservation on an empty buffer cannot happen; the lock reports it.
TEST(CBuffer, AGetReservationOnAnEmptyBufferIsReported) {
    CBuffer* cb = BUFFER_CreateCBuffer(10, 4);
    g_reports.clear();
    KOVA_SetXassertHook(recordReport);
    UInt8* p = nullptr;
    Int16 sz = 0;
    cb->rd_reserved_sz = 3;
    BUFFER_LockCBufferGetBlock(cb, &p, &sz);
    cb->rd_reserved_sz = 0;
    EXPECT_EQ(g_reports, std::vector<std::string>{report("cbuf->rd_reserved_sz == 0", 3)});
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// The records are corrupted, and OS services fail, inside the dying
// statements only.
TEST(CBufferDeathTest, FatalChecksStopWithTheirTexts) {
    const std::string at = "common/modem/at/stubs/buffer:[0-9]+: ";
    UInt8* p = nullptr;
    Int16 sz = 0;
    EXPECT_DEATH(BUFFER_LockCBufferGetBlock(nullptr, &p, &sz),
                 at + "BUFFER_LockCBufferGetBlock: assertion \"cbuf != NULL\" failed");
    EXPECT_DEATH((g_failAlloc = 1, BUFFER_CreateCBuffer(64, 8)),
                 at + "BUFFER_CreateCBuffer: assertion \"\\(cbuf\\) != NULL\" failed");
    CBuffer* cb = BUFFER_CreateCBuffer(100, -1);
    EXPECT_DEATH(BUFFER_UnlockCBufferPutBlock(cb, 0), at + "BUFFER_UnlockCBufferPutBlock: assertion \"buf_sz != 0\"");
    // A failed release stops in the name of the operation that held the lock.
    EXPECT_DEATH((g_failRelease = true, BUFFER_PutCBufferDatum(cb, &cb->buf[0])),
                 "BUFFER_PutCBufferDatum: assertion \"OSSEMAPHORE_Release\\( cbuf->wrt_lock \\) == "
                 "OSSTATUS_SUCCESS\" failed");
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
    EXPECT_DEATH((cb->wrt_idx = 50, cb->in_use_cnt = 5, BUFFER_LockCBufferGetBlock(cb, &p, &sz)),
                 "BUFFER_LockCBufferGetBlock: assertion \"cbuf->rd_reserved_sz <= cbuf->in_use_cnt\" failed");
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// One producer and one consumer thread move a seeded byte stream through a
// small buffer with copies, single bytes and reservations; the consumer also
// reads the sizes and dumps, which take no lock. Every byte must arrive
// once and in order; under the thread sanitizer this is the buffer's race
// check. CBUF_STREAM_BYTES sets the stream length (default 3 MiB).
TEST(CBufferThreads, StreamArrivesWholeAndInOrder) {
    const char* env = std::getenv("CBUF_STREAM_BYTES");
    const size_t total = env != nullptr && *env != '\0' ? std::strtoul(env, nullptr, 10) : size_t{3} << 20;
    CBuffer* cb = BUFFER_CreateCBuffer(37, 9);  // a limit, so relocations are frequent
    Bytes stream(total), dst(80);
    std::mt19937 gen(4004u), rng(7u);
    for (auto& b : stream) b = static_cast<UInt8>(gen());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    std::atomic<bool> stop{false};
    size_t produced = 0, consumed = 0;
    // No progress: let the other side run, and give up after the deadline.
    auto idle = [&] {
        if (std::chrono::steady_clock::now() > deadline) stop = true;
        std::this_thread::yield();
    };
    std::thread producer([&] {
        for (UInt8* p = nullptr; produced < total && !stop;) {
            const Int16 want = static_cast<Int16>(std::min<size_t>(total - produced, 1 + gen() % 50));
            Int16 n = 0;
            switch (produced % 3) {
                case 0: n = BUFFER_PutCBufferBlock(cb, &stream[produced], want); break;
                case 1: n = BUFFER_PutCBufferDatum(cb, &stream[produced]) == CBUF_OK ? 1 : 0; break;
                default:
                    if (BUFFER_LockCBufferPutBlock(cb, &p, &n) != CBUF_OK) break;
                    n = std::min(n, want);
                    std::memcpy(p, &stream[produced], static_cast<size_t>(n));
                    BUFFER_UnlockCBufferPutBlock(cb, n);
            }
            produced += static_cast<size_t>(n);
            if (n == 0) idle();
        }
    });
    for (UInt8* p = nullptr; consumed < total && !stop;) {
        Int16 n = 0;
        switch (rng() % 3) {
            case 0: n = BUFFER_GetCBufferBlock(cb, dst.data(), static_cast<Int16>(1 + rng() % 80)), p = dst.data(); break;
            case 1: n = BUFFER_GetCBufferDatum(cb, dst.data()) == CBUF_OK ? 1 : 0, p = dst.data(); break;
            default: BUFFER_LockCBufferGetBlock(cb, &p, &n);
        }
        if (!std::equal(p, p + n, stream.begin() + static_cast<long>(consumed))) ADD_FAILURE() << "at " << consumed;
        if (p != dst.data()) BUFFER_UnlockCBufferGetBlock(cb, -1);
        consumed += static_cast<size_t>(n);
        if (n == 0) idle();
        // The sizes are read without the lock: the used size is one field and
        // stays in range; the free size is worked out from several and may be
        // momentarily inconsistent, so it is only read.
        if (BUFFER_GetCBufferUsedSize(cb) > 37) ADD_FAILURE();
        (void)BUFFER_GetCBufferFreeSize(cb);
        BUFFER_DumpCBuffer(cb);
        if (HasFailure()) stop = true;
    }
    stop = true;
    producer.join();
    EXPECT_EQ(consumed, total);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);  // CBUF_LOCKED if a reservation was left standing
}

}  // namespace
