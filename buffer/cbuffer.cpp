// CBuffer: circular byte buffer with in-place reservations and relocation of
// a short tail. See cbuffer.h for the contract of each operation.
//
// Locking. wrt_lock serialises every change of the record, on both sides.
// Every field that changes after creation is also read without it somewhere
// (size queries, the dump, the empty test of the get lock, the reservation
// tests of reset and destroy), so every access to such a field, under the
// lock or not, goes through ld()/st() below: relaxed std::atomic_ref loads
// and stores of the whole field. One rule for every access is easier to keep
// right than a choice per line, and the accesses cost nothing extra on the
// targets (a plain halfword access) while telling the compiler and the thread
// sanitizer that these races are intended. Relaxed is enough: a lock-free
// reader only reports a number, and whoever goes on to touch the data area
// takes wrt_lock first, which orders the bytes with the indices. The fields
// fixed at creation (buf, buf_sz, locked_sz, wrt_lock) are read plainly.
//
// Indices move in one place per side: readRun/finishRead on the read side and
// writeRun/finishWrite on the write side. The copy operations are built on
// them, and so are the reservations, so a block copy and a reserved block
// keep the same bookkeeping.
#include "cbuffer.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "../osal/at_assert.h"
#include "../osal/osal.h"
#include "../stubs/other_stubs.h"

// The record's layout is checked in cbuffer.h; what this file relies on
// besides it is checked here.
static_assert(sizeof(Int16) == 2, "16-bit fields");
static_assert(offsetof(CBuffer, reloc_cnt) == offsetof(CBuffer, overrun_cnt) + 1,
              "the two counters share one 16-bit word");
static_assert(offsetof(CBuffer, overrun_cnt) % 2 == 0, "the counter word is halfword-aligned");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "overrun_cnt must be the low byte of the counter word");

