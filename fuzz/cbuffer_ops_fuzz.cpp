// Fuzz target: sequences of circular-buffer operations, run on the real
// CBuffer and on the reference model side by side (tests/support/
// cbuffer_model.h). After every operation the results, the size queries, the
// dumped fields, the whole data area and the number of __xassert reports must
// agree; any difference aborts with the operation that caused it.
//
// Input: byte 0 picks the data-area size, byte 1 the reservation limit, then
// each operation is one byte of kind followed by the bytes it needs. Counts
// reach past the contract on purpose (negative, above the reservation),
// except the two that stop the process by design (a put commit of 0, a NULL
// handle), which the bad-input death tests cover.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cbuffer_model.h"
#include "fuzz/fuzz_common.h"

using attest::cbmodel::Model;

namespace {

[[noreturn]] void mismatch(const std::string& what, const std::string& diff) {
    std::fprintf(stderr, "cbuffer_ops: real buffer and model differ after %s:%s\n", what.c_str(), diff.c_str());
    std::abort();
}

void expect(bool ok, const std::string& what) {
    if (!ok) mismatch(what, " result");
}

void quietXassert(const char*, const char*, UInt32, Int32) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Counted by the stand-in; the reports of out-of-contract commits are
    // expected here and would only flood the fuzzer's output.
    KOVA_SetXassertHook(quietXassert);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const int kSizes[] = {1, 2, 3, 4, 5, 7, 8, 10, 16, 37, 100, 255, 256, 1000};
    const UInt8 sizePick = in.ConsumeIntegral<UInt8>();
    const int bufSize = sizePick < 200 ? kSizes[sizePick % (sizeof kSizes / sizeof kSizes[0])] : 1 + sizePick % 64;
    const UInt8 limitPick = in.ConsumeIntegral<UInt8>();
    const int limit = limitPick < 64 ? -1 : 1 + limitPick % (bufSize + 3);

    const UInt32 blocks = dbHEAP_GetLiveBlocks();
    const UInt32 sems = OSSEMAPHORE_GetLiveCount();
    const unsigned xassertBase = KOVA_GetXassertCount();
    CBuffer* cb = BUFFER_CreateCBuffer(static_cast<Int16>(bufSize), static_cast<Int16>(limit));
    if (cb == nullptr) mismatch("create", " NULL handle");
    Model m(bufSize, limit);
    std::memcpy(m.data.data(), cb->buf, static_cast<size_t>(bufSize));

