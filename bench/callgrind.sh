#!/bin/sh
# Instruction counts of the two AT round trips (UDP and USB tty), library and
# raw baseline, under valgrind's callgrind: steadier than times on a busy
# machine. Counts are user-space instructions of all threads of the process
# (the kernel's work in the system calls is not counted), per round trip.
#
#   bench/callgrind.sh BUILD_DIR [ROUND_TRIPS]
set -eu
build=${1:-build-bench}
n=${2:-2000}
out="$build/bench/callgrind"
command -v valgrind >/dev/null 2>&1 || { echo "callgrind: valgrind is not installed (apt-get install valgrind)"; exit 1; }
mkdir -p "$out"
rm -f "$out"/callgrind.out.*
for prog in at_bench_serial at_bench_tty; do
    exe="$build/bench/$prog"
    [ -x "$exe" ] || { echo "callgrind: $prog not built, skipped"; continue; }
    valgrind --tool=callgrind --collect-atstart=yes --callgrind-out-file="$out/callgrind.out.$prog.%p" \
        "$exe" --callgrind_roundtrips="$n" >"$out/$prog.log" 2>&1 ||
        { echo "callgrind: $prog failed:"; tail -20 "$out/$prog.log"; exit 1; }
done
# Each client-request dump is a file of its own whose "desc: Trigger:" line
# names the case and whose "totals:" line holds its instruction count.
echo "| round trip | instructions per round trip (library) | (raw baseline) | ratio |"
echo "|---|---|---|---|"
for path in udp usb; do
    lib=""; raw=""
    for f in "$out"/callgrind.out.*; do
        desc=$(sed -n 's/^desc: Trigger: Client Request: //p' "$f")
        total=$(sed -n 's/^totals: *//p' "$f" | cut -d' ' -f1)
        case "$desc" in
            "${path}_roundtrip library") lib=$total ;;
            "${path}_roundtrip raw_echo") raw=$total ;;
        esac
    done
    if [ -n "$lib" ] && [ -n "$raw" ]; then
        awk -v p="$path" -v l="$lib" -v r="$raw" -v n="$n" \
            'BEGIN { printf "| %s | %.0f | %.0f | %.2f |\n", p, l / n, r / n, l / r }'
    else
        echo "| $path | not measured | | |"
    fi
done
