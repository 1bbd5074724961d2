// A driver read on a thread of its own that keeps SIGUSR2 blocked, as the
// serial manager's reader threads do, with a SIGUSR2 handler installed the
// way the serial manager installs its own (bsd_signal: SA_RESTART).
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

inline std::atomic<int> g_handled{0};  // calls of the handler
inline void installSigusr2Handler() {
    bsd_signal(SIGUSR2, [](int) { g_handled.fetch_add(1); });
}

// With signalFirst the thread sends itself the signal before it reads, so
// that it is pending when the read's wait begins. The thread stays until the
// test is done with it, so that no signal goes to a thread that has gone; a
// signal still pending then is handled, as the serial manager's reader does.
class ReaderThread {
public:
    explicit ReaderThread(std::function<UInt16()> read, bool signalFirst = false)
        : read_(std::move(read)), signalFirst_(signalFirst) {
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
    void signal() { pthread_kill(thread_.native_handle(), SIGUSR2); }
    bool waitDone() const { return attest::waitUntil([this] { return done_.load(); }); }
    UInt16 result = 0;
    int error = 0;
    int handledBefore = -1;  // handler calls counted when the read began

private:
    void run() {
        at_block_shutdown_signal(nullptr);
        if (signalFirst_) pthread_kill(pthread_self(), SIGUSR2);
        handledBefore = g_handled.load();
        tid_ = static_cast<pid_t>(syscall(SYS_gettid));
        errno = 0;
        result = read_();
        error = errno;
        done_ = true;
        attest::waitUntil([this] { return finishing_.load(); }, std::chrono::seconds(30));
        sigset_t usr2;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
    }

    std::function<UInt16()> read_;
    bool signalFirst_;
    std::atomic<bool> done_{false}, finishing_{false};
    std::atomic<pid_t> tid_{0};
    std::thread thread_{[this] { run(); }};  // last: starts once the rest is set
};

}  // namespace ttytest
