#!/usr/bin/env python3
"""Prints the benchmark table: each case's median beside its baseline's median
from the same run, and their ratio. Reads the JSON files that the benchmark
programs wrote with --benchmark_out (standard library only).

    bench/report.py [--load-before L] [--load-after L] out1.json [out2.json ...]
"""
import argparse
import datetime
import json
import os
import subprocess

# (case, library benchmark, baseline benchmark, kind, target)
#   kind "time":       ratio = library time / baseline time
#   kind "throughput": ratio = library bytes/s / baseline bytes/s
#   kind "overhead":   library time - baseline time, in ns
#   kind "absolute":   library time per cycle against a limit in microseconds
#   target: ("<=", x) or (">=", x) on the ratio, ("<us", x) on the time, None
CASES = [
    ("UDP AT round trip, info lines filtered", "udp_roundtrip/0/real_time",
     "udp_raw_echo/real_time", "time", ("<=", 1.25)),
    ("UDP AT round trip, info lines on (discarding logger)", "udp_roundtrip/1/real_time",
     "udp_raw_echo/real_time", "time", None),
    ("USB tty round trip, info lines filtered", "usb_roundtrip/0/real_time",
     "usb_raw_echo/real_time", "time", ("<=", 1.25)),
    ("USB tty round trip, info lines on (discarding logger)", "usb_roundtrip/1/real_time",
     "usb_raw_echo/real_time", "time", None),
    ("in-process send, channel 18, info lines filtered", "inproc_send/0",
     "direct_callback", "overhead", None),
    ("in-process send, channel 18, info lines on (discarding logger)", "inproc_send/1",
     "direct_callback", "overhead", None),
    ("circular buffer put+get block, 16 B", "cbuf_block/16", "memcpy_locked/16", "throughput", None),
    ("circular buffer put+get block, 256 B", "cbuf_block/256", "memcpy_locked/256", "throughput", None),
    ("circular buffer put+get block, 4 KiB", "cbuf_block/4096", "memcpy_locked/4096", "throughput",
     (">=", 0.7)),
    ("circular buffer reserve/commit, 16 B", "cbuf_reserve/16", "memcpy_locked/16", "throughput", None),
    ("circular buffer reserve/commit, 256 B", "cbuf_reserve/256", "memcpy_locked/256", "throughput", None),
    ("circular buffer reserve/commit, 4 KiB", "cbuf_reserve/4096", "memcpy_locked/4096", "throughput",
     (">=", 0.7)),
    ("circular buffer, two threads, 64 MiB through 4 KiB", "cbuf_stream_2t/real_time",
     "ring_stream_2t/real_time", "throughput", None),
    ("register + deregister, in-process channel 18", "register_cycle/18/real_time",
     "pthread_cycle/real_time", "absolute", ("<us", 200.0)),
    ("register + deregister, fake driver (device 6)", "register_cycle/6/real_time",
     "pthread_cycle/real_time", "absolute", ("<us", 200.0)),
    ("USB pause + resume (reader waiting in select)", "usb_pause_resume/manual_time",
     "pipe_2_roundtrips/real_time", "time", None),
]

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    """run_name -> {aggregate name -> entry}, and the context of the first file."""
    runs, context = {}, None
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context = context or data.get("context", {})
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                # A run that stopped with an error has no aggregates: keep
                # its message for the table.
                runs.setdefault(b["run_name"], {})["error"] = b.get("error_message", "error")
            if b.get("run_type") != "aggregate":
                continue
            runs.setdefault(b["run_name"], {})[b["aggregate_name"]] = b
    return runs, context


def time_ns(entry, name):
    # Cases timed on the wall clock (several threads, or manual timing) use
    # real time; single-threaded ones use the thread's CPU time, which a busy
    # machine disturbs less.
    key = "real_time" if ("real_time" in name or "manual_time" in name) else "cpu_time"
    return entry[key] * TO_NS[entry.get("time_unit", "ns")]


def fmt_time(ns):
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.1f µs" % (ns / 1e3)
    return "%.1f ns" % ns


def fmt_rate(bps):
    for unit, div in (("GB/s", 1e9), ("MB/s", 1e6), ("kB/s", 1e3)):
        if bps >= div:
            return "%.2f %s" % (bps / div, unit)
    return "%.0f B/s" % bps


def cv(runs, name):
    c = runs.get(name, {}).get("cv")
    if c is None:
        return "–"
    return "%.0f%%" % (100 * (c["real_time"] if "real_time" in name or "manual_time" in name else c["cpu_time"]))


def row(runs, case, lib, base, kind, target):
    for name in (lib, base):
        if "error" in runs.get(name, {}):
            return "| %s | error in %s: %s | | | | |" % (case, name, runs[name]["error"])
    if lib not in runs or base not in runs:
        missing = lib if lib not in runs else base
        return "| %s | not run (%s) | | | | |" % (case, missing)
    lm, bm = runs[lib]["median"], runs[base]["median"]
    lt, bt = time_ns(lm, lib), time_ns(bm, base)
    verdict = ""
    if kind == "throughput":
        lr, br = lm["bytes_per_second"], bm["bytes_per_second"]
        ratio = lr / br
        lib_s, base_s, ratio_s = fmt_rate(lr), fmt_rate(br), "%.3f" % ratio
    elif kind == "overhead":
        ratio = lt / bt
        lib_s, base_s = fmt_time(lt), fmt_time(bt)
        ratio_s = "+%.0f ns (×%.0f)" % (lt - bt, ratio)
    else:
        ratio = lt / bt
        lib_s, base_s, ratio_s = fmt_time(lt), fmt_time(bt), "%.3f" % ratio
    if target:
        op, limit = target
        ok = {"<=": ratio <= limit, ">=": ratio >= limit, "<us": lt / 1e3 < limit}[op]
        want = {"<=": "≤ %.2f" % limit, ">=": "≥ %.2f" % limit, "<us": "< %.0f µs" % limit}[op]
        verdict = "%s: %s" % (want, "met" if ok else "**missed**")
    return "| %s | %s | %s | %s | %s / %s | %s |" % (case, lib_s, base_s, ratio_s, cv(runs, lib),
                                                   cv(runs, base), verdict)


def machine():
    model = "unknown"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return model, os.cpu_count()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--load-before", default="?")
    ap.add_argument("--load-after", default="?")
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()
    runs, context = load(args.files)
    model, cores = machine()
    reps = next((e["median"].get("repetitions") for e in runs.values() if "median" in e), "?")
    print("Run: %s UTC on %s, %s cores; load average %s before, %s after; "
          "%s repetitions, median shown; libbenchmark itself built as %s." % (
              datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"), model, cores,
              args.load_before, args.load_after, reps, context.get("library_build_type", "?")))
    print()
    print("| case | library | baseline | ratio (library / baseline) | cv library / baseline | target |")
    print("|---|---|---|---|---|---|")
    for case in CASES:
        print(row(runs, *case))
    print()
    print("Times per operation: wall clock for the round trips, the two-thread stream, the")
    print("register cycle and the pause (other threads do part of the work); the thread's CPU")
    print("time for the single-threaded buffer and send cases. Throughput ratios are library over")
    print("baseline (higher is better); time ratios likewise (lower is better).")


if __name__ == "__main__":
    main()
