// The life of a device's reader thread, in one atomic word.
//
// A reader is created by a registration, publishes its identity as its first
// act, may pass its ready check into its pass loop, and ends; the
// deregistration signals it (at most once) and joins it (exactly once). Each
// bit below is one fact about the current reader; every decision that
// depends on two of them (signal it only if it has not ended; wait for the
// pause's acknowledgement only if it can still send one) is one atomic
// read-modify-write of the word, so no interleaving can fall between the two.
#pragma once

#include <pthread.h>

#include <atomic>

#include "../osal/kova_types.h"

struct ReaderLife {
    enum Bit : UInt32 {
        kCreated = 1u << 0,       // OSTASK_CreateWArg called; identity not yet published
        kStarted = 1u << 1,       // identity published: a thread exists to be joined
        kInLoop = 1u << 2,        // passed the ready check
        kEnded = 1u << 3,         // finished; takes no more signals and sends no more OKs
        kStopSent = 1u << 4,      // a deregistration committed to send SIGUSR2
        kSignalTaken = 1u << 5,   // the handler ran for that signal on the reader
        kPauseWaiting = 1u << 6,  // a USB pause waits for the reader's OK
        kInHostRead = 1u << 7,    // inside a host driver's read, SIGUSR2 let in
        kParked = 1u << 8,        // in the park loop since a USB pause cleared this bit
        kInPark = 1u << 9,        // saw stopRx set; reads no more before it sees stopRx clear
    };

    // Registering thread, right before the thread is created; abandon() when
    // the creation failed.
    void start();
    void abandon();
    // The reader's first act: its identity, then kStarted.
    void publish();
    void set(Bit bit) { word_.fetch_or(bit); }
    void clear(Bit bit) { word_.fetch_and(~static_cast<UInt32>(bit)); }
    bool has(Bit bit) const { return (word_.load() & bit) != 0; }

    // Blocks while the reader has been created but has not published.
    void waitUntilStarted();
    // Deregistration: true when a reader exists that has not ended; the caller
    // must then signal it (the reader waits for that signal at its end).
    bool commitStop();
    // USB pause (after it set stopRx): true when the reader is in its loop,
    // has not ended and is not parked already; the reader then answers with
    // an OK, by parking or at its end. A reader in kInPark looks at stopRx
    // again before its next read, so it needs no STOP.
    bool beginPauseWait();
    // The reader's last act: marks it ended, returns the bits before.
    UInt32 end() { return word_.fetch_or(kEnded); }
    // Joins the reader once (detaches it when the caller is the reader).
    // False when no thread was there.
    bool reap();

    pthread_t thread() const { return thread_.load(); }

   private:
    std::atomic<UInt32> word_{0};
    std::atomic<pthread_t> thread_{};
};
