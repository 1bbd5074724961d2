#!/bin/sh
# Instruction counts under valgrind's callgrind, steadier than times on a busy
# machine: the two AT round trips (UDP and USB tty) and the single-threaded
# circular-buffer operations, each beside its raw baseline. Counts are
# user-space instructions of all threads of the process per operation; the
# kernel's work inside system calls is not counted.
#
#   bench/callgrind.sh BUILD_DIR [ROUND_TRIPS]
set -eu
build=${1:-build-bench}
n=${2:-2000}
out="$build/bench/callgrind"
command -v valgrind >/dev/null 2>&1 || { echo "callgrind: valgrind is not installed (apt-get install valgrind)"; exit 1; }
mkdir -p "$out"
rm -f "$out"/callgrind.out.*
run() {
    prog=$1; flag=$2
    exe="$build/bench/$prog"
    [ -x "$exe" ] || { echo "callgrind: $prog not built, skipped"; return 0; }
    valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out.$prog.%p" \
        "$exe" "$flag" >"$out/$prog.log" 2>&1 ||
        { echo "callgrind: $prog failed:"; tail -20 "$out/$prog.log"; exit 1; }
}
run at_bench_serial --callgrind_roundtrips="$n"
run at_bench_tty --callgrind_roundtrips="$n"
run at_bench_cbuffer --callgrind_ops="$((n * 10))"
# Each client-request dump is a file of its own; its "desc: Trigger:" line
# names the case ("<case> library" or "<case> baseline") and its "totals:"
# line holds the instruction count of all its operations.
for f in "$out"/callgrind.out.*; do
    desc=$(sed -n 's/^desc: Trigger: Client Request: //p' "$f")
    [ -n "$desc" ] || continue
    total=$(sed -n 's/^totals: *//p' "$f" | cut -d' ' -f1)
    case "$desc" in cbuf*) ops=$((n * 10)) ;; *) ops=$n ;; esac
    echo "$desc|$total|$ops"
done | awk -F'|' '
    { split($1, w, " "); side = w[length(w)]; name = substr($1, 1, length($1) - length(side) - 1);
      per[name, side] = $2 / $3; if (!(name in seen)) { seen[name] = 1; order[++k] = name } }
    END {
      print "| operation | instructions per operation, library | baseline | ratio |"
      print "|---|---|---|---|"
      for (i = 1; i <= k; ++i) {
        name = order[i]; base = name; sub(/reserve/, "block", base)
        l = per[name, "library"]; b = per[base, "baseline"]
        if (b > 0) printf "| %s | %.0f | %.0f | %.2f |\n", name, l, b, l / b
        else printf "| %s | %.0f | | |\n", name, l
      }
    }'
