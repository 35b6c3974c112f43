#!/bin/bash
# Configures and builds one of the project's build trees under build/NAME:
#   native      g++, the core, unit tests, fuzz replays, benchmarks
#   asan        clang with AddressSanitizer, UBSan and libFuzzer targets
#   mingw-x64   tarvel.dll for x86_64 and the Windows tests (run under wine64)
#   mingw-x86   tarvel.dll for i686 and the Windows tests (run under 32-bit Wine)
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift || true
jobs=${TARVEL_JOBS:-2}
common=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_TEST_LABEL="$name.")
case "$name" in
  native) args=(-DTARVEL_BENCH=ON) ;;
  asan) args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARVEL_SANITIZE=ON -DTARVEL_FUZZ=ON) ;;
  mingw-x64) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake) ;;
  mingw-x86) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake) ;;
  *) echo "build.sh: unknown tree $name" >&2; exit 2 ;;
esac
# The options a tree was configured with are kept beside it; a tree whose
# options differ (or that was never configured) is configured again.
options=$(printf '%s\n' "${common[@]}" "${args[@]}" "$@")
stamp="build/$name/tarvel-options.txt"
if [ ! -f "build/$name/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$options" ]; then
  cmake -S . -B "build/$name" "${common[@]}" "${args[@]}" "$@" >/dev/null
  printf '%s\n' "$options" >"$stamp"
fi
ninja -C "build/$name" -j "$jobs"
