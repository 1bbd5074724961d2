// CBuffer against a model of its rules, the checks that stop the process, and a threaded stream.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "buffer/cbuffer.h"
#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"

// A test may fail the n-th allocation from now (1-based), or every release.
namespace {
int g_failAlloc = 0;
bool g_failRelease = false;
template <typename F>
F real(const char* name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }
}  // namespace
extern "C" void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line) {
    if (g_failAlloc != 0 && --g_failAlloc == 0) return nullptr;
    return real<void* (*)(size_t, const char*, UInt32)>("dbHEAP_Alloc")(size, file, line);
}
extern "C" OSStatus OSSEMAPHORE_Release(OSSemaphore sem) {
    const OSStatus s = real<OSStatus (*)(OSSemaphore)>("OSSEMAPHORE_Release")(sem);
    return g_failRelease ? OSSTATUS_FAILURE : s;
}

namespace {

// The slow gates set RC_PARAMS to fewer sequences; the host runs this many.
[[maybe_unused]] const int g_defaultLoad = setenv("RC_PARAMS", "max_success=5000", 0);

using Bytes = std::vector<UInt8>;
constexpr int kNoMark = -2;
std::vector<std::string> g_reports;  // __xassert reports as "<expression> <value>"
void onReport(const char* expression, const char*, UInt32, Int32 value) {
    g_reports.push_back(std::string(expression) + " " + std::to_string(value));
}

struct Model {
    int size, limit;
    std::deque<UInt8> bytes{};  // stored, oldest first
    int rd = 0, mark = kNoMark, wres = 0, rres = 0;
    unsigned overrun = 0, reloc = 0, stamp = 0;
    Bytes block{};  // what the producer wrote into its reservation
    std::vector<std::string> reports{};

