#include "bionic_shim.h"

#include <android/log.h>
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) void __assert2(const char* file, int line,
                                                                  const char* function,
                                                                  const char* expression) {
    // Same shape as bionic's message, so death tests and logs read alike on both.
    std::fprintf(stderr, "%s:%d: %s: assertion \"%s\" failed\n", file, line, function, expression);
    std::fflush(stderr);
    __android_log_print(ANDROID_LOG_FATAL, "libc", "%s:%d: %s: assertion \"%s\" failed", file, line,
                        function, expression);
    std::abort();
}
