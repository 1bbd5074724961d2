#!/bin/sh
# Exhaustive check of the serial manager's stop and pause protocol with spin
# (model/serialmgr.pml; see model/README.md).
#
#   model/check.sh [build directory]             default: build-model/
#   model/check.sh --selftest [build directory]  only the checker's own test
#
# 1. The model as it is must pass: no assertion fails, no invalid end state,
#    and the search covered every state (see "Stopped short" below).
# 2. Each variant that breaks the protocol on purpose must fail with the
#    counterexample it is meant to give: the text of the assertion it breaks,
#    or, for a deadlock, the position of every process left waiting. Any
#    other counterexample fails the check, so does none.
# 3. Each witness must fail: the scenario it names is reached.
# The bounds: MODEL_ROUNDS pause/resume rounds (default 2), MODEL_BLOCKS
# blocks from the device (default 2), MODEL_ACK_SLOTS OKs the ack pipe holds
# (default 4; more rounds need more, see serialmgr.pml). MODEL_MEMLIM (MB, default 8192) is the
# memory each verifier may use; a search that hits it has failed.
#
# Stopped short: pan prints "errors: 0" and exits 0 when it ran out of
# memory (-DMEMLIM or malloc), and says so only in its output; a search cut at
# the depth limit or made with bitstate or hash-compact hashing has not seen
# every state either. So the verdict comes from the output: a run that did not
# print the statistics of a full state-space search, printed any sign of a
# truncated one, or was killed, has failed, whatever it found. A search that
# found a counterexample says "Search not completed" because it stopped there;
# that alone is no failure.
set -eu

here="$(cd "$(dirname "$0")" && pwd)"
selftest=0
if [ "${1:-}" = --selftest ]; then selftest=1; shift; fi
out="${1:-build-model}"
rounds="${MODEL_ROUNDS:-2}"
blocks="${MODEL_BLOCKS:-2}"
memlim="${MODEL_MEMLIM:-8192}"
acks="${MODEL_ACK_SLOTS:-4}"
bounds="-DROUNDS=$rounds -DBLOCKS=$blocks -DACK_SLOTS=$acks"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

# stopped_short DIR: prints why the search in DIR/pan.txt did not cover its
# state space (nothing when it did, or when it ended at a counterexample).
stopped_short() {
    p="$1/pan.txt"
    if grep -q -e 'pan: out of memory' -e 'out of memory -- aborting' -e 'reached -DMEMLIM bound' "$p"; then
        echo "out of memory"
    elif grep -q 'max search depth too small' "$p"; then
        echo "search depth too small"
    elif grep -q '^Bit statespace search' "$p"; then
        echo "bitstate search (-DBITSTATE), not exhaustive"
    elif grep -q '^Hash-Compact' "$p"; then
        echo "hash-compact search (-DHC), not exhaustive"
    elif [ "$(cat "$1/pan.rc")" -ne 0 ]; then
        echo "pan exited with status $(cat "$1/pan.rc")"
    elif ! grep -q '^Full statespace search for:' "$p" || ! grep -q 'errors: [0-9]' "$p"; then
        echo "no result from pan (killed or crashed?)"
    elif grep -q 'errors: 0' "$p" && grep -q 'Search not completed' "$p"; then
        echo "search not completed"
    fi
}

# stuck_at DIR [spin options]: replays the trail and prints "Proc@mark" for
# each process not at a valid end state, sorted. A mark is the word after
# "@stuck:" in a comment on the line the process waits at; an unmarked line
# prints as "Proc@line N".
stuck_at() {
    d="$1"; shift
    f="$(cat "$d/model.name")"
    (cd "$d" && spin -t "$@" "$f" >replay.txt 2>&1) || true
    sed -n 's/^ *[0-9]*:[[:space:]]*proc *[0-9]* (\([A-Za-z0-9_]*\):[0-9]*) [A-Za-z0-9_]*\.pml:\([0-9]*\) (state [0-9]*)$/\1 \2/p' "$d/replay.txt" |
    while read -r proc line; do
        mark="$(sed -n "${line}s/.*@stuck:\([A-Za-z0-9_-]*\).*/\1/p" "$d/$f")"
        echo "$proc@${mark:-line $line}"
    done | sort | tr '\n' ' ' | sed 's/ $//'
}

