#include "signal_wait.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

extern "C" int at_pselect_read(int nfds, fd_set* readfds, long timeoutUs) {
    sigset_t waitMask;
    pthread_sigmask(SIG_BLOCK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGUSR2);
    struct timespec ts;
    struct timespec* limit = nullptr;
    if (timeoutUs >= 0) {
        ts.tv_sec = timeoutUs / 1000000L;
        ts.tv_nsec = (timeoutUs % 1000000L) * 1000L;
        limit = &ts;
    }
    return pselect(nfds, readfds, nullptr, nullptr, limit, &waitMask);
}

extern "C" void at_block_shutdown_signal(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

extern "C" int at_take_shutdown_signal(void) {
    const int savedErrno = errno;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    const struct timespec none = {0, 0};
    int r;
    do {
        r = sigtimedwait(&set, nullptr, &none);
    } while (r < 0 && errno == EINTR);
    errno = savedErrno;
    return r == SIGUSR2 ? 1 : 0;
}
