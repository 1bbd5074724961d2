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
/* Unblocks SIGUSR2 in the calling thread; a pending one is handled now. */
void at_unblock_shutdown_signal(void);

#ifdef __cplusplus
}
#endif

#endif /* SIGNAL_WAIT_H */
