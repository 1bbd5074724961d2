// A mutex whose lock rules clang checks at compile time (-Wthread-safety):
// the attribute macros, the mutex and its scoped lock.
#pragma once

#include <mutex>

// clang's thread-safety attributes; other compilers ignore them.
#if defined(__clang__)
#define AT_TSA(x) __attribute__((x))
#else
#define AT_TSA(x)
#endif
#define CAPABILITY(name) AT_TSA(capability(name))
#define SCOPED_CAPABILITY AT_TSA(scoped_lockable)
#define GUARDED_BY(m) AT_TSA(guarded_by(m))
#define PT_GUARDED_BY(m) AT_TSA(pt_guarded_by(m))
#define ACQUIRED_BEFORE(...) AT_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) AT_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) AT_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) AT_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) AT_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) AT_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) AT_TSA(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS AT_TSA(no_thread_safety_analysis)

// std::mutex carries no annotations in libstdc++; this one does.
class CAPABILITY("mutex") AtMutex {
   public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

   private:
    std::mutex m_;
};

// Marks a mutex that the caller has locked already and hands to an AtLock.
struct AtAdoptLock {};
inline constexpr AtAdoptLock kAdopt{};

class SCOPED_CAPABILITY AtLock {
   public:
    explicit AtLock(AtMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    AtLock(AtMutex& m, AtAdoptLock) REQUIRES(m) : m_(m) {}
    ~AtLock() RELEASE() { m_.unlock(); }
    AtLock(const AtLock&) = delete;
    AtLock& operator=(const AtLock&) = delete;

   private:
    AtMutex& m_;
};
