/* CBuffer: a fixed-size circular byte buffer with one producer side and one
 * consumer side, for the AT command interpreter and its peers.
 *
 * Besides copying operations (blocks, single bytes, a one-byte take-back and
 * discarding), each side can reserve a contiguous block straight in the data
 * area, work in it without any lock held, and commit a count afterwards. To
 * give the producer a useful block when only a short piece of room is left
 * before the end of the data area, a put reservation may move to the start of
 * the area ("relocation"); the short end then stays empty until the consumer
 * has passed it.
 *
 * Threads: one producer thread (put block/byte, take-back, put reservation)
 * and one consumer thread (get block/byte, flush, get reservation) may work
 * on one buffer at the same time. The size queries and the dump may be called
 * from any thread at any time while the buffer exists; they read each field
 * whole but may see the state in the middle of another thread's operation.
 * Create, reset and destroy must not overlap any other call on the buffer.
 *
 * A NULL handle stops the process (fatal assertion "cbuf != NULL") in every
 * operation except BUFFER_DumpCBuffer.
 *
 * Counts are signed 16-bit values. Negative counts other than the -1 that
 * BUFFER_FlushCBufferBlock and BUFFER_UnlockCBufferGetBlock accept are outside
 * the contract; how each operation treats them is noted below. */
#ifndef CBUFFER_H
#define CBUFFER_H

#include <stddef.h>

#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

/* Result codes of the operations that return a status. */
typedef enum {
    CBUF_OK = 0,     /* done */
    CBUF_FULL = 1,   /* no free room: the byte or block was not stored */
    CBUF_EMPTY = 2,  /* nothing stored: nothing to get or to take back */
    CBUF_LOCKED = 3  /* a reservation stands in the way */
} CBufStatus;

/* The buffer record. Callers hold a pointer to it as their handle and never
 * touch the fields. Field order and types are part of the ABI. */
typedef struct CBuffer {
    UInt32 wrt_lock;        /* binary semaphore "CbufWr_S": guards every change */
    UInt8* buf;             /* the data area, buf_sz bytes, a heap block of its own */
    Int16 wrt_idx;          /* next byte to write, 0 to buf_sz - 1 */
    Int16 rd_idx;           /* next byte to read, 0 to buf_sz - 1 */
    Int16 prv_wrt_idx;      /* end of the older data while a relocation is pending, else -2 */
    Int16 wrt_reserved_sz;  /* size of the outstanding put reservation, 0 when none */
    Int16 rd_reserved_sz;   /* size of the outstanding get reservation, 0 when none */
    Int16 buf_sz;           /* size of the data area, 1 to 32767 */
    Int16 locked_sz;        /* largest reservation handed out; -1 = no limit, no relocation */
    Int16 in_use_cnt;       /* bytes stored and not yet consumed */
    /* Statistics, one 16-bit word together: overrun_cnt is its low byte
     * (little-endian targets). Each wraps modulo 256 within its own byte. */
    UInt8 overrun_cnt;      /* bytes refused by the put operations for want of room */
    UInt8 reloc_cnt;        /* relocations of a put reservation */
} CBuffer;

/* The layout is ABI: a 32-bit handle in a pointer-sized slot, the data
 * pointer, the eight counts, the statistics word; 28 bytes on a 32-bit
 * target. */
