#!/bin/bash
# Every tracked C and C++ source is formatted as .clang-format says.
# Exits 77 (skipped) outside a git checkout, where the tracked files are unknown.
set -uo pipefail
cd "$(dirname "$0")/../.."
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || { echo "not a git checkout"; exit 77; }
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
[ ${#files[@]} -gt 0 ] || { echo "no sources found"; exit 1; }
clang-format --dry-run -Werror "${files[@]}" && echo "${#files[@]} sources formatted"
