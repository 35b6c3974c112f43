#!/usr/bin/env bash
# Measures what tarvel.dll adds to one socket call, end to end, under Wine.
#
# Builds the mingw-x64 tree (unless $TARVEL_WINE_BENCH_BUILD names a built
# tree), runs tarvel_wine_bench.exe in the tree's Wine prefix: the same
# loopback send (190 bytes) and receive (1460 bytes) through tarvel's table
# and straight on the provider beneath it, on an HTTP port and on another
# port, with the smart filter on and a 2000-entry black list, in interleaved
# rounds; and the HTTP send with a category of a million domains active
# against the same send with none (both through tarvel). Prints the medians
# and the ratios (tarvel / lower provider; categories / none), and
# the parts of a verdict timed on their own (host and list match, phrase
# scans); writes them as JSON to the path it prints
# (the first argument, or build/mingw-x64/wine-bench-results.json).
#
# Usage: scripts/bench-wine.sh [results.json]
# Exits 1 when a ratio is above its target (1.05) or could not be measured.
#   TARVEL_WINE_BENCH_ROUNDS  rounds (default 101)
#   TARVEL_WINE_BENCH_CALLS   calls of each kind per round and way (default 32)
# The benchmark listens on 127.0.0.1:8080: no Windows test may run meanwhile.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TARVEL_WINE_BENCH_BUILD:-}
if [ -z "$build" ]; then
  build=$root/build/mingw-x64
  bash "$root/scripts/build.sh" mingw-x64 >/dev/null
fi
results=${1:-$build/wine-bench-results.json}
rounds=${TARVEL_WINE_BENCH_ROUNDS:-101}
calls=${TARVEL_WINE_BENCH_CALLS:-32}

raw=$build/wine-bench-raw.json
"$build/wine-run.sh" "$build/tarvel_wine_bench.exe" "$rounds" "$calls" >"$raw"

mkdir -p "$(dirname "$results")"
python3 - "$raw" "$results" <<'PY'
import json
import os
import platform
import statistics
import subprocess
import sys

raw_path, out_path = sys.argv[1], sys.argv[2]
with open(raw_path) as f:
    raw = json.load(f)

TARGET = 1.05


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def wine_version():
    try:
        env = dict(os.environ, PATH="/usr/lib/wine:" + os.environ.get("PATH", ""))
        return subprocess.run(["wine64", "--version"], capture_output=True, text=True,
                              env=env, check=False).stdout.strip() or "unknown"
    except OSError:
        return "unknown"


rows = {}
for row in raw["rows"]:
    tarvel, lower = row["tarvel_ns"], row["lower_ns"]
    if not tarvel or len(tarvel) != len(lower):
        continue
    t, l = statistics.median(tarvel), statistics.median(lower)
    paired = statistics.median(a / b for a, b in zip(tarvel, lower))
    ratio = t / l
    rows[row["name"]] = {"tarvel_median_ns": round(t, 1), "lower_median_ns": round(l, 1),
                         "ratio": round(ratio, 3), "paired_ratio_median": round(paired, 3),
                         "target": f"<= {TARGET}", "met": ratio <= TARGET}

machine = {"cpu": cpu_model(), "cpus": os.cpu_count(), "wine": wine_version(),
           "note": "Windows calls under Wine on Linux, loopback TCP"}
print(f"tarvel end to end under Wine ({machine['wine']}) on {machine['cpu']}, "
      f"{machine['cpus']} CPUs")
print(f"medians of {raw['rounds']} interleaved rounds of {raw['calls_per_round']} calls; "
      f"smart filter on, {raw['black_list_entries']}-entry black list")
print(f"{'call':18} {'tarvel':>10} {'lower':>10} {'ratio':>7} {'paired':>7}  target")
for name, r in rows.items():
    mark = "met" if r["met"] else "MISSED"
    print(f"{name:18} {r['tarvel_median_ns'] / 1e3:>8.2f}us {r['lower_median_ns'] / 1e3:>8.2f}us "
          f"{r['ratio']:>7.3f} {r['paired_ratio_median']:>7.3f}  {r['target']} {mark}")

parts = raw.get("parts_ns", {})
if parts:
    print("parts of a verdict on their own (medians, in the same process):")
    for name, ns in parts.items():
        print(f"  {name:30} {ns / 1e3:>8.2f}us")

with open(out_path, "w") as f:
    json.dump({"machine": machine, "rounds": raw["rounds"],
               "calls_per_round": raw["calls_per_round"],
               "request_bytes": raw["request_bytes"], "reply_bytes": raw["reply_bytes"],
               "black_list_entries": raw["black_list_entries"],
               "smart_filter": raw["smart_filter"], "rows": rows,
               "parts_ns": parts}, f, indent=2)
print(f"results: {out_path}")

expected = ["send/http_port", "recv/http_port", "send/other_port", "recv/other_port",
            "send/http_port_categories"]
failed = False
for name in expected:
    if name not in rows:
        print(f"bench-wine: not measured: {name}", file=sys.stderr)
        failed = True
    elif not rows[name]["met"]:
        print(f"bench-wine: target missed: {name} {rows[name]['ratio']} > {TARGET}",
              file=sys.stderr)
        failed = True
sys.exit(1 if failed else 0)
PY
