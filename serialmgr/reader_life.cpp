#include "reader_life.h"

void ReaderLife::start() { word_.store(kCreated); }

void ReaderLife::abandon() {
    word_.store(0);
    word_.notify_all();
}

void ReaderLife::publish() {
    thread_.store(pthread_self());
    word_.fetch_or(kStarted);
    word_.notify_all();
}

void ReaderLife::waitUntilStarted() {
    // The reader publishes as its first act, holding no lock, so this wait is
    // short; the publish wakes it.
    for (UInt32 seen = word_.load(); (seen & kCreated) != 0 && (seen & kStarted) == 0; seen = word_.load()) {
        word_.wait(seen);
    }
}

namespace {

// Sets `add` if every bit of `need` is set and none of `refuse`.
bool setIf(std::atomic<UInt32>& word, UInt32 need, UInt32 refuse, UInt32 add) {
    UInt32 seen = word.load();
    do {
        if ((seen & need) != need || (seen & refuse) != 0) return false;
    } while (!word.compare_exchange_weak(seen, seen | add));
    return true;
}

}  // namespace

bool ReaderLife::commitStop() { return setIf(word_, kStarted, kEnded, kStopSent); }

bool ReaderLife::beginPauseWait() { return setIf(word_, kInLoop, kEnded | kInPark, kPauseWaiting); }

bool ReaderLife::reap() {
    // The word is cleared only after the join: until its end the reader must
    // still see kStopSent, or it would not wait for the signal. Callers hold
    // the device's regLock, so one reap runs at a time.
    if ((word_.load() & kStarted) == 0) return false;
    const pthread_t thread = thread_.load();
    if (pthread_equal(thread, pthread_self())) {
        pthread_detach(thread);  // deregistered from its own eventCb: nobody else may join it
    } else {
        pthread_join(thread, nullptr);
    }
    word_.store(0);
    return true;
}
