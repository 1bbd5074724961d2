#include "reader_signal.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace {

sigset_t shutdownSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    return set;
}

// Per reader thread. Touched by the thread before it opens a window, so the
// handler's access never allocates the thread's storage; a volatile
// sig_atomic_t is what a handler may write.
thread_local volatile sig_atomic_t tWindowOpen = 0;
thread_local volatile sig_atomic_t tDeferred = 0;

}  // namespace

extern "C" void at_block_shutdown_signal(sigset_t* old) {
    const sigset_t set = shutdownSet();
    pthread_sigmask(SIG_BLOCK, &set, old);
}

extern "C" int at_take_shutdown_signal(int wait) {
    const int savedErrno = errno;
    const sigset_t set = shutdownSet();
    const struct timespec none = {0, 0};
    int r;
    do {
        r = wait != 0 ? sigwaitinfo(&set, nullptr) : sigtimedwait(&set, nullptr, &none);
    } while (r < 0 && errno == EINTR);
    errno = savedErrno;
    return r == SIGUSR2 ? 1 : 0;
}

extern "C" void at_open_signal_window(void) {
    tDeferred = 0;
    tWindowOpen = 1;
    const sigset_t set = shutdownSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

extern "C" int at_close_signal_window(void) {
    at_block_shutdown_signal(nullptr);
    tWindowOpen = 0;
    const int deferred = tDeferred;
    tDeferred = 0;
    return deferred;
}

extern "C" int at_defer_signal_here(void) {
    if (tWindowOpen == 0) return 0;
    tDeferred = 1;
    return 1;
}
