#!/bin/sh
# Static analysis of the library sources (the product and its host stand-ins)
# with cppcheck. Exits non-zero on any finding. Checks: warning (likely
# bugs), performance and portability; the style family is left out because
# its findings are matters of taste that would bury the real ones. Before it,
# the function-length limit and clang's thread-safety analysis.
# Configuration: .cppcheck-suppressions at the top of the tree.
set -eu
cd "$(dirname "$0")/.."

dirs=""
for d in stubs serialapi drivers serialmgr buffer osal platform; do
    if [ -d "$d" ]; then dirs="$dirs $d"; fi
done

sources=""
for d in $dirs; do
    sources="$sources $(find "$d" -name '*.cpp' | sort)"
done

# No library function is longer than 60 lines.
# shellcheck disable=SC2086
python3 scripts/function_length.py 60 $sources

# The lock rules, checked by clang: every lock of the serial manager and the
# USB control pipe carries thread-safety attributes (osal/at_mutex.h). Only
# the analysis runs (-fsyntax-only), so this takes seconds.
for f in $sources; do
    clang++ -std=c++20 -fsyntax-only -Wthread-safety -Wthread-safety-beta -Werror \
        -I . -I osal -I platform/bionic -I platform/kovacutils -I /usr/include/android "$f" || exit 1
done

# shellcheck disable=SC2086
exec cppcheck --quiet --error-exitcode=1 \
    --std=c++20 --enable=warning,performance,portability \
    --library=posix --inline-suppr --suppressions-list=.cppcheck-suppressions \
    --template='{file}:{line}: {severity} [{id}] {message}' \
    -D__linux__ -D__GNUC__ -I . -I osal -I platform/bionic -I platform/kovacutils \
    $dirs