#define CBUFFER_PTR_BYTES sizeof(UInt8*)
AT_STATIC_ASSERT(offsetof(CBuffer, wrt_lock) == 0 && offsetof(CBuffer, buf) == CBUFFER_PTR_BYTES &&
                     offsetof(CBuffer, wrt_idx) == 2 * CBUFFER_PTR_BYTES &&
                     offsetof(CBuffer, rd_idx) == 2 * CBUFFER_PTR_BYTES + 2 &&
                     offsetof(CBuffer, prv_wrt_idx) == 2 * CBUFFER_PTR_BYTES + 4 &&
                     offsetof(CBuffer, wrt_reserved_sz) == 2 * CBUFFER_PTR_BYTES + 6 &&
                     offsetof(CBuffer, rd_reserved_sz) == 2 * CBUFFER_PTR_BYTES + 8 &&
                     offsetof(CBuffer, buf_sz) == 2 * CBUFFER_PTR_BYTES + 10 &&
                     offsetof(CBuffer, locked_sz) == 2 * CBUFFER_PTR_BYTES + 12 &&
                     offsetof(CBuffer, in_use_cnt) == 2 * CBUFFER_PTR_BYTES + 14 &&
                     offsetof(CBuffer, overrun_cnt) == 2 * CBUFFER_PTR_BYTES + 16 &&
                     offsetof(CBuffer, reloc_cnt) == 2 * CBUFFER_PTR_BYTES + 17 &&
                     sizeof(CBuffer) == (3 * CBUFFER_PTR_BYTES + 17) / CBUFFER_PTR_BYTES * CBUFFER_PTR_BYTES,
                 "CBuffer: handle, data pointer, eight 16-bit counts, two statistics bytes");
#undef CBUFFER_PTR_BYTES

/* Creates a buffer with a data area of buf_sz bytes (1 to 32767) whose
 * reservations are at most locked_sz bytes (1 to 32767, or -1 for no limit;
 * -1 also disables relocation). The buffer starts empty with both counters 0.
 * Returns the handle, or NULL when the data area cannot be allocated or when
 * buf_sz < 1, locked_sz < -1 or locked_sz == 0 (refused without allocating:
 * a locked_sz of 0 would leave the put side unable ever to commit).
 * Stops the process ("(cbuf) != NULL") when the record cannot be allocated.
 * Any thread. */
AT_EXPORT CBuffer* BUFFER_CreateCBuffer(Int16 buf_sz, Int16 locked_sz);

/* Frees the data area, the lock and the record. Returns CBUF_OK, or
 * CBUF_LOCKED (nothing freed) while either reservation stands. Not
 * serialised: the caller ends every other use of the buffer first. The handle
 * is invalid after CBUF_OK. */
AT_EXPORT CBufStatus BUFFER_DestroyCBuffer(CBuffer* cbuf);

/* Empties the buffer and clears both counters; buf_sz and locked_sz stay, the
 * data bytes are not cleared. Returns CBUF_OK, or CBUF_LOCKED (nothing
 * changed) while either reservation stands. Must not overlap other calls. */
AT_EXPORT CBufStatus BUFFER_ResetCBuffer(CBuffer* cbuf);

/* Bytes stored and not yet consumed (bytes under a get reservation count
 * until it is committed, bytes under a put reservation once committed).
 * Lock-free; any thread. */
AT_EXPORT Int16 BUFFER_GetCBufferUsedSize(CBuffer* cbuf);

/* Free room: buf_sz - used size, or, while a relocation is pending, the gap
 * rd_idx - wrt_idx (the empty end of the area behind the relocation does not
 * count). Outstanding reservations are not subtracted. Lock-free; any thread. */
AT_EXPORT Int16 BUFFER_GetCBufferFreeSize(CBuffer* cbuf);

/* The data area's size, buf_sz. Any thread. */
AT_EXPORT Int16 BUFFER_GetCBufferBufferSize(CBuffer* cbuf);

/* Stores up to cnt bytes from src. Returns the number stored: all cnt, or the
 * free size when less (the excess is added to overrun_cnt), 0 when the buffer
 * is full, while a put reservation stands (nothing counted), or for cnt <= 0
 * (a negative cnt stores and counts nothing). Producer thread. */
AT_EXPORT Int16 BUFFER_PutCBufferBlock(CBuffer* cbuf, const UInt8* src, Int16 cnt);

/* Copies up to cnt stored bytes to dst, in the order they were put, and
 * consumes them. Returns the number copied: at most the used size, 0 when
 * nothing is stored, while a get reservation stands, or for cnt <= 0.
 * Consumer thread. */
AT_EXPORT Int16 BUFFER_GetCBufferBlock(CBuffer* cbuf, UInt8* dst, Int16 cnt);

