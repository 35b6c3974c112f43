#!/bin/bash
# Builds the Windows release packages: dist/tarvel-VERSION-windows.zip,
#   x64\  tarvel.dll and tarvelctl.exe for 64-bit Windows and programs
#   x86\  tarvel.dll and tarvelctl.exe for 32-bit ones
#   examples\  the example lists as text and as list files
#   README-Windows.txt  install, configure, control, uninstall, recover
# and the Windows Installer packages of the same files (scripts/msi.sh):
# dist/tarvel-VERSION-x64.msi for 64-bit Windows (both modules) and
# dist/tarvel-VERSION-x86.msi for 32-bit Windows.
# VERSION comes from the file VERSION. The same sources give the same zip,
# and the same packages but for the codes and times scripts/msi.sh names.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
version=$(tr -d ' \r\n' < VERSION)
name="tarvel-$version-windows"
for t in native mingw-x64 mingw-x86; do
  echo "== building $t"
  bash scripts/build.sh "$t" | grep -v '^\[' || true
done

# Fixed times, order and attributes make the archive reproducible; strip
# stamps the PE headers with SOURCE_DATE_EPOCH.
export SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)

stage="build/package/$name"
rm -rf build/package
mkdir -p "$stage/x64" "$stage/x86" "$stage/examples"
for arch in x64 x86; do
  triple=x86_64-w64-mingw32
  [ "$arch" = x86 ] && triple=i686-w64-mingw32
  for file in tarvel.dll tarvelctl.exe; do
    # The trees build with debug information; the package leaves it out.
    "$triple-strip" --strip-debug -o "$stage/$arch/$file" "build/mingw-$arch/$file"
  done
done

# The example lists, made and checked by the tool itself.
sed 's/$/\r/' examples/gambling.txt > "$stage/examples/gambling.txt"
for list in blacklist whitelist; do
  sed 's/$/\r/' "examples/$list.txt" > "$stage/examples/$list.txt"
  build/native/tarvelctl list import "examples/$list.txt" "$stage/examples/$list.lst" >/dev/null
  build/native/tarvelctl list check "$stage/examples/$list.lst" >/dev/null
done
sed "s/@VERSION@/$version/; s/\$/\r/" packaging/README-Windows.txt > "$stage/README-Windows.txt"

find "$stage" -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
mkdir -p dist
zip_path="$PWD/dist/$name.zip"
rm -f "$zip_path"
(cd build/package && find "$name" -print | LC_ALL=C sort | TZ=UTC zip -X -q -D "$zip_path" -@)

listing=$(unzip -Z1 "$zip_path" | LC_ALL=C sort | tr '\n' ' ')
expected="$name/README-Windows.txt $name/examples/blacklist.lst $name/examples/blacklist.txt $name/examples/gambling.txt $name/examples/whitelist.lst $name/examples/whitelist.txt $name/x64/tarvel.dll $name/x64/tarvelctl.exe $name/x86/tarvel.dll $name/x86/tarvelctl.exe "
if [ "$listing" != "$expected" ]; then
  echo "package.sh: unexpected contents: $listing" >&2
  exit 1
fi
echo "dist/$name.zip"
for arch in x64 x86; do
  bash scripts/msi.sh "$arch" "$version" "$stage" "dist/tarvel-$version-$arch.msi"
  echo "dist/tarvel-$version-$arch.msi"
done
