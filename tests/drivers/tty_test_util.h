// Helpers shared by the tty driver tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
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
inline void onSigusr2(int) { sigusr2Count().fetch_add(1); }
inline void installSigusr2Handler() {
    sigusr2Count().store(0);
    bsd_signal(SIGUSR2, onSigusr2);
}

// A driver read on its own thread that keeps SIGUSR2 blocked, as the serial
// manager's reader threads do. With holdBeforeRead the thread blocks the
// signal and then waits for release() before it reads, so that a test can
// signal it before the read's wait begins.
class ReaderThread {
public:
    explicit ReaderThread(std::function<UInt16()> read, bool holdBeforeRead = false)
        : read_(std::move(read)), held_(holdBeforeRead) {
        thread_ = std::thread([this] { run(); });
        attest::waitUntil([this] { return tid_.load() != 0; });
    }
    ~ReaderThread() {
        release();
        finishing_.store(true);
        if (waitDone(std::chrono::seconds(10))) {
            thread_.join();
        } else {
            thread_.detach();  // the test has failed already; do not hang
        }
    }
    ReaderThread(const ReaderThread&) = delete;
    ReaderThread& operator=(const ReaderThread&) = delete;

    pid_t tid() const { return tid_.load(); }
    void signal() {
        pthread_kill(thread_.native_handle(), SIGUSR2);
        signalled_.store(true);
    }
    void release() { held_.store(false); }
    bool waitDone(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return attest::waitUntil([this] { return done_.load(); }, limit);
    }
    UInt16 result() const { return result_; }
    int error() const { return errno_; }

private:
    void run() {
        at_block_shutdown_signal();
        tid_.store(static_cast<pid_t>(syscall(SYS_gettid)));
        while (held_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        errno = 0;
        result_ = read_();
        errno_ = errno;
        done_.store(true);
        // The thread stays alive until the test has signalled it (or is
        // finished with it), so that no signal goes to a thread that has
        // gone; a signal still pending is handled here, as the serial
        // manager's reader does on its way out.
        while (!signalled_.load() && !finishing_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        sigset_t usr2;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
    }

    std::function<UInt16()> read_;
    std::atomic<bool> held_;
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> done_{false};
    std::atomic<bool> signalled_{false};
    std::atomic<bool> finishing_{false};
    UInt16 result_ = 0;
    int errno_ = 0;
    std::thread thread_;
};

// Writes all of text to fd.
inline bool writeAll(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Reads from fd until want bytes have come or limit has passed.
inline std::string readSome(int fd, size_t want, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[256];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// True when fd has input waiting right now.
inline bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Bytes waiting in the input queue of a tty (slave side).
inline int inputQueued(int ttyFd) {
    int n = -1;
    ioctl(ttyFd, FIONREAD, &n);
    return n;
}

}  // namespace ttytest
