// The life of one opening's reader thread, in one atomic word.
//
// A reader is created by the registration that opened the device, publishes
// its identity as its first act, may pass its ready check into its pass loop,
// and ends; the deregistration that closes the opening signals it (at most
// once) and joins it (exactly once). Every transition is one operation below,
// and every decision that depends on more than one fact (signal it only if it
// has not ended; a pause may wait for its OK only if it is in its loop and has
// not ended) is one atomic read or read-modify-write of the word, so no
// interleaving can fall between the facts. The bits are private to this type.
//
// Invariants between the bits, checked after every transition in debug builds:
//   started   => created          inLoop => started       ended => started
//   stopSent  => started          signalTaken => stopSent
//   inHostRead => inLoop and not ended
#pragma once

#include <pthread.h>

#include <atomic>

#include "../osal/kova_types.h"

class ReaderLife {
   public:
    // Registering thread, right before the thread is created; abandon() when
    // the creation failed (no thread exists, nothing to join).
    void start();
    void abandon();
    // The reader's first act: its identity, then "started".
    void publish();
    // The reader passed its ready check and owns its opening's semaphores.
    void enterLoop() { transition(kInLoop, 0); }
    // Around a host driver's read, while SIGUSR2 is let in.
    void enterHostRead() { transition(kInHostRead, 0); }
    void leaveHostRead() { transition(0, kInHostRead); }
    // The SIGUSR2 handler ran on the reader.
    void signalTaken() { transition(kSignalTaken, 0); }

    struct Ending {
        bool awaitSignal;  // a deregistration committed to signal it and the signal is not handled yet
        bool inLoop;       // it had passed its ready check
    };
    // The reader's last act: from here no deregistration commits to signal it.
    Ending end();

    // Blocks while the reader has been created but has not published; the
    // reader publishes as its first act, holding no lock, so this is short.
    void waitUntilStarted() const;
    // Deregistration, before it stops the reader: true when a reader exists
    // that has not ended. The caller must then signal it; the reader waits
    // for that signal at its end.
    bool commitStop();
    // A USB pause may wait for this reader's OK: it is in its loop and has not
    // ended (and if it ends later, it answers at its end).
    bool canAnswerPause() const;
    // The reader is inside a host driver's read, where a signal can be lost.
    bool inHostRead() const;
    // A deregistration has committed to stop this reader.
    bool stopCommitted() const { return has(kStopSent); }
    bool enteredLoop() const { return has(kInLoop); }
    // Joins the reader once, or detaches it when the caller is the reader
    // itself (deregistered from its own callback). False when no thread was
    // created.
    bool reap();

    pthread_t thread() const { return thread_.load(); }

   private:
    enum Bit : UInt32 {
        kCreated = 1u << 0,
        kStarted = 1u << 1,
        kInLoop = 1u << 2,
        kEnded = 1u << 3,
        kStopSent = 1u << 4,
        kSignalTaken = 1u << 5,
        kInHostRead = 1u << 6,
    };
    bool has(UInt32 bits) const { return (word_.load() & bits) == bits; }
    UInt32 transition(UInt32 set, UInt32 clear);
    static void check(UInt32 word);

    std::atomic<UInt32> word_{0};
    std::atomic<pthread_t> thread_{};
};
