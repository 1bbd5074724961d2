#!/bin/bash
# Planted faults: every faults/*.patch must make the tests fail.
#
#   scripts/faults.sh [scratch dir] [patch...]
#
# The tracked files of this working tree are copied to <scratch>/src (default
# build-faults/src; only files whose content changed are rewritten, so the
# build in <scratch>/build stays incremental). Each patch is applied there,
# the tests are built and run, and the patch is taken back out. A patch may
# name the ctest labels that should catch it in a first line such as
# "# labels: buffer serialapi"; then only those areas' test programs are built
# and run. Without that line the whole suite runs.
#
# One line per patch: "caught", "MISSED", "NO-APPLY" (the patch no longer
# applies to the tree) or "NO-BUILD" (the patched tree does not compile, so
# the fault tests nothing). The exit status is 1 unless every patch was caught.
set -u -o pipefail
top=$(git rev-parse --show-toplevel) || exit 2
cd "$top" || exit 2
scratch=$(realpath -m "${1:-build-faults}")
shift $(( $# > 0 ? 1 : 0 ))
patches=("$@")
[ ${#patches[@]} -gt 0 ] || patches=(faults/*.patch)
src=$scratch/src build=$scratch/build jobs=${JOBS:-2}
mkdir -p "$src" "$build"
# git apply inside the scratch copy, which must not take the enclosing
# working tree for its repository.
gapply() { (cd "$src" && GIT_CEILING_DIRECTORIES=$scratch git apply "$@"); }

# A patch left applied by an interrupted run would survive the copy below
# (its file may match the tree again with an older time stamp than its
# objects), so an interrupted scratch copy starts over.
if [ -e "$scratch/patched" ]; then rm -rf "$src" "$build"; mkdir -p "$src" "$build"; fi

# Copy the tree: tracked files with their working-tree content.
git ls-files -z | sort -z > "$scratch/files"
while IFS= read -r -d '' f; do
    [ -e "$f" ] || continue
    cmp -s "$f" "$src/$f" 2>/dev/null && continue
    mkdir -p "$src/$(dirname "$f")" && cp -P "$f" "$src/$f"
done < "$scratch/files"
# Files no longer tracked would still be picked up by the test globs.
(cd "$src" && find . -type f -printf '%P\0' | sort -z) |
    comm -z -23 - "$scratch/files" | (cd "$src" && xargs -0 -r rm -f)

cmake -S "$src" -B "$build" -DAT_WERROR=ON > "$scratch/configure.log" 2>&1 ||
    { echo "faults: configuring the scratch copy failed, see $scratch/configure.log"; exit 2; }

missed=0
for patch in "${patches[@]}"; do
    name=$(basename "$patch" .patch)
    abs=$(realpath "$patch")
    labels=$(sed -n '1s/^# *labels: *//p' "$abs" | tr ',' ' ')
    if ! gapply --check "$abs" 2>/dev/null; then
        printf '%-48s NO-APPLY\n' "$name"; missed=1; continue
    fi
    gapply "$abs" && touch "$scratch/patched"
    targets=() filter=()
    for label in $labels; do
        for t in "$src"/tests/"$label"/*_test.cpp; do
            [ -e "$t" ] && targets+=(--target "${label}_$(basename "$t" .cpp)")
        done
    done
    [ -n "$labels" ] && filter=(-L "^($(echo $labels | tr ' ' '|'))\$")
    log=$scratch/$name.log
    if ! cmake --build "$build" -j "$jobs" "${targets[@]}" > "$log" 2>&1; then
        result=NO-BUILD; missed=1
    elif ctest --test-dir "$build" --no-tests=error -j "$jobs" --stop-on-failure "${filter[@]}" >> "$log" 2>&1; then
        result=MISSED; missed=1
    else
        result=caught
    fi
    # Take the fault out again; the touched files get a new time stamp, so
    # the next build recompiles them.
    gapply -R "$abs" && rm -f "$scratch/patched"
    gapply --numstat "$abs" | cut -f3 | (cd "$src" && xargs -r touch)
    printf '%-48s %s%s\n' "$name" "$result" "${labels:+ (${labels})}"
done
exit $missed