namespace {

constexpr const char* kSourceFile = "common/modem/at/stubs/buffer";
constexpr UInt32 kDebugChannel = 262;
constexpr Int16 kNoMark = -2;
constexpr Int16 kNoLimit = -1;
constexpr Int16 kWholeCount = -1;

template <typename T>
inline T ld(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T>
inline void st(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

inline Int16 i16(int value) { return static_cast<Int16>(value); }

// Holds wrt_lock for the rest of an operation. The obtain waits without limit
// and its result is not examined; a failed release stops the process in the
// name of the operation that held the lock.
struct WrtLock {
    CBuffer* cbuf;
    const char* func;
    WrtLock(CBuffer* c, const char* f) : cbuf(c), func(f) {
        (void)OSSEMAPHORE_Obtain(cbuf->wrt_lock, OSSUSPEND_WAIT);
    }
    ~WrtLock() {
        AT_ASSERT_IN(func, OSSEMAPHORE_Release(cbuf->wrt_lock) == OSSTATUS_SUCCESS,
                     "OSSEMAPHORE_Release( cbuf->wrt_lock ) == OSSTATUS_SUCCESS");
    }
    WrtLock(const WrtLock&) = delete;
    WrtLock& operator=(const WrtLock&) = delete;
};

#define CBUF_CHECK(cbuf) AT_ASSERT((cbuf) != nullptr, "cbuf != NULL")
#define CBUF_LOCK(cbuf) WrtLock wrtLockGuard((cbuf), __func__)

inline bool relocationPending(CBuffer* cbuf) { return ld(cbuf->prv_wrt_idx) != kNoMark; }

// Free room as the put side sees it: while a relocation is pending only the
// gap up to the reader counts, since the end of the area behind the mark is
// neither stored nor free.
Int16 freeSize(CBuffer* cbuf) {
    if (relocationPending(cbuf)) return i16(ld(cbuf->rd_idx) - ld(cbuf->wrt_idx));
    return i16(cbuf->buf_sz - ld(cbuf->in_use_cnt));
}

// Free bytes that follow wrt_idx without a jump, up to the end of the area.
// The caller bounds what it takes by the free size as well.
int writeRun(CBuffer* cbuf) { return cbuf->buf_sz - ld(cbuf->wrt_idx); }

// Commits cnt bytes (cnt <= writeRun) written at wrt_idx: the write index
// jumps to 0 at the end of the area.
void finishWrite(CBuffer* cbuf, int cnt) {
    int next = ld(cbuf->wrt_idx) + cnt;
    if (next >= cbuf->buf_sz) next = 0;
    st(cbuf->wrt_idx, i16(next));
    st(cbuf->in_use_cnt, i16(ld(cbuf->in_use_cnt) + cnt));
}

// Stores cnt bytes (cnt <= free size) at the write side, in at most two runs.
void storeBytes(CBuffer* cbuf, const UInt8* src, int cnt) {
    while (cnt > 0) {
        const int run = std::min(cnt, writeRun(cbuf));
        std::memcpy(cbuf->buf + ld(cbuf->wrt_idx), src, static_cast<size_t>(run));
        finishWrite(cbuf, run);
        src += run;
        cnt -= run;
    }
}

// Stored bytes that follow rd_idx without a jump: up to the relocation mark
// while one is pending, else up to wrt_idx or the end of the area.
int readRun(CBuffer* cbuf) {
    const int rd = ld(cbuf->rd_idx);
    if (relocationPending(cbuf)) return ld(cbuf->prv_wrt_idx) - rd;
    const int wrt = ld(cbuf->wrt_idx);
    return wrt > rd ? wrt - rd : cbuf->buf_sz - rd;
}

// Consumes cnt bytes (0 <= cnt <= readRun) at rd_idx: the read index jumps
// to 0 at the relocation mark (ending the relocation) or at the end of the
// area.
void finishRead(CBuffer* cbuf, int cnt) {
    int rd = ld(cbuf->rd_idx) + cnt;
    if (relocationPending(cbuf)) {
        if (rd >= ld(cbuf->prv_wrt_idx)) {
            rd = 0;
            st(cbuf->prv_wrt_idx, kNoMark);
        }
    } else if (rd >= cbuf->buf_sz) {
        rd = 0;
    }
    st(cbuf->rd_idx, i16(rd));
    st(cbuf->in_use_cnt, i16(ld(cbuf->in_use_cnt) - cnt));
}

// Consumes cnt bytes (cnt <= in_use_cnt) from the read side, copying them to
// dst unless it is NULL: at most two runs, because the bytes behind the jump
// end at wrt_idx, which lies before the mark.
void consumeBytes(CBuffer* cbuf, UInt8* dst, int cnt, const char* func) {
    AT_ASSERT_IN(func, cnt <= ld(cbuf->in_use_cnt), "cbuf->in_use_cnt != 0");
    while (cnt > 0) {
        const int run = std::min(cnt, readRun(cbuf));
        if (run <= 0) break;  // a broken record; the copy stops rather than spin
        if (dst != nullptr) {
            std::memcpy(dst, cbuf->buf + ld(cbuf->rd_idx), static_cast<size_t>(run));
            dst += run;
        }
        finishRead(cbuf, run);
        cnt -= run;
    }
}

void addOverrun(CBuffer* cbuf, int excess) {
    // The counter keeps the count modulo 256 in its own byte; reloc_cnt, the
    // other byte of the word, is never touched here.
    st(cbuf->overrun_cnt, static_cast<UInt8>(ld(cbuf->overrun_cnt) + static_cast<UInt8>(excess & 0xFF)));
}

}  // namespace

extern "C" {

CBuffer* BUFFER_CreateCBuffer(Int16 buf_sz, Int16 locked_sz) {
    // Sizes outside the contract are refused before anything is allocated.
    // A locked_sz of 0 is refused as well: every reservation would be empty,
    // and the put side could never commit (a put commit needs one byte).
    if (buf_sz < 1 || locked_sz < kNoLimit || locked_sz == 0) return nullptr;

    CBuffer* cbuf = static_cast<CBuffer*>(dbHEAP_Alloc(sizeof(CBuffer), kSourceFile, __LINE__));
    AT_ASSERT(cbuf != nullptr, "(cbuf) != NULL");
    std::memset(cbuf, 0, sizeof *cbuf);

    cbuf->buf = static_cast<UInt8*>(dbHEAP_Alloc(static_cast<size_t>(buf_sz), kSourceFile, __LINE__));
    if (cbuf->buf == nullptr) {
        dbHEAP_Delete(cbuf, kSourceFile, __LINE__);
        return nullptr;
    }
    cbuf->buf_sz = buf_sz;
    cbuf->locked_sz = locked_sz;
    cbuf->wrt_lock = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_ChangeName(cbuf->wrt_lock, "CbufWr_S");
    // The reset refuses to work while a reservation stands, so both sizes are
    // cleared before it runs.
    cbuf->wrt_reserved_sz = 0;
    cbuf->rd_reserved_sz = 0;
    (void)BUFFER_ResetCBuffer(cbuf);
    return cbuf;
}

CBufStatus BUFFER_DestroyCBuffer(CBuffer* cbuf) {
    CBUF_CHECK(cbuf);
    if (ld(cbuf->wrt_reserved_sz) != 0 || ld(cbuf->rd_reserved_sz) != 0) return CBUF_LOCKED;
    // Not serialised: the caller has ended every other use of the buffer.
    if (cbuf->buf != nullptr) dbHEAP_Delete(cbuf->buf, kSourceFile, __LINE__);
    (void)OSSEMAPHORE_Destroy(cbuf->wrt_lock);
    dbHEAP_Delete(cbuf, kSourceFile, __LINE__);
    return CBUF_OK;
}

CBufStatus BUFFER_ResetCBuffer(CBuffer* cbuf) {
    CBUF_CHECK(cbuf);
    if (ld(cbuf->wrt_reserved_sz) != 0 || ld(cbuf->rd_reserved_sz) != 0) return CBUF_LOCKED;
    CBUF_LOCK(cbuf);
    st(cbuf->wrt_idx, i16(0));
    st(cbuf->prv_wrt_idx, kNoMark);
    st(cbuf->rd_idx, i16(0));
    st(cbuf->wrt_reserved_sz, i16(0));
    st(cbuf->rd_reserved_sz, i16(0));
    st(cbuf->overrun_cnt, UInt8{0});
    st(cbuf->reloc_cnt, UInt8{0});
    st(cbuf->in_use_cnt, i16(0));
    return CBUF_OK;
}

Int16 BUFFER_GetCBufferUsedSize(CBuffer* cbuf) {
    CBUF_CHECK(cbuf);
    return ld(cbuf->in_use_cnt);
}

Int16 BUFFER_GetCBufferFreeSize(CBuffer* cbuf) {
    CBUF_CHECK(cbuf);
    return freeSize(cbuf);
}

Int16 BUFFER_GetCBufferBufferSize(CBuffer* cbuf) {
    CBUF_CHECK(cbuf);
    return cbuf->buf_sz;
}

Int16 BUFFER_PutCBufferBlock(CBuffer* cbuf, const UInt8* src, Int16 cnt) {
    CBUF_CHECK(cbuf);
    CBUF_LOCK(cbuf);
    if (ld(cbuf->wrt_reserved_sz) != 0) return 0;
    // A negative count is outside the contract: nothing is stored or counted.
    if (cnt <= 0) return 0;
    const Int16 room = freeSize(cbuf);
    if (cnt > room) {
        addOverrun(cbuf, cnt - room);
        cnt = room;
    }
    if (cnt > 0) storeBytes(cbuf, src, cnt);
    return cnt;
}

Int16 BUFFER_GetCBufferBlock(CBuffer* cbuf, UInt8* dst, Int16 cnt) {
    CBUF_CHECK(cbuf);
    CBUF_LOCK(cbuf);
    if (ld(cbuf->rd_reserved_sz) != 0) return 0;
    const Int16 used = ld(cbuf->in_use_cnt);
    if (used == 0) return 0;
    // A negative count is outside the contract and copies nothing.
    if (cnt <= 0) return 0;
    if (cnt > used) cnt = used;
    consumeBytes(cbuf, dst, cnt, __func__);
    return cnt;
}

CBufStatus BUFFER_PutCBufferDatum(CBuffer* cbuf, const UInt8* datum) {
    CBUF_CHECK(cbuf);
    CBUF_LOCK(cbuf);
    if (ld(cbuf->wrt_reserved_sz) != 0) return CBUF_LOCKED;
    if (freeSize(cbuf) == 0) {
        addOverrun(cbuf, 1);
        return CBUF_FULL;
    }
    storeBytes(cbuf, datum, 1);
    return CBUF_OK;
}

CBufStatus BUFFER_GetCBufferDatum(CBuffer* cbuf, UInt8* datum) {
    CBUF_CHECK(cbuf);
    CBUF_LOCK(cbuf);
    if (ld(cbuf->rd_reserved_sz) != 0) return CBUF_LOCKED;
    if (ld(cbuf->in_use_cnt) == 0) return CBUF_EMPTY;
    consumeBytes(cbuf, datum, 1, __func__);
    return CBUF_OK;
}

CBufStatus BUFFER_UnputCBufferDatum(CBuffer* cbuf) {
    CBUF_CHECK(cbuf);
    CBUF_LOCK(cbuf);
    if (ld(cbuf->wrt_reserved_sz) != 0) return CBUF_LOCKED;
    const Int16 size = cbuf->buf_sz;
    if (freeSize(cbuf) == size) return CBUF_EMPTY;
    // When a get reservation covers every stored byte, the byte stored last
    // is inside the consumer's block and may be being read right now; taking
    // it back would also leave the reservation larger than what is stored.
    const Int16 reserved = ld(cbuf->rd_reserved_sz);
    if (reserved != 0 && reserved >= ld(cbuf->in_use_cnt)) return CBUF_LOCKED;
    const Int16 wrt = ld(cbuf->wrt_idx);
    if (wrt > 0) {
        st(cbuf->wrt_idx, i16(wrt - 1));
    } else if (relocationPending(cbuf)) {
        // Nothing has been stored at the start of the area since the
        // relocation (or all of it was taken back), so the byte stored last
        // lies just before the mark. Stepping there and dropping the mark
        // undoes the relocation: the stored bytes run from rd_idx up to the
        // new wrt_idx again, which is the no-relocation invariant.
        st(cbuf->wrt_idx, i16(ld(cbuf->prv_wrt_idx) - 1));
        st(cbuf->prv_wrt_idx, kNoMark);
    } else {
        st(cbuf->wrt_idx, i16(size - 1));
    }
    st(cbuf->in_use_cnt, i16(ld(cbuf->in_use_cnt) - 1));
    return CBUF_OK;
}

Int16 BUFFER_FlushCBufferBlock(CBuffer* cbuf, Int16 cnt) {
    CBUF_CHECK(cbuf);
    CBUF_LOCK(cbuf);
    if (ld(cbuf->rd_reserved_sz) != 0) return 0;
    const Int16 used = ld(cbuf->in_use_cnt);
    if (used == 0) return 0;
    // Counts below -1 are outside the contract and discard nothing.
    if (cnt < kWholeCount) return 0;
    const Int16 n = (cnt == kWholeCount || cnt > used) ? used : cnt;
    if (n > 0) consumeBytes(cbuf, nullptr, n, __func__);
    return n;
}

void BUFFER_DumpCBuffer(CBuffer* cbuf) {
    // The dump is a diagnostic that callers sprinkle freely; with no handle
    // there is nothing to show, and it must not stop the process.
    if (cbuf == nullptr) return;
    Log_DebugOutputString(kDebugChannel, "\r\nCBuffer");
    Log_DebugPrintf(kDebugChannel, "\r\nwrt_idx=%d, wrt_reserved_sz=%d", ld(cbuf->wrt_idx), ld(cbuf->wrt_reserved_sz));
    Log_DebugPrintf(kDebugChannel, "\r\nrd_idx=%d, rd_reserved_sz=%d", ld(cbuf->rd_idx), ld(cbuf->rd_reserved_sz));
    Log_DebugPrintf(kDebugChannel, "\r\nin_use_cnt=%d, locked_sz=%d, prv_wrt_idx=%d", ld(cbuf->in_use_cnt),
                    cbuf->locked_sz, ld(cbuf->prv_wrt_idx));
    Log_DebugPrintf(kDebugChannel, "\r\nbuf_sz=%d, reloc_cnt/overrun_cnt=%d/%d", cbuf->buf_sz, ld(cbuf->reloc_cnt),
                    ld(cbuf->overrun_cnt));
}

CBufStatus BUFFER_LockCBufferPutBlock(CBuffer* cbuf, UInt8** blk_ptr, Int16* blk_sz) {
    CBUF_CHECK(cbuf);
    *blk_ptr = nullptr;
    *blk_sz = 0;
    CBUF_LOCK(cbuf);
    const Int16 size = cbuf->buf_sz;
    const Int16 limit = cbuf->locked_sz;
    if (freeSize(cbuf) == 0) {
        st(cbuf->wrt_reserved_sz, i16(0));
        return CBUF_FULL;
    }
    const Int16 wrt = ld(cbuf->wrt_idx);
    const Int16 rd = ld(cbuf->rd_idx);
    const Int16 used = ld(cbuf->in_use_cnt);
    if (wrt < rd) {
        // The room is the gap up to the reader (always so while a relocation
        // is pending).
        st(cbuf->wrt_reserved_sz, i16(rd - wrt));
    } else {
        if (used == size) __xassert("cbuf->in_use_cnt != cbuf->buf_sz", kSourceFile, __LINE__, wrt);
        const int tail = size - wrt;
        const int head = (size - used) - tail;
        st(cbuf->wrt_reserved_sz, i16(tail));
        // A short tail in front of a bigger room at the start is skipped, so
        // that the producer gets a useful block; ties keep the tail.
        if (tail < head && limit != kNoLimit && tail < limit) {
            if (used == 0) {
                // Empty with the indices near the end: start over at 0. This
                // is no relocation, there is no older data to mark.
                st(cbuf->wrt_idx, i16(0));
                st(cbuf->rd_idx, i16(0));
                st(cbuf->wrt_reserved_sz, size);
            } else {
                st(cbuf->prv_wrt_idx, wrt);
                st(cbuf->wrt_reserved_sz, rd);
                st(cbuf->wrt_idx, i16(0));
                st(cbuf->reloc_cnt, static_cast<UInt8>(ld(cbuf->reloc_cnt) + 1));
            }
        }
    }
    if (ld(cbuf->wrt_reserved_sz) > size - ld(cbuf->in_use_cnt)) {
        Log_DebugPrintf(kDebugChannel, "\r\nin_use_cnt=%d", ld(cbuf->in_use_cnt));
        Log_DebugPrintf(kDebugChannel, "\r\nwrt_reserved_sz=%d", ld(cbuf->wrt_reserved_sz));
        Log_DebugPrintf(kDebugChannel, "\r\nwrt_idx=%d", ld(cbuf->wrt_idx));
        Log_DebugPrintf(kDebugChannel, "\r\nrd_idx=%d", ld(cbuf->rd_idx));
        AT_ASSERT(false, "FALSE");
    }
    if (limit != kNoLimit && ld(cbuf->wrt_reserved_sz) > limit) st(cbuf->wrt_reserved_sz, limit);
    if (ld(cbuf->wrt_reserved_sz) > size - ld(cbuf->in_use_cnt))
        __xassert("cbuf->wrt_reserved_sz <= (cbuf->buf_sz - cbuf->in_use_cnt)", kSourceFile, __LINE__,
                  ld(cbuf->wrt_reserved_sz));
    *blk_sz = ld(cbuf->wrt_reserved_sz);
    *blk_ptr = cbuf->buf + ld(cbuf->wrt_idx);
    return CBUF_OK;
}

void BUFFER_UnlockCBufferPutBlock(CBuffer* cbuf, Int16 buf_sz) {
    CBUF_CHECK(cbuf);
    AT_ASSERT(buf_sz != 0, "buf_sz != 0");
    CBUF_LOCK(cbuf);
    const Int16 reserved = ld(cbuf->wrt_reserved_sz);
    if (buf_sz > reserved) {
        __xassert("buf_sz <= cbuf->wrt_reserved_sz", kSourceFile, __LINE__, buf_sz);
        // Committing more than was reserved would count bytes the producer
        // had no room for and break the record; only the reserved block is
        // committed (nothing when no reservation stands).
        buf_sz = reserved;
    }
    // A negative count is outside the contract: the reservation is given
    // back and nothing is committed.
    if (buf_sz > 0) finishWrite(cbuf, buf_sz);
    st(cbuf->wrt_reserved_sz, i16(0));
}

CBufStatus BUFFER_LockCBufferGetBlock(CBuffer* cbuf, UInt8** blk_ptr, Int16* blk_sz) {
    CBUF_CHECK(cbuf);
    *blk_ptr = nullptr;
    *blk_sz = 0;
    // The empty test is made without the lock; a producer that commits at the
    // same moment is seen at the next call.
    if (ld(cbuf->in_use_cnt) == 0) {
        *blk_ptr = cbuf->buf + ld(cbuf->rd_idx);
        const Int16 reserved = ld(cbuf->rd_reserved_sz);
        if (reserved != 0) __xassert("cbuf->rd_reserved_sz == 0", kSourceFile, __LINE__, reserved);
        return CBUF_OK;
    }
    CBUF_LOCK(cbuf);
    int block = readRun(cbuf);
    const Int16 limit = cbuf->locked_sz;
    if (limit != kNoLimit && block > limit) block = limit;
    st(cbuf->rd_reserved_sz, i16(block));
    AT_ASSERT(block <= ld(cbuf->in_use_cnt), "cbuf->rd_reserved_sz <= cbuf->in_use_cnt");
    *blk_sz = i16(block);
    *blk_ptr = cbuf->buf + ld(cbuf->rd_idx);
    return CBUF_OK;
}

void BUFFER_UnlockCBufferGetBlock(CBuffer* cbuf, Int16 cnt) {
    CBUF_CHECK(cbuf);
    CBUF_LOCK(cbuf);
    const Int16 reserved = ld(cbuf->rd_reserved_sz);
    if (cnt == kWholeCount) cnt = reserved;
    if (cnt > reserved) {
        __xassert("cnt <= cbuf->rd_reserved_sz", kSourceFile, __LINE__, cnt);
        // Consuming more than was reserved could run past the mark or past
        // the bytes stored; only the reserved block is consumed.
        cnt = reserved;
    }
    // Counts below -1 are outside the contract and consume nothing.
    if (cnt < 0) cnt = 0;
    finishRead(cbuf, cnt);
    st(cbuf->rd_reserved_sz, i16(0));
}

}  // extern "C"
