/* How SIGUSR2 stops a reader thread (the reader's side of it). This is the one place that explains it.
 *
 * The serial manager stops a reader by closing its device and sending it
 * SIGUSR2. The handler is installed with bsd_signal (SA_RESTART), so a plain
 * blocking read() or recvfrom() would be restarted and never return, and a
 * signal that arrives just before a wait begins would be lost. The handler
 * also takes a mutex, logs and may write to a UART, so it must never run
 * while the interrupted code holds a lock (the log's, a semaphore's).
 *
 * Therefore reader threads keep SIGUSR2 blocked from birth (the registering
 * thread blocks it around the thread's creation) to their end, except:
 * - inside a library driver's blocking wait, at_pselect_read()
 *   (drivers/signal_wait.h), which lets
 *   SIGUSR2 in only for the wait itself, atomically (pselect): a SIGUSR2 that
 *   is already pending, or that arrives during the wait, runs its handler and
 *   ends the wait with EINTR;
 * - around the read of a driver the host registered (at_open_signal_window):
 *   the host's code may wait in plain select() or poll(), which SIGUSR2 then
 *   interrupts with EINTR. There the handler only records the signal
 *   (at_defer_signal_here), and the reader runs the handler's work after
 *   the read has returned. Such a wait cannot take the signal atomically, so
 *   one that arrives just before it begins is lost: the serial manager sends
 *   it again while the reader is still in that read.
 * A reader ends by taking a signal that is still pending (or, when a
 * deregistration has committed to send one, waiting for it) without ever
 * unblocking it: a handler let in at the end could run while the thread is
 * torn down after its entry function has returned, where the C library or a
 * sanitizer may hold its allocator's lock. */
#ifndef READER_SIGNAL_H
#define READER_SIGNAL_H

#include <signal.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Blocks SIGUSR2 in the calling thread; returns the previous mask in *old
 * when old is not NULL. */
void at_block_shutdown_signal(sigset_t* old);
/* Takes a SIGUSR2 pending for the calling thread, which keeps it blocked:
 * returns 1 when there was one (its handler has not run), else 0. With
 * wait nonzero it waits until one arrives. errno is kept. */
int at_take_shutdown_signal(int wait);

/* Lets SIGUSR2 in for the calling thread until at_close_signal_window, which
 * blocks it again and returns 1 when a signal was recorded meanwhile. */
void at_open_signal_window(void);
int at_close_signal_window(void);
/* For the handler: 1 when the calling thread is inside an open window; the
 * signal is then recorded for at_close_signal_window. Async-signal-safe. */
int at_defer_signal_here(void);

#ifdef __cplusplus
}
#endif

#endif /* READER_SIGNAL_H */
