#include "reader_life.h"

#include <cstdlib>

void ReaderLife::check([[maybe_unused]] UInt32 w) {
#ifndef NDEBUG
    auto implies = [w](UInt32 a, UInt32 b) { return (w & a) == 0 || (w & b) == b; };
    const bool ok = implies(kStarted, kCreated) && implies(kInLoop, kStarted) && implies(kEnded, kStarted) &&
                    implies(kStopSent, kStarted) && implies(kSignalTaken, kStopSent) &&
                    implies(kInHostRead, kInLoop) && ((w & kInHostRead) == 0 || (w & kEnded) == 0);
    if (!ok) std::abort();
#endif
}

UInt32 ReaderLife::transition(UInt32 set, UInt32 clear) {
    UInt32 seen = word_.load();
    while (!word_.compare_exchange_weak(seen, (seen | set) & ~clear)) {
    }
    check((seen | set) & ~clear);
    return seen;
}

void ReaderLife::start() { word_.store(kCreated); }

void ReaderLife::abandon() {
    word_.store(0);
    word_.notify_all();
}

void ReaderLife::publish() {
    thread_.store(pthread_self());
    transition(kStarted, 0);
    word_.notify_all();
}

ReaderLife::Ending ReaderLife::end() {
    const UInt32 before = transition(kEnded, 0);
    return {(before & kStopSent) != 0 && (before & kSignalTaken) == 0, (before & kInLoop) != 0};
}

void ReaderLife::waitUntilStarted() const {
    for (UInt32 seen = word_.load(); (seen & kCreated) != 0 && (seen & kStarted) == 0; seen = word_.load()) {
        word_.wait(seen);
    }
}

bool ReaderLife::commitStop() {
    UInt32 seen = word_.load();
    do {
        if ((seen & kStarted) == 0 || (seen & kEnded) != 0) return false;
    } while (!word_.compare_exchange_weak(seen, seen | kStopSent));
    check(seen | kStopSent);
    return true;
}

bool ReaderLife::canAnswerPause() const {
    const UInt32 w = word_.load();
    return (w & kInLoop) != 0 && (w & kEnded) == 0;
}

bool ReaderLife::inHostRead() const {
    const UInt32 w = word_.load();
    return (w & kInHostRead) != 0 && (w & kEnded) == 0;
}

bool ReaderLife::reap() {
    if (!has(kStarted)) return false;
    const pthread_t thread = thread_.load();
    if (pthread_equal(thread, pthread_self())) {
        // @model:reap-detach
        pthread_detach(thread);  // deregistered from its own callback: nobody else may join it
    } else {
        pthread_join(thread, nullptr);
    }
    return true;
}