/* Stores the byte at datum. Returns CBUF_OK; CBUF_FULL (overrun_cnt + 1) when
 * there is no room; CBUF_LOCKED while a put reservation stands. Producer
 * thread. */
AT_EXPORT CBufStatus BUFFER_PutCBufferDatum(CBuffer* cbuf, const UInt8* datum);

/* Consumes the next byte into *datum. Returns CBUF_OK; CBUF_EMPTY when
 * nothing is stored; CBUF_LOCKED while a get reservation stands. Consumer
 * thread. */
AT_EXPORT CBufStatus BUFFER_GetCBufferDatum(CBuffer* cbuf, UInt8* datum);

/* Takes back the byte stored last, whichever operation stored it; only the
 * write side moves and the byte stays in the data area. Returns CBUF_OK;
 * CBUF_EMPTY when nothing is stored; CBUF_LOCKED while a put reservation
 * stands, or while a get reservation covers every stored byte (the consumer
 * may be reading the very byte). Producer thread. */
AT_EXPORT CBufStatus BUFFER_UnputCBufferDatum(CBuffer* cbuf);

/* Discards up to cnt stored bytes from the read side, all of them for cnt -1.
 * Returns the number discarded: 0 when nothing is stored, while a get
 * reservation stands, or for cnt 0 or below -1. Consumer thread. */
AT_EXPORT Int16 BUFFER_FlushCBufferBlock(CBuffer* cbuf, Int16 cnt);

/* Writes the record's fields to debug-log channel 262 in five items. Takes no
 * lock, so the values may be mid-update when another thread works on the
 * buffer. A NULL handle writes nothing. Any thread. */
AT_EXPORT void BUFFER_DumpCBuffer(CBuffer* cbuf);

/* Reserves a contiguous block of free room for the producer to write into.
 * On CBUF_OK *blk_ptr points into the data area and *blk_sz (>= 1, at most
 * locked_sz) is the block's size; the producer fills it without any lock held
 * and then commits with BUFFER_UnlockCBufferPutBlock. May relocate the block to
 * the start of the data area (counted in reloc_cnt). Returns CBUF_FULL with
 * NULL and 0 when there is no free room (no reservation then stands). A
 * second call while a reservation stands recomputes the block from the same
 * start; it may have grown. Producer thread. */
AT_EXPORT CBufStatus BUFFER_LockCBufferPutBlock(CBuffer* cbuf, UInt8** blk_ptr, Int16* blk_sz);

/* Commits buf_sz bytes (1 up to the reservation) written into the put
 * reservation and ends it; the rest of the block is given back. buf_sz 0 stops
 * the process ("buf_sz != 0"). A count above the reservation is reported
 * through __xassert and lowered to the reservation (with no reservation
 * nothing is committed); a negative count commits nothing and ends the
 * reservation. Producer thread. */
AT_EXPORT void BUFFER_UnlockCBufferPutBlock(CBuffer* cbuf, Int16 buf_sz);

/* Reserves the contiguous block of stored bytes that starts at the read side
 * (at most locked_sz bytes). Always returns CBUF_OK: *blk_ptr points at the
 * next byte to read and *blk_sz is the block's size, 0 when nothing is stored
 * (no reservation is then made and no lock taken). The consumer reads the
 * block without any lock held and then commits with
 * BUFFER_UnlockCBufferGetBlock. Consumer thread. */
AT_EXPORT CBufStatus BUFFER_LockCBufferGetBlock(CBuffer* cbuf, UInt8** blk_ptr, Int16* blk_sz);

/* Consumes cnt bytes of the get reservation (0 up to the reservation, -1 for
 * all of it) and ends it; 0 ends it without consuming. A count above the
 * reservation is reported through __xassert and lowered to the reservation; a
 * count below -1 is taken as 0. Consumer thread. */
AT_EXPORT void BUFFER_UnlockCBufferGetBlock(CBuffer* cbuf, Int16 cnt);

AT_EXTERN_C_END

#endif /* CBUFFER_H */
