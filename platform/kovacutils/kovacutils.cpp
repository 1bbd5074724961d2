// Host stand-in for libkovacutils. See kovacutils_host.h for the choices it makes.
#include "kovacutils_host.h"

#include <pthread.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace {

enum class Kind : UInt8 { Free, Semaphore, Mutex };

struct SemSlot {
    std::mutex lock;  // guards creation, destruction and the blocking path
    std::condition_variable cv;
    Kind kind = Kind::Free;
    UInt16 generation = 1;
    // (generation << 16 | kind) << 32 | count: obtain and release work on
    // this word alone unless they must block or wake a blocked thread.
    std::atomic<uint64_t> state{0};
    std::atomic<UInt32> waiters{0};
    int nextFree = -1;
};

// Never destroyed (empty destructor): at exit a reader may still wait on a
// slot's condition variable, and destroying it then would block for ever.
union SemTable {
    SemSlot slot[KOVA_MAX_SEMAPHORES];
    SemTable() : slot() {}
    ~SemTable() {}
};
SemTable g_semTable;
SemSlot (&g_sems)[KOVA_MAX_SEMAPHORES] = g_semTable.slot;
std::mutex g_semFreeLock;
int g_semFreeHead = -1;
int g_semNeverUsed = 0;
std::atomic<UInt32> g_semLive{0};

constexpr uint64_t kCountMask = 0xFFFFFFFFull;

UInt32 makeHandle(int index, UInt16 generation) {
    return (static_cast<UInt32>(generation) << 16) | static_cast<UInt32>(index + 1);
}

uint64_t packState(UInt16 generation, Kind kind, UInt32 count) {
    return (static_cast<uint64_t>((static_cast<UInt32>(generation) << 16) | static_cast<UInt32>(kind)) << 32) | count;
}

SemSlot* slotOf(OSSemaphore handle) {
    if (handle == 0) return nullptr;
    UInt32 index = (handle & 0xFFFFu) - 1u;
    if (index >= KOVA_MAX_SEMAPHORES) return nullptr;
    return &g_sems[index];
}

// Whether state names the live semaphore of handle, of the wanted kind
// (Kind::Free accepts both kinds).
bool matches(uint64_t state, OSSemaphore handle, Kind wanted) {
    const UInt32 tag = static_cast<UInt32>(state >> 32);
    const auto kind = static_cast<Kind>(tag & 0xFFu);
    if ((tag >> 16) != (handle >> 16) || kind == Kind::Free) return false;
    return wanted == Kind::Free || kind == wanted;
}

int allocSlot() {
    std::lock_guard<std::mutex> guard(g_semFreeLock);
    if (g_semFreeHead >= 0) {
        int index = g_semFreeHead;
        g_semFreeHead = g_sems[index].nextFree;
        return index;
    }
    if (g_semNeverUsed < KOVA_MAX_SEMAPHORES) return g_semNeverUsed++;
    return -1;
}

void freeSlot(int index) {
    std::lock_guard<std::mutex> guard(g_semFreeLock);
    g_sems[index].nextFree = g_semFreeHead;
    g_semFreeHead = index;
}

OSSemaphore createSem(Kind kind, UInt32 initial) {
    int index = allocSlot();
    if (index < 0) return 0;
    SemSlot& slot = g_sems[index];
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.kind = kind;
    slot.state.store(packState(slot.generation, kind, initial));
    g_semLive.fetch_add(1, std::memory_order_relaxed);
    return makeHandle(index, slot.generation);
}

enum class Take { Taken, Empty, Invalid };

constexpr int kSpinTries = 200;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7)
    asm volatile("yield" ::: "memory");
#endif
}

Take tryTake(SemSlot& slot, OSSemaphore handle, Kind kind) {
    uint64_t cur = slot.state.load();
    for (;;) {
        if (!matches(cur, handle, kind)) return Take::Invalid;
        if ((cur & kCountMask) == 0) return Take::Empty;
        if (slot.state.compare_exchange_weak(cur, cur - 1)) return Take::Taken;
    }
}

