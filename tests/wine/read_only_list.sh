#!/bin/bash
# Runs ReadOnlyListFile.* (or the tests FILTER names) on a valid list file
# that cannot be written. Wine run as root opens a file marked read-only for
# writing all the same, so the file is made immutable (chattr +i) for the run,
# and made mutable again and removed afterwards.
#   read_only_list.sh WINE_RUN TEST_EXE [FILTER]
set -euo pipefail
wine_run=$1
exe=$2
filter=${3:-ReadOnlyListFile.*}
dir=$(mktemp -d "$(dirname "$exe")/read-only-list.XXXXXX")
file="$dir/read-only.lst"
cleanup() {
  chattr -i "$file" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
# The header record, then one entry record.
{
  printf 'TARVELINTERNETFILTER'
  head -c 80 /dev/zero
  printf 'valid.example'
  head -c 87 /dev/zero
} >"$file"
chmod a-w "$file"
if ! chattr +i "$file" 2>/dev/null; then
  echo "read_only_list: chattr +i is not possible here; the file is only marked read-only"
fi
export TARVEL_READ_ONLY_LIST="Z:${file//\//\\}"
"$wine_run" "$exe" --gtest_brief=1 --gtest_filter="$filter"
