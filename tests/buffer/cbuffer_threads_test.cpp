// One producer thread and one consumer thread move a long seeded byte stream
// through a CBuffer, with copying operations and with reservations, while a
// third thread reads the sizes and dumps without the lock. Every byte must
// arrive once and in order, and nothing may leak. Built with the thread
// sanitizer, this is also the race check of the buffer.
//
// CBUF_STREAM_BYTES overrides the stream length (default 3 MiB).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "buffer/cbuffer.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

// A small buffer with a limit: relocations are frequent and the two sides
// meet often, each with copies, reservations and single bytes.
TEST(CBufferThreads, StreamThroughMixedOperationsOnSmallBuffer) {
    const int size = 37, limit = 9;
    const unsigned seed = 4004u;
    SCOPED_TRACE("seed " + std::to_string(seed) + ", buf_sz " + std::to_string(size) + ", locked_sz " +
                 std::to_string(limit));
    const char* env = std::getenv("CBUF_STREAM_BYTES");
    const size_t total = env != nullptr && *env != '\0' ? std::strtoul(env, nullptr, 10) : size_t{3} << 20;
    const UInt32 blocks = dbHEAP_GetLiveBlocks();
    const UInt32 sems = OSSEMAPHORE_GetLiveCount();
    CBuffer* cb = BUFFER_CreateCBuffer(static_cast<Int16>(size), static_cast<Int16>(limit));
    ASSERT_NE(cb, nullptr);
    std::vector<UInt8> stream(total);
    std::mt19937 gen(seed);
    for (auto& b : stream) b = static_cast<UInt8>(gen());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    std::atomic<bool> stop{false}, timedOut{false}, usedOutOfRange{false};
    size_t produced = 0, consumed = 0;
    long mismatchAt = -1;
    auto below = [](std::mt19937& rng, int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    // No progress: let the other side run, and give up after the deadline.
    auto idle = [&] {
        if (std::chrono::steady_clock::now() > deadline) timedOut = stop = true;
        std::this_thread::yield();
    };

    std::thread producer([&] {
        std::mt19937 rng(seed ^ 0x5eedu);
        for (size_t& pos = produced; pos < total && !stop;) {
            const int remaining = static_cast<int>(std::min<size_t>(total - pos, 30000));
            int moved = 0;
            UInt8* p = nullptr;
            Int16 sz = 0;
            switch (rng() % 3) {
                case 0:
                    moved = BUFFER_PutCBufferBlock(cb, &stream[pos],
                                                   static_cast<Int16>(std::min(remaining, 1 + below(rng, size + size / 2))));
                    break;
                case 1:
                    if (BUFFER_LockCBufferPutBlock(cb, &p, &sz) != CBUF_OK) break;
                    moved = std::min({static_cast<int>(sz), remaining, 1 + below(rng, sz)});
                    std::memcpy(p, &stream[pos], static_cast<size_t>(moved));
                    BUFFER_UnlockCBufferPutBlock(cb, static_cast<Int16>(moved));
                    break;
                default:
                    moved = BUFFER_PutCBufferDatum(cb, &stream[pos]) == CBUF_OK ? 1 : 0;
            }
            pos += static_cast<size_t>(moved);
            if (moved == 0) idle();
        }
    });

    std::thread consumer([&] {
        std::mt19937 rng(seed ^ 0xc0deu);
        std::vector<UInt8> dst(static_cast<size_t>(size) * 2 + 1);
        size_t& pos = consumed;
        // The bytes must be the next ones of the stream; else note where and stop.
        auto check = [&](const UInt8* data, int n) {
            const auto at = std::mismatch(data, data + n, stream.begin() + static_cast<long>(pos));
            if (at.first != data + n) mismatchAt = static_cast<long>(pos) + (at.first - data);
            return at.first == data + n;
        };
        while (pos < total && mismatchAt < 0 && !stop) {
            int moved = 0;
            UInt8* p = nullptr;
            Int16 sz = 0;
            UInt8 b = 0;
            switch (rng() % 3) {
                case 0:
                    moved = BUFFER_GetCBufferBlock(cb, dst.data(), static_cast<Int16>(1 + below(rng, size * 2)));
                    if (!check(dst.data(), moved)) moved = 0;
                    break;
                case 1: {
                    (void)BUFFER_LockCBufferGetBlock(cb, &p, &sz);
                    if (sz == 0) break;
                    // Consume all (-1), a part, or nothing (0) now and then.
                    const unsigned r = rng() % 8;
                    moved = r == 0 ? 0 : (r < 4 ? sz : 1 + below(rng, sz));
                    if (!check(p, moved)) moved = 0;
                    BUFFER_UnlockCBufferGetBlock(cb, static_cast<Int16>(moved == sz && r < 2 ? -1 : moved));
                    break;
                }
                default:
                    if (BUFFER_GetCBufferDatum(cb, &b) == CBUF_OK) moved = check(&b, 1) ? 1 : 0;
            }
            pos += static_cast<size_t>(moved);
            if (moved == 0) idle();
        }
        stop = true;
    });

    // Lock-free readers: the sizes and the dump may see a state in the
    // middle of an operation, but never a field outside its range.
    std::thread watcher([&] {
        while (!stop) {
            const int used = BUFFER_GetCBufferUsedSize(cb);
            (void)BUFFER_GetCBufferFreeSize(cb);
            BUFFER_DumpCBuffer(cb);
            if (used < 0 || used > size) usedOutOfRange = true;
            std::this_thread::yield();
        }
    });

    producer.join();
    consumer.join();
    watcher.join();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(mismatchAt, -1) << "first wrong byte";
    EXPECT_FALSE(usedOutOfRange);
    EXPECT_EQ(consumed, total);
    EXPECT_EQ(BUFFER_GetCBufferUsedSize(cb), 0);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);  // CBUF_LOCKED if a reservation was left standing
    EXPECT_EQ(dbHEAP_GetLiveBlocks(), blocks);
    EXPECT_EQ(OSSEMAPHORE_GetLiveCount(), sems);
}

}  // namespace
