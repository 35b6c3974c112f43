#!/bin/bash
# The build and test scripts' own contract, checked against stand-ins for
# cmake, ninja and the benchmark binary in a scratch copy of scripts/.
#   test.sh:  a tree that fails to build fails the run, before any test runs
#   build.sh: a tree is configured again when its options change
#   bench.sh: a missed target ratio gives exit status 1
#   bench-wine.sh: a ratio above 1.05 gives exit status 1
#   soak.sh: a wrong verdict gives exit status 1, and the JSON is written either way
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

row() {  # row NAME COMMAND...: one named check
  local name=$1
  shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

# A scratch repository: the real scripts, stand-ins on PATH that log calls.
make_tree() {
  local tree=$scratch/$1
  mkdir -p "$tree/scripts" "$tree/bin"
  cp "$root"/scripts/{test,build,bench,bench-wine,soak}.sh "$tree/scripts/"
  printf '#!/bin/bash\nexit 0\n' >"$tree/scripts/setup.sh"
  cat >"$tree/bin/cmake" <<'SH'
#!/bin/bash
echo "cmake $*" >>"$LOG"
while [ $# -gt 0 ]; do [ "$1" = -B ] && mkdir -p "$2" && touch "$2/build.ninja"; shift; done
SH
  printf '#!/bin/bash\necho "ninja $*" >>"$LOG"\n' >"$tree/bin/ninja"
  printf '#!/bin/bash\necho "ctest $*" >>"$LOG"\n' >"$tree/bin/ctest"
  chmod +x "$tree/bin/"*
  echo "$tree"
}

test_sh_stops_on_failed_build() {
  local tree
  tree=$(make_tree test_sh)
  printf '#!/bin/bash\necho "[1/2] step"\n[ "$1" = asan ] && { echo "error: broken" >&2; exit 1; }\nexit 0\n' \
    >"$tree/scripts/build.sh"
  # Trees left by an earlier build: a failed build must not run their tests.
  for t in native asan mingw-x64 mingw-x86; do
    mkdir -p "$tree/build/$t" && touch "$tree/build/$t/CTestTestfile.cmake"
  done
  LOG=$tree/log PATH=$tree/bin:$PATH bash "$tree/scripts/test.sh" >/dev/null 2>&1
  local status=$?
  [ $status -ne 0 ] && ! grep -q ctest "$tree/log" 2>/dev/null
}

build_sh_reconfigures_on_new_options() {
  local tree
  tree=$(make_tree build_sh)
  export LOG=$tree/log
  PATH=$tree/bin:$PATH bash "$tree/scripts/build.sh" native >/dev/null &&
    PATH=$tree/bin:$PATH bash "$tree/scripts/build.sh" native >/dev/null &&
    [ "$(grep -c '^cmake' "$LOG")" = 1 ] &&
    PATH=$tree/bin:$PATH bash "$tree/scripts/build.sh" native -DEXTRA=ON >/dev/null &&
    [ "$(grep -c '^cmake' "$LOG")" = 2 ] &&
    PATH=$tree/bin:$PATH bash "$tree/scripts/build.sh" native -DEXTRA=ON >/dev/null &&
    [ "$(grep -c '^cmake' "$LOG")" = 2 ]
}

# A benchmark binary whose medians give the fast 64 KiB scan a ratio of
# `plain_ns` / 1000 against the plain one; every other target is measured.
fake_bench() {
  local build=$1 plain_ns=$2
  mkdir -p "$build"
  cat >"$build/tarvel_bench" <<SH
#!/bin/bash
python3 - <<'PY'
import json
names = {"phrases/plain/64KiB": $plain_ns, "phrases/fast/64KiB": 1000,
         "memchr_absent/64KiB": 500, "phrases/plain/512B": 400000, "phrases/fast/512B": 1000,
         "phrases/plain/64KiB_key": 200000, "phrases/fast/64KiB_key": 1000,
         "phrases/fast_scalar/64KiB": 1000, "phrases/fast_ssse3/64KiB": 1000,
         "url_list/plain/2000": 20000, "url_list/indexed/2000": 10,
         "send/data_https_off/1460B": 20, "send/data_https_on/1460B": 21,
         "send/client_hello/2000": 3100, "send/host_header/2000": 3000,
         "category/compiled/1M": 60, "category/oracle/1M": 300}
print(json.dumps({"context": {"vector_level": "avx2"}, "benchmarks": [
    {"run_name": n, "aggregate_name": "median", "repetitions": 3, "time_unit": "ns",
     "cpu_time": t, "real_time": t} for n, t in names.items()]}))
PY
SH
  chmod +x "$build/tarvel_bench"
}

bench_sh_fails_on_missed_target() {
  local tree
  tree=$(make_tree bench_sh)
  export LOG=$tree/log
  fake_bench "$tree/met" 600000
  fake_bench "$tree/missed" 2000
  TARVEL_BENCH_BUILD=$tree/met PATH=$tree/bin:$PATH bash "$tree/scripts/bench.sh" >/dev/null 2>&1 &&
    ! TARVEL_BENCH_BUILD=$tree/missed PATH=$tree/bin:$PATH bash "$tree/scripts/bench.sh" \
      >/dev/null 2>&1
}

# A built tree whose benchmark costs tarvel `tarvel_ns` against 1000 ns on
# the lower provider in the send row on an HTTP port, 1000 ns in the others.
fake_wine_bench() {
  local build=$1 tarvel_ns=$2
  mkdir -p "$build"
  cat >"$build/wine-run.sh" <<SH
#!/bin/bash
python3 - <<'PY'
import json
rows = [{"name": n, "tarvel_ns": [t] * 3, "lower_ns": [1000] * 3}
        for n, t in (("send/http_port", $tarvel_ns), ("recv/http_port", 1000),
                     ("send/other_port", 1000), ("recv/other_port", 1000),
                     ("send/http_port_categories", 1000))]
print(json.dumps({"rounds": 3, "calls_per_round": 2, "request_bytes": 190, "reply_bytes": 1460,
                  "black_list_entries": 2000, "smart_filter": 1, "rows": rows}))
PY
SH
  chmod +x "$build/wine-run.sh"
}

bench_wine_sh_fails_above_target() {
  local tree
  tree=$(make_tree bench_wine_sh)
  fake_wine_bench "$tree/met" 1050
  fake_wine_bench "$tree/missed" 1060
  TARVEL_WINE_BENCH_BUILD=$tree/met bash "$tree/scripts/bench-wine.sh" >/dev/null 2>&1 &&
    ! TARVEL_WINE_BENCH_BUILD=$tree/missed bash "$tree/scripts/bench-wine.sh" >/dev/null 2>&1
}

# A built tree whose soak prints `wrong` wrong verdicts and exits as it would.
fake_soak() {
  local build=$1 wrong=$2
  mkdir -p "$build"
  cat >"$build/wine-run.sh" <<SH
#!/bin/bash
echo "soak: 10 calls in 0.1 min, $wrong wrong, 0 crashed, 0 hung, 0 lost, 0 torn"
echo 'json: {"calls": 10, "wrong": $wrong}'
exit \$(( $wrong != 0 ))
SH
  chmod +x "$build/wine-run.sh"
}

soak_sh_fails_on_a_wrong_verdict() {
  local tree
  tree=$(make_tree soak_sh)
  fake_soak "$tree/clean" 0
  fake_soak "$tree/wrong" 1
  TARVEL_SOAK_BUILD=$tree/clean bash "$tree/scripts/soak.sh" 0.1 "$tree/clean.json" >/dev/null &&
    ! TARVEL_SOAK_BUILD=$tree/wrong bash "$tree/scripts/soak.sh" 0.1 "$tree/wrong.json" >/dev/null &&
    grep -q '"wrong": 1' "$tree/wrong.json"
}

row "test.sh stops on a failed build" test_sh_stops_on_failed_build
row "build.sh configures again when options change" build_sh_reconfigures_on_new_options
row "bench.sh fails on a missed target" bench_sh_fails_on_missed_target
row "bench-wine.sh fails above its target" bench_wine_sh_fails_above_target
row "soak.sh fails on a wrong verdict" soak_sh_fails_on_a_wrong_verdict
[ $failures -eq 0 ]
