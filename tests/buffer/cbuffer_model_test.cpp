// The reference model of tests/support/cbuffer_model.h runs beside the real
// buffer through thousands of random operation sequences; after every
// operation the results, sizes, dumped fields, data area and __xassert count
// must agree. Sequence i uses seed CBUF_MODEL_SEED + i; CBUF_MODEL_SEQUENCES
// sets the number of sequences. A failure prints the seed and the latest operations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "buffer/cbuffer.h"
#include "cbuffer_model.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

using attest::cbmodel::Model;

unsigned envNumber(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

// One random sequence on a new buffer; returns false after a failure.
bool runSequence(unsigned seed, int ops) {
    std::mt19937 rng(seed);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int sizes[] = {1, 2, 3, 4, 7, 10, 16, 37, 100};
    const int size = pick(0, 3) == 0 ? pick(1, 64) : sizes[pick(0, 8)];
    const int limit = pick(0, 2) == 0 ? -1 : pick(1, size + 3);

    const unsigned xassertBase = KOVA_GetXassertCount();
    CBuffer* cb = BUFFER_CreateCBuffer(static_cast<Int16>(size), static_cast<Int16>(limit));
    EXPECT_NE(cb, nullptr);
    if (cb == nullptr) return false;
    Model m(size, limit);
    // The data area starts as whatever the heap gave: copy it so that the
    // whole area can be compared.
    std::memcpy(m.data.data(), cb->buf, static_cast<size_t>(size));

    static const char* const kNames[] = {"putBlock", "getBlock", "putDatum", "getDatum", "unput",
                                         "flush",    "putLock",  "putLock",  "putUnlock", "getLock",
                                         "getLock",  "getUnlock", "reset",  "destroy while reserved"};
    auto count = [&] { return pick(0, 9) == 0 ? pick(-2, 0) : pick(1, size + 5); };
    std::deque<std::string> recent;
    const size_t room = static_cast<size_t>(size) + 8;
    std::vector<UInt8> src(room), out(room), want(room);
    for (int op = 0; op < ops; ++op) {
        const int kind = pick(0, 13);
        int n = 0, got = 0, exp = 0;                // argument; results of the buffer and the model
        long off = -1, eoff = -1, sz = 0, esz = 0;  // blocks of the two lock operations
        UInt8 b = 0, e = 0;
        switch (kind) {
            case 0:
                n = count();
                for (auto& byte : src) byte = static_cast<UInt8>(rng());
                got = BUFFER_PutCBufferBlock(cb, src.data(), static_cast<Int16>(n));
                exp = m.putBlock(src.data(), n);
                break;
            case 1:
                n = count();
                got = BUFFER_GetCBufferBlock(cb, out.data(), static_cast<Int16>(n));
                exp = m.getBlock(want.data(), n);
                if (got == exp && std::memcmp(out.data(), want.data(), static_cast<size_t>(exp)) != 0) {
                    ADD_FAILURE() << "getBlock: bytes differ";
                }
                break;
            case 2:
                b = static_cast<UInt8>(rng());
                got = BUFFER_PutCBufferDatum(cb, &b);
                exp = m.putDatum(b);
                break;
            case 3:
                got = BUFFER_GetCBufferDatum(cb, &b);
                exp = m.getDatum(&e);
                if (exp == CBUF_OK && b != e) ADD_FAILURE() << "getDatum: byte differs";
                break;
            case 4:
                got = BUFFER_UnputCBufferDatum(cb);
                exp = m.unput();
                break;
            case 5:
                n = pick(0, 2) == 0 ? -1 : pick(-3, size + 2);
                got = BUFFER_FlushCBufferBlock(cb, static_cast<Int16>(n));
                exp = m.flush(n);
                break;
            case 6:
            case 7:
            case 9:
            case 10: {  // a put or a get reservation
                const bool putSide = kind < 9;
                UInt8* p = nullptr;
                Int16 s = -7;
                int o = 0, l = 0;
                if (putSide) {
                    got = BUFFER_LockCBufferPutBlock(cb, &p, &s);
                    exp = m.putLock(&o, &l);
                } else {
                    got = BUFFER_LockCBufferGetBlock(cb, &p, &s);
                    m.getLock(&o, &l);  // always CBUF_OK
                }
                off = p != nullptr ? p - cb->buf : -1;
                sz = s;
                eoff = o;
                esz = l;
                if (putSide && p != nullptr && got == exp && off == eoff && sz == esz) {
                    // The producer writes part or all of its block in place.
                    const int fill = pick(0, l);
                    for (int i = 0; i < fill; ++i) {
                        p[i] = static_cast<UInt8>(rng());
                        m.data[static_cast<size_t>(o + i)] = p[i];
                    }
                }
                break;
            }
            case 8: {
                const int r = pick(0, 19);
                if (r == 0)
                    n = m.wres + pick(1, 3);  // above the reservation (also with none)
                else if (r == 1)
                    n = pick(-3, -1);
                else if (m.wres == 0)
                    continue;  // nothing to commit; 0 would stop the process
                else
                    n = pick(1, m.wres);
                BUFFER_UnlockCBufferPutBlock(cb, static_cast<Int16>(n));
                m.putUnlock(n);
                break;
            }
            case 11: {
                const int r = pick(0, 19);
                n = r == 0 ? m.rres + pick(1, 3) : r == 1 ? pick(-3, -2) : r < 6 ? -1 : pick(0, m.rres);
                BUFFER_UnlockCBufferGetBlock(cb, static_cast<Int16>(n));
                m.getUnlock(n);
                break;
            }
            case 12:
                if (pick(0, 3) != 0) continue;  // a reset now and then, not every few steps
                got = BUFFER_ResetCBuffer(cb);
                exp = m.reset();
                break;
            case 13:
                if (m.wres == 0 && m.rres == 0) continue;
                got = BUFFER_DestroyCBuffer(cb);
                exp = CBUF_LOCKED;
                if (got != CBUF_LOCKED) return false;  // the handle is gone
                break;
        }
        std::ostringstream what;
        what << kNames[kind] << "(" << n << ")=" << got << " off=" << off << " sz=" << sz;
        EXPECT_EQ(got, exp) << what.str();
        EXPECT_EQ(off, eoff) << what.str();
        EXPECT_EQ(sz, esz) << what.str();
        recent.push_back(what.str());
        if (recent.size() > 16) recent.pop_front();
        const std::string diff = attest::cbmodel::stateDiff(cb, m, xassertBase);
        if (!diff.empty()) {
            std::string history;
            for (const auto& line : recent) history += "\n  " + line;
            ADD_FAILURE() << "after op " << op << ":" << diff << history;
        }
        if (::testing::Test::HasFailure()) return false;
    }
    // Ending both reservations lets the buffer be destroyed.
    if (m.wres != 0) BUFFER_UnlockCBufferPutBlock(cb, 1);
    BUFFER_UnlockCBufferGetBlock(cb, 0);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
    return !::testing::Test::HasFailure();
}

TEST(CBufferModel, RandomSequencesMatchTheModel) {
    const unsigned base = envNumber("CBUF_MODEL_SEED", 20261205u);
    const unsigned sequences = envNumber("CBUF_MODEL_SEQUENCES", 4000u);
    const UInt32 blocks = dbHEAP_GetLiveBlocks();
    const UInt32 sems = OSSEMAPHORE_GetLiveCount();
    KOVA_SetXassertHook([](const char*, const char*, UInt32, Int32) {});  // counted, not printed by us
    for (unsigned i = 0; i < sequences; ++i) {
        SCOPED_TRACE("seed " + std::to_string(base + i) + " (rerun with CBUF_MODEL_SEED=" + std::to_string(base + i) +
                     " CBUF_MODEL_SEQUENCES=1)");
        if (!runSequence(base + i, 150)) break;
    }
    KOVA_SetXassertHook(nullptr);
    if (HasFailure()) return;  // a failed sequence leaves its buffer behind
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
    // The rare paths must have run, or the comparison proves little.
    const Model::Reach& r = Model::reach;
    if (sequences >= 1000) {
        EXPECT_GT(r.relocations, 100);
        EXPECT_GT(r.emptyRestarts, 10);
        EXPECT_GT(r.markPassed, 100);
        EXPECT_GT(r.unputAtMark, 0);
        EXPECT_GT(r.unputRefused, 10);
        EXPECT_GT(r.clamps, 10);
    }
}

}  // namespace
