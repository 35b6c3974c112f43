#!/usr/bin/env bash
# The soak under Wine: tarvel.dll filtering the loopback calls of several
# processes of several threads each while another process edits the lists
# and modes without rest; every verdict is judged against the edits' history,
# and the shared block's lists and record of blocks against them at the end
# (tests/soak/soak.cpp).
#
# Builds the mingw-x64 tree (unless $TARVEL_SOAK_BUILD names a built tree),
# runs tarvel_soak.exe in the tree's Wine prefix for MINUTES (default 10),
# prints its summary line and writes its counts as JSON to the path it
# prints (the second argument, or build/mingw-x64/soak-results.json).
#
# Usage: scripts/soak.sh [MINUTES [results.json]]
#   TARVEL_SOAK_SENDERS  sender processes (default 3)
#   TARVEL_SOAK_THREADS  threads per sender (default 4)
# Exits 1 when a count that should be 0 is not (wrong verdicts, crashed or
# hung processes and calls, entries or records lost or torn). The soak
# listens on 127.0.0.1:8080 and needs a block no other process holds: no
# Windows test of the tree may run meanwhile.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-10}
build=${TARVEL_SOAK_BUILD:-}
if [ -z "$build" ]; then
  build=$root/build/mingw-x64
  bash "$root/scripts/build.sh" mingw-x64 >/dev/null
fi
results=${2:-$build/soak-results.json}
seconds=$(python3 -c "print(round(float('$minutes') * 60))")

out=$build/soak-output.txt
status=0
"$build/wine-run.sh" "$build/tarvel_soak.exe" "$seconds" "${TARVEL_SOAK_SENDERS:-3}" \
  "${TARVEL_SOAK_THREADS:-4}" >"$out" || status=$?
grep -v '^json: ' "$out" || true
json=$(sed -n 's/^json: //p' "$out")
if [ -z "$json" ]; then
  echo "soak: no result (exit $status)" >&2
  exit 1
fi
mkdir -p "$(dirname "$results")"
printf '%s\n' "$json" >"$results"
echo "results: $results"
exit $((status != 0))
