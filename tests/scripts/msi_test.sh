#!/bin/bash
# The Windows Installer packages under Wine's msiexec, in the x86_64 tree's
# prefix: two versions of the 64-bit package built by scripts/msi.sh from a
# stage of this tree's files, with tarvelctl_filecatalog.exe as their
# tarvelctl (Wine's Winsock catalog functions are stubs: that build keeps the
# catalog in a file, and the shipped tarvelctl.exe has no such switch).
#   msi_test.sh SOURCE_DIR X64_TREE X86_TREE
# Rows: the tables Group Policy needs; an install with properties; an
# upgrade that keeps the configuration and retires the old folder; an
# uninstall that keeps the lists; PURGE=1; a failed install; the rollback
# actions' commands.
set -uo pipefail
src=$1
tree=$(cd "$2" && pwd)
x86=$3
run=$tree/wine-run.sh
work=$tree/msi-test
drive=$tree/wineprefix/drive_c
catalog_file=$drive/ProgramData/Tarvel-test/catalog.txt
runs_file=$drive/ProgramData/Tarvel-test/runs.txt
new_version=$(tr -d ' \r\n' <"$src/VERSION")
old_version=0.0.1
failures=0

row() {  # row NAME COMMAND...: one named check, in a subshell that `fail` ends
  local name=$1
  shift
  if ("$@"); then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}
fail() { echo "  $*" >&2; exit 1; }
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# The stage: this tree's modules (the i686 tree's for x86\ when built) and
# stand-ins for the documents.
make_stage() {
  local stage=$work/stage
  rm -rf "$work"
  mkdir -p "$stage/x64" "$stage/x86" "$stage/examples"
  cp "$tree/tarvel.dll" "$tree/tarvelctl.exe" "$stage/x64/"
  if [ -f "$x86/tarvel.dll" ]; then
    cp "$x86/tarvel.dll" "$x86/tarvelctl.exe" "$stage/x86/"
  else
    cp "$tree/tarvel.dll" "$tree/tarvelctl.exe" "$stage/x86/"
  fi
  cp "$src/packaging/README-Windows.txt" "$stage/"
  for f in blacklist whitelist gambling; do cp "$src/examples/$f.txt" "$stage/examples/"; done
  cp "$src/examples/blacklist.txt" "$stage/examples/blacklist.lst"
  cp "$src/examples/whitelist.txt" "$stage/examples/whitelist.lst"
  printf 'casino.example\r\nmsi-listed.example\r\n' >"$work/blacklist.txt"
  (cd "$src" && bash scripts/msi.sh x64 "$old_version" "$stage" "$work/old.msi" \
     "$tree/tarvelctl_filecatalog.exe" &&
   bash scripts/msi.sh x64 "$new_version" "$stage" "$work/new.msi" \
     "$tree/tarvelctl_filecatalog.exe" &&
   bash scripts/msi.sh x64 "$new_version" "$stage" "$work/again.msi") >/dev/null 2>"$work/msi.err"
}

# msiexec with its arguments, logged to $work/NAME.log; its exit code. A
# start that Wine refused (exit code 1 and no log) is made again.
msiexec_run() {
  local name=$1 code try
  shift
  for try in 1 2 3; do
    "$run" msiexec "$@" /qn /l*v "$(windows_path "$work/$name.log")" </dev/null >/dev/null 2>&1
    code=$?
    [ $code -eq 1 ] && [ ! -s "$work/$name.log" ] || return $code
    sleep 1
  done
  return $code
}

# The file-catalog tarvelctl run as the package's actions run it.
tool() { "$run" "$tree/tarvelctl_filecatalog.exe" "$@" </dev/null >>"$work/tool.out" 2>&1; }

# tarvel's modules in the file catalog (tests/testing/tarvelctl_file_catalog.h):
# catalog_names VERSION: both catalogs name that version's modules;
# catalog_names none: no catalog names a tarvel.dll.
catalog_names() {
  local layered='{F311CA08-328F-407E-A63F-DCD52C2FAB4C}' dir
  if [ "$1" = none ]; then
    [ ! -f "$catalog_file" ] || ! grep -qi '^module .*\\tarvel\.dll' "$catalog_file"
    return
  fi
  dir="C:\\Program Files\\Tarvel\\$1"
  tr -d '\r' <"$catalog_file" | grep -qxF "module 64-bit $layered $dir\\x64\\tarvel.dll" &&
    tr -d '\r' <"$catalog_file" | grep -qxF "module 32-bit $layered $dir\\x86\\tarvel.dll"
}