# run NAME EXPECT [spin -D options]
#   EXPECT: "pass"; "assert:TEXT", the assertion pan must report violated
#   (its text as pan prints it, or the start of it); or "stuck:Proc@mark ...",
#   an invalid end state with exactly these processes waiting, at these marks.
#   Writes its verdict to NAME/verdict; a failed check also leaves NAME/failed.
#   RUN_BOUNDS, RUN_CFLAGS and RUN_PAN, when set, replace the bounds and add
#   to the compiler's and pan's options for that run; RUN_FILE names the
#   piece (model/*.pml, default serialmgr.pml).
run() {
    name="$1"; expect="$2"; shift 2
    order="$order $name"
    dir="$out/$name"
    rm -rf "$dir"; mkdir -p "$dir"
    f="${RUN_FILE:-serialmgr.pml}"
    cp "$here/$f" "$dir/"
    echo "$f" >"$dir/model.name"
    verdict="$dir/verdict"
    b="${RUN_BOUNDS:-$bounds}"
    (cd "$dir" && spin -a "$@" $b "$f" >spin.txt 2>&1) || {
        echo "FAIL  $name: spin could not build the verifier: $(cat "$dir/spin.txt")" >"$verdict"; touch "$dir/failed"; return
    }
    if [ "$expect" = pass ]; then
        # The full search: optimised, with state compression (less memory on a shared machine).
        cflags="-O2 -DSAFETY -DCOLLAPSE"; width=-w26
    else
        # The variants stop at their first counterexample: compile time dominates.
        cflags="-O0 -DSAFETY"; width=-w20
    fi
    (cd "$dir" && gcc $cflags -DMEMLIM="$memlim" ${RUN_CFLAGS:-} -o pan pan.c 2>gcc.txt) || {
        echo "FAIL  $name: gcc failed: $(cat "$dir/gcc.txt")" >"$verdict"; touch "$dir/failed"; return
    }
    rc=0
    (cd "$dir" && exec ./pan -m20000 $width ${RUN_PAN:-} >pan.txt 2>&1) || rc=$?
    echo "$rc" >"$dir/pan.rc"
    errors="$(sed -n 's/.*errors: \([0-9]*\).*/\1/p' "$dir/pan.txt")"
    first="$(grep -m1 '^pan:1:' "$dir/pan.txt" || true)"
    first="${first#pan:1: }"; first="${first% (at depth *}"
    stats="$(sed -n 's/^ *\([0-9]*\) states, stored.*/\1 states stored/p' "$dir/pan.txt"), $(sed -n 's/.*depth reached \([0-9]*\).*/depth \1/p' "$dir/pan.txt"), $(sed -n 's/^pan: elapsed time \(.*\)/\1/p' "$dir/pan.txt"), $(sed -n 's/^ *\([0-9.]*\)[[:space:]]*total actual memory usage/\1 MB/p' "$dir/pan.txt")"
    trail="      trail: (cd $dir && spin -t -p $* $b $f)"
    short="$(stopped_short "$dir")"
    if [ -n "$short" ]; then
        echo "FAIL  $name: the search stopped short: $short ($stats)" >"$verdict"; touch "$dir/failed"
    elif [ "$expect" = pass ]; then
        if [ "$errors" = 0 ]; then
            echo "ok    $name: no counterexample ($stats)" >"$verdict"
        else
            printf 'FAIL  %s: %s\n%s\n' "$name" "$first" "$trail" >"$verdict"; touch "$dir/failed"
        fi
    elif [ -z "$first" ]; then
        echo "FAIL  $name: expected a counterexample ($expect), spin found none ($stats)" >"$verdict"
        touch "$dir/failed"
    else
        case "$expect" in
            assert:*) got="${first#assertion violated }" ;;
            stuck:*)
                case "$first" in
                    "invalid end state") got="stuck:$(stuck_at "$dir" "$@" $b)" ;;
                    *) got="$first" ;;
                esac ;;
            *) got="unknown expectation" ;;
        esac
        case "$expect" in
            assert:*) case "$got" in "${expect#assert:}"*) matched=1 ;; *) matched=0 ;; esac ;;
            *) if [ "$got" = "$expect" ]; then matched=1; else matched=0; fi ;;
        esac
        if [ "$matched" = 1 ]; then
            echo "ok    $name: counterexample as expected: $got" >"$verdict"
        else
            printf 'FAIL  %s: expected "%s", got: %s\n%s\n' "$name" "$expect" "$got" "$trail" >"$verdict"
            touch "$dir/failed"
        fi
    fi
}

