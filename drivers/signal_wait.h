/* Waits that a deregistration can always end.
 *
 * The serial manager stops a reader by closing its device and sending it
 * SIGUSR2. The handler is installed with bsd_signal (SA_RESTART), so a plain
 * blocking read() or recvfrom() would be restarted and never return, and a
 * signal that arrives just before a wait begins would be lost. Reader threads
 * therefore keep SIGUSR2 blocked, and every blocking wait of a driver goes
 * through at_pselect_read(), which unblocks SIGUSR2 only for the duration of
 * the wait, atomically (pselect). A SIGUSR2 that is already pending, or that
 * arrives during the wait, runs its handler and ends the wait with EINTR. */
#ifndef SIGNAL_WAIT_H
#define SIGNAL_WAIT_H

#include <sys/select.h>

#ifdef __cplusplus
extern "C" {
#endif

/* select() for reading on readfds with the calling thread's signal mask minus
 * SIGUSR2. timeoutUs < 0 waits without limit. Returns select's result; -1
 * with errno EINTR when a signal ended the wait. */
int at_pselect_read(int nfds, fd_set* readfds, long timeoutUs);

/* Blocks SIGUSR2 in the calling thread (reader threads call this first). */
void at_block_shutdown_signal(void);
/* Takes a SIGUSR2 that is pending for the calling thread, which keeps it
 * blocked, without waiting: returns 1 when there was one (its handler has not
 * run; the caller runs what it must), else 0. A reader ends with this rather
 * than by unblocking the signal: a handler let in at the end could run while
 * the thread is being torn down after its entry function has returned, where
 * the C library or a sanitizer may hold its allocator's lock, and the handler
 * logs. */
int at_take_shutdown_signal(void);

#ifdef __cplusplus
}
#endif

#endif /* SIGNAL_WAIT_H */