table() { msiinfo export "$work/$1" "$2" | tr -d '\r'; }
property() { table "$1" Property | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
action_type() { table new.msi CustomAction | awk -F'\t' -v a="$1" '$1 == a { print $2 }'; }
setting() {  # the value NAME of HKLM\Software\Tarvel, or "absent"
  "$run" reg query 'HKLM\Software\Tarvel' /v "$1" 2>/dev/null | tr -d '\r' |
    awk -v n="$1" '$1 == n { print $3; found = 1 } END { if (!found) print "absent" }'
}
folder() { echo "$drive/Program Files/Tarvel/$1"; }

# Back to a machine without tarvel: both products removed, the settings,
# the lists and the file catalog gone.
clean_machine() {
  for msi in old new; do msiexec_run "clean-$msi" /x "$(windows_path "$work/$msi.msi")"; done
  "$run" reg delete 'HKLM\Software\Tarvel' /f >/dev/null 2>&1
  rm -rf "$drive/ProgramData/Tarvel" "$drive/ProgramData/Tarvel-test" "$drive/Program Files/Tarvel"
}

tables_for_group_policy() {
  [ "$(property new.msi ALLUSERS)" = 1 ] || fail "ALLUSERS is not 1"
  [ "$(property new.msi ProductCode)" = "$(property again.msi ProductCode)" ] ||
    fail "two builds of one version have two product codes"
  [ "$(property new.msi ProductCode)" != "$(property old.msi ProductCode)" ] ||
    fail "two versions share a product code"
  [ "$(property new.msi UpgradeCode)" = "$(property old.msi UpgradeCode)" ] ||
    fail "the upgrade code changed between versions"
  local a type
  for a in TarvelInstall TarvelInstallRollback TarvelInstallCommit TarvelUninstall \
           TarvelUninstallPurge TarvelRetire TarvelRetireRollback; do
    type=$(action_type "$a")
    # msidbCustomActionTypeInScript (1024) and NoImpersonate (2048).
    [ $((type & 3072)) -eq 3072 ] || fail "$a is not deferred and not impersonated: $type"
  done
  [ $(($(action_type TarvelInstallRollback) & 256)) -eq 256 ] &&
    [ $(($(action_type TarvelRetireRollback) & 256)) -eq 256 ] || fail "no rollback actions"
  [ $(($(action_type TarvelInstallCommit) & 512)) -eq 512 ] || fail "no commit action"
  local component attributes
  while IFS=$'\t' read -r component _ _ attributes _; do
    case "$component" in
      Module*) [ $((attributes & 16)) -eq 16 ] || fail "$component is not permanent" ;;
    esac
  done < <(table new.msi Component)
  local rev_new rev_again
  rev_new=$(msiinfo suminfo "$work/new.msi" | grep 'Revision number')
  rev_again=$(msiinfo suminfo "$work/again.msi" | grep 'Revision number')
  [ "$rev_new" != "$rev_again" ] || fail "two builds share a package code"
}

install_with_properties() {
  clean_machine
  msiexec_run install /i "$(windows_path "$work/old.msi")" WHITEONLY=1 SMART=0 LOCKED=0 \
    BLACKLIST="$(windows_path "$work/blacklist.txt")" || fail "msiexec /i exited with $?"
  local dir
  dir=$(folder "$old_version")
  [ -f "$dir/x64/tarvel.dll" ] && [ -f "$dir/x86/tarvel.dll" ] && [ -f "$dir/x64/tarvelctl.exe" ] ||
    fail "the files are not in $dir"
  [ "$(setting iswhi)" = 1 ] && [ "$(setting issma)" = 0 ] && [ "$(setting islck)" = 0 ] ||
    fail "settings iswhi $(setting iswhi) issma $(setting issma) islck $(setting islck)"
  [ -f "$drive/ProgramData/Tarvel/blacklist.lst" ] || fail "the blacklist was not imported"
  local dir_win="C:\\Program Files\\Tarvel\\$old_version\\"
  grep -qF "install --replace --record --dll \"${dir_win}x64\\tarvel.dll\" --dll32 \"${dir_win}x86\\tarvel.dll\" --white-only \"1\" --smart \"0\" --https \"\" --lock \"0\"" "$runs_file" ||
    fail "no install action with the expected arguments in runs.txt"
  catalog_names "$old_version" || fail "the catalog does not name $old_version's modules"
}

