#!/bin/bash
# Installs the Debian packages the build and the tests need, when missing.
# Quick when everything is present: it only asks dpkg.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 python3 openssl e2fsprogs util-linux zip clang-format git wixl msitools
)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root to $1" >&2
    exit 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  need_root "install packages"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# 32-bit Windows programs run under Wine's 32-bit loader, which comes from
# the i386 architecture's packages. A kernel without 32-bit support runs that
# loader through qemu's user-mode emulator, registered with binfmt_misc.
wine32_loader=/usr/lib/wine/wine

runs_32_bit() { "$wine32_loader" --version >/dev/null 2>&1; }

if ! installed wine32:i386; then
  need_root "install wine32:i386"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture to dpkg"
    dpkg --add-architecture i386
  fi
  echo "setup: installing wine32:i386"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine32:i386
fi

if ! runs_32_bit; then
  need_root "let 32-bit programs run through qemu-user-static"
  if ! installed qemu-user-static; then
    echo "setup: installing qemu-user-static"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    echo "setup: mounting binfmt_misc on $binfmt"
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    echo "setup: registering i386 ELF programs with /usr/bin/qemu-i386-static"
    # F: the kernel opens the emulator now, so it serves every mount namespace.
    printf '%s\n' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      >"$binfmt/register"
  fi
  if ! runs_32_bit; then
    echo "setup: $wine32_loader still does not run; 32-bit Wine is not usable here" >&2
    exit 1
  fi
fi