    // Sources and destinations exactly as large as the call may touch, so
    // that ASan sees any byte beyond them.
    std::vector<UInt8> want(static_cast<size_t>(bufSize) + 8);
    int op = 0;
    while (in.remaining_bytes() > 0 && op < 4000) {
        ++op;
        std::string what;
        switch (in.ConsumeIntegralInRange<int>(0, 13)) {
            case 0: {
                const int cnt = in.ConsumeIntegralInRange<int>(-3, bufSize + 5);
                std::vector<UInt8> src(cnt > 0 ? static_cast<size_t>(cnt) : 0);
                for (auto& b : src) b = in.ConsumeIntegral<UInt8>();
                const int got = BUFFER_PutCBufferBlock(cb, src.data(), static_cast<Int16>(cnt));
                what = "putBlock(" + std::to_string(cnt) + ")";
                expect(got == m.putBlock(src.data(), cnt), what);
                break;
            }
            case 1: {
                const int cnt = in.ConsumeIntegralInRange<int>(-3, bufSize + 5);
                std::vector<UInt8> out(cnt > 0 ? static_cast<size_t>(cnt) : 0);
                const int got = BUFFER_GetCBufferBlock(cb, out.data(), static_cast<Int16>(cnt));
                const int exp = m.getBlock(want.data(), cnt);
                what = "getBlock(" + std::to_string(cnt) + ")";
                expect(got == exp, what);
                expect(exp <= 0 || std::memcmp(out.data(), want.data(), static_cast<size_t>(exp)) == 0, what + " bytes");
                break;
            }
            case 2: {
                const UInt8 b = in.ConsumeIntegral<UInt8>();
                what = "putDatum";
                expect(BUFFER_PutCBufferDatum(cb, &b) == m.putDatum(b), what);
                break;
            }
            case 3: {
                UInt8 b = 0, e = 0;
                const int got = BUFFER_GetCBufferDatum(cb, &b);
                const int exp = m.getDatum(&e);
                what = "getDatum";
                expect(got == exp && (exp != CBUF_OK || b == e), what);
                break;
            }
            case 4:
                what = "unput";
                expect(BUFFER_UnputCBufferDatum(cb) == m.unput(), what);
                break;
            case 5: {
                const int cnt = in.ConsumeBool() ? -1 : in.ConsumeIntegralInRange<int>(-3, bufSize + 2);
                what = "flush(" + std::to_string(cnt) + ")";
                expect(BUFFER_FlushCBufferBlock(cb, static_cast<Int16>(cnt)) == m.flush(cnt), what);
                break;
            }
            case 6:
            case 7: {
                UInt8* p = nullptr;
                Int16 sz = -7;
                const int got = BUFFER_LockCBufferPutBlock(cb, &p, &sz);
                int off = 0, esz = 0;
                const int exp = m.putLock(&off, &esz);
                what = "putLock";
                expect(got == exp && (p == nullptr ? -1 : p - cb->buf) == off && sz == esz, what);
                // The producer writes part of its block in place.
                const int fill = esz > 0 ? in.ConsumeIntegralInRange<int>(0, esz) : 0;
                for (int i = 0; i < fill; ++i) {
                    const UInt8 b = in.ConsumeIntegral<UInt8>();
                    p[i] = b;
                    m.data[static_cast<size_t>(off + i)] = b;
                }
                break;
            }
            case 8: {
                int n = in.ConsumeIntegralInRange<int>(-3, m.wres + 3);
                if (n == 0) n = 1;  // 0 stops the process by design
                BUFFER_UnlockCBufferPutBlock(cb, static_cast<Int16>(n));
                m.putUnlock(n);
                what = "putUnlock(" + std::to_string(n) + ")";
                break;
            }
            case 9:
            case 10: {
                UInt8* p = nullptr;
                Int16 sz = -7;
                const int got = BUFFER_LockCBufferGetBlock(cb, &p, &sz);
                int off = 0, esz = 0;
                m.getLock(&off, &esz);
                what = "getLock";
                expect(got == CBUF_OK && (p == nullptr ? -1 : p - cb->buf) == off && sz == esz, what);
                break;
            }
            case 11: {
                const int n = in.ConsumeIntegralInRange<int>(-3, m.rres + 3);
                BUFFER_UnlockCBufferGetBlock(cb, static_cast<Int16>(n));
                m.getUnlock(n);
                what = "getUnlock(" + std::to_string(n) + ")";
                break;
            }
            case 12:
                what = "reset";
                expect(BUFFER_ResetCBuffer(cb) == m.reset(), what);
                break;
            case 13:
                if (m.wres == 0 && m.rres == 0) continue;
                what = "destroy while reserved";
                expect(BUFFER_DestroyCBuffer(cb) == CBUF_LOCKED, what);
                break;
        }
        const std::string diff = attest::cbmodel::stateDiff(cb, m, xassertBase);
        if (!diff.empty()) mismatch("op " + std::to_string(op) + " " + what, diff);
    }
    if (m.wres != 0) BUFFER_UnlockCBufferPutBlock(cb, 1);
    BUFFER_UnlockCBufferGetBlock(cb, 0);
    if (BUFFER_DestroyCBuffer(cb) != CBUF_OK) mismatch("final destroy", " refused");
    if (dbHEAP_GetLiveBlocks() != blocks || OSSEMAPHORE_GetLiveCount() != sems)
        mismatch("final destroy", " heap blocks or semaphores left behind");
    return 0;
}
