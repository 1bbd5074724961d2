/* The library's fatal checks.
 *
 * A broken precondition or broken internal consistency stops the process
 * through the platform's __assert2: bionic's libc on the device, the host
 * stand-in library (platform/bionic) elsewhere. The library imports the name,
 * so a host program that defines its own __assert2 gets the call. The
 * expression text is the system's own (logs and death tests match it), so it
 * is given as a string rather than derived from the condition.
 *
 * Each source file that asserts defines kSourceFile, the name passed as the
 * file. */
#ifndef AT_ASSERT_H
#define AT_ASSERT_H

#ifdef __cplusplus
extern "C" {
#endif

void __assert2(const char* file, int line, const char* function, const char* expression)
    __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

/* Stops the process with `text` unless `cond` holds, naming the calling
 * function. */
#define AT_ASSERT(cond, text) AT_ASSERT_IN(__func__, cond, text)

/* The same, naming `function`: for a check made in a helper on behalf of an
 * exported function whose name the report must carry. */
#define AT_ASSERT_IN(function, cond, text)                                   \
    do {                                                                     \
        if (!(cond)) __assert2(kSourceFile, __LINE__, (function), (text));  \
    } while (0)

#endif /* AT_ASSERT_H */
