#!/bin/sh
# Exhaustive check of the serial manager's stop and pause protocol with spin
# (model/serialmgr.pml; see model/README.md).
#
#   model/check.sh [build directory]        default: build-model/
#
# 1. The model as it is must pass: no assertion fails, no invalid end state.
# 2. Each variant that breaks the protocol on purpose must fail, with the
#    property it is meant to break (so that no property passes vacuously).
# 3. Each witness must fail: the scenario it names is reached.
# The bounds: MODEL_ROUNDS pause/resume rounds (default 2), MODEL_BLOCKS
# blocks from the device (default 2).
set -eu

here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-build-model}"
rounds="${MODEL_ROUNDS:-2}"
blocks="${MODEL_BLOCKS:-2}"
bounds="-DROUNDS=$rounds -DBLOCKS=$blocks"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

# run NAME EXPECT [spin -D options]
#   EXPECT: "pass", or the text the first error line must contain. Writes its
#   verdict to NAME/verdict; a failed check also leaves NAME/failed.
#   RUN_BOUNDS, RUN_CFLAGS and RUN_PAN, when set, replace the bounds and add
#   to the compiler's and pan's options for that run.
run() {
    name="$1"; expect="$2"; shift 2
    order="$order $name"
    dir="$out/$name"
    rm -rf "$dir"; mkdir -p "$dir"
    cp "$here/serialmgr.pml" "$dir/"
    verdict="$dir/verdict"
    b="${RUN_BOUNDS:-$bounds}"
    (cd "$dir" && spin -a "$@" $b serialmgr.pml >spin.txt 2>&1) || {
        echo "FAIL  $name: spin could not build the verifier: $(cat "$dir/spin.txt")" >"$verdict"; touch "$dir/failed"; return
    }
    if [ "$expect" = pass ]; then
        # The full search: optimised, with state compression (less memory on a shared machine).
        cflags="-O2 -DSAFETY -DCOLLAPSE"; width=-w26
    else
        # The variants stop at their first counterexample: compile time dominates.
        cflags="-O0 -DSAFETY"; width=-w20
    fi
    (cd "$dir" && gcc $cflags ${RUN_CFLAGS:-} -o pan pan.c 2>gcc.txt) || {
        echo "FAIL  $name: gcc failed: $(cat "$dir/gcc.txt")" >"$verdict"; touch "$dir/failed"; return
    }
    (cd "$dir" && ./pan -m20000 $width ${RUN_PAN:-} >pan.txt 2>&1) || true
    errors="$(sed -n 's/.*errors: \([0-9]*\).*/\1/p' "$dir/pan.txt")"
    first="$(grep -m1 '^pan:1:' "$dir/pan.txt" || true)"
    stats="$(sed -n 's/^ *\([0-9]*\) states, stored.*/\1 states stored/p' "$dir/pan.txt"), $(sed -n 's/.*depth reached \([0-9]*\).*/depth \1/p' "$dir/pan.txt"), $(sed -n 's/^pan: elapsed time \(.*\)/\1/p' "$dir/pan.txt")"
    trail="      trail: (cd $dir && spin -t -p $* $b serialmgr.pml)"
    if grep -q 'max search depth too small' "$dir/pan.txt"; then
        echo "FAIL  $name: search depth too small ($stats)" >"$verdict"; touch "$dir/failed"
    elif [ "$expect" = pass ]; then
        if [ "$errors" = 0 ]; then
            echo "ok    $name: no counterexample ($stats)" >"$verdict"
        else
            printf 'FAIL  %s: %s\n%s\n' "$name" "$first" "$trail" >"$verdict"; touch "$dir/failed"
        fi
    else
        case "$first" in
            *"$expect"*) echo "ok    $name: counterexample as expected: ${first#pan:1: }" >"$verdict" ;;
            "") echo "FAIL  $name: expected a counterexample ($expect), spin found none ($stats)" >"$verdict"
                touch "$dir/failed" ;;
            *) printf 'FAIL  %s: expected "%s", got: %s\n%s\n' "$name" "$expect" "$first" "$trail" >"$verdict"
               touch "$dir/failed" ;;
        esac
    fi
}

echo "model-check: ROUNDS=$rounds BLOCKS=$blocks, in $out"
# The full search runs beside the variants (two cores).
order=""
run protocol pass &
order="protocol"
main=$!


# Broken on purpose: each must break the property named.
run no-signal            "invalid end state"  -DNO_SIGNAL
run pending-after-signal "stopHandled"        -DPENDING_AFTER_SIGNAL
run release-before-clear "invalid end state"  -DRELEASE_BEFORE_CLEAR
run no-join              "readerDone"         -DNO_JOIN
run no-gate              "invalid end state"  -DNO_GATE
run no-ack-wait          "invalid end state"  -DNO_ACK_WAIT
run parked-late          "invalid end state"  -DPARKED_LATE
# The same, for the delivery: deadlocks not reported (-E), one round, and the
# processes tried in reverse order, which reaches it soonest.
RUN_BOUNDS="-DROUNDS=1 -DBLOCKS=$blocks" RUN_CFLAGS=-DREVERSE RUN_PAN=-E
run no-ack-wait-delivery "paused1"            -DNO_ACK_WAIT
RUN_BOUNDS="" RUN_CFLAGS="" RUN_PAN=""

# Witnesses: each scenario is reached.
for n in 1 2 4 5 7 8 9 10 11 13; do
    run "witness-$n" "(($n!=$n)" -DWITNESS=$n
done

wait "$main"

failed=0
for name in $order; do
    if [ -f "$out/$name/verdict" ]; then cat "$out/$name/verdict"; else echo "FAIL  $name: no verdict"; failed=1; fi
    if [ -f "$out/$name/failed" ]; then failed=1; fi
done
if [ "$failed" -ne 0 ]; then
    echo "model-check: FAILED" >&2
    exit 1
fi
echo "model-check: all checks as expected"
