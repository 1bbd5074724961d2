#!/bin/sh
# Runs every benchmark program that was built, with repetitions and the
# library's cases interleaved with their baselines, then prints the table.
#
#   bench/run.sh BUILD_DIR [REPETITIONS]
set -eu
build=${1:-build-bench}
reps=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
out="$build/bench/results"
mkdir -p "$out"
rm -f "$out"/*.json
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for prog in at_bench_cbuffer at_bench_serial at_bench_tty; do
    exe="$build/bench/$prog"
    [ -x "$exe" ] || { echo "bench: $prog not built, skipped"; continue; }
    echo "bench: running $prog"
    "$exe" --benchmark_repetitions="$reps" \
           --benchmark_enable_random_interleaving=true \
           --benchmark_report_aggregates_only=true \
           --benchmark_min_time="${BENCH_MIN_TIME:-0.3}" \
           --benchmark_out="$out/$prog.json" --benchmark_out_format=json \
           >"$out/$prog.txt" 2>&1 || { echo "bench: $prog failed:"; cat "$out/$prog.txt"; exit 1; }
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
python3 "$here/report.py" --load-before "$load_before" --load-after "$load_after" "$out"/*.json \
    | tee "$out/table.md"