OSStatus obtain(OSSemaphore handle, Kind kind, UInt32 timeoutTicks) {
    SemSlot* slot = slotOf(handle);
    if (slot == nullptr) return OSSTATUS_INVALID_HANDLE;
    Take r = tryTake(*slot, handle, kind);
    // A lock held for a few hundred instructions (the circular buffer's, a
    // unit of a device's lock) is usually free again after a short spin; going
    // to sleep at once would cost two context switches per hand-over. A try
    // without a timeout does not spin.
    for (int spin = 0; r == Take::Empty && timeoutTicks != 0 && spin < kSpinTries; ++spin) {
        cpuRelax();
        r = tryTake(*slot, handle, kind);
    }
    if (r == Take::Taken) return OSSTATUS_SUCCESS;
    if (r == Take::Invalid) return OSSTATUS_INVALID_HANDLE;
    // Blocking path. waiters is raised before the last look at the count, and
    // release raises the count before it looks at waiters (both sequentially
    // consistent), so either this thread sees the unit or the releaser sees
    // this thread and wakes it under the lock.
    std::unique_lock<std::mutex> guard(slot->lock);
    slot->waiters.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeoutTicks) * KOVA_TICK_MS);
    OSStatus status = OSSTATUS_TIMEOUT;
    for (;;) {
        r = tryTake(*slot, handle, kind);
        if (r != Take::Empty) {
            status = r == Take::Taken ? OSSTATUS_SUCCESS : OSSTATUS_INVALID_HANDLE;
            break;
        }
        if (timeoutTicks == OSSUSPEND_WAIT) {
            slot->cv.wait(guard);
        } else if (slot->cv.wait_until(guard, deadline) == std::cv_status::timeout) {
            r = tryTake(*slot, handle, kind);
            status = r == Take::Taken ? OSSTATUS_SUCCESS
                     : r == Take::Invalid ? OSSTATUS_INVALID_HANDLE : OSSTATUS_TIMEOUT;
            break;
        }
    }
    slot->waiters.fetch_sub(1);
    return status;
}

OSStatus release(OSSemaphore handle, Kind kind) {
    SemSlot* slot = slotOf(handle);
    if (slot == nullptr) return OSSTATUS_INVALID_HANDLE;
    uint64_t cur = slot->state.load();
    for (;;) {
        if (!matches(cur, handle, kind)) return OSSTATUS_INVALID_HANDLE;
        uint64_t next = cur;
        if (kind == Kind::Mutex) {
            next = (cur & ~kCountMask) | 1u;  // binary: releasing a free mutex leaves it free
        } else if ((cur & kCountMask) < UINT32_MAX) {
            next = cur + 1;
        }
        if (slot->state.compare_exchange_weak(cur, next)) break;
    }
    if (slot->waiters.load() != 0) {
        std::lock_guard<std::mutex> guard(slot->lock);
        slot->cv.notify_one();
    }
    return OSSTATUS_SUCCESS;
}

OSStatus destroy(OSSemaphore handle, Kind kind) {
    SemSlot* slot = slotOf(handle);
    if (slot == nullptr) return OSSTATUS_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        if (!matches(slot->state.load(), handle, kind)) return OSSTATUS_INVALID_HANDLE;
        slot->kind = Kind::Free;
        slot->generation = static_cast<UInt16>(slot->generation + 1);
        if (slot->generation == 0) slot->generation = 1;  // handles are never 0
        slot->state.store(packState(slot->generation, Kind::Free, 0));
        slot->cv.notify_all();  // waiters see the handle gone
    }
    g_semLive.fetch_sub(1, std::memory_order_relaxed);
    freeSlot(static_cast<int>(slot - g_sems));
    return OSSTATUS_SUCCESS;
}

// ---- tasks ----