upgrade_keeps_configuration() {
  msiexec_run upgrade /i "$(windows_path "$work/new.msi")"
  local code=$?
  [ $code -eq 0 ] || fail "msiexec /i of the new version exited with $code"
  [ -f "$(folder "$new_version")/x64/tarvel.dll" ] || fail "the new folder is missing"
  catalog_names "$new_version" || fail "the catalog does not name the new modules"
  [ "$(setting iswhi)" = 1 ] && [ "$(setting issma)" = 0 ] || fail "the settings changed"
  [ ! -e "$(folder "$old_version")/x64/tarvel.dll" ] || marked_for_restart "$old_version" ||
    fail "the old module is neither gone nor marked"
}

marked_for_restart() {
  "$run" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' \
    /v PendingFileRenameOperations 2>/dev/null | grep -q "Tarvel\\\\$1"
}

uninstall_keeps_lists() {
  msiexec_run uninstall /x "$(windows_path "$work/new.msi")" || fail "msiexec /x exited with $?"
  catalog_names none || fail "tarvel is still in the catalog"
  [ ! -e "$(folder "$new_version")/x64/tarvelctl.exe" ] || fail "the files stayed"
  [ ! -e "$(folder "$new_version")/x64/tarvel.dll" ] || marked_for_restart "$new_version" ||
    fail "the module stayed, unmarked"
  [ "$(setting iswhi)" = 1 ] || fail "the settings went"
  [ -f "$drive/ProgramData/Tarvel/blacklist.lst" ] || fail "the lists went"
}

purge_removes_everything() {
  msiexec_run reinstall /i "$(windows_path "$work/new.msi")" || fail "msiexec /i exited with $?"
  msiexec_run purge /x "$(windows_path "$work/new.msi")" PURGE=1 || fail "msiexec /x exited with $?"
  [ "$(setting iswhi)" = absent ] || fail "the settings stayed"
  [ ! -e "$drive/ProgramData/Tarvel" ] || fail "ProgramData\\Tarvel stayed"
}

failed_install_rolls_back() {
  clean_machine
  msiexec_run failing /i "$(windows_path "$work/new.msi")" BLACKLIST='C:\no\such\list.txt'
  local code=$?
  # Windows ends a failed install with 1603; Wine's msiexec with 1627, and
  # Unix keeps the low 8 bits of either.
  [ $code -eq $((1603 & 255)) ] || [ $code -eq $((1627 & 255)) ] ||
    fail "a failing install exited with $code"
  catalog_names none || fail "the catalog kept tarvel"
  [ ! -e "$(folder "$new_version")/x64/tarvelctl.exe" ] || fail "the files stayed"
  [ "$(setting iswhi)" = absent ] || fail "the settings changed"
}

# Wine's msiexec logs a rollback's custom actions but starts none of them,
# so the rollback script's two commands run here, in its order, after an
# install action that changed the catalog and a setting.
rollback_actions_undo_the_run() {
  clean_machine
  local dir=$work/rolled
  mkdir -p "$dir/x64" "$dir/x86"
  cp "$work/stage/x64/tarvel.dll" "$dir/x64/"
  cp "$work/stage/x86/tarvel.dll" "$dir/x86/"
  local win
  win=$(windows_path "$dir")
  tool install --replace --record --dll "$win\\x64\\tarvel.dll" --dll32 "$win\\x86\\tarvel.dll" \
    --white-only 1 || fail "the install action failed"
  [ "$(setting iswhi)" = 1 ] || fail "the install action set no iswhi"
  tool install --rollback || fail "install --rollback failed"
  tool uninstall --retire "$win" --keep-installed || fail "the retiring failed"
  catalog_names none || fail "the catalog kept tarvel"
  [ "$(setting iswhi)" = absent ] || fail "iswhi is $(setting iswhi), not as before"
  [ ! -e "$dir/x64/tarvel.dll" ] && [ ! -e "$dir/x86/tarvel.dll" ] || fail "the modules stayed"
}

"$run" --boot-only
if ! make_stage; then
  cat "$work/msi.err" >&2
  echo "msi_test: the packages could not be built"
  exit 1
fi
row "tables for Group Policy: per machine, stable codes, deferred actions as LocalSystem" \
  tables_for_group_policy
row "install with properties: versioned folder, settings, imported list, catalog" \
  install_with_properties
row "upgrade: new folder and modules, configuration kept, old module retired" \
  upgrade_keeps_configuration
row "uninstall: catalog and files gone, settings and lists kept" uninstall_keeps_lists
row "PURGE=1: settings and lists gone too" purge_removes_everything
row "a failing install fails: catalog and settings as before, no tool left" \
  failed_install_rolls_back
row "the rollback actions undo an install action: catalog, setting, modules" \
  rollback_actions_undo_the_run
clean_machine
[ $failures -eq 0 ]