    int used() const { return static_cast<int>(bytes.size()); }
    // New bytes follow the stored ones and wrap at the end of the area; after
    // a relocation they fill the start of the area, up to the reader.
    int wrt() const { return mark != kNoMark ? used() - (mark - rd) : (rd + used()) % size; }
    int room() const { return mark != kNoMark ? rd - wrt() : size - used(); }
    Bytes fresh(int n) {
        Bytes b(static_cast<size_t>(std::max(n, 0)));
        for (UInt8& x : b) x = static_cast<UInt8>((++stamp * 2654435761u) >> 24);
        return b;
    }
    // The read side jumps to 0 at the mark (ending the relocation) or at the end of the area.
    Bytes take(int n) {
        Bytes out(bytes.begin(), bytes.begin() + n);
        bytes.erase(bytes.begin(), bytes.begin() + n);
        const int end = mark != kNoMark ? mark : size;
        if ((rd += n) >= end) rd -= end, mark = kNoMark;
        return out;
    }
    // Choice: a commit above the reservation is reported and lowered to it.
    int lowered(int cnt, int reserved, const char* expression) {
        if (cnt > reserved) reports.push_back(std::string(expression) + " " + std::to_string(cnt));
        return std::min(cnt, reserved);
    }
};

enum Kind { kPutBlock, kGetBlock, kFlush, kPutDatum, kGetDatum, kUnput, kPutLock, kPutCommit, kGetLock, kGetCommit,
            kReset, kDestroy };

// Random call sequences, in and out of the contract, shrunk when one fails: each call's result, block and bytes,
// and then every field of the record and both sizes, must be what the model says.
RC_GTEST_PROP(CBufferModel, EveryCallSequenceKeepsTheDocumentedRules, ()) {
    const int size = *rc::gen::inRange(1, 48);
    const int limit = *rc::gen::weightedOneOf<int>({{1, rc::gen::just(-1)}, {3, rc::gen::inRange(1, size + 4)}});
    const auto ops = *rc::gen::container<std::vector<std::pair<int, int>>>(
        rc::gen::pair(rc::gen::weightedElement<int>({{3, kPutBlock}, {3, kGetBlock}, {1, kFlush}, {2, kPutDatum},
                                                     {2, kGetDatum}, {4, kUnput}, {4, kPutLock}, {4, kPutCommit},
                                                     {3, kGetLock}, {3, kGetCommit}, {1, kReset}, {1, kDestroy}}),
                      rc::gen::inRange(-4, 60)));
    Model m{size, limit};
    g_reports.clear();
    KOVA_SetXassertHook(onReport);
    CBuffer* cb = BUFFER_CreateCBuffer(static_cast<Int16>(size), static_cast<Int16>(limit));
    RC_ASSERT(cb != nullptr);
    for (auto [kind, r] : ops) {
        // Up to half the area and a bit, some out of range, a few extremes; a commit: -4 to its reservation
        // + 1, never a put 0 (that stops the process).
        const int reserved = kind == kPutCommit ? m.wres : m.rres;
        int cnt = r < -2 ? -32768 : r > 55 ? 32767 : r > 0 ? r % (size / 2 + 2) : r;
        if (kind == kPutDatum || kind == kGetDatum) cnt = 1;
        if (kind == kPutCommit || kind == kGetCommit) cnt = (r + 4) % (reserved + 6) - 4;
        if (kind == kPutCommit && cnt == 0) cnt = reserved + 1;
        const Int16 n16 = static_cast<Int16>(cnt);
        UInt8* p = nullptr;
        Int16 sz = -1;
        int n = 0, got = 0;
        Bytes data;
        switch (kind) {
            case kPutBlock:
            case kPutDatum:  // a single byte returns a status instead of the count
                n = m.wres != 0 || cnt <= 0 ? 0 : std::min(cnt, m.room());
                if (m.wres == 0 && cnt > 0) m.overrun += static_cast<unsigned>(cnt - n);
                data = m.fresh(cnt);
                got = kind == kPutDatum ? int{BUFFER_PutCBufferDatum(cb, data.data())}
                                        : BUFFER_PutCBufferBlock(cb, data.data(), n16);
                RC_ASSERT(got == (kind == kPutBlock ? n : m.wres != 0 ? CBUF_LOCKED : n == 0 ? CBUF_FULL : CBUF_OK));
                m.bytes.insert(m.bytes.end(), data.begin(), data.begin() + n);
                break;
            case kGetBlock:
            case kGetDatum:
                n = m.rres != 0 || cnt <= 0 ? 0 : std::min(cnt, m.used());
                data.resize(static_cast<size_t>(std::max(n, 1)));  // as long as expected, so that ASan sees excess
                got = kind == kGetDatum ? int{BUFFER_GetCBufferDatum(cb, data.data())}
                                        : BUFFER_GetCBufferBlock(cb, data.data(), n16);
                RC_ASSERT(got == (kind == kGetBlock ? n : m.rres != 0 ? CBUF_LOCKED : n == 0 ? CBUF_EMPTY : CBUF_OK));
                RC_ASSERT(Bytes(data.begin(), data.begin() + n) == m.take(n));
                break;
            case kFlush:
                n = m.rres != 0 || cnt == 0 || cnt < -1 ? 0 : cnt == -1 ? m.used() : std::min(cnt, m.used());
                RC_ASSERT(BUFFER_FlushCBufferBlock(cb, n16) == n);
                m.take(n);
                break;
            case kUnput:
                // Choice: with nothing stored behind the relocation mark, the
                // take-back steps to the byte before the mark and ends the relocation.
                got = m.wres != 0 ? CBUF_LOCKED : m.used() == 0 ? CBUF_EMPTY
                      : m.rres != 0 && m.rres >= m.used() ? CBUF_LOCKED : CBUF_OK;
                RC_ASSERT(BUFFER_UnputCBufferDatum(cb) == got);
                if (got == CBUF_OK) m.bytes.pop_back();
                if (m.mark != kNoMark && m.used() < m.mark - m.rd) m.mark = kNoMark;
                break;
            case kPutLock: {
                // The room from the write side up to the reader or the end of the area; a
                // tail shorter than both the rest of the room and the limit is skipped.
                const int room = m.room(), w = m.wrt(), tail = w < m.rd ? m.rd - w : m.size - w;
                m.wres = room == 0 ? 0 : tail;
                if (room != 0 && w >= m.rd && tail < room - tail && m.limit != -1 && tail < m.limit) {
                    if (m.used() == 0) m.rd = 0, m.wres = m.size;
                    else m.mark = w, m.wres = m.rd, ++m.reloc;
                }
                if (m.limit != -1) m.wres = std::min(m.wres, m.limit);
                RC_ASSERT(BUFFER_LockCBufferPutBlock(cb, &p, &sz) == (room == 0 ? CBUF_FULL : CBUF_OK));
                RC_ASSERT(p == (room == 0 ? nullptr : cb->buf + m.wrt()));
                RC_ASSERT(sz == m.wres);
                m.block = m.fresh(sz);
                std::copy(m.block.begin(), m.block.end(), p);  // the producer fills its whole block
                break;
            }
            case kPutCommit:
                BUFFER_UnlockCBufferPutBlock(cb, n16);
                n = m.lowered(cnt, m.wres, "buf_sz <= cbuf->wrt_reserved_sz");
                m.bytes.insert(m.bytes.end(), m.block.begin(), m.block.begin() + std::max(n, 0));
                m.wres = 0;
                break;
            case kGetLock:
                n = std::min(m.used(), (m.mark != kNoMark ? m.mark : m.size) - m.rd);
                m.rres = m.limit != -1 ? std::min(n, m.limit) : n;
                RC_ASSERT(BUFFER_LockCBufferGetBlock(cb, &p, &sz) == CBUF_OK);
                RC_ASSERT(p == cb->buf + m.rd);
                RC_ASSERT(sz == m.rres);
                RC_ASSERT(Bytes(p, p + sz) == Bytes(m.bytes.begin(), m.bytes.begin() + sz));
                break;
            case kGetCommit:
                BUFFER_UnlockCBufferGetBlock(cb, n16);
                m.take(std::max(m.lowered(cnt == -1 ? m.rres : cnt, m.rres, "cnt <= cbuf->rd_reserved_sz"), 0));
                m.rres = 0;
                break;
            default:  // reset, or destroy where it must refuse
                got = m.wres != 0 || m.rres != 0 ? CBUF_LOCKED : CBUF_OK;
                if (kind == kDestroy && got == CBUF_LOCKED) RC_ASSERT(BUFFER_DestroyCBuffer(cb) == CBUF_LOCKED);
                if (kind != kReset) break;
                RC_ASSERT(BUFFER_ResetCBuffer(cb) == got);
                if (got == CBUF_OK) m.bytes.clear(), m.rd = 0, m.mark = kNoMark, m.overrun = m.reloc = 0;
        }
        const std::array<int, 10> fields{cb->wrt_idx, cb->rd_idx, cb->prv_wrt_idx, cb->wrt_reserved_sz,
                                         cb->rd_reserved_sz, cb->in_use_cnt, cb->overrun_cnt, cb->reloc_cnt,
                                         BUFFER_GetCBufferUsedSize(cb), BUFFER_GetCBufferFreeSize(cb)};
        RC_ASSERT(fields == (std::array<int, 10>{m.wrt(), m.rd, m.mark, m.wres, m.rres, m.used(),
                                                 static_cast<int>(m.overrun & 0xFF), static_cast<int>(m.reloc & 0xFF),
                                                 m.used(), m.room()}));
        RC_ASSERT(g_reports == m.reports);
    }
    attest::LogCapture log;  // the dump shows the fields just compared, on the buffer's debug channel
    BUFFER_DumpCBuffer(cb);
    std::string dump;
    for (const auto& line : log.debugLines()) dump += std::to_string(line.channel) + line.text;
    const auto n = [](auto v) { return std::to_string(v); };
    RC_ASSERT(dump == "262\r\nCBuffer262\r\nwrt_idx=" + n(m.wrt()) + ", wrt_reserved_sz=" + n(m.wres) +
                          "262\r\nrd_idx=" + n(m.rd) + ", rd_reserved_sz=" + n(m.rres) + "262\r\nin_use_cnt=" +
                          n(m.used()) + ", locked_sz=" + n(limit) + ", prv_wrt_idx=" + n(m.mark) + "262\r\nbuf_sz=" +
                          n(size) + ", reloc_cnt/overrun_cnt=" + n(m.reloc & 0xFF) + "/" + n(m.overrun & 0xFF));
    BUFFER_UnlockCBufferPutBlock(cb, -1);  // a negative count ends the reservation, committing nothing
    BUFFER_UnlockCBufferGetBlock(cb, 0);
    RC_ASSERT(BUFFER_DestroyCBuffer(cb) == CBUF_OK);
}

// Choice: sizes outside the contract, a locked_sz of 0 among them (the put side could never commit), give
// NULL without allocating; a failure to allocate the data area frees the record.
TEST(CBuffer, CreationRefusesBadSizesAndFreesAllOnFailure) {
    const UInt32 blocks = dbHEAP_GetLiveBlocks(), sems = OSSEMAPHORE_GetLiveCount();
    for (auto [size, limit] : {std::pair<Int16, Int16>{0, -1}, {10, 0}, {10, -2}})
        EXPECT_EQ(BUFFER_CreateCBuffer(size, limit), nullptr);
    g_failAlloc = 2;
    EXPECT_EQ(BUFFER_CreateCBuffer(32767, 32767), nullptr);
    EXPECT_EQ(g_failAlloc, 0);  // the second allocation was the one that failed
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
}

// OS services fail inside the dying statements only.
TEST(CBufferDeathTest, FatalChecksStopWithTheirTexts) {
    UInt8* p = nullptr;
    Int16 sz = 0;
    CBuffer* cb = BUFFER_CreateCBuffer(100, -1);
    const std::string at = "common/modem/at/stubs/buffer:[0-9]+: ";
    EXPECT_DEATH(BUFFER_LockCBufferGetBlock(nullptr, &p, &sz),
                 at + "BUFFER_LockCBufferGetBlock: assertion \"cbuf != NULL\" failed");
    EXPECT_DEATH((g_failAlloc = 1, BUFFER_CreateCBuffer(64, 8)),
                 at + "BUFFER_CreateCBuffer: assertion \"\\(cbuf\\) != NULL\" failed");
    EXPECT_DEATH(BUFFER_UnlockCBufferPutBlock(cb, 0), at + "BUFFER_UnlockCBufferPutBlock: assertion \"buf_sz != 0\"");
    // A failed release stops in the name of the operation that held the lock.
    EXPECT_DEATH((g_failRelease = true, BUFFER_PutCBufferDatum(cb, &cb->buf[0])),
                 "BUFFER_PutCBufferDatum: assertion \"OSSEMAPHORE_Release\\( cbuf->wrt_lock \\) == "
                 "OSSTATUS_SUCCESS\" failed");
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

// Copies, single bytes and reservations on both sides of a small buffer (the race check under TSan).
TEST(CBufferThreads, StreamArrivesWholeAndInOrder) {
    const char* env = std::getenv("CBUF_STREAM_BYTES");
    const size_t total = env != nullptr && *env != '\0' ? std::strtoul(env, nullptr, 10) : size_t{3} << 20;
    CBuffer* cb = BUFFER_CreateCBuffer(37, 9);  // a limit, so relocations are frequent
    Bytes stream(total), dst(80);
    std::mt19937 gen(4004u), rng(7u);
    for (auto& b : stream) b = static_cast<UInt8>(gen());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    std::atomic<bool> stop{false};
    auto idle = [&] {  // no progress: let the other side run, and give up after the deadline
        stop = stop || std::chrono::steady_clock::now() > deadline;
        std::this_thread::yield();
    };
    std::thread producer([&] {
        for (size_t done = 0; done < total && !stop;) {
            const size_t how = done % 3;
            Int16 n = static_cast<Int16>(std::min<size_t>(total - done, 1 + gen() % 50)), sz = 0;
            UInt8* p = nullptr;
            if (how == 0) n = BUFFER_PutCBufferBlock(cb, &stream[done], n);
            if (how == 1) n = BUFFER_PutCBufferDatum(cb, &stream[done]) == CBUF_OK ? 1 : 0;
            if (how == 2) n = BUFFER_LockCBufferPutBlock(cb, &p, &sz) == CBUF_OK ? std::min(n, sz) : 0;
            if (p != nullptr) std::copy_n(&stream[done], n, p), BUFFER_UnlockCBufferPutBlock(cb, n);
            done += static_cast<size_t>(n);
            if (n == 0) idle();
        }
    });
    size_t consumed = 0;
    for (UInt8* p = dst.data(); consumed < total && !stop && !HasFailure(); p = dst.data()) {
        Int16 n = 0;
        const unsigned how = rng() % 3;
        if (how == 0) n = BUFFER_GetCBufferBlock(cb, p, static_cast<Int16>(1 + rng() % 80));
        if (how == 1) n = BUFFER_GetCBufferDatum(cb, p) == CBUF_OK ? 1 : 0;
        if (how == 2) BUFFER_LockCBufferGetBlock(cb, &p, &n);
        EXPECT_TRUE(std::equal(p, p + n, stream.begin() + static_cast<long>(consumed))) << "at " << consumed;
        if (how == 2) BUFFER_UnlockCBufferGetBlock(cb, -1);
        consumed += static_cast<size_t>(n);
        if (n == 0) idle();
        EXPECT_LE(BUFFER_GetCBufferUsedSize(cb), 37);  // one field, always in range
        (void)BUFFER_GetCBufferFreeSize(cb);  // worked out from several fields: only read
        BUFFER_DumpCBuffer(cb);
    }
    stop = true;
    producer.join();
    EXPECT_EQ(consumed, total);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);  // CBUF_LOCKED if a reservation was left standing
}

}  // namespace
