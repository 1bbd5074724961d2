/* A host that defines its own __assert2 gets the library's fatal assertions:
 * the library imports the name rather than keeping a copy of its own. The
 * program links the shared library, as a host does, and breaks a
 * precondition; its __assert2 checks what it was given and ends the process
 * with 0. Any other way out is a failure. */
#include "buffer/cbuffer.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

void __assert2(const char* file, int line, const char* function, const char* expression)
    __attribute__((noreturn));

void __assert2(const char* file, int line, const char* function, const char* expression) {
    printf("host __assert2: %s:%d: %s: \"%s\"\n", file, line, function, expression);
    fflush(stdout);
    const int expected = strcmp(function, "BUFFER_GetCBufferUsedSize") == 0 &&
                         strcmp(expression, "cbuf != NULL") == 0 && line > 0 && file[0] != '\0';
    _exit(expected ? 0 : 2);
}

int main(void) {
    (void)BUFFER_GetCBufferUsedSize(NULL);
    printf("host_assert: the library returned from a broken precondition\n");
    return 1;
}
