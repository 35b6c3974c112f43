#!/bin/bash
# The demonstration: builds tarvel.dll for both architectures and shows what
# they export.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for t in mingw-x64 mingw-x86; do
  bash scripts/build.sh "$t" >/dev/null
done
for t in mingw-x64 mingw-x86; do
  triple=x86_64-w64-mingw32
  [ "$t" = mingw-x86 ] && triple=i686-w64-mingw32
  dll="$PWD/build/$t/tarvel.dll"
  echo "$t: $dll"
  $triple-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed 1d | sed 's/^\s*\[ *[0-9]*\]/   export/'
done
