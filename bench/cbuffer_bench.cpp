// The circular buffer against plain memcpy under a lock: one thread moving
// blocks through it, and a producer and a consumer on two threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "buffer/cbuffer.h"

namespace {

// A data area that is a multiple of every block size keeps each block
// contiguous, so the reservation cases never take the short tail and each
// case moves exactly the bytes asked for.
constexpr Int16 kAreaSize = 16384;
constexpr size_t kStreamBytes = 64u << 20;
constexpr Int16 kStreamAreaSize = 4096;
constexpr Int16 kStreamChunk = 1024;

std::vector<UInt8> pattern(size_t n) {
    std::vector<UInt8> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<UInt8>(i * 7u + 1u);
    return v;
}

void BM_CBufBlock(benchmark::State& state) {
    atbench::setLogMode(atbench::LogMode::Filtered);
    const auto n = static_cast<Int16>(state.range(0));
    CBuffer* cbuf = BUFFER_CreateCBuffer(kAreaSize, -1);
    std::vector<UInt8> src = pattern(static_cast<size_t>(n)), dst(static_cast<size_t>(n));
    for (auto _ : state) {
        const Int16 put = BUFFER_PutCBufferBlock(cbuf, src.data(), n);
        const Int16 got = BUFFER_GetCBufferBlock(cbuf, dst.data(), n);
        if (put != n || got != n) state.SkipWithError("short put or get");
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    if (dst != src) state.SkipWithError("bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
    BUFFER_DestroyCBuffer(cbuf);
}

void BM_CBufReserve(benchmark::State& state) {
    atbench::setLogMode(atbench::LogMode::Filtered);
    const auto n = static_cast<Int16>(state.range(0));
    CBuffer* cbuf = BUFFER_CreateCBuffer(kAreaSize, -1);
    std::vector<UInt8> src = pattern(static_cast<size_t>(n)), dst(static_cast<size_t>(n));
    for (auto _ : state) {
        UInt8* block = nullptr;
        Int16 size = 0;
        if (BUFFER_LockCBufferPutBlock(cbuf, &block, &size) != CBUF_OK || size < n) {
            state.SkipWithError("short put reservation");
            break;
        }
        std::memcpy(block, src.data(), static_cast<size_t>(n));
        BUFFER_UnlockCBufferPutBlock(cbuf, n);
        BUFFER_LockCBufferGetBlock(cbuf, &block, &size);
        if (size < n) {
            state.SkipWithError("short get reservation");
            break;
        }
        std::memcpy(dst.data(), block, static_cast<size_t>(n));
        BUFFER_UnlockCBufferGetBlock(cbuf, n);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    if (dst != src) state.SkipWithError("bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
    BUFFER_DestroyCBuffer(cbuf);
}

// Baseline: the physical floor of a locked copy in and out, one uncontended
// lock and unlock around each copy, at a moving offset in an area of the same
// size.
void BM_MemcpyLocked(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<UInt8> area(static_cast<size_t>(kAreaSize));
    std::vector<UInt8> src = pattern(n), dst(n);
    std::mutex lock;
    size_t wrt = 0, rd = 0;
    for (auto _ : state) {
        lock.lock();
        std::memcpy(area.data() + wrt, src.data(), n);
        wrt = (wrt + n) % area.size();
        lock.unlock();
        lock.lock();
        std::memcpy(dst.data(), area.data() + rd, n);
        rd = (rd + n) % area.size();
        lock.unlock();
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    if (dst != src) state.SkipWithError("bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// Two threads: the producer is the benchmark thread, the consumer a thread of
// its own; 64 MiB go through per iteration and the consumer checks the bytes.
template <typename Ring>
void streamThrough(benchmark::State& state, Ring& ring) {
    // Byte p of the stream is a function of p modulo 251, a period prime to
    // every chunk and area size, so a lost, doubled or reordered chunk shows.
    std::vector<UInt8> src(251 + static_cast<size_t>(kStreamChunk));
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<UInt8>((i % 251) * 7u + 1u);
    for (auto _ : state) {
        bool intact = true;
        std::thread consumer([&] {
            std::vector<UInt8> chunk(static_cast<size_t>(kStreamChunk));
            size_t got = 0;
            unsigned spins = 0;
            while (got < kStreamBytes) {
                const size_t n = ring.get(chunk.data(), kStreamChunk);
                if (n == 0) {
                    atbench::relax(spins);
                    continue;
                }
                spins = 0;
                if (chunk[0] != src[got % 251]) intact = false;
                got += n;
            }
        });
        size_t sent = 0;
        unsigned spins = 0;
        while (sent < kStreamBytes) {
            const size_t want = std::min<size_t>(static_cast<size_t>(kStreamChunk), kStreamBytes - sent);
            const size_t n = ring.put(src.data() + sent % 251, static_cast<Int16>(want));
            if (n == 0) {
                atbench::relax(spins);
                continue;
            }
            spins = 0;
            sent += n;
        }
        consumer.join();
        if (!intact) state.SkipWithError("bytes differ");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kStreamBytes));
}

struct CBufRing {
    CBuffer* cbuf = BUFFER_CreateCBuffer(kStreamAreaSize, -1);
    ~CBufRing() { BUFFER_DestroyCBuffer(cbuf); }
    size_t put(const UInt8* p, Int16 n) { return static_cast<size_t>(BUFFER_PutCBufferBlock(cbuf, p, n)); }
    size_t get(UInt8* p, Int16 n) { return static_cast<size_t>(BUFFER_GetCBufferBlock(cbuf, p, n)); }
};

// Baseline: a plain ring of the same size under one std::mutex.
struct LockedRing {
    std::vector<UInt8> area = std::vector<UInt8>(static_cast<size_t>(kStreamAreaSize));
    std::mutex lock;
    size_t wrt = 0, rd = 0, used = 0;
    size_t put(const UInt8* p, Int16 want) {
        std::lock_guard<std::mutex> g(lock);
        size_t n = std::min(static_cast<size_t>(want), area.size() - used);
        const size_t first = std::min(n, area.size() - wrt);
        std::memcpy(area.data() + wrt, p, first);
        std::memcpy(area.data(), p + first, n - first);
        wrt = (wrt + n) % area.size();
        used += n;
        return n;
    }
    size_t get(UInt8* p, Int16 want) {
        std::lock_guard<std::mutex> g(lock);
        size_t n = std::min(static_cast<size_t>(want), used);
        const size_t first = std::min(n, area.size() - rd);
        std::memcpy(p, area.data() + rd, first);
        std::memcpy(p + first, area.data(), n - first);
        rd = (rd + n) % area.size();
        used -= n;
        return n;
    }
};

void BM_CBufStream2T(benchmark::State& state) {
    atbench::setLogMode(atbench::LogMode::Filtered);
    CBufRing ring;
    streamThrough(state, ring);
}

void BM_LockedRingStream2T(benchmark::State& state) {
    LockedRing ring;
    streamThrough(state, ring);
}

}  // namespace

// Instruction counts: n operations of each single-threaded case, counted
// under callgrind (see callgrind.sh). One operation is a put and a get.
int callgrindOps(long n) {
    for (Int16 size : {Int16{16}, Int16{4096}}) {
        // The dump names are kept in variables: the request reads them after
        // the statement that names them has ended.
        const std::string tag = std::to_string(size) + " B";
        const std::string blockName = "cbuf block " + tag + " library";
        const std::string reserveName = "cbuf reserve " + tag + " library";
        const std::string baseName = "cbuf block " + tag + " baseline";
        CBuffer* cbuf = BUFFER_CreateCBuffer(kAreaSize, -1);
        std::vector<UInt8> src = pattern(static_cast<size_t>(size)), dst(static_cast<size_t>(size));
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < n; ++i) {
            BUFFER_PutCBufferBlock(cbuf, src.data(), size);
            BUFFER_GetCBufferBlock(cbuf, dst.data(), size);
        }
        CALLGRIND_DUMP_STATS_AT(blockName.c_str());
        for (long i = 0; i < n; ++i) {
            UInt8* block = nullptr;
            Int16 got = 0;
            BUFFER_LockCBufferPutBlock(cbuf, &block, &got);
            std::memcpy(block, src.data(), static_cast<size_t>(size));
            BUFFER_UnlockCBufferPutBlock(cbuf, size);
            BUFFER_LockCBufferGetBlock(cbuf, &block, &got);
            std::memcpy(dst.data(), block, static_cast<size_t>(size));
            BUFFER_UnlockCBufferGetBlock(cbuf, size);
        }
        CALLGRIND_DUMP_STATS_AT(reserveName.c_str());
        BUFFER_DestroyCBuffer(cbuf);
        std::vector<UInt8> area(static_cast<size_t>(kAreaSize));
        std::mutex lock;
        size_t wrt = 0, rd = 0;
        const auto bytes = static_cast<size_t>(size);
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < n; ++i) {
            lock.lock();
            std::memcpy(area.data() + wrt, src.data(), bytes);
            wrt = (wrt + bytes) % area.size();
            lock.unlock();
            lock.lock();
            std::memcpy(dst.data(), area.data() + rd, bytes);
            rd = (rd + bytes) % area.size();
            lock.unlock();
        }
        CALLGRIND_DUMP_STATS_AT(baseName.c_str());
        benchmark::DoNotOptimize(dst.data());
    }
    return 0;
}

BENCHMARK(BM_CBufBlock)->Name("cbuf_block")->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_CBufReserve)->Name("cbuf_reserve")->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_MemcpyLocked)->Name("memcpy_locked")->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_CBufStream2T)->Name("cbuf_stream_2t")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LockedRingStream2T)->Name("ring_stream_2t")->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return atbench::runBenchmarks(argc, argv, "--callgrind_ops=", callgrindOps);
}
