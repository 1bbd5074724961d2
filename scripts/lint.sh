#!/bin/sh
# Static analysis of the library sources (the product and its host stand-ins)
# with cppcheck. Exits non-zero on any finding. Checks: warning (likely
# bugs), performance and portability; the style family is left out because
# its findings are matters of taste that would bury the real ones.
# Configuration: .cppcheck-suppressions at the top of the tree.
set -eu
cd "$(dirname "$0")/.."

dirs=""
for d in stubs serialapi drivers serialmgr buffer osal platform; do
    if [ -d "$d" ]; then dirs="$dirs $d"; fi
done

# shellcheck disable=SC2086
exec cppcheck --quiet --error-exitcode=1 \
    --std=c++20 --enable=warning,performance,portability \
    --library=posix --inline-suppr --suppressions-list=.cppcheck-suppressions \
    --template='{file}:{line}: {severity} [{id}] {message}' \
    -D__linux__ -D__GNUC__ -I . -I osal -I platform/bionic -I platform/kovacutils \
    $dirs
