#!/bin/bash
# Builds one Windows Installer package of tarvel with wixl from a staged
# package folder (scripts/package.sh stages it):
#   msi.sh ARCH VERSION STAGE OUT.msi [TARVELCTL]
# ARCH x64 (for 64-bit Windows, both modules) or x86 (for 32-bit Windows).
# TARVELCTL: the tarvelctl.exe the package installs and runs (default the
# staged one; the Windows tests give one whose catalog is a file).
#
# The codes: the upgrade code is fixed per ARCH, the product and component
# codes follow from ARCH and VERSION (UUID version 5), so every build of a
# version has the same ones. What differs between two builds of the same
# sources is what Windows Installer requires to be new or that wixl stamps:
# the package code (summary information "Revision number") and the
# summary information's creation and save times.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1 version=$2 stage=$3 out=$4
ctl=${5:-$stage/$arch/tarvelctl.exe}
# wixl takes file sources relative to the folder it runs in.
stage=$(realpath --relative-to=. "$stage")
ctl=$(realpath --relative-to=. "$ctl")
case "$arch" in
  x64) upgrade=7e0c5f0e-2b61-4a55-9a51-5d4f3c1b6a64 ;;
  x86) upgrade=3a9d2c47-8e15-4f6b-b0d2-6c1e9f4a2b86 ;;
  *) echo "msi.sh: ARCH is x64 or x86" >&2; exit 2 ;;
esac
code() { python3 -c "import uuid,sys; print(uuid.uuid5(uuid.UUID('$upgrade'), sys.argv[1]))" "$1"; }
defines=(-D "Arch=$arch" -D "Version=$version" -D "UpgradeCode=$upgrade"
         -D "ProductCode=$(code "product $version")" -D "Stage=$stage" -D "Ctl=$ctl")
for part in Module64 Tool64 Module32 Tool32 Docs Examples; do
  defines+=(-D "Guid$part=$(code "$part $version")")
done
wixl -a "$arch" -I packaging "${defines[@]}" -o "$out" packaging/tarvel.wxs 2> >(grep -v \
  -e "has no property named 'Permanent'" -e '^$' >&2)
# What wixl cannot write is set in the tables themselves: the modules'
# components permanent (msidbComponentAttributesPermanent, 16), the rollback
# and commit types of their actions (msidbCustomActionTypeRollback 256,
# msidbCustomActionTypeCommit 512), and the public properties that a
# managed install passes to the server side (SecureCustomProperties); and
# the old version's removal after the new one is in place
# (RemoveExistingProducts after InstallFinalize, where wixl puts it after
# InstallValidate): the catalog never names a module that is gone, and the
# old one is retired only once the new one serves.
tables=$(mktemp -d)
trap 'rm -rf "$tables"' EXIT
for table in Component CustomAction Property InstallExecuteSequence; do
  msiinfo export "$out" "$table" >"$tables/$table.idt"
done
python3 - "$tables" <<'PY'
import os
import sys

folder = sys.argv[1]


def edit(table, change):
    path = os.path.join(folder, table + ".idt")
    lines = open(path, newline="").read().split("\r\n")
    for i in range(3, len(lines)):
        cells = lines[i].split("\t")
        if len(cells) > 1:
            change(cells)
            lines[i] = "\t".join(cells)
    open(path, "w", newline="").write("\r\n".join(lines))


def permanent(cells):
    if cells[0] in ("Module64", "Module32"):
        cells[3] = str(int(cells[3]) | 16)


def in_script(cells):
    extra = {"TarvelRetireRollback": 256, "TarvelInstallRollback": 256,
             "TarvelInstallCommit": 512}.get(cells[0], 0)
    cells[1] = str(int(cells[1]) | extra)


def secure(cells):
    if cells[0] == "SecureCustomProperties":
        cells[1] += ";WHITEONLY;SMART;HTTPS;LOCKED;BLACKLIST;WHITELIST;BROWSERPOLICIES;PURGE"


def remove_old_last(cells):
    if cells[0] == "RemoveExistingProducts":
        cells[2] = "6601"


edit("Component", permanent)
edit("InstallExecuteSequence", remove_old_last)
edit("CustomAction", in_script)
edit("Property", secure)
PY
for table in Component CustomAction Property InstallExecuteSequence; do msibuild "$out" -i "$tables/$table.idt"; done