constexpr int kMaxTasks = 1024;
struct TaskSlot {
    bool used = false;
    UInt16 generation = 1;
    char name[32] = {};
    UInt32 priority = 0;
    OSTaskEntryWArg entry = nullptr;
    UInt32 argument = 0;
};
TaskSlot g_tasks[kMaxTasks];
std::mutex g_taskLock;
std::atomic<UInt32> g_taskLive{0};
// The other tables have nothing to destroy either, so they too outlive every thread.
static_assert(std::is_trivially_destructible<TaskSlot>::value && std::is_trivially_destructible<std::mutex>::value,
              "the stand-in's tables must stay usable while static destructors run");

void* taskTrampoline(void* raw) {
    const int index = static_cast<int>(reinterpret_cast<intptr_t>(raw));
    OSTaskEntryWArg entry;
    UInt32 argument;
    char shortName[16];
    {
        std::lock_guard<std::mutex> guard(g_taskLock);
        entry = g_tasks[index].entry;
        argument = g_tasks[index].argument;
        // Thread names hold 15 characters; the slot keeps the whole name.
        std::memcpy(shortName, g_tasks[index].name, sizeof shortName - 1);
        shortName[sizeof shortName - 1] = '\0';
    }
    // Named here as well as by the creator: the creator's pthread_setname_np
    // runs after pthread_create returns, possibly after the entry has started,
    // and an entry that looks at its own name must already see it.
    pthread_setname_np(pthread_self(), shortName);
    entry(argument);
    {
        std::lock_guard<std::mutex> guard(g_taskLock);
        g_tasks[index].used = false;
        g_tasks[index].generation = static_cast<UInt16>(g_tasks[index].generation + 1);
        if (g_tasks[index].generation == 0) g_tasks[index].generation = 1;
    }
    g_taskLive.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
}

// ---- debug output ----

std::atomic<KovaDebugLogHook> g_debugHook{nullptr};
std::atomic<KovaXassertHook> g_xassertHook{nullptr};
std::atomic<UInt32> g_xassertCount{0};
std::atomic<UInt32> g_heapLive{0};

bool debugToStderr() {
    static const bool enabled = std::getenv("KOVA_DEBUG_LOG") != nullptr;
    return enabled;
}

}  // namespace

extern "C" {

OSSemaphore OSSEMAPHORE_Create(UInt32 initialCount, UInt32 /*mode*/) {
    return createSem(Kind::Semaphore, initialCount);
}
OSStatus OSSEMAPHORE_Obtain(OSSemaphore sem, UInt32 timeoutTicks) {
    return obtain(sem, Kind::Semaphore, timeoutTicks);
}
OSStatus OSSEMAPHORE_Release(OSSemaphore sem) { return release(sem, Kind::Semaphore); }
OSStatus OSSEMAPHORE_Destroy(OSSemaphore sem) { return destroy(sem, Kind::Semaphore); }

UInt32 OSSEMAPHORE_GetCnt(OSSemaphore sem) {
    SemSlot* slot = slotOf(sem);
    if (slot == nullptr) return 0;
    const uint64_t state = slot->state.load();
    return matches(state, sem, Kind::Free) ? static_cast<UInt32>(state & kCountMask) : 0;
}

OSSemaphore OSSEMAPHORE_createMutex(UInt32 /*mode*/) { return createSem(Kind::Mutex, 1); }
OSStatus OSSEMAPHORE_obtainMutex(OSSemaphore mutex, UInt32 timeoutTicks) {
    return obtain(mutex, Kind::Mutex, timeoutTicks);
}
OSStatus OSSEMAPHORE_releaseMutex(OSSemaphore mutex) { return release(mutex, Kind::Mutex); }
OSStatus OSSEMAPHORE_destroyMutex(OSSemaphore mutex) { return destroy(mutex, Kind::Mutex); }

UInt32 OSSEMAPHORE_GetLiveCount(void) { return g_semLive.load(); }

OSTask OSTASK_CreateWArg(OSTaskEntryWArg entry, const char* name, UInt32 priority, UInt32 stackBytes,
                         UInt32 argument, UInt32 /*options*/) {
    if (entry == nullptr) return 0;
    int index = -1;
    UInt16 generation = 0;
    {
        std::lock_guard<std::mutex> guard(g_taskLock);
        for (int i = 0; i < kMaxTasks; ++i) {
            if (!g_tasks[i].used) {
                index = i;
                break;
            }
        }
        if (index < 0) return 0;
        TaskSlot& slot = g_tasks[index];
        slot.used = true;
        std::snprintf(slot.name, sizeof slot.name, "%s", name != nullptr ? name : "");
        slot.priority = priority;
        slot.entry = entry;
        slot.argument = argument;
        generation = slot.generation;
    }
    // The requested size is what a small RTOS stack needs; glibc, the logger
    // and the sanitizers need more, so never go below KOVA_MIN_TASK_STACK.
    size_t stack = stackBytes;
    if (stack < KOVA_MIN_TASK_STACK) stack = KOVA_MIN_TASK_STACK;
    if (stack < static_cast<size_t>(PTHREAD_STACK_MIN)) stack = static_cast<size_t>(PTHREAD_STACK_MIN);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack);
    pthread_t thread;
    g_taskLive.fetch_add(1, std::memory_order_relaxed);
    int rc = pthread_create(&thread, &attr, taskTrampoline, reinterpret_cast<void*>(static_cast<intptr_t>(index)));
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        g_taskLive.fetch_sub(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(g_taskLock);
        g_tasks[index].used = false;
        return 0;
    }
    char shortName[16];
    std::snprintf(shortName, sizeof shortName, "%s", name != nullptr ? name : "");
    pthread_setname_np(thread, shortName);
    return (static_cast<UInt32>(generation) << 16) | static_cast<UInt32>(index + 1);
}

