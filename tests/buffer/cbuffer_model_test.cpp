// Model-based randomized test of CBuffer: a small reference model written from
// the documented rules, byte by byte, runs beside the real buffer through
// thousands of random operation sequences. After every operation the results,
// the size queries, the dumped fields, the whole data area and the number of
// __xassert reports must agree.
//
// Reproducible: sequence i uses seed CBUF_MODEL_SEED + i (default base below);
// CBUF_MODEL_SEQUENCES overrides the number of sequences. A failure prints the
// seed and the latest operations.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "buffer/cbuffer.h"
#include "buffer_dump.h"
#include "cbuffer_model.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

using attest::cbmodel::Model;

unsigned envNumber(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

::testing::AssertionResult sameState(CBuffer* cb, const Model& m, unsigned xassertBase) {
    const std::string diff = attest::cbmodel::stateDiff(cb, m, xassertBase);
    if (!diff.empty()) return ::testing::AssertionFailure() << diff;
    return ::testing::AssertionSuccess();
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
    // The data area's initial bytes are whatever the heap gave: copy them so
    // that the whole area can be compared.
    std::memcpy(m.data.data(), cb->buf, static_cast<size_t>(size));

    std::deque<std::string> recent;
    auto note = [&recent](const std::string& s) {
        recent.push_back(s);
        if (recent.size() > 16) recent.pop_front();
    };
    auto history = [&recent]() {
        std::string h;
        for (const auto& s : recent) h += "\n  " + s;
        return h;
    };

    std::vector<UInt8> src(static_cast<size_t>(size) + 8), out(static_cast<size_t>(size) + 8),
        want(static_cast<size_t>(size) + 8);
    for (int op = 0; op < ops; ++op) {
        std::ostringstream what;
        const int kind = pick(0, 13);
        switch (kind) {
            case 0: {
                int cnt = pick(0, 9) == 0 ? pick(-2, 0) : pick(1, size + 5);
                for (auto& b : src) b = static_cast<UInt8>(rng());
                int got = BUFFER_PutCBufferBlock(cb, src.data(), static_cast<Int16>(cnt));
                int exp = m.putBlock(src.data(), cnt);
                what << "putBlock(" << cnt << ")=" << got;
                EXPECT_EQ(got, exp) << what.str();
                break;
            }
            case 1: {
                int cnt = pick(0, 9) == 0 ? pick(-2, 0) : pick(1, size + 5);
                int got = BUFFER_GetCBufferBlock(cb, out.data(), static_cast<Int16>(cnt));
                int exp = m.getBlock(want.data(), cnt);
                what << "getBlock(" << cnt << ")=" << got;
                EXPECT_EQ(got, exp) << what.str();
                if (got == exp) {
                    EXPECT_EQ(0, std::memcmp(out.data(), want.data(), static_cast<size_t>(exp)));
                }
                break;
            }
            case 2: {
                UInt8 b = static_cast<UInt8>(rng());
                int got = BUFFER_PutCBufferDatum(cb, &b);
                what << "putDatum=" << got;
                EXPECT_EQ(got, m.putDatum(b)) << what.str();
                break;
            }
            case 3: {
                UInt8 b = 0, e = 0;
                int got = BUFFER_GetCBufferDatum(cb, &b);
                int exp = m.getDatum(&e);
                what << "getDatum=" << got;
                EXPECT_EQ(got, exp) << what.str();
                if (exp == CBUF_OK) {
                    EXPECT_EQ(b, e);
                }
                break;
            }
            case 4: {
                int got = BUFFER_UnputCBufferDatum(cb);
                what << "unput=" << got;
                EXPECT_EQ(got, m.unput()) << what.str();
                break;
            }
            case 5: {
                int cnt = pick(0, 2) == 0 ? -1 : pick(-3, size + 2);
                int got = BUFFER_FlushCBufferBlock(cb, static_cast<Int16>(cnt));
                what << "flush(" << cnt << ")=" << got;
                EXPECT_EQ(got, m.flush(cnt)) << what.str();
                break;
            }
            case 6:
            case 7: {
                UInt8* p = nullptr;
                Int16 sz = -7;
                int got = BUFFER_LockCBufferPutBlock(cb, &p, &sz);
                int off = 0, esz = 0;
                int exp = m.putLock(&off, &esz);
                what << "putLock=" << got << " off=" << (p ? p - cb->buf : -1) << " sz=" << sz;
                EXPECT_EQ(got, exp) << what.str();
                EXPECT_EQ(p == nullptr ? -1 : p - cb->buf, off) << what.str();
                EXPECT_EQ(sz, esz) << what.str();
                if (p != nullptr && got == exp && p - cb->buf == off && sz == esz) {
                    // The producer writes part or all of its block in place.
                    int fill = pick(0, esz);
                    for (int i = 0; i < fill; ++i) {
                        UInt8 b = static_cast<UInt8>(rng());
                        p[i] = b;
                        m.data[static_cast<size_t>(off + i)] = b;
                    }
                }
                break;
            }
            case 8: {
                int n;
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
                what << "putUnlock(" << n << ")";
                break;
            }
            case 9:
            case 10: {
                UInt8* p = nullptr;
                Int16 sz = -7;
                int got = BUFFER_LockCBufferGetBlock(cb, &p, &sz);
                int off = 0, esz = 0;
                m.getLock(&off, &esz);
                what << "getLock=" << got << " off=" << (p ? p - cb->buf : -1) << " sz=" << sz;
                EXPECT_EQ(got, CBUF_OK) << what.str();
                EXPECT_EQ(p == nullptr ? -1 : p - cb->buf, off) << what.str();
                EXPECT_EQ(sz, esz) << what.str();
                break;
            }
            case 11: {
                int n;
                const int r = pick(0, 19);
                if (r == 0)
                    n = m.rres + pick(1, 3);
                else if (r == 1)
                    n = pick(-3, -2);
                else if (r < 6)
                    n = -1;
                else
                    n = pick(0, m.rres);
                BUFFER_UnlockCBufferGetBlock(cb, static_cast<Int16>(n));
                m.getUnlock(n);
                what << "getUnlock(" << n << ")";
                break;
            }
            case 12: {
                if (pick(0, 3) != 0) continue;  // a reset now and then, not every few steps
                int got = BUFFER_ResetCBuffer(cb);
                what << "reset=" << got;
                EXPECT_EQ(got, m.reset()) << what.str();
                break;
            }
            case 13: {
                if (m.wres == 0 && m.rres == 0) continue;
                int got = BUFFER_DestroyCBuffer(cb);
                what << "destroy while reserved=" << got;
                EXPECT_EQ(got, CBUF_LOCKED) << what.str();
                if (got != CBUF_LOCKED) return false;  // the handle is gone
                break;
            }
        }
        note(what.str());
        EXPECT_TRUE(sameState(cb, m, xassertBase)) << "after op " << op << ": " << what.str() << history();
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
    const Model::Reach& r = Model::reach;
    std::printf("reached: %ld relocations, %ld empty restarts, %ld marks passed, %ld take-backs at the mark, "
                "%ld take-backs refused by a get block, %ld commit clamps\n",
                r.relocations, r.emptyRestarts, r.markPassed, r.unputAtMark, r.unputRefused, r.clamps);
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