# verdicts: prints each check's verdict in the order run; 1 if any failed.
verdicts() {
    failed=0
    for name in $order; do
        if [ -f "$out/$name/verdict" ]; then cat "$out/$name/verdict"; else echo "FAIL  $name: no verdict"; failed=1; fi
        if [ -f "$out/$name/failed" ]; then failed=1; fi
    done
    return $failed
}

# The expected counterexamples of the variants; the self-test uses them too.
no_signal="stuck:Dereg@join Reader@end-signal"
code_ack_read="stuck:Dereg@drain Pauser@ack"

# selftest: runs checks that must each FAIL, for the reason given, under
# $out/selftest/; returns 0 when check.sh reported every one of them so.
selftest() (
    out="$out/selftest"
    mkdir -p "$out"
    order=""
    # The full search under a memory limit it reaches half-way: pan says
    # "errors: 0" and exits 0.
    memlim=600
    run memlim-protocol pass
    # A variant that finds nothing because its hash table alone does not fit.
    memlim=256 RUN_PAN=-w26
    run memlim-variant "$code_ack_read" -DCODE_ACK_READ -DNO_ACK_HOLD
    memlim=8192
    # A bitstate search has not seen every state, whatever it found.
    RUN_CFLAGS=-DBITSTATE RUN_PAN=-w16
    run bitstate-variant "$code_ack_read" -DCODE_ACK_READ -DNO_ACK_HOLD
    RUN_CFLAGS="" RUN_PAN=""
    # A deadlock at other positions than the ones named.
    run wrong-deadlock "$code_ack_read" -DNO_SIGNAL
    # An assertion other than the one named.
    run wrong-assertion "assert:( !(committed)" -DNO_JOIN
    verdicts >"$out/selftest.txt" || true
    bad=0
    check_reason() {
        if ! grep -q "^FAIL  $1: .*$2" "$out/selftest.txt"; then
            echo "model-check self-test: $1 was not reported as failing with \"$2\"" >&2; bad=1
        fi
    }
    check_reason memlim-protocol "the search stopped short: out of memory"
    check_reason memlim-variant "the search stopped short: out of memory"
    check_reason bitstate-variant "the search stopped short: bitstate"
    check_reason wrong-deadlock "expected \"$code_ack_read\", got: $no_signal"
    check_reason wrong-assertion "got: (readerDone"
    if [ "$bad" -ne 0 ]; then echo "model-check self-test: FAILED" >&2; return 1; fi
    echo "model-check self-test: every stopped-short or wrong counterexample was reported"
)

if [ "$selftest" = 1 ]; then
    echo "model-check self-test, in $out/selftest"
    rc=0
    selftest || rc=$?
    cat "$out/selftest/selftest.txt"
    exit $rc
fi

echo "model-check: ROUNDS=$rounds BLOCKS=$blocks ACK_SLOTS=$acks, in $out"
# The full search runs beside the variants (two cores).
order=""
run protocol pass &
order="protocol"
main=$!

