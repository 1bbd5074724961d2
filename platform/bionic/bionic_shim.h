/* What only Android's libc has, for host builds. A device build drops this
 * shim and gets both symbols from bionic. */
#ifndef BIONIC_SHIM_H
#define BIONIC_SHIM_H

#include <signal.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Fatal assertion: prints "file:line: function: assertion "expr" failed" on
 * stderr and in the Android log, then aborts. */
void __assert2(const char* file, int line, const char* function, const char* expression)
    __attribute__((noreturn));

/* glibc exports bsd_signal but hides its declaration under the default
 * feature macros. It installs a handler with BSD semantics (SA_RESTART). */
typedef void (*bsd_sighandler_t)(int);
bsd_sighandler_t bsd_signal(int signum, bsd_sighandler_t handler);

#ifdef __cplusplus
}
#endif

#endif /* BIONIC_SHIM_H */
