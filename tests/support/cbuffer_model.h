// Reference model of CBuffer, written from the documented rules. The
// randomized model test (tests/buffer) and the operation-sequence fuzz target
// (fuzz/) both drive the real buffer beside it and compare after every step.
#pragma once

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "buffer/cbuffer.h"
#include "buffer_dump.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace attest {
namespace cbmodel {

constexpr int kNoMark = -2;

// How often the rare paths ran, summed over all sequences, so that a test can
// prove it reaches them. (Outside Model: its initializers must be complete
// before the static member below is.)
struct ModelReach {
    long relocations = 0, emptyRestarts = 0, unputAtMark = 0, unputRefused = 0, markPassed = 0, clamps = 0;
};

// The reference model. Every byte moves one at a time with the documented
// index steps; the decisions this library makes where the behaviour is open
// are written in as such.
struct Model {
    int size = 0, limit = 0;
    std::vector<UInt8> data;
    int wrt = 0, rd = 0, prv = kNoMark, wres = 0, rres = 0, used = 0;
    unsigned overrun = 0, reloc = 0, xasserts = 0;

    using Reach = ModelReach;
    inline static Reach reach;

    Model(int sz, int lim) : size(sz), limit(lim), data(static_cast<size_t>(sz)) {}

    int freeSize() const { return prv != kNoMark ? rd - wrt : size - used; }
    void stepWrite() {
        if (++wrt >= size) wrt = 0;
    }
    void stepRead() {
        ++rd;
        if (prv != kNoMark && rd >= prv) {
            rd = 0;
            prv = kNoMark;
            ++reach.markPassed;
        }
        if (prv == kNoMark && rd >= size) rd = 0;
    }
    void storeByte(UInt8 b) {
        data[static_cast<size_t>(wrt)] = b;
        ++used;
        stepWrite();
    }
    UInt8 takeByte() {
        UInt8 b = data[static_cast<size_t>(rd)];
        --used;
        stepRead();
        return b;
    }

