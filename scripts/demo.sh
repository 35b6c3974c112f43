#!/bin/bash
# The demonstration of the whole system, one command on a fresh machine:
# installs what is missing, builds tarvel.dll and the demonstration's
# programs, prepares a Wine prefix of its own (build/demo/wineprefix) with
# the Software\Tarvel settings and two list files made from examples/, starts
# a web server on 127.0.0.1:8080, and runs a client whose every socket call
# goes through tarvel.dll, printing one line per request. Exits non-zero when
# a verdict is not the expected one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "Building tarvel.dll and the demonstration's programs (build/mingw-x64)..."
bash scripts/build.sh mingw-x64 >/dev/null

demo=$PWD/build/demo
mkdir -p "$demo"
# The prefix's own runner, made like the x86_64 tree's wine-run.sh.
sed -e "s|@TARVEL_WINEPREFIX@|$demo/wineprefix|" -e "s|@TARVEL_WINE_LOADER@|wine64|" \
  cmake/wine-run.sh.in >"$demo/wine-run.sh"
if grep -o '@[A-Z_]*@' "$demo/wine-run.sh"; then
  echo "demo: cmake/wine-run.sh.in has a value this script does not fill" >&2
  exit 1
fi
chmod +x "$demo/wine-run.sh"
if [ ! -f "$demo/wineprefix/system.reg" ]; then
  echo "Preparing the Wine prefix build/demo/wineprefix (once)..."
fi
"$demo/wine-run.sh" --boot-only
# Stop the prefix's Wine server at the end: nothing of the demonstration is
# left running.
trap 'WINEPREFIX="$demo/wineprefix" PATH="/usr/lib/wine:$PATH" wineserver -k 2>/dev/null || true' EXIT
echo
bash tools/demo/run.sh "$demo/wine-run.sh" build/mingw-x64 "$demo"
