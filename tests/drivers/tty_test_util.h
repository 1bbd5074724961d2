// A reader thread for the driver tests that end blocked reads with SIGUSR2.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "bionic_shim.h"
#include "drivers/signal_wait.h"
#include "osal/kova_types.h"
#include "wait.h"

namespace ttytest {

// SIGUSR2 handler installed the way the serial manager installs its own
// (bsd_signal: SA_RESTART); counts its calls.
inline std::atomic<int>& sigusr2Count() {
    static std::atomic<int> count{0};
    return count;
}
inline void installSigusr2Handler() {
    sigusr2Count().store(0);
    bsd_signal(SIGUSR2, [](int) { sigusr2Count().fetch_add(1); });
}

// A driver read on its own thread that keeps SIGUSR2 blocked, as the serial
// manager's reader threads do. With signalFirst the thread sends itself the
// signal before it reads, so that it is pending when the read's wait begins.
// The thread stays until the test has signalled it or is done with it, so
// that no signal goes to a thread that has gone; a signal still pending then
// is handled, as the serial manager's reader does on its way out.
class ReaderThread {
public:
    explicit ReaderThread(std::function<UInt16()> read, bool signalFirst = false)
        : read_(std::move(read)), signalled_(signalFirst) {
        attest::waitUntil([this] { return tid_.load() != 0; });
    }
    ~ReaderThread() {
        finishing_ = true;
        if (waitDone()) {
            thread_.join();
        } else {
            thread_.detach();  // the test has failed already; do not hang
        }
    }

    pid_t tid() const { return tid_.load(); }
    void signal() {
        pthread_kill(thread_.native_handle(), SIGUSR2);
        signalled_ = true;
    }
    bool waitDone(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return attest::waitUntil([this] { return done_.load(); }, limit);
    }
    UInt16 result() const { return result_; }
    int error() const { return errno_; }
    // Handler calls counted when the read began (signalFirst).
    int handledBefore() const { return handledBefore_; }

private:
    void run() {
        at_block_shutdown_signal(nullptr);
        if (signalled_) pthread_kill(pthread_self(), SIGUSR2);
        handledBefore_ = sigusr2Count().load();
        tid_ = static_cast<pid_t>(syscall(SYS_gettid));
        errno = 0;
        result_ = read_();
        errno_ = errno;
        done_ = true;
        attest::waitUntil([this] { return signalled_ || finishing_; }, std::chrono::seconds(30));
        sigset_t usr2;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
    }

    std::function<UInt16()> read_;
    std::atomic<bool> signalled_, done_{false}, finishing_{false};
    std::atomic<pid_t> tid_{0};
    UInt16 result_ = 0;
    int errno_ = 0, handledBefore_ = -1;
    std::thread thread_{[this] { run(); }};  // last: starts once the rest is set
};

}  // namespace ttytest