    int putBlock(const UInt8* src, int cnt) {
        if (wres != 0 || cnt <= 0) return 0;  // negative: outside the contract, nothing counted
        int f = freeSize();
        if (cnt > f) {
            overrun = (overrun + static_cast<unsigned>(cnt - f)) & 0xFF;
            cnt = f;
        }
        for (int i = 0; i < cnt; ++i) storeByte(src[i]);
        return cnt;
    }
    int getBlock(UInt8* dst, int cnt) {
        if (rres != 0 || used == 0 || cnt <= 0) return 0;
        if (cnt > used) cnt = used;
        for (int i = 0; i < cnt; ++i) dst[i] = takeByte();
        return cnt;
    }
    int putDatum(UInt8 b) {
        if (wres != 0) return CBUF_LOCKED;
        if (freeSize() == 0) {
            overrun = (overrun + 1) & 0xFF;
            return CBUF_FULL;
        }
        storeByte(b);
        return CBUF_OK;
    }
    int getDatum(UInt8* b) {
        if (rres != 0) return CBUF_LOCKED;
        if (used == 0) return CBUF_EMPTY;
        *b = takeByte();
        return CBUF_OK;
    }
    int unput() {
        if (wres != 0) return CBUF_LOCKED;
        if (freeSize() == size) return CBUF_EMPTY;
        if (rres != 0 && rres >= used) {  // decision: the get block covers the last byte
            ++reach.unputRefused;
            return CBUF_LOCKED;
        }
        --used;
        if (wrt > 0) {
            --wrt;
        } else if (prv != kNoMark) {  // decision: back before the mark, relocation undone
            wrt = prv - 1;
            prv = kNoMark;
            ++reach.unputAtMark;
        } else {
            wrt = size - 1;
        }
        return CBUF_OK;
    }
    int flush(int cnt) {
        if (rres != 0 || used == 0 || cnt < -1) return 0;
        int n = (cnt == -1 || cnt > used) ? used : cnt;
        for (int i = 0; i < n; ++i) (void)takeByte();
        return n;
    }
    int reset() {
        if (wres != 0 || rres != 0) return CBUF_LOCKED;
        wrt = rd = used = 0;
        prv = kNoMark;
        overrun = reloc = 0;
        return CBUF_OK;
    }
    // Returns the status; offset -1 stands for NULL.
    int putLock(int* offset, int* sz) {
        *offset = -1;
        *sz = 0;
        if (freeSize() == 0) {
            wres = 0;
            return CBUF_FULL;
        }
        if (wrt < rd) {
            wres = rd - wrt;
        } else {
            int tail = size - wrt;
            int head = (size - used) - tail;
            wres = tail;
            if (tail < head && limit != -1 && tail < limit) {
                if (used == 0) {
                    wrt = rd = 0;
                    wres = size;
                    ++reach.emptyRestarts;
                } else {
                    prv = wrt;
                    wres = rd;
                    wrt = 0;
                    reloc = (reloc + 1) & 0xFF;
                    ++reach.relocations;
                }
            }
        }
        if (limit != -1 && wres > limit) wres = limit;
        *offset = wrt;
        *sz = wres;
        return CBUF_OK;
    }
    void putUnlock(int n) {
        if (n > wres) {
            ++xasserts;
            n = wres;  // decision: clamp to the reservation
            ++reach.clamps;
        }
        if (n > 0) {
            wrt += n;
            if (wrt >= size) wrt = 0;
            used += n;
        }
        wres = 0;
    }
    void getLock(int* offset, int* sz) {
        *offset = rd;
        *sz = 0;
        if (used == 0) return;
        int block = prv != kNoMark ? prv - rd : (wrt > rd ? wrt - rd : size - rd);
        if (limit != -1 && block > limit) block = limit;
        rres = block;
        *sz = block;
    }
    void getUnlock(int cnt) {
        if (cnt == -1) cnt = rres;
        if (cnt > rres) {
            ++xasserts;
            cnt = rres;
            ++reach.clamps;
        }
        if (cnt < 0) cnt = 0;
        used -= cnt;
        rd += cnt;
        if (prv != kNoMark) {
            if (rd >= prv) {
                rd = 0;
                prv = kNoMark;
            }
        } else if (rd >= size) {
            rd = 0;
        }
        rres = 0;
    }
};

// Compares the real buffer with the model: results of the size queries, the
// dumped fields, the whole data area and the number of __xassert reports since
// xassertBase. Returns an empty text when they agree, else what differs.
// Single-threaded (the dump replaces the debug-log hook while it runs).
inline std::string stateDiff(CBuffer* cb, const Model& m, unsigned xassertBase) {
    const CBufferDump d = dumpCBuffer(cb);
    if (!d.ok) return "dump: " + d.error;
    std::ostringstream diff;
    auto check = [&diff](const char* what, long real, long model) {
        if (real != model) diff << " " << what << " real=" << real << " model=" << model;
    };
    check("used", BUFFER_GetCBufferUsedSize(cb), m.used);
    check("free", BUFFER_GetCBufferFreeSize(cb), m.freeSize());
    check("size", BUFFER_GetCBufferBufferSize(cb), m.size);
    check("wrt_idx", d.wrt_idx, m.wrt);
    check("wrt_reserved_sz", d.wrt_reserved_sz, m.wres);
    check("rd_idx", d.rd_idx, m.rd);
    check("rd_reserved_sz", d.rd_reserved_sz, m.rres);
    check("in_use_cnt", d.in_use_cnt, m.used);
    check("locked_sz", d.locked_sz, m.limit);
    check("prv_wrt_idx", d.prv_wrt_idx, m.prv);
    check("buf_sz", d.buf_sz, m.size);
    check("reloc_cnt", d.reloc_cnt, m.reloc);
    check("overrun_cnt", d.overrun_cnt, m.overrun);
    check("xasserts", static_cast<long>(KOVA_GetXassertCount() - xassertBase), m.xasserts);
    if (std::memcmp(cb->buf, m.data.data(), m.data.size()) != 0) diff << " data area differs";
    return diff.str();
}

}  // namespace cbmodel
}  // namespace attest
