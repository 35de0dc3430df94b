#!/usr/bin/env python3
"""Prints the table of ratios from codec_bench's JSON output.

    build/release/bench/codec_bench --benchmark_format=json \
        --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
        > codec.json
    bench/codec_ratios.py codec.json [more.json ...]

Times are CPU times per item; with repetitions, and over several files of runs
of the same program, the median of each benchmark is used. A ratio below 1 means veltra is faster than the other side. The script
reports; it never fails on a slow result.
"""
import json
import statistics
import sys
from collections import defaultdict

CLASSES = [
    ("ASCII 8 B", "ascii8"),
    ("ASCII 16 B", "ascii16"),
    ("ASCII 30 B", "ascii30"),
    ("ASCII 250 B", "ascii250"),
    ("Latin-1 accented (104 B)", "latin1_104"),
    ("CJK (102 B)", "cjk_102"),
    ("emoji mix (102 B)", "emoji_102"),
    ("text with U+0000 (120 B)", "nul_120"),
]


def load(paths):
    """Median nanoseconds per item and the counters, by benchmark name."""
    runs = []
    for path in paths:
        with open(path) if path != "-" else sys.stdin as f:
            runs += json.load(f)["benchmarks"]
    times, counters = defaultdict(list), {}
    for run in runs:
        if run.get("run_type") == "aggregate" or run.get("error_occurred"):
            continue
        name = run.get("run_name", run["name"])
        items = run.get("items_per_second")
        # items_per_second is measured on CPU time; its inverse is the time per item.
        times[name].append(1e9 / items if items else run["cpu_time"])
        counters[name] = run
    return {k: statistics.median(v) for k, v in times.items()}, counters


def ratio(times, a, b):
    return f"{times[a] / times[b]:.2f}" if a in times and b in times else "n/a"


def main():
    times, counters = load(sys.argv[1:] or ["-"])
    print("| string class | write: veltra / ICU | read: veltra / ICU "
          "| veltra / memcpy (write, read) | veltra ns (write, read) |")
    print("|---|---|---|---|---|")
    for label, key in CLASSES:
        w = ratio(times, f"write/veltra/{key}", f"write/icu/{key}")
        r = ratio(times, f"read/veltra/{key}", f"read/icu/{key}")
        wm = ratio(times, f"write/veltra/{key}", f"write/memcpy/{key}")
        rm = ratio(times, f"read/veltra/{key}", f"read/memcpy/{key}")
        ns = (f"{times.get(f'write/veltra/{key}', float('nan')):.1f}, "
              f"{times.get(f'read/veltra/{key}', float('nan')):.1f}")
        print(f"| {label} | {w} | {r} | {wm}, {rm} | {ns} |")
    print()
    parse = counters.get("parse/veltra/mix", {})
    print("| frame mix | value |")
    print("|---|---|")
    print(f"| parsePacket / byte-sum floor | {ratio(times, 'parse/veltra/mix', 'parse/bytesum/mix')} |")
    if parse:
        print(f"| heap allocations per frame (data model minimum) | "
              f"{parse['allocs_per_frame']:.2f} ({parse['model_min_per_frame']:.2f}) |")
    print(f"| describe speedup (stream-based / veltra) | "
          f"{ratio(times, 'describe/stream/mix', 'describe/veltra/mix')} |")
    print()
    print("| relayed moves, ns per frame | view | parsePacket | by hand | view / parsePacket |")
    print("|---|---|---|---|---|")
    for label, key in [("LONGLOC", "longloc"), ("compound of 20 LONGLOCs", "compound20")]:
        ns = [f"{times[f'relay/{s}/{key}']:.1f}" if f"relay/{s}/{key}" in times else "n/a"
              for s in ("view", "parse", "hand")]
        print(f"| {label} | {' | '.join(ns)} | "
              f"{ratio(times, f'relay/view/{key}', f'relay/parse/{key}')} |")
    joins(times)


def joins(times):
    print()
    print("| moves joined into compound frames, ns per element | appendElement | by hand | ratio |")
    print("|---|---|---|---|")
    v, h = "join/view/longloc40", "join/hand/longloc40"
    if v in times and h in times:
        print(f"| 40 LONGLOCs, 2 frames | {times[v]:.1f} | {times[h]:.1f} | {ratio(times, v, h)} |")


if __name__ == "__main__":
    main()
