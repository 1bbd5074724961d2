// A port's descriptor as a reader may use it while another thread closes it.
//
// Why reading needs a guard. The serial manager stops a reader by closing its
// device on another thread and then signalling the reader, which may be
// waiting on the descriptor at that moment. Once the port is closed, the next
// open() or socket() anywhere in the process may get the same descriptor
// number, so a reader that goes on from its wait with the number it took
// earlier could read another file's data. Each port therefore has one FdGuard:
// a lock and a generation. A reader takes the descriptor and the generation
// together under the lock (snapshot); after every wait it reads only under
// the lock and only if the generation is unchanged (readIfCurrent); a close
// retires the descriptor under the same lock and bumps the generation before
// the number can be handed out again (retire). A read therefore reaches the
// port's own file or nothing. The lock is held only for that one non-waiting
// step, never across a wait, so it never delays a close for long.
//
// Opening needs no lock: it only publishes a new descriptor, and no reader of
// the port runs while the port is closed.
#pragma once

#include <atomic>
#include <mutex>

#include "../osal/kova_types.h"

// True when fd can go into an fd_set: 0 <= fd < FD_SETSIZE. A number outside
// that range would make FD_SET write outside the set.
bool fdFitsSelect(int fd);

struct FdGuard;

// The descriptor a read works on and the generation it was taken at. A
// snapshot without a guard stands for a bare descriptor that the caller
// passed in itself; it is never checked and never lost.
struct FdSnapshot {
    int fd;
    UInt32 generation;
    FdGuard* guard;
};

// One port's lock and generation.
struct FdGuard {
    // Serialises the retirement of the port's descriptor against the checked
    // reads, and against writes that must not reach a reused number.
    std::mutex lock;
    // Bumped by every retirement; read without the lock by lost().
    std::atomic<UInt32> generation{0};

    // Takes the descriptor that loadFd() reads and the generation together.
    template <typename LoadFd>
    FdSnapshot snapshot(LoadFd loadFd) {
        std::lock_guard<std::mutex> guard(lock);
        return FdSnapshot{loadFd(), generation.load(), this};
    }

    // Runs closeFd() under the lock and then bumps the generation, so that
    // every snapshot taken before reads as lost from now on.
    template <typename CloseFd>
    void retire(CloseFd closeFd) {
        std::lock_guard<std::mutex> guard(lock);
        closeFd();
        generation.fetch_add(1);
    }
};

// A snapshot of a bare descriptor, never checked.
inline FdSnapshot bareSnapshot(int fd) { return FdSnapshot{fd, 0, nullptr}; }

// True when the port's descriptor was retired since the snapshot was taken.
// Without the lock this is only a hint for a quick way out; readIfCurrent is
// the check that counts.
inline bool lost(const FdSnapshot& s) {
    return s.guard != nullptr && s.guard->generation.load() != s.generation;
}

// Runs read() unless the descriptor was retired since the snapshot; the check
// and the read happen under the port's lock. Returns false, without running
// read(), when the descriptor is lost. read() must not wait.
template <typename Read>
bool readIfCurrent(const FdSnapshot& s, Read read) {
    std::unique_lock<std::mutex> guard;
    if (s.guard != nullptr) {
        guard = std::unique_lock<std::mutex>(s.guard->lock);
        if (lost(s)) return false;
    }
    read();
    return true;
}
