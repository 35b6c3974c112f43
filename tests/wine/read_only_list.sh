#!/bin/bash
# Runs ReadOnlyListFile.* (or the tests FILTER names) on a valid list file
# that cannot be written. Wine run as root opens a file marked read-only for
# writing all the same, so the file is made immutable (chattr +i) for the run,
# and made mutable again and removed afterwards.
#   read_only_list.sh WINE_RUN TEST_EXE [FILTER [NOT_UNDER_QEMU]]
# NOT_UNDER_QEMU: the tests of FILTER left out where 32-bit programs run under
# qemu's user-mode emulator (scripts/setup.sh registers it where the kernel
# runs no 32-bit code). Wine there cannot end a thread (glibc's pthread_exit
# fails to load libgcc_s.so.1), and a skipped test ends the process.
set -euo pipefail
wine_run=$1
exe=$2
filter=${3:-ReadOnlyListFile.*}
if [ -n "${4:-}" ] && grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo "read_only_list: 32-bit programs run under qemu here; left out: $4"
  filter="$filter:-$4"
fi
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
