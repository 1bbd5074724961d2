#include "signal_wait.h"

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