# Broken on purpose: each must give the counterexample named. A deadlock names
# where each waiting process must be (the @stuck: marks in the piece).
# Piece "pause" (serialmgr.pml):
run code-ack-read        "$code_ack_read"                                      -DCODE_ACK_READ -DNO_ACK_HOLD
# (spare OKs: two more ack slots than the default to reach the deadlock)
RUN_BOUNDS="-DROUNDS=$rounds -DBLOCKS=$blocks -DACK_SLOTS=$((acks + 2))" \
run count-after-stop     "stuck:Pauser@ack"                                    -DCOUNT_AFTER_STOP -DCODE_ACK_READ -DNO_ACK_HOLD
run o3-shared-handle     "assert:(drvRef==0)"                                  -DSHARED_HANDLE
run o9-cb-no-flowlock    "assert:(stopRx==(cstate==2))"                        -DCB_NO_FLOWLOCK
run o9-no-override       "assert:( !((overEpoch>ackEpoch))||stopRx)"           -DNO_OVERRIDE
run no-signal            "$no_signal"                                          -DNO_SIGNAL
run pending-after-signal "assert:( !(committed)||(stopHandled&& !(pending)))"  -DPENDING_AFTER_SIGNAL
run release-before-clear "assert:( !(parkedNow)||(stopRx&&(cstate==2)))"       -DRELEASE_BEFORE_CLEAR
run no-join              "assert:(readerDone&&joined)"                         -DNO_JOIN
run no-ack-wait          "assert: !(paused1)"                                  -DNO_ACK_WAIT

# Witnesses: each scenario is reached.
for n in 1 2 3 4 5 6 7 8; do
    run "witness-$n" "assert:(($n!=$n)||" -DWITNESS=$n
done

# Piece "reconnect" (reconnect.pml): a full search, its variants and witnesses.
RUN_FILE=reconnect.pml RUN_PAN=-w20
run reconnect            pass
run o1-reader-writes-device "assert:(hOwn[h]==g)"                              -DREADER_WRITES_DEVICE
run o2-no-claim          "stuck:HostDereg1@join Reader@reglock"                -DNO_CLAIM
for n in 1 2 4; do
    run "reconnect-witness-$n" "assert:(($n!=$n)||" -DWITNESS=$n
done
RUN_FILE="" RUN_PAN=""

# Piece "bridge" (bridge.pml): two devices whose dataCbs send to each other,
# deregistered at once, and a second sender.
RUN_FILE=bridge.pml RUN_PAN=-w20
run bridge               pass
run o6-cb-waits-at-gate  "stuck:Dereg@units Dereg@units Reader@gate Reader@gate"  -DCB_WAITS_AT_GATE -DNO_SENDER
for n in 1 2; do
    run "bridge-witness-$n" "assert:(($n!=$n)||" -DWITNESS=$n
done
RUN_FILE="" RUN_PAN=""

# Piece "hostread" (hostread.pml): a reader in a host driver's read, the
# signal window, the lost signal and the resends.
RUN_FILE=hostread.pml RUN_PAN=-w20
run hostread             pass
run no-resend            "stuck:Dereg@join Reader@poll"                                   -DNO_RESEND
for n in 1 2; do
    run "hostread-witness-$n" "assert:(($n!=$n)||" -DWITNESS=$n
done
RUN_FILE="" RUN_PAN=""

# Piece "pause" with a second host thread that resumes twice, at any moments,
# and no read error: a reader then cannot end on its own, so a pause left
# waiting is a deadlock. Smaller bounds: one round, one block.
RUN_BOUNDS="-DROUNDS=1 -DBLOCKS=1 -DACK_SLOTS=$acks -DRESUMER -DNO_READ_ERROR" RUN_CFLAGS=-DCOLLAPSE
run resumer              pass
run no-resume-answer     "stuck:Pauser@ack"                                    -DNO_RESUME_ANSWER
run no-ack-hold          "stuck:Dereg@drain Pauser@ack"                        -DNO_ACK_HOLD
RUN_BOUNDS="" RUN_CFLAGS=""
run stale-stop-parks     "assert:(stopRx||(cstate!=1))"                        -DSTALE_STOP_PARKS

# The checker's own test: runs that stopped short or found another
# counterexample than the one named are reported as failures.
selftested=0
selftest >"$out/selftest.txt" 2>&1 || selftested=1

wait "$main"

failed=0
verdicts || failed=1
if [ "$selftested" -ne 0 ]; then
    cat "$out/selftest/selftest.txt" "$out/selftest.txt"
    failed=1
else
    tail -n 1 "$out/selftest.txt"
fi
if [ "$failed" -ne 0 ]; then
    echo "model-check: FAILED" >&2
    exit 1
fi
echo "model-check: all checks as expected"
