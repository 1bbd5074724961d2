#!/bin/sh
# Runs each named fuzz target for a set time over a working copy of its seed
# corpus and prints one line of figures per target. Fails when a target
# reports a crash, a leak or a timeout; the input that did it is kept in
# <build>/artifacts/<name>/.
#
#   scripts/run_fuzz.sh BUILD_DIR SECONDS TARGET...
# Extra libFuzzer flags of a target come from fuzz/<name>.options (one line).
set -u
build="$1"; seconds="$2"; shift 2
status=0
summary=""
for name in "$@"; do
    exe="$build/fuzz/${name}_fuzz"
    work="$build/corpus/$name"
    artifacts="$build/artifacts/$name"
    log="$build/fuzz-$name.log"
    mkdir -p "$work" "$artifacts"
    [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null
    opts=""
    [ -f "fuzz/$name.options" ] && opts="$(cat "fuzz/$name.options")"
    echo "fuzz: $name for ${seconds}s"
    # shellcheck disable=SC2086
    "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" $opts "$work" >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1)
    line="$name: exit $rc, ${execs:-?} executions, ${cov:-no coverage line}"
    if [ "$rc" -ne 0 ]; then
        status=1
        line="$line  FAILED (log $log)"
        tail -n 40 "$log"
    fi
    summary="$summary
$line"
done
echo "fuzz summary:$summary"
exit $status
