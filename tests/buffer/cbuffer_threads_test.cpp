// One producer and one consumer thread move a seeded byte stream through a
// small CBuffer with copies, single bytes and reservations, while a third
// thread reads the sizes and dumps without the lock. Every byte must arrive
// once and in order. Under the thread sanitizer this is the buffer's race
// check. CBUF_STREAM_BYTES sets the stream length (default 3 MiB).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "buffer/cbuffer.h"

namespace {

TEST(CBufferThreads, StreamArrivesWholeAndInOrder) {
    const char* env = std::getenv("CBUF_STREAM_BYTES");
    const size_t total = env != nullptr && *env != '\0' ? std::strtoul(env, nullptr, 10) : size_t{3} << 20;
    CBuffer* cb = BUFFER_CreateCBuffer(37, 9);  // a limit, so relocations are frequent
    std::vector<UInt8> stream(total), dst(80);
    std::mt19937 gen(4004u);
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
    std::thread watcher([&] {
        while (!stop) {
            if (BUFFER_GetCBufferUsedSize(cb) > 37 || BUFFER_GetCBufferFreeSize(cb) < 0) ADD_FAILURE(), stop = true;
            BUFFER_DumpCBuffer(cb);
            std::this_thread::yield();
        }
    });
    std::mt19937 rng(7u);
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
        if (HasFailure()) stop = true;
    }
    stop = true;
    producer.join();
    watcher.join();
    EXPECT_EQ(consumed, total);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);  // CBUF_LOCKED if a reservation was left standing
}

}  // namespace
