#!/usr/bin/env bash
# Measures what the filter costs per socket call.
#
# Builds a Release tree with the benchmarks (build/bench, or $TARVEL_BENCH_BUILD),
# runs them with interleaved repetitions, prints the median times and the
# ratios the performance targets are stated in (each measured in this one
# run), and writes medians and ratios as JSON to the path it prints (the
# first argument, or build/bench/bench-results.json).
#
# Usage: scripts/bench.sh [results.json]
# Exits 1 when a target ratio is missed or could not be measured.
#   TARVEL_BENCH_REPETITIONS  repetitions per benchmark (default 9)
#   TARVEL_BENCH_MIN_TIME     seconds per repetition (default 0.2)
# Ratios come from CPU-time medians, which a busy machine disturbs least;
# real-time medians are written too.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TARVEL_BENCH_BUILD:-$root/build/bench}
results=${1:-$build/bench-results.json}
repetitions=${TARVEL_BENCH_REPETITIONS:-9}
min_time=${TARVEL_BENCH_MIN_TIME:-0.2}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEL_BENCH=ON >/dev/null
ninja -C "$build" -j2 tarvel_bench >/dev/null

raw=$build/bench-raw.json
"$build/tarvel_bench" \
  --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_min_time="$min_time" \
  --benchmark_report_aggregates_only=true \
  --benchmark_format=json >"$raw"

mkdir -p "$(dirname "$results")"
python3 - "$raw" "$results" <<'PY'
import json
import sys

raw_path, out_path = sys.argv[1], sys.argv[2]
with open(raw_path) as f:
    raw = json.load(f)

scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
medians = {}
for b in raw["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    k = scale[b.get("time_unit", "ns")]
    medians[b["run_name"]] = {"cpu_ns": b["cpu_time"] * k, "real_ns": b["real_time"] * k}

level = raw["context"].get("vector_level", "unknown")


def cpu(name):
    return medians[name]["cpu_ns"]


# (name, numerator, denominator, comparison, target); a target of None is
# shown for information only.
checks = [
    ("phrases 64 KiB, plain / fast", "phrases/plain/64KiB", "phrases/fast/64KiB", ">=", 500),
    ("phrases 64 KiB, fast / memchr", "phrases/fast/64KiB", "memchr_absent/64KiB", "<=",
     15 if level == "avx2" else 30),
    ("phrases 512 B, plain / fast", "phrases/plain/512B", "phrases/fast/512B", ">=", 300),
    ("phrases 1460 B, plain / fast", "phrases/plain/1460B", "phrases/fast/1460B", ">=", None),
    ("phrases 8 KiB, plain / fast", "phrases/plain/8KiB", "phrases/fast/8KiB", ">=", None),
    ("phrases 64 KiB with key word, plain / fast", "phrases/plain/64KiB_key",
     "phrases/fast/64KiB_key", ">=", 100),
    ("phrases 64 KiB phrase near end, plain / fast", "phrases/plain/64KiB_phrase_end",
     "phrases/fast/64KiB_phrase_end", ">=", None),
    ("phrases 64 KiB, plain / fast without SIMD", "phrases/plain/64KiB",
     "phrases/fast_scalar/64KiB", ">=", 100),
    ("phrases 64 KiB, SSSE3 / memchr", "phrases/fast_ssse3/64KiB", "memchr_absent/64KiB", "<=", 30),
    ("url list 2000 entries, plain / indexed", "url_list/plain/2000", "url_list/indexed/2000", ">=",
     200),
    ("send not a hello, HTTPS filter on / off", "send/data_https_on/1460B",
     "send/data_https_off/1460B", "<=", 1.5),
    ("send verdict 2000 entries, ClientHello / Host", "send/client_hello/2000",
     "send/host_header/2000", "<=", 1.1),
    # A denominator of None: the numerator's own median in ns.
    ("category of 1M domains, warm lookup (ns)", "category/compiled/1M", None, "<=", 150),
    ("category of 1M domains, oracle / compiled", "category/oracle/1M", "category/compiled/1M",
     ">=", None),
    ("category of 1M domains, cold lookup (ns)", "category/compiled_cold/1M", None, "<=", None),
]

ratios = {}
for name, num, den, op, target in checks:
    if num not in medians or (den is not None and den not in medians):
        continue
    value = cpu(num) / cpu(den) if den is not None else cpu(num)
    met = None if target is None else (value >= target if op == ">=" else value <= target)
    ratios[name] = {"value": round(value, 2), "target": None if target is None else f"{op} {target}",
                    "met": met}


def fmt_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


reps = max((b.get("repetitions", 0) for b in raw["benchmarks"]), default=0)
print(f"vector level: {level}; medians of {reps} interleaved repetitions")
print(f"{'benchmark':34} {'cpu median':>12} {'real median':>12}")
sizes = ["512B", "1460B", "8KiB", "64KiB", "64KiB_key", "64KiB_phrase_end", "2000"]


def display_order(name):
    group, _, size = name.rpartition("/")
    return (group, sizes.index(size) if size in sizes else len(sizes), size)


for name in sorted(medians, key=display_order):
    m = medians[name]
    print(f"{name:34} {fmt_time(m['cpu_ns']):>12} {fmt_time(m['real_ns']):>12}")
print()
print(f"{'ratio (cpu medians)':46} {'value':>9}  target")
for name, r in ratios.items():
    mark = "" if r["met"] is None else ("  met" if r["met"] else "  MISSED")
    print(f"{name:46} {r['value']:>9}  {r['target'] or '-'}{mark}")

with open(out_path, "w") as f:
    json.dump({"vector_level": level, "repetitions": reps,
               "context": {k: raw["context"].get(k) for k in
                           ("host_name", "num_cpus", "mhz_per_cpu")},
               "medians_ns": medians, "ratios": ratios}, f, indent=2)

missed = [name for name, r in ratios.items() if r["met"] is False]
absent = [name for name, num, den, _, target in checks
          if target is not None and (num not in medians or (den is not None and den not in medians))]
print(f"results: {out_path}")
if missed or absent:
    for name in missed:
        print(f"bench: target missed: {name}", file=sys.stderr)
    for name in absent:
        print(f"bench: target not measured: {name}", file=sys.stderr)
    sys.exit(1)
PY