const char* OSTASK_GetName(OSTask task) {
    UInt32 index = (task & 0xFFFFu) - 1u;
    if (task == 0 || index >= static_cast<UInt32>(kMaxTasks)) return nullptr;
    std::lock_guard<std::mutex> guard(g_taskLock);
    if (!g_tasks[index].used || g_tasks[index].generation != (task >> 16)) return nullptr;
    return g_tasks[index].name;
}

UInt32 OSTASK_GetLiveCount(void) { return g_taskLive.load(); }

void OSTASK_Sleep(UInt32 ticks) {
    struct timespec ts;
    unsigned long long ms = static_cast<unsigned long long>(ticks) * KOVA_TICK_MS;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000L);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void* dbHEAP_Alloc(size_t size, const char* /*file*/, UInt32 /*line*/) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) g_heapLive.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void dbHEAP_Delete(void* block, const char* /*file*/, UInt32 /*line*/) {
    if (block == nullptr) return;
    std::free(block);
    g_heapLive.fetch_sub(1, std::memory_order_relaxed);
}

UInt32 dbHEAP_GetLiveBlocks(void) { return g_heapLive.load(); }

void KOVA_SetDebugLogHook(KovaDebugLogHook hook) { g_debugHook.store(hook); }
void KOVA_SetXassertHook(KovaXassertHook hook) { g_xassertHook.store(hook); }
UInt32 KOVA_GetXassertCount(void) { return g_xassertCount.load(); }

void Log_DebugOutputString(UInt32 channel, const char* text) {
    if (text == nullptr) return;
    if (KovaDebugLogHook hook = g_debugHook.load()) hook(channel, text);
    if (debugToStderr()) std::fprintf(stderr, "[dbg %u] %s\n", channel, text);
}

void Log_DebugPrintf(UInt32 channel, const char* format, ...) {
    if (format == nullptr) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log_DebugOutputString(channel, text);
}

void __xassert(const char* expression, const char* file, UInt32 line, Int32 value) {
    g_xassertCount.fetch_add(1, std::memory_order_relaxed);
    // A hook takes the report instead of stderr: tests and fuzzers that
    // provoke thousands of reports on purpose count them there.
    if (KovaXassertHook hook = g_xassertHook.load()) {
        hook(expression, file, line, value);
        return;
    }
    std::fprintf(stderr, "xassert: %s:%u: \"%s\" failed (value %d)\n", file != nullptr ? file : "?", line,
                 expression != nullptr ? expression : "?", value);
}

}  // extern "C"
