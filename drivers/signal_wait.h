/* The one blocking wait of the library's drivers. A reader thread keeps
 * SIGUSR2 blocked except inside this wait, which lets it in atomically, so
 * that the serial manager's stop signal ends the wait whatever its timing
 * (serialmgr/reader_signal.h explains the whole protocol). */
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

#ifdef __cplusplus
}
#endif

#endif /* SIGNAL_WAIT_H */
