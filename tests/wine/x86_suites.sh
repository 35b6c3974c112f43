#!/bin/bash
# Runs the i686 tree's suites that share one 32-bit process.
#   x86_suites.sh WINE_RUN TEST_EXE FILTER NOT_UNDER_QEMU
# NOT_UNDER_QEMU: the tests of FILTER left out where 32-bit programs run under
# qemu's user-mode emulator (scripts/setup.sh registers it where the kernel
# runs no 32-bit code). Wine there cannot end a thread (glibc's pthread_exit
# fails to load libgcc_s.so.1), and a test that ends one ends the process.
set -euo pipefail
wine_run=$1
exe=$2
filter=$3
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo "x86_suites: 32-bit programs run under qemu here; left out: $4"
  filter="$filter:-$4"
fi
exec "$wine_run" "$exe" --gtest_brief=1 --gtest_filter="$filter"
